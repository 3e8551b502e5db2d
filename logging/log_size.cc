// CheckLogFileSize: keeps the current job log within "LogSize" KB and stops
// the work cycle when the program's disk is nearly full; GetDiskFree of
// modSize (mod_size.cc) measures the disk.
//
// It skips a failing statement and goes on with the next; its errors never
// reach the error report (the procedures it calls keep their own traps).
//
// The cut reads only the part of the log it keeps (the last limit bytes,
// from a seek) and puts the result in place with one atomic replace, so it
// costs time and memory in proportion to the limit whatever the size of the
// log, and a crash in the middle leaves the old or the new log, never an
// empty or a half one.
#include <cstdint>
#include <limits>
#include <string>

#include "config/ini_handler.h"
#include "config/texts.h"
#include "config/number_text.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "logging/log_common.h"
#include "logging/mod_size.h"
#include "logging/outside_text.h"
#include "platform/platform.h"

namespace qs {
namespace {

using logging::kModule;
using modIniHandler::GetINIString;
using logging::Step;

// "LogSize" KB as bytes, in 32 bits: a text that is not a number or a
// number above 2097151 gives 0, as does a negative number: a negative size
// switches the limit off like "0" does.
std::int32_t LimitInBytes(const std::string& log_size) {
  std::int32_t kb = convert::CLng(log_size);  // raises 13 or 6
  constexpr std::int32_t kMaxKb =
      std::numeric_limits<std::int32_t>::max() / 1024;
  if (kb <= 0 || kb > kMaxKb) return 0;
  return kb * 1024;
}

// Drops the partial first line of the kept tail: everything up to and
// including its first CR LF, or its first character when it has none.
void DropFirstLine(std::string& kept) {
  std::size_t crlf = kept.find("\r\n");
  kept.erase(0, crlf == std::string::npos ? 1 : crlf + 2);
}

// Free bytes as whole MB for the disk notice ("#####": 0 prints as nothing).
std::string WholeMegabytes(std::int32_t free_bytes) {
  std::int32_t mb = free_bytes / 1024 / 1024;
  return mb == 0 ? std::string() : std::to_string(mb);
}

std::string Text(const texts::LangText& t, const std::string& lang_file) {
  return texts::Lookup(t, lang_file);
}

}  // namespace

bool frmMain::CheckLogFileSize() {
  bool result = false;
  Traced(kModule, "Function CheckLogFileSize", [&] {
    result = true;
    std::int32_t limit = 0;
    Step([&] {
      limit = LimitInBytes(GetINIString(texts::kOptLogSize, m_sIniStr));
    });

    // The size limit. A log not chosen yet or not made yet has no length.
    std::int64_t length = -1;
    Step([&] { length = Fso().FileLength(values.sJobLogFile); });
    if (limit != 0 && length > limit) {
      std::string kept;
      // Nothing read, nothing written: a failed read leaves the log whole.
      const bool read = Step([&] {
        kept = Fso().ReadTail(values.sJobLogFile,
                              static_cast<std::uint64_t>(limit));
      });
      if (read) {
        DropFirstLine(kept);
        // A log that cannot be rewritten stays as it was.
        Step([&] { Fso().ReplaceFile(values.sJobLogFile, kept); });
      }
      Step([&] {
        WriteLog(Text(texts::kLogCut, m_sLanguage) + " " +
                     std::to_string(limit / 1024) + " KB",
                 true, true, false);
      });
    }

    // The disk guard, on the program's own drive whatever drive the job log
    // lies on.
    std::string no_check;
    Step([&] {
      no_check = GetINIString(
          texts::kNoDiskSizeCheck,
          Fso().BuildPath(modIniHandler::ProductFolder(), "Quillon.ini"));
    });
    if (no_check == "1") return;
    std::string drive;
    Step([&] {
      platform::FileSystem& fs = Fso();
      const std::string folder = platform::ProgramFolder();
      drive = fs.GetDriveName(folder);
      // Without drive letters the "drive" is the program folder itself: its
      // file system is measured, and the notice names the folder, followed
      // by the separator as a drive is followed by its root's backslash
      // ("Laufwerk /opt/Quillon Pro/bin/ - 9MB. ").
      if (drive.empty() && fs.Separator() == '/') drive = folder;
    });
    std::int32_t free_bytes = 0;
    Step([&] { free_bytes = modSize::GetDiskFree(Fso(), drive); });
    if (free_bytes < modSize::kDiskThreshold) {
      Step([&] { tmrMain->SetEnabled(false); });
      Step([&] {
        const char sep = m_oFSO ? m_oFSO->Separator() : '\\';
        m_sDiskNotice = Text(texts::kError, m_sLanguage) + ": " +
                        Text(texts::kDiskFull, m_sLanguage) + " " +
                        Text(texts::kFreeSpace, m_sLanguage) + " " +
                        logging::Outside(drive) + sep + " - " +
                        WholeMegabytes(free_bytes) + "MB. ";
        WriteLog(m_sDiskNotice, true, true, false);
      });
      result = false;
    }
  });
  return result;
}

}  // namespace qs
