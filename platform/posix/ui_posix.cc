// The message box on POSIX. A service has no desktop and nobody to press a
// button, so the box becomes one line for the administrator: in the systemd
// journal with priority "err" and on standard error, and the call returns at
// once as if Ignore had been chosen. A notice goes the same way with
// priority "warning".
//
// Under systemd, standard error usually is a journal stream itself
// ($JOURNAL_STREAM names it). The line then goes to the journal once, with
// its priority, and not a second time through standard error. The journal
// is there in that case (it holds the other end of the stream); elsewhere
// the library drops a line silently when no journal runs, which is why
// standard error always gets it then.
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <systemd/sd-journal.h>

#include "platform/posix/posix_impl.h"

namespace qs::platform::posix {
namespace {

constexpr int kIdIgnore = 5;

std::string ExecutableName() {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  std::string name;
  if (n > 0) {
    name.assign(path, static_cast<std::size_t>(n));
    // A replaced executable reads "/path/name (deleted)".
    constexpr std::string_view kDeleted = " (deleted)";
    if (name.size() > kDeleted.size() && name.ends_with(kDeleted)) {
      name.resize(name.size() - kDeleted.size());
    }
    name.erase(0, name.rfind('/') + 1);
  }
  if (name.empty()) name = program_invocation_short_name;
  return name;
}

// True when standard error is the journal stream systemd connected.
bool StderrIsJournal() {
  const char* stream = ::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st;
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

bool SendToJournal(const std::string& message, int priority) {
  const std::string fields[] = {"MESSAGE=" + message, "PRIORITY=" + std::to_string(priority),
                                "SYSLOG_IDENTIFIER=" + ExecutableName()};
  iovec iov[3];
  for (int i = 0; i < 3; ++i) {
    iov[i].iov_base = const_cast<char*>(fields[i].data());
    iov[i].iov_len = fields[i].size();
  }
  return sd_journal_sendv(iov, 3) >= 0;
}

void WriteToStderr(std::string line) {
  // One line, whatever the text holds.
  for (char& c : line) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  line += '\n';
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // no standard error: the journal is all there is
    }
  }
}

class JournalUi final : public UserInterface {
 public:
  int MessageBox(const std::string& text, const std::string& title,
                 unsigned /*type: no buttons to show*/) override {
    const std::string message = title + ": " + text;
    const bool journaled = SendToJournal(message, 3);  // false on real errors
    if (!journaled || !StderrIsJournal()) WriteToStderr(message);
    return kIdIgnore;
  }

  void Notice(const std::string& text) override {
    if (!SendToJournal(text, 4) || !StderrIsJournal()) WriteToStderr(text);
  }
};

}  // namespace

UserInterface& Ui() {
  static JournalUi ui;
  return ui;
}

}  // namespace qs::platform::posix
