// What the log writer and the log cut cost.
//
// BM_WriteLogLine: lines through WriteLog with "WriteLog", "ShowDate" and
// "ShowTime" all "1" (three lookups, the clock, an existence test and one
// open/append/close per line), against, in the same run,
//   - a bare loop that opens, appends the same bytes and closes
//     (counter vs_bare: target at least 0.4), and
//   - the same writer with a reader that reads and parses the main INI for
//     every lookup (counter naive_over_writelog: target at least 5).
// The main INI is one of realistic size: the product's other programs keep
// their settings in it too (5 sections of 40 keys).
//
// BM_CutHugeLog: CheckLogFileSize on a 1 GiB job log (sparse, a few lines
// at its end) with "LogSize" 100, against reading the file once from start
// to end in 64 KiB pieces (counter cut_pct_of_read: target under 1), and
// the growth of the peak resident memory during one cut (counter
// peak_rss_growth_kib: target under 1024; the peak is reset through
// /proc/self/clear_refs and read from VmHWM after the heap's free pages were
// given back, -1 when that is not possible).
//
// BM_FirstPassServiceVsEngine: the first pass of a job over 10,000 files of
// 2 KB in 100 folders, by the engine alone (no one listens to its events)
// and by the engine as the service runs it, whose form writes a line for
// every copy to the default log ("WriteLog" 1, date and time on). Both run
// in each iteration, in turns first, each into a new target after
// everything is on the disk. Counters: engine_s and service_s, the seconds
// of one pass each, and service_over_engine; the same for the processor
// time (_cpu), which the disk's flushes, shared with whatever else runs,
// do not blur.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "bench/naive_ini.h"
#include "platform/message_loop.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

// The program "lies" in the bin folder of a product folder of the run.
class BenchProcess : public qs::platform::ProcessApi {
 public:
  std::string exe;
  std::string ModuleFileName() override { return exe; }
  std::uint32_t SetErrorMode(std::uint32_t) override { return 0; }
};

// Keys per section of the main INI (5 sections); the benchmark's argument.
int g_keys_per_section = 40;

std::string MainIni(const std::string& job_log_settings) {
  std::string text;
  const char* sections[] = {"Options", "JobWin", "ErrWin", "Monitor", "Mail"};
  for (const char* s : sections) {
    text += std::string("[") + s + "]\r\n";
    for (int k = 0; k < g_keys_per_section; ++k) {
      text += "Setting" + std::to_string(k) + "=value " + std::to_string(k) +
              " of " + s + "\r\n";
    }
    if (std::string(s) == "Options") text += job_log_settings;
    if (std::string(s) == "ErrWin") text += "ShowDate=1\r\nShowTime=1\r\n";
    if (std::string(s) == "JobWin") text += "NoDiskSizeCheck=1\r\n";
    text += "\r\n";
  }
  return text;
}

