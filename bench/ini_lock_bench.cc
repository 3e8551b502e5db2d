// What the lock costs an INI write: the writer of `quillon-ini set` and the
// service (read, change one line, replace the file atomically, all under the
// lock of the file's writers) against the same steps without the lock, in the
// same run. Counter with_vs_without: writes per second with the lock as a
// share of those without (target at least 0.8).
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/posix/fd_io.h"
#include "platform/posix/profile_text.h"
#include "platform/posix/safe_files.h"

namespace {

namespace fs = std::filesystem;
namespace posix = qs::platform::posix;
using Clock = std::chrono::steady_clock;

bool Edit(std::string& bytes, int i) {
  return qs::platform::posix::profile::Edit(bytes, "Options", "Counter", std::to_string(i).c_str(),
                                            qs::platform::posix::profile::CaseFold::kAscii);
}

void BM_IniSetLockedVsUnlocked(benchmark::State& state) {
  // A folder of this run's own: two runs on one machine keep apart.
  std::string dir = (fs::temp_directory_path() / "qs-inilock-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) std::abort();
  const std::string file = dir + "/Quillon.ini";
  std::string settings = "[Options]\r\n";
  for (int k = 0; k < 40; ++k) settings += "Key" + std::to_string(k) + "=value\r\n";
  posix::ReplaceRules rules;
  rules.follow_last = true;
  posix::ReplaceFile(file, settings, rules);
  double locked = 0, unlocked = 0;
  int i = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    posix::UpdateFile(file, [&](std::string& bytes, bool) { return Edit(bytes, ++i); }, rules);
    locked += std::chrono::duration<double>(Clock::now() - start).count();
    start = Clock::now();
    std::string bytes;
    posix::ReadFileInto(file.c_str(), &bytes);
    Edit(bytes, ++i);
    posix::ReplaceFile(file, bytes, rules);
    unlocked += std::chrono::duration<double>(Clock::now() - start).count();
  }
  state.counters["with_vs_without"] = unlocked / locked;
  fs::remove_all(dir);
}
BENCHMARK(BM_IniSetLockedVsUnlocked)->Iterations(500);

}  // namespace
