// The jobs folder as one turn of the loop sees it. A monitor start asks the
// job list for every job and then starts each watch job, and every one of
// them would list the folder and read the job files again; so the job list
// and the watch jobs of one turn share one reading of the folder, made at
// the first use in the turn and let go when the loop turns. Nothing of it
// is kept for a later start: that one reads the folder afresh.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/job_file.h"
#include "platform/message_loop.h"
#include "platform/platform.h"

namespace qs::engine {

class JobFolderView {
 public:
  // The view of `jobs_folder` for this turn of `loop` (two spellings of one
  // folder share it). The file system must outlive the turn.
  static std::shared_ptr<JobFolderView> ThisTurn(platform::MessageLoop& loop,
                                                 platform::FileSystem& fs,
                                                 const std::string& jobs_folder);

  JobFolderView(platform::FileSystem& fs, std::string jobs_folder);

  // Every job file, in the order of ListJobFiles; throws what listing the
  // folder threw (qs::RuntimeError).
  const std::vector<JobSettings>& Jobs() const;
  // The job file `file_name`: as read for the view when it was listed, else
  // read now.
  JobSettings Job(const std::string& file_name) const;
  // `path` resolved; "" when it is empty or cannot be resolved.
  const std::string& Resolved(const std::string& path);
  // The targets not to walk among every job of the folder; made at the
  // first call.
  const JobTargets& Targets();

 private:
  platform::FileSystem& fs_;
  std::string folder_;
  std::vector<JobSettings> jobs_;
  std::exception_ptr failure_;  // of the listing
  std::unordered_map<std::string, std::size_t> by_name_;  // into jobs_
  std::unordered_map<std::string, std::string> resolved_;  // by path
  std::unique_ptr<JobTargets> targets_;
};

}  // namespace qs::engine
