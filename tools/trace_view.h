// What the trace viewers of both systems share: their options and usage,
// and how a received text is shown (plain, raw, or as a call tree with
// colours). The viewers themselves (quillon_trace_posix.cc,
// quillon_trace_win32.cc) only receive the texts.
#pragma once

#include <string>
#include <string_view>

namespace qs::tools {

struct TraceViewOptions {
  bool tree = false;
  bool raw = false;
  int color = -1;  // -1: when standard output is a terminal
  std::string title = "Ravelin";
};

// "quillon-trace: TEXT" and a line end on standard error.
void Complain(std::string_view text);

// Reads the options; `how_to_end` is the usage text's last line. Returns 0
// to go on, otherwise the program's exit code + 1 (the usage or a complaint
// has been written then).
int ParseTraceViewOptions(int argc, char** argv, std::string_view how_to_end,
                          TraceViewOptions* options);

// Whether the tree view is coloured: --color, --no-color, or else when
// standard output is a terminal and NO_COLOR is not set.
bool ColorWanted(const TraceViewOptions& options, bool output_is_terminal);

// A received text as the viewer prints it: each line ended by a line feed,
// or the bytes as received with --raw.
std::string RenderTraceText(std::string_view message,
                            const TraceViewOptions& options, bool color);

// Notes on standard error what a viewer titled `title` is for.
void AnnounceViewer(const std::string& title);

}  // namespace qs::tools
