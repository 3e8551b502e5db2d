#include "engine/job_folder_view.h"

#include <map>
#include <utility>

#include "engine/file_copy.h"
#include "platform/runtime_error.h"

namespace qs::engine {

std::shared_ptr<JobFolderView> JobFolderView::ThisTurn(platform::MessageLoop& loop,
                                                       platform::FileSystem& fs,
                                                       const std::string& jobs_folder) {
  using Views = std::map<std::pair<platform::FileSystem*, std::string>,
                         std::shared_ptr<JobFolderView>>;
  std::shared_ptr<Views> views = platform::SharedPerLoop<Views>(loop, [&loop] {
    auto made = std::make_shared<Views>();
    loop.Post([made] {});  // held until the loop turns
    return made;
  });
  std::shared_ptr<JobFolderView>& view = (*views)[{&fs, NormalizedFolder(fs, jobs_folder)}];
  if (!view) view = std::make_shared<JobFolderView>(fs, jobs_folder);
  return view;
}

JobFolderView::JobFolderView(platform::FileSystem& fs, std::string jobs_folder)
    : fs_(fs), folder_(std::move(jobs_folder)) {
  platform::ProfileBatch one_moment;  // every job file as of one moment
  try {
    for (const std::string& name : ListJobFiles(fs, folder_)) {
      by_name_.emplace(name, jobs_.size());
      jobs_.push_back(ReadJobFile(fs, folder_, name));
    }
  } catch (const RuntimeError&) {
    failure_ = std::current_exception();
  }
}

const std::vector<JobSettings>& JobFolderView::Jobs() const {
  if (failure_) std::rethrow_exception(failure_);
  return jobs_;
}

JobSettings JobFolderView::Job(const std::string& file_name) const {
  auto it = by_name_.find(file_name);
  return it != by_name_.end() ? jobs_[it->second] : ReadJobFile(fs_, folder_, file_name);
}

const std::string& JobFolderView::Resolved(const std::string& path) {
  auto [it, added] = resolved_.try_emplace(path);
  if (added) it->second = ResolvedOrEmpty(fs_, path);
  return it->second;
}

const JobTargets& JobFolderView::Targets() {
  if (!targets_) {
    std::vector<JobFolders> folders;
    for (const JobSettings& job : jobs_) folders.push_back({Resolved(job.from), Resolved(job.to)});
    targets_ = std::make_unique<JobTargets>(fs_, folders);
  }
  return *targets_;
}

}  // namespace qs::engine
