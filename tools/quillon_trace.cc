// quillon-trace: a trace viewer for the Linux service.
//
// Listens as a viewer window titled TITLE (default "Ravelin"), accepts any
// number of traced processes and prints every line they send, as it comes.
// One thread: a poll loop over the listening socket, the connections and a
// signalfd for SIGINT and SIGTERM.
#include <errno.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/trace_socket.h"

namespace {

using qs::platform::posix::TraceListener;

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
    "  --raw       the bytes as received, line ends (CR LF) included\n"
    "  --help      this text\n"
    "\n"
    "Ctrl+C or SIGTERM ends the viewer.\n";

constexpr std::string_view kGreen = "\x1b[32m";
constexpr std::string_view kBlue = "\x1b[34m";
constexpr std::string_view kRed = "\x1b[31m";
constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kReset = "\x1b[0m";

struct Options {
  bool tree = false;
  bool raw = false;
  int color = -1;  // -1: when standard output is a terminal
  std::string title = "Ravelin";
};

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // Nobody reads our output any more (a closed pipe): we are done.
      std::exit(errno == EPIPE ? 0 : 1);
    }
  }
}

void Complain(std::string_view text) {
  WriteAll(STDERR_FILENO, "quillon-trace: " + std::string(text) + "\n");
}

// 0: go on; otherwise the exit code + 1 (so 1 means "exit 0").
int ParseOptions(int argc, char** argv, Options* options) {
  bool have_title = false;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_done = true;
      } else if (arg == "--help" || arg == "-h") {
        WriteAll(STDOUT_FILENO, kUsage);
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
        WriteAll(STDERR_FILENO, kUsage);
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

bool ColorWanted(const Options& options) {
  if (options.color >= 0) return options.color == 1;
  const char* no_color = std::getenv("NO_COLOR");
  if (no_color != nullptr && *no_color != '\0') return false;
  return ::isatty(STDOUT_FILENO) == 1;
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

std::string Render(std::string_view message, const Options& options,
                   bool color) {
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
    if (options.tree) {
      out += TreeLine(line, color);
    } else {
      out.append(line);
    }
    out += '\n';
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int code = ParseOptions(argc, argv, &options); code != 0) {
    return code - 1;
  }
  const bool color = options.tree && ColorWanted(options);

  // SIGINT and SIGTERM arrive through the poll loop; a closed output pipe is
  // an error from write(), not a signal.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  const int signal_fd = ::signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (signal_fd < 0) {
    Complain(std::string("signalfd: ") + std::strerror(errno));
    return 1;
  }

  TraceListener listener;
  if (!listener.Listen(options.title)) {
    const int err = listener.error();
    if (err == EADDRINUSE) {
      Complain("another viewer already listens as \"" + options.title +
               "\"; end it or choose another title (\"Ravelin - name\")");
    } else if (err == EINVAL) {
      Complain("a title has 1 to 107 bytes and no line feed");
    } else {
      Complain("cannot listen as \"" + options.title +
               "\": " + std::strerror(err));
    }
    return 1;
  }
  Complain("listening as \"" + options.title + "\"");
  if (options.title != "Ravelin" && !options.title.starts_with("Ravelin -")) {
    Complain("note: traced programs look only for \"Ravelin\" or "
             "\"Ravelin - ...\"");
  }

  std::string message;
  for (;;) {
    switch (listener.Wait(&message, -1, signal_fd)) {
      case TraceListener::Event::kMessage:
        WriteAll(STDOUT_FILENO, Render(message, options, color));
        break;
      case TraceListener::Event::kTimeout:
        break;
      case TraceListener::Event::kWake:
        return 0;  // SIGINT or SIGTERM
      case TraceListener::Event::kError:
        Complain(std::string("waiting for lines failed: ") +
                 std::strerror(errno));
        return 1;
    }
  }
}
