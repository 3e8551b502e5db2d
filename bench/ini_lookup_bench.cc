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

// The plain way: read the file, split it into lines, find the section and
// the key, with the same trimming and case rules.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
  };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string NaiveLookup(const std::string& path, std::string_view section,
                        std::string_view key) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  bool in_section = false, seen_section = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line = Trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    if (line.empty()) continue;
    if (line.front() == '[') {
      std::size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        if (seen_section && in_section) break;
        in_section = SameName(Trim(line.substr(1, close - 1)), section);
        seen_section = seen_section || in_section;
        continue;
      }
    }
    if (!in_section) continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (SameName(Trim(line.substr(0, eq)), key)) {
      return std::string(Trim(line.substr(eq + 1)));
    }
  }
  return std::string();
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
