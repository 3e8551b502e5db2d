// What the watch jobs cost.
//
// BM_WatchCopyLatency: a small file written and closed in a watched folder
// (Delay 0) until its copy is in the target, the loop pumped meanwhile as
// the service's loop runs (manual time per file; counter max_ms over the
// run). Target under 50 ms.
//
// BM_StartWatchJobs/N: SetupJob and StartWatch of N (1,000 and 10,000) watch
// jobs, each on its own folder with its own job file, as one monitor start
// starts them (the time of one iteration). Target under 1 s for 10,000.
// Counter rss_growth_kib: VmRSS after the start minus
// VmRSS before, for the first iteration, with the heap's free pages handed
// back first; the kernel's own memory for the watches is not part of it.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/message_loop.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A fresh folder for one benchmark, removed at the end.
class Scratch {
 public:
  Scratch() {
    std::string templ =
        (fs::temp_directory_path() / "qs-watchbench-XXXXXX").string();
    path_ = ::mkdtemp(templ.data());
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string Make(const std::string& name) const {
    std::string p = path_ + "/" + name;
    fs::create_directories(p);
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

long VmRssKib() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

struct WatchSetup {
  std::string job_file, selected, from, to;
};

std::unique_ptr<qs::engine::cMonitorJob> StartOne(
    qs::platform::MessageLoop& loop, WatchSetup w, std::int16_t index) {
  auto job = qs::engine::CreateMonitorJob(loop, qs::platform::OsFileSystem(),
                                          *qs::platform::OsPlatform().clock);
  job->ObjectName = "Object" + std::to_string(index);
  std::string language = "Deutsch", lang, ini;
  std::int32_t delay = 0;
  std::int16_t retries = 3;
  bool recursive = false, start_copy = false, service = true, flag = false;
  job->SetupJob(w.job_file, language, delay, recursive, w.selected, start_copy,
                retries, lang, ini, w.from, w.to, service, index);
  job->StartWatch(index, flag);
  return job;
}

std::string JobText(const std::string& from, const std::string& to) {
  return "[Job]\r\nFrom=" + from + "\r\nTo=" + to + "\r\nType=2\r\n";
}

void BM_WatchCopyLatency(benchmark::State& state) {
  Scratch dir;
  auto loop = qs::platform::CreateMessageLoop();
  std::string src = dir.Make("src"), dst = dir.Make("dst"),
              jobs = dir.Make("jobs");
  WriteFile(jobs + "/Watch.qlj", JobText(src, dst));
  auto job = StartOne(*loop, {jobs + "/Watch.qlj", src, src, dst}, 0);
  const std::string bytes(512, 'x');
  double max_ms = 0;
  long n = 0;
  for (auto _ : state) {
    std::string name = std::to_string(n++) + ".dat";
    auto start = Clock::now();
    WriteFile(src + "/" + name, bytes);
    const std::string target = dst + "/" + name;
    std::error_code ec;
    while (!fs::exists(target, ec)) {
      loop->WaitAndPump(100);
      if (Clock::now() - start > std::chrono::seconds(5)) {
        state.SkipWithError("copy did not arrive");
        return;
      }
    }
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(secs);
    max_ms = std::max(max_ms, secs * 1000);
  }
  state.counters["max_ms"] = max_ms;
}
BENCHMARK(BM_WatchCopyLatency)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_StartWatchJobs(benchmark::State& state) {
  const auto kJobs = static_cast<int>(state.range(0));
  Scratch dir;
  auto loop = qs::platform::CreateMessageLoop();
  std::string jobs = dir.Make("jobs");
  std::vector<WatchSetup> setups;
  for (int i = 0; i < kJobs; ++i) {
    std::string n = std::to_string(i);
    WatchSetup w{jobs + "/Job" + n + ".qlj", dir.Make("src/" + n),
                 dir.path() + "/src/" + n, dir.path() + "/dst/" + n};
    WriteFile(w.job_file, JobText(w.from, w.to));
    setups.push_back(w);
  }
  long rss_growth = -1;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::unique_ptr<qs::engine::cMonitorJob>> started;
    started.reserve(kJobs);
    ::malloc_trim(0);
    long before = VmRssKib();
    state.ResumeTiming();
    for (int i = 0; i < kJobs; ++i) {
      started.push_back(
          StartOne(*loop, setups[i], static_cast<std::int16_t>(i)));
    }
    state.PauseTiming();
    if (rss_growth < 0) rss_growth = VmRssKib() - before;
    started.clear();
    loop->PumpPending();
    state.ResumeTiming();
  }
  state.counters["rss_growth_kib"] = static_cast<double>(rss_growth);
}
BENCHMARK(BM_StartWatchJobs)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