struct Product {
  Product() {
    std::string tmpl =
        (fs::temp_directory_path() / "qs-logbench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    root = tmpl;
    fs::create_directories(root + "/bin");
    fs::create_directories(root + "/logs");
    ini = root + "/Quillon.ini";
    std::ofstream(ini, std::ios::binary)
        << MainIni("WriteLog=1\r\nLogSize=100\r\n");
    process.exe = root + "/bin/QuillonSrv";
    scoped =
        std::make_unique<qs::platform::ScopedPlatform>(
            qs::platform::Platform{.process = &process});
    loop = qs::platform::CreateMessageLoop();
    form = std::make_unique<qs::frmMain>(*loop, qs::platform::OsFileSystem(),
                                         qs::Components{});
    form->m_oFSO = &qs::platform::OsFileSystem();
    form->m_sIniStr = ini;
    form->m_sLanguage = root + "/lang/Deutsch.lng";
    form->m_sLogPrefix = "NT-Service:";
    form->values.sIniFile = ini;
    form->values.sLogsPath = root + "/logs/";
  }
  ~Product() {
    form.reset();
    loop.reset();
    scoped.reset();
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string root, ini;
  BenchProcess process;
  std::unique_ptr<qs::platform::ScopedPlatform> scoped;
  std::unique_ptr<qs::platform::MessageLoop> loop;
  std::unique_ptr<qs::frmMain> form;
};

Product& TheProduct() {
  static Product p;
  return p;
}

// --- lines per second ------------------------------------------------------

std::string NaiveLookup(const std::string& path, std::string_view section,
                        std::string_view key, const std::string& def) {
  return qs::bench::NaiveLookup(path, section, key).value_or(def);
}

// WriteLog's steps with the naive reader.
void NaiveWriteLog(Product& p, const std::string& msg) {
  qs::platform::Platform& os = qs::platform::Current();
  qs::platform::FileSystem& fs = qs::platform::OsFileSystem();
  std::string head, sep;
  bool date = NaiveLookup(p.ini, "ErrWin", "ShowDate", "0") == "1";
  bool time = NaiveLookup(p.ini, "ErrWin", "ShowTime", "0") == "1";
  if (date || time) sep = "- ";
  if (date) head = os.clock->ShortDateText() + " ";
  if (time) head += os.clock->TimeOfDayText() + " ";
  std::string line = head + sep + p.form->m_sLogPrefix + " " + msg;
  if (NaiveLookup(p.ini, "Options", "WriteLog", "0") != "1") return;
  std::string path = p.root + "/logs/Naive.txt";
  if (!fs.FileExists(path)) fs.CreateTextFile(path, true);
  fs.AppendText(path, line + "\r\n");
}

void BareAppend(const std::string& path, const std::string& line) {
  int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  if (::write(fd, line.data(), line.size()) !=
      static_cast<ssize_t>(line.size())) {
    std::abort();
  }
  ::close(fd);
}

template <class F>
double NanosPerCall(F&& f, int calls) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) f();
  std::chrono::duration<double, std::nano> d =
      std::chrono::steady_clock::now() - start;
  return d.count() / calls;
}

const std::string kMessage =
    "Datei kopiert: Berichte/2026/Umsatz-Dezember.xlsx";

void BM_WriteLogLine(benchmark::State& state) {
  Product& p = TheProduct();
  g_keys_per_section = static_cast<int>(state.range(0));
  std::ofstream(p.ini, std::ios::binary)
      << MainIni("WriteLog=1\r\nLogSize=100\r\n");
  const std::string default_log = p.root + "/logs/DefaultLog.txt";
  fs::remove(default_log);
  // Let the INI age so that its time stamps alone vouch for the cache.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (auto _ : state) p.form->WriteLog(kMessage, false, true, false);
  state.SetItemsProcessed(state.iterations());

  // The comparison, in the same run, outside the timed loop; the three
  // take turns in short rounds, so that a change of the machine's load
  // falls on all of them alike.
  fs::remove(default_log);
  std::string line =
      p.form->GetDateAndTime() + p.form->m_sLogPrefix + " " + kMessage + "\r\n";
  const std::string bare_log = p.root + "/logs/Bare.txt";
  double writelog = 0, bare = 0, naive = 0;
  constexpr int kRounds = 20, kCalls = 1000;
  for (int round = 0; round < kRounds; ++round) {
    writelog += NanosPerCall(
        [&] { p.form->WriteLog(kMessage, false, true, false); }, kCalls);
    bare += NanosPerCall([&] { BareAppend(bare_log, line); }, kCalls);
    naive += NanosPerCall([&] { NaiveWriteLog(p, kMessage); }, kCalls / 10);
  }
  state.counters["ini_bytes"] = static_cast<double>(fs::file_size(p.ini));
  state.counters["writelog_lines_per_s"] = 1e9 * kRounds / writelog;
  state.counters["bare_lines_per_s"] = 1e9 * kRounds / bare;
  state.counters["vs_bare"] = bare / writelog;
  state.counters["naive_over_writelog"] = naive / writelog;
  fs::remove(default_log);
  fs::remove(bare_log);
  fs::remove(p.root + "/logs/Naive.txt");
}
// A main INI of about 6 KB and one of about 30 KB (1,000 keys).
BENCHMARK(BM_WriteLogLine)->Arg(40)->Arg(200)->Unit(benchmark::kMicrosecond);

