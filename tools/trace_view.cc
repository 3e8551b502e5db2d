#include "tools/trace_view.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qs::tools {
namespace {

constexpr std::string_view kUsage =
    "Usage: quillon-trace [--tree] [--color | --no-color] [--raw] [TITLE]\n"
    "\n"
    "Shows the procedure trace of QuillonSrv and the other Quillon programs.\n"
    "Listens as the trace viewer TITLE (default \"Ravelin\"); a traced program\n"
    "sends to the first viewer it finds whose title is \"Ravelin\" or begins\n"
    "with \"Ravelin -\", and looks for one only when it starts.\n"
    "\n"
    "  --tree      show the call tree: nesting as indentation, entries green,\n"
    "              exits blue, errors red, start banners bold\n"
    "  --color     colours even when standard output is no terminal\n"
    "  --no-color  no colours\n"
    "  --raw       the bytes as received, line ends (CR LF) and control\n"
    "              bytes included: for a file or a program, not a terminal\n"
    "  --help      this text\n"
    "\n";

constexpr std::string_view kGreen = "\x1b[32m";
constexpr std::string_view kBlue = "\x1b[34m";
constexpr std::string_view kRed = "\x1b[31m";
constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kReset = "\x1b[0m";

// The line with its control bytes shown as "\xNN", and the C1 controls
// that many terminals obey in UTF-8 too (C2 80..9F) as their code: a line
// may carry names of another user's choosing, and a terminal obeys the
// escape sequences in them. Tabs stay: they are the nesting of trace lines.
std::string Shown(std::string_view line) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < line.size(); ++i) {
    auto c = static_cast<unsigned char>(line[i]);
    auto next = static_cast<unsigned char>(i + 1 < line.size() ? line[i + 1] : 0);
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      c = next;
      ++i;
    } else if ((c >= 0x20 && c != 0x7F) || c == '\t') {
      out += static_cast<char>(c);
      continue;
    }
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

void Print(std::FILE* to, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), to);
  std::fflush(to);
}

// One line of the tree view, without its line end. Trace lines read
// "[exe] [count] [time] ->" (or "<-"), one tab per nesting level beyond the
// first, then "module : procedure : info".
std::string TreeLine(std::string_view line, bool color) {
  std::string_view paint;
  std::string out;
  std::size_t marker = std::string_view::npos;
  if (!line.empty() && line[0] == '[') {
    marker = std::min(line.find("] ->"), line.find("] <-"));
  }
  if (marker != std::string_view::npos) {
    const std::size_t head_end = marker + 4;
    std::size_t tabs = 0;
    while (head_end + tabs < line.size() && line[head_end + tabs] == '\t') {
      ++tabs;
    }
    out.assign(line.substr(0, head_end));
    out += ' ';
    out.append(2 * tabs, ' ');
    out.append(line.substr(head_end + tabs));
    paint = line[marker + 2] == '-' ? kGreen : kBlue;
  } else {
    out.assign(line);
    if (!line.empty() && line[0] == '[' &&
        line.find("] ERROR ") != std::string_view::npos) {
      paint = kRed;
    } else if (line.find(" START RAVELIN ") != std::string_view::npos) {
      paint = kBold;
    }
  }
  if (!color || paint.empty()) return out;
  return std::string(paint) + out + std::string(kReset);
}

}  // namespace

void Complain(std::string_view text) {
  Print(stderr, "quillon-trace: " + std::string(text) + "\n");
}

int ParseTraceViewOptions(int argc, char** argv, std::string_view how_to_end,
                          TraceViewOptions* options) {
  const std::string usage = std::string(kUsage) + std::string(how_to_end);
  bool have_title = false;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_done = true;
      } else if (arg == "--help" || arg == "-h") {
        Print(stdout, usage);
        return 1;
      } else if (arg == "--tree") {
        options->tree = true;
      } else if (arg == "--raw") {
        options->raw = true;
      } else if (arg == "--color" || arg == "--colour") {
        options->color = 1;
      } else if (arg == "--no-color" || arg == "--no-colour") {
        options->color = 0;
      } else {
        Complain("unknown option " + std::string(arg));
        Print(stderr, usage);
        return 3;
      }
      continue;
    }
    if (have_title) {
      Complain("only one TITLE, please (quote a title with blanks)");
      return 3;
    }
    options->title = arg;
    have_title = true;
  }
  if (options->tree && options->raw) {
    Complain("--tree and --raw do not go together");
    return 3;
  }
  return 0;
}

bool ColorWanted(const TraceViewOptions& options, bool output_is_terminal) {
  if (options.color >= 0) return options.color == 1;
  const char* no_color = std::getenv("NO_COLOR");
  if (no_color != nullptr && *no_color != '\0') return false;
  return output_is_terminal;
}

std::string RenderTraceText(std::string_view message,
                            const TraceViewOptions& options, bool color) {
  if (options.raw) return std::string(message);
  std::string out;
  // A message is normally one line ended by CR LF; take it apart all the same
  // in case it holds several.
  while (!message.empty()) {
    std::size_t end = message.find('\n');
    std::string_view line =
        message.substr(0, end == std::string_view::npos ? message.size() : end);
    message.remove_prefix(end == std::string_view::npos ? message.size()
                                                        : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out += options.tree ? TreeLine(Shown(line), color) : Shown(line);
    out += '\n';
  }
  return out;
}

void AnnounceViewer(const std::string& title) {
  Complain("listening as \"" + title + "\"");
  if (title != "Ravelin" && title.rfind("Ravelin -", 0) != 0) {
    Complain("note: traced programs look only for \"Ravelin\" or "
             "\"Ravelin - ...\"");
  }
}

}  // namespace qs::tools
