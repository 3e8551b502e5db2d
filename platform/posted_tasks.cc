#include "platform/posted_tasks.h"

#include <utility>

namespace qs::platform {

void PostedTasks::Push(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_.push_back(std::move(task));
}

bool PostedTasks::Empty() {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.empty();
}

std::size_t PostedTasks::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size();
}

void PostedTasks::Run(std::size_t count, const bool* quit) {
  for (std::size_t i = 0; i < count; ++i) {
    if (quit != nullptr && *quit) return;
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    if (task) task();
  }
}

}  // namespace qs::platform
