// What a first pass of the engine costs, against `cp -a` of the same tree in
// the same run; both start from a source in the page cache and an empty
// target, and the copier keeps its promise (after a crash each name holds
// the old file or the whole new one), so it pays for flushing its copies.
//
// BM_FirstPassSmallFiles: 10,000 files of 2 KB in 100 folders.
// BM_FirstPassLargeFile: one file of 1 GiB.
// Counters: copier_s and cp_s, the seconds of one copy each, and vs_cp =
// cp_s / copier_s, the copier's rate as a share of cp's (targets: at least
// 0.5 for the small files, 0.9 for the large one).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/file_copy.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The source tree, made once per benchmark; removed with the targets.
class Tree {
 public:
  explicit Tree(const std::string& name) {
    // A folder of this run's own: two runs on one machine keep apart.
    root_ = (fs::temp_directory_path() / ("qs-copybench-" + name + "-XXXXXX")).string();
    if (::mkdtemp(root_.data()) == nullptr) std::abort();
    fs::create_directories(root_ + "/src");
  }
  ~Tree() { fs::remove_all(root_); }
  std::string Src() const { return root_ + "/src"; }
  std::string Dst(const std::string& which) const { return root_ + "/" + which; }

 private:
  std::string root_;
};

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void Compare(benchmark::State& state, const Tree& tree) {
  double copier = 0, cp = 0;
  for (auto _ : state) {
    fs::remove_all(tree.Dst("by-copier"));
    fs::remove_all(tree.Dst("by-cp"));
    ::sync();
    qs::engine::CopyRules rules;
    rules.recursive = true;
    rules.check_free_space = false;
    auto start = Clock::now();
    int failures = qs::engine::FileCopier(qs::platform::OsFileSystem(), rules, nullptr)
                       .CopyFolders(tree.Src(), tree.Dst("by-copier"));
    copier += Seconds(start);
    if (failures != 0) state.SkipWithError("the copier failed");
    ::sync();
    start = Clock::now();
    const std::string cmd = "cp -a '" + tree.Src() + "' '" + tree.Dst("by-cp") + "'";
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("cp failed");
    cp += Seconds(start);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["copier_s"] = copier / n;
  state.counters["cp_s"] = cp / n;
  state.counters["vs_cp"] = cp / copier;
}

void BM_FirstPassSmallFiles(benchmark::State& state) {
  Tree tree("small");
  const std::string data(2048, 'x');
  for (int folder = 0; folder < 100; ++folder) {
    const std::string dir = tree.Src() + "/f" + std::to_string(folder);
    fs::create_directory(dir);
    for (int file = 0; file < 100; ++file) {
      std::ofstream(dir + "/file" + std::to_string(file) + ".dat") << data;
    }
  }
  Compare(state, tree);
}
BENCHMARK(BM_FirstPassSmallFiles)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_FirstPassLargeFile(benchmark::State& state) {
  Tree tree("large");
  {
    std::ofstream out(tree.Src() + "/big.bin", std::ios::binary);
    std::string block(1 << 20, '\0');
    for (int i = 0; i < 1024; ++i) {
      block[static_cast<std::size_t>(i)] = static_cast<char>(i);
      out << block;
    }
  }
  Compare(state, tree);
}
BENCHMARK(BM_FirstPassLargeFile)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
