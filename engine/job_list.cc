// The job list: one record per job file of the jobs folder, for the
// real-time monitor. Which keys fill which field is told in job_file.h and
// ToJobRecord. It reads the folder as the turn's JobFolderView, which the
// watch jobs it is asked for then start from.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/job_file.h"
#include "engine/job_folder_view.h"

namespace qs::engine {
namespace {

class JobList final : public cJobList {
 public:
  JobList(platform::MessageLoop& loop, platform::FileSystem& fs) : loop_(loop), fs_(fs) {}

  // `sFilter`: ";"-separated masks on the job names ("Daily*"); empty for
  // all jobs. Records come in the order of the job file names.
  std::vector<JobRecord> GetJobs(std::string& sJobsPath,
                                 std::string& sFilter) override {
    std::vector<JobRecord> records;
    const std::string jobs_folder = fs_.PathFromText(sJobsPath);
    const auto view = JobFolderView::ThisTurn(loop_, fs_, jobs_folder);
    for (const JobSettings& job : view->Jobs()) {
      JobRecord record = ToJobRecord(fs_, job);
      if (!sFilter.empty() && !MatchesMasks(record.JobName, sFilter)) continue;
      records.push_back(std::move(record));
    }
    return records;
  }

 private:
  platform::MessageLoop& loop_;
  platform::FileSystem& fs_;
};

}  // namespace

std::unique_ptr<cJobList> CreateJobList(platform::MessageLoop& loop,
                                        platform::FileSystem& fs) {
  return std::make_unique<JobList>(loop, fs);
}

}  // namespace qs::engine
