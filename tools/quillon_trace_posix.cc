// quillon-trace: a trace viewer for the Linux service.
//
// Listens as a viewer window titled TITLE (default "Ravelin"), accepts any
// number of traced processes of this user and of root, and prints every
// line they send, as it comes; a program of another user is refused, and
// said so once per user.
// One thread: a poll loop over the listening socket, the connections and a
// signalfd for SIGINT and SIGTERM.
#include <errno.h>
#include <pwd.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/trace_socket.h"
#include "tools/trace_view.h"

namespace {

using qs::platform::posix::TraceListener;
using qs::tools::Complain;

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

}  // namespace

int main(int argc, char** argv) {
  qs::tools::TraceViewOptions options;
  if (int code = qs::tools::ParseTraceViewOptions(
          argc, argv, "Ctrl+C or SIGTERM ends the viewer.\n", &options);
      code != 0) {
    return code - 1;
  }
  const bool color = options.tree &&
                     qs::tools::ColorWanted(options, ::isatty(STDOUT_FILENO) == 1);

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
  qs::tools::AnnounceViewer(options.title);

  std::string message;
  for (;;) {
    switch (listener.Wait(&message, -1, signal_fd)) {
      case TraceListener::Event::kMessage:
        WriteAll(STDOUT_FILENO,
                 qs::tools::RenderTraceText(message, options, color));
        break;
      case TraceListener::Event::kTimeout:
        break;
      case TraceListener::Event::kRefused: {
        const uid_t uid = listener.refused_users().back();
        const passwd* user = ::getpwuid(uid);
        Complain("refused the lines of a program of user " + std::to_string(uid) +
                 (user ? " (" + std::string(user->pw_name) + ")" : std::string()) +
                 ": only this user's and root's programs are shown");
        break;
      }
      case TraceListener::Event::kWake:
        return 0;  // SIGINT or SIGTERM
      case TraceListener::Event::kError:
        Complain(std::string("waiting for lines failed: ") +
                 std::strerror(errno));
        return 1;
    }
  }
}
