// Date, time and ticks on POSIX. The regional settings are the LC_TIME
// locale: a German locale prints 04.12.2026 and 19:36:13.
//
// Every log line asks for the date and the time: both texts are made once
// per second (and LC_TIME locale) and kept until the next one.
#include <time.h>

#include <clocale>
#include <string>

#include "platform/posix/posix_impl.h"

namespace qs::platform::posix {
namespace {

struct tm LocalNow() {
  time_t now = ::time(nullptr);
  struct tm t {};
  ::localtime_r(&now, &t);
  return t;
}

std::string Format(const char* format, const struct tm& t) {
  char buf[128];
  std::size_t n = ::strftime(buf, sizeof buf, format, &t);
  return std::string(buf, n);
}

class PosixClock final : public Clock {
 public:
  // The C locale's %x has a two-digit year; the regional short date of
  // every other locale comes from the locale itself.
  std::string ShortDateText() override { return Texts().date; }
  std::string TimeOfDayText() override { return Texts().time; }
  LocalTime Now() override {
    struct tm t = LocalNow();
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
            t.tm_hour,        t.tm_min,     t.tm_sec};
  }
  std::uint32_t TickCount() override {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                       static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
  }
  // The monotonic clock already has millisecond resolution.
  std::uint32_t TimeBeginPeriod(std::uint32_t) override { return 0; }

 private:
  struct SecondTexts {
    time_t second = -1;
    std::string locale, date, time;
  };

  const SecondTexts& Texts() {
    const time_t now = ::time(nullptr);
    const char* locale = std::setlocale(LC_TIME, nullptr);
    if (now != texts_.second || texts_.locale != locale) {
      struct tm t {};
      ::localtime_r(&now, &t);
      texts_ = {now, locale, Format("%x", t), Format("%X", t)};
    }
    return texts_;
  }

  SecondTexts texts_;
};

}  // namespace

Clock& SystemClock() {
  static PosixClock clock;
  return clock;
}

}  // namespace qs::platform::posix