// --- the cut of a huge log ---------------------------------------------------

constexpr off_t kHugeSize = off_t{1} << 30;

void MakeHugeLog(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::ftruncate(fd, kHugeSize) != 0) std::abort();
  ::close(fd);
  std::string tail = "\r\n";
  for (int i = 0; i < 100; ++i) {
    tail += "line " + std::to_string(i) + " of the job's last run\r\n";
  }
  fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0 || ::write(fd, tail.data(), tail.size()) < 0) std::abort();
  ::close(fd);
}

double ReadOnceNanos(const std::string& path) {
  auto start = std::chrono::steady_clock::now();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  static char buf[65536];
  std::uint64_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    total += static_cast<std::uint64_t>(n);
  }
  ::close(fd);
  benchmark::DoNotOptimize(total);
  std::chrono::duration<double, std::nano> d =
      std::chrono::steady_clock::now() - start;
  return d.count();
}

// VmHWM in KiB, or -1.
long PeakRssKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0)
      return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

bool ResetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

void BM_CutHugeLog(benchmark::State& state) {
  Product& p = TheProduct();
  const std::string log = p.root + "/logs/Huge_Log.txt";
  std::ofstream(p.ini, std::ios::binary)
      << MainIni("WriteLog=2\r\nLogSize=100\r\n");
  p.form->values.sJobLogFile = log;
  double cut_total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    MakeHugeLog(log);
    state.ResumeTiming();
    auto start = std::chrono::steady_clock::now();
    p.form->CheckLogFileSize();
    cut_total += std::chrono::duration<double, std::nano>(
                     std::chrono::steady_clock::now() - start)
                     .count();
  }
  if (fs::file_size(log) > 102400) state.SkipWithError("the log was not cut");

  MakeHugeLog(log);
  double read_once = ReadOnceNanos(log);
  MakeHugeLog(log);
  long growth = -1;
  // Free heap pages go back to the system first, so that what the cut
  // allocates shows as new resident memory.
  ::malloc_trim(0);
  if (ResetPeakRss()) {
    long before = PeakRssKib();
    p.form->CheckLogFileSize();
    long after = PeakRssKib();
    if (before >= 0 && after >= 0) growth = after - before;
  }
  double cut = cut_total / static_cast<double>(state.iterations());
  state.counters["cut_ms"] = cut / 1e6;
  state.counters["read_once_ms"] = read_once / 1e6;
  state.counters["cut_pct_of_read"] = 100.0 * cut / read_once;
  state.counters["peak_rss_growth_kib"] = static_cast<double>(growth);
  fs::remove(log);
  p.form->values.sJobLogFile.clear();
  std::ofstream(p.ini, std::ios::binary)
      << MainIni("WriteLog=1\r\nLogSize=100\r\n");
}
BENCHMARK(BM_CutHugeLog)->Unit(benchmark::kMillisecond)->Iterations(20);

// --- the first pass of 10,000 small files ------------------------------------

// A jobs folder `jobs` with one job copying `from` to `to`, files at once.
void JobsFolder(const std::string& jobs, const std::string& from, const std::string& to) {
  fs::create_directories(jobs);
  std::ofstream(jobs + "/Bench.qlj", std::ios::binary)
      << "[Job]\r\nFrom=" << from << "\r\nTo=" << to << "\r\nRecursive=1\r\nSettle=0\r\n";
}

