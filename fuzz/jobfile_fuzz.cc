// The job-file reader: any bytes as a job file of any name, read as the
// engine's pass and the job list read it. Nothing may crash; the record the
// job list reports must match the settings the pass reads, and a file name
// that matches its own mask must be wanted by a copier with that pattern.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/file_copy.h"
#include "engine/job_file.h"
#include "fuzz/fuzz_support.h"
#include "platform/message_loop.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::string name = in.ConsumeRandomLengthString(40);
  for (char& c : name) {
    if (c == '/' || c == '\0') c = '_';
  }
  const std::string probe = in.ConsumeRandomLengthString(40);
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  namespace fs = std::filesystem;
  const std::string jobs = qs::fuzz::Scratch() + "/jobs";
  std::error_code ec;
  fs::remove_all(jobs, ec);
  fs::create_directory(jobs);
  ::chmod(jobs.c_str(), 0755);
  const std::string file = name + ".qlj";
  if (name.empty() || file.size() > 255 || name == "." || name == "..") return 0;
  qs::fuzz::Save(jobs + "/" + file, bytes);
  ::chmod((jobs + "/" + file).c_str(), 0644);

  qs::platform::FileSystem& files = qs::platform::OsFileSystem();
  const std::vector<std::string> names = qs::engine::ListJobFiles(files, jobs);
  CHECK(names.size() == 1 && names[0] == file);
  const qs::engine::JobSettings job = qs::engine::ReadJobFile(files, jobs, file);
  std::string path = jobs, filter;
  // The job list reads the folder once per turn of its loop: one turn per input.
  static const std::unique_ptr<qs::platform::MessageLoop> loop =
      qs::platform::CreateMessageLoop();
  const std::vector<qs::engine::JobRecord> records =
      qs::engine::CreateJobList(*loop, files)->GetJobs(path, filter);
  loop->PumpPending();
  CHECK(records.size() == 1);
  const qs::engine::JobRecord& r = records[0];
  CHECK(r.JobName == name && r.JobType == job.type && r.PathA == job.from &&
        r.PathB == job.to && r.PathC == job.watch_folder && r.PathChoice == job.watch &&
        r.ExcludeFlag == (job.active ? 0 : 1) && r.CheckValue == job.hold);

  qs::engine::CopyRules rules;
  rules.pattern = job.pattern;
  qs::engine::FileCopier copier(files, rules, nullptr);
  const bool wanted = copier.Wanted(probe);
  CHECK(!wanted || !qs::engine::IsTempName(probe));
  CHECK(wanted == (!qs::engine::IsTempName(probe) && qs::engine::MatchesMasks(probe, job.pattern)));
  (void)qs::engine::HoldIsZero(job.hold);
  return 0;
}
