// What a lookup in the main INI costs: through the cached reader, right
// after the file changed on disk, and by reading and parsing the whole file
// for every lookup.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench/naive_ini.h"
#include "platform/posix/posix_impl.h"

namespace {

constexpr int kSections = 10;
constexpr int kKeysPerSection = 100;  // 1,000 keys in all

std::string MainIni(const std::string& last_value) {
  std::string text = "; Quillon main INI\r\n";
  for (int s = 0; s < kSections; ++s) {
    text += "[Section" + std::to_string(s) + "]\r\n";
    for (int k = 0; k < kKeysPerSection; ++k) {
      int n = s * kKeysPerSection + k;
      std::string value = n == kSections * kKeysPerSection - 1
                              ? last_value
                              : "value of key " + std::to_string(n);
      text += "Key" + std::to_string(n) + " = " + value + "\r\n";
    }
    text += "\r\n";
  }
  return text;
}

void Save(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// The file the lookups read, in a folder of its own for the run.
struct BenchFile {
  BenchFile() {
    std::string tmpl =
        (std::filesystem::temp_directory_path() / "qs-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    dir = tmpl;
    path = dir + "/Quillon.ini";
    Save(path, MainIni("found"));
  }
  ~BenchFile() {
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
  }
  std::string dir, path;
};

BenchFile& File() {
  static BenchFile file;
  return file;
}

const char kSection[] = "section9";
const char kKey[] = "KEY999";

std::string CachedLookup() {
  char buf[256];
  std::uint32_t n = qs::platform::posix::Profile().GetPrivateProfileString(
      kSection, kKey, "", buf, sizeof buf, File().path.c_str());
  return std::string(buf, n);
}

std::string NaiveLookup(const std::string& path, std::string_view section,
                        std::string_view key) {
  return qs::bench::NaiveLookup(path, section, key).value_or(std::string());
}

// Lets the file age past the moment when its time stamps alone can be
// trusted, so that the cache serves it without reading it.
void LetFileSettle() {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

template <class F>
double NanosPerCall(F&& f, int calls) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) benchmark::DoNotOptimize(f());
  std::chrono::duration<double, std::nano> d =
      std::chrono::steady_clock::now() - start;
  return d.count() / calls;
}

void BM_IniLookupCached(benchmark::State& state) {
  Save(File().path, MainIni("found"));
  LetFileSettle();
  if (CachedLookup() != "found") {
    state.SkipWithError("wrong value");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(CachedLookup());
  // The same comparison once more outside the timed loop, for the ratio.
  double cached = NanosPerCall(CachedLookup, 20000);
  double naive = NanosPerCall(
      [] { return NaiveLookup(File().path, kSection, kKey); }, 500);
  state.counters["naive_ns"] = naive;
  state.counters["cached_ns"] = cached;
  state.counters["naive_over_cached"] = naive / cached;
}
BENCHMARK(BM_IniLookupCached);

void BM_IniLookupAfterChange(benchmark::State& state) {
  const std::string a = MainIni("first"), b = MainIni("other");
  bool flip = false;
  for (auto _ : state) {
    state.PauseTiming();
    flip = !flip;
    Save(File().path, flip ? a : b);
    state.ResumeTiming();
    if (CachedLookup() != (flip ? "first" : "other")) {
      state.SkipWithError("stale value after a change on disk");
      break;
    }
  }
}
BENCHMARK(BM_IniLookupAfterChange);

void BM_IniLookupNaive(benchmark::State& state) {
  Save(File().path, MainIni("found"));
  if (NaiveLookup(File().path, kSection, kKey) != "found") {
    state.SkipWithError("wrong value");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(NaiveLookup(File().path, kSection, kKey));
  }
}
BENCHMARK(BM_IniLookupNaive);

}  // namespace
