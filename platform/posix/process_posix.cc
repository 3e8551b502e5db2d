// The running process on POSIX, and the ANSI code page (the locale's
// character set).
#include <iconv.h>
#include <langinfo.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <string>
#include <string_view>

#include "platform/posix/posix_impl.h"

namespace qs::platform {
namespace posix {
namespace {

class PosixProcess final : public ProcessApi {
 public:
  // The executable's path does not change while the process runs; it is
  // read once (the log writers ask for it with every line).
  std::string ModuleFileName() override {
    if (exe_.empty()) {
      char buf[4096];
      ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
      if (n > 0) exe_.assign(buf, static_cast<std::size_t>(n));
    }
    return exe_;
  }
  // Critical-error boxes do not exist here; the mode is only remembered.
  std::uint32_t SetErrorMode(std::uint32_t mode) override {
    std::uint32_t old = mode_;
    mode_ = mode;
    return old;
  }

 private:
  std::uint32_t mode_ = 0;
  std::string exe_;
};

}  // namespace

ProcessApi& Process() {
  static PosixProcess process;
  return process;
}

}  // namespace posix

std::string Utf8ToAnsi(std::string_view utf8) {
  // Every code set of a POSIX locale holds ASCII as it is, and most texts
  // are ASCII.
  if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; })) {
    return std::string(utf8);
  }
  const char* codeset = ::nl_langinfo(CODESET);
  std::string target = codeset;
  iconv_t cd = ::iconv_open(target.c_str(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(utf8);
  std::string out;
  char* in = const_cast<char*>(utf8.data());
  std::size_t in_left = utf8.size();
  char buf[256];
  while (in_left > 0) {
    char* o = buf;
    std::size_t o_left = sizeof buf;
    std::size_t rc = ::iconv(cd, &in, &in_left, &o, &o_left);
    out.append(buf, static_cast<std::size_t>(o - buf));
    if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
      // A character the code set cannot hold: '?' in its place.
      out.push_back('?');
      do {
        ++in;
        --in_left;
      } while (in_left > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80);
    }
  }
  ::iconv_close(cd);
  return out;
}

// A service started without LANG (systemd on a machine without
// /etc/locale.conf) runs under the C locale, whose code set is ASCII: the
// German texts would lose their umlauts to "?". Under C or POSIX the code set
// is taken to be UTF-8, as modern runtimes take it; dates, times and numbers
// keep the C locale's forms. Any other locale, a legacy one with one byte per
// letter included, is used as it is.
void ApplyRegionalSettings() {
  std::setlocale(LC_ALL, "");
  const std::string_view ctype = std::setlocale(LC_CTYPE, nullptr);
  if (ctype == "C" || ctype == "POSIX") std::setlocale(LC_CTYPE, "C.UTF-8");
}

void ExitOnCrash() {}

void SetPriorityClass(std::uint32_t priority_class) {
  int policy = SCHED_OTHER;
  int nice_value = 0;
  switch (priority_class) {
    case 0x40: policy = SCHED_IDLE; nice_value = 19; break;
    case 0x20: break;
    case 0x80: nice_value = -10; break;
    default: return;
  }
  // The service has one thread, so the calling thread's values are the
  // process's. Both results are ignored: a refusal keeps what was there.
  sched_param param{};
  (void)::sched_setscheduler(0, policy, &param);
  (void)::setpriority(PRIO_PROCESS, 0, nice_value);
}

}  // namespace qs::platform
