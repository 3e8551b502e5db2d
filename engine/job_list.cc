// The job list: one record per job file of the jobs folder, for the
// real-time monitor. Which keys fill which field is told in job_file.h and
// ToJobRecord.
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/job_file.h"

namespace qs::engine {
namespace {

class JobList final : public cJobList {
 public:
  explicit JobList(platform::FileSystem& fs) : fs_(fs) {}

  // `sFilter`: ";"-separated masks on the job names ("Daily*"); empty for
  // all jobs. Records come in the order of the job file names.
  std::vector<JobRecord> GetJobs(std::string& sJobsPath,
                                 std::string& sFilter) override {
    std::vector<JobRecord> records;
    const std::string jobs_folder = fs_.PathFromText(sJobsPath);
    for (const std::string& name : ListJobFiles(fs_, jobs_folder)) {
      std::string job_name = fs_.TextFromPath(name.substr(0, name.size() - 4));
      if (!sFilter.empty() && !MatchesMasks(job_name, sFilter)) continue;
      records.push_back(ToJobRecord(fs_, ReadJobFile(fs_, jobs_folder, name)));
    }
    return records;
  }

 private:
  platform::FileSystem& fs_;
};

}  // namespace

std::unique_ptr<cJobList> CreateJobList(platform::FileSystem& fs) {
  return std::make_unique<JobList>(fs);
}

}  // namespace qs::engine