double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Adds the seconds of one pass of `engine` over the jobs folder `jobs` to
// `seconds`: its time and the processor time it took.
void AddPass(qs::engine::cJobEngine& engine, std::string jobs, double seconds[2]) {
  ::sync();
  std::string lang;
  bool run_all = true, b = false, c = false;
  engine.NoDiskSizeCheck = true;
  const auto start = std::chrono::steady_clock::now();
  const double cpu = CpuSeconds();
  engine.ProcessJobs(jobs, lang, run_all, b, c);
  seconds[1] += CpuSeconds() - cpu;
  seconds[0] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_FirstPassServiceVsEngine(benchmark::State& state) {
  Product& p = TheProduct();
  std::ofstream(p.ini, std::ios::binary) << MainIni("WriteLog=1\r\n");
  const std::string src = p.root + "/pass-src", alone = p.root + "/pass-alone",
                    served = p.root + "/pass-service";
  const std::string data(2048, 'x');
  for (int folder = 0; folder < 100; ++folder) {
    const std::string dir = src + "/f" + std::to_string(folder);
    fs::create_directories(dir);
    for (int file = 0; file < 100; ++file) {
      std::ofstream(dir + "/file" + std::to_string(file) + ".dat") << data;
    }
  }
  JobsFolder(p.root + "/jobs-alone", src, alone);
  JobsFolder(p.root + "/jobs-service", src, served);
  qs::platform::FileSystem& os_fs = qs::platform::OsFileSystem();
  qs::platform::Clock& clock = *qs::platform::Current().clock;
  std::unique_ptr<qs::engine::cJobEngine> engine =
      qs::engine::CreateJobEngine(*p.loop, os_fs, clock);
  qs::frmMain& form = *p.form;
  form.values.sJobsPath = p.root + "/jobs-service/";
  form.cQL = qs::engine::CreateJobEngine(*p.loop, os_fs, clock);
  // As the form connects them.
  form.cQL->LogMessage = [&form](std::string& msg, std::int16_t& id, bool& view, bool& file,
                                 bool& same, bool& last) {
    form.cQL_LogMessage(msg, id, view, file, same, last);
  };
  form.cQL->CurrentJob = [&form](std::string& name, std::int32_t& index, std::int32_t& count,
                                 std::int16_t& status, std::int16_t& type,
                                 std::int16_t& time_type, std::string& time, std::string& date,
                                 std::int16_t& week_day, std::int16_t& month_day) {
    form.cQL_CurrentJob(name, index, count, status, type, time_type, time, date, week_day,
                        month_day);
  };
  double engine_s[2] = {}, service_s[2] = {};
  bool engine_first = true;
  for (auto _ : state) {
    fs::remove_all(alone);
    fs::remove_all(served);
    fs::remove(p.root + "/logs/DefaultLog.txt");
    // Turn about, so that neither always comes first.
    if (engine_first) AddPass(*engine, p.root + "/jobs-alone/", engine_s);
    AddPass(*form.cQL, form.values.sJobsPath, service_s);
    if (!engine_first) AddPass(*engine, p.root + "/jobs-alone/", engine_s);
    engine_first = !engine_first;
  }
  if (!fs::exists(alone + "/f99/file99.dat") || !fs::exists(served + "/f99/file99.dat")) {
    state.SkipWithError("a pass did not copy everything");
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["engine_s"] = engine_s[0] / n;
  state.counters["service_s"] = service_s[0] / n;
  state.counters["service_over_engine"] = service_s[0] / engine_s[0];
  state.counters["engine_cpu_s"] = engine_s[1] / n;
  state.counters["service_cpu_s"] = service_s[1] / n;
  state.counters["service_over_engine_cpu"] = service_s[1] / engine_s[1];
  form.cQL.reset();
  fs::remove_all(src);
  fs::remove_all(alone);
  fs::remove_all(served);
}
BENCHMARK(BM_FirstPassServiceVsEngine)->Unit(benchmark::kMillisecond)->Iterations(6);

}  // namespace
