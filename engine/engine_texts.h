// The engine's log texts: section "JobEngine" of the language file, keys
// "t0" to "t9", with German defaults. "%1", "%2", "%3" stand for the
// values filled in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qs::engine {

struct EngineText {
  std::string_view key;
  std::string_view german_utf8;
};

inline constexpr std::string_view kTextSection = "JobEngine";

inline constexpr EngineText kFileCopied{"t0", "Datei kopiert: %1 -> %2"};
inline constexpr EngineText kCopyFailed{
    "t1", "Fehler: Datei nicht kopiert: %1 -> %2 (%3)"};
inline constexpr EngineText kSourceMissing{
    "t2", "Fehler: Quellordner nicht gefunden: %1"};
inline constexpr EngineText kTargetFailed{
    "t3", "Fehler: Zielordner nicht beschreibbar: %1 (%2)"};
inline constexpr EngineText kFolderUnreadable{
    "t4", "Fehler: Ordner nicht lesbar: %1 (%2)"};
inline constexpr EngineText kDiskSpace{
    "t5",
    "Fehler: Zu wenig freier Speicher im Zielordner, Datei nicht kopiert: %1"};
inline constexpr EngineText kFoldersMissing{
    "t6", "Fehler: Quell- oder Zielordner nicht angegeben"};
inline constexpr EngineText kSameFolder{
    "t7", "Fehler: Quell- und Zielordner sind gleich: %1"};
inline constexpr EngineText kSummary{"t8", "%1 Dateien kopiert, %2 Fehler"};
// A failure told before has cleared; %1 is its message.
inline constexpr EngineText kCleared{"t9", "Behoben: %1"};

// Every text above, for the language files and their test.
inline constexpr EngineText kAllTexts[] = {
    kFileCopied,    kCopyFailed,     kSourceMissing, kTargetFailed, kFolderUnreadable,
    kDiskSpace,     kFoldersMissing, kSameFolder,    kSummary,      kCleared};

// The text from the language file `lang_file` in the ANSI code page, the
// German default when the file or the key is missing or `lang_file` is
// empty; "%1", "%2", ... replaced by `args` in one pass (a "%" not followed
// by a digit with an argument stays as it is).
std::string EngineMessage(const EngineText& text, const std::string& lang_file,
                          const std::vector<std::string>& args);

}  // namespace qs::engine
