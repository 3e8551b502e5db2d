// The object that reports the end of registered watch jobs: AddObject points
// the job's Finished at this object's Done. The job keeps only a weak
// reference, so a Finished after this object is gone goes nowhere.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "engine/engine.h"

namespace qs::engine {
namespace {

class MultiEvent final : public cMultiEvent {
 public:
  MultiEvent() : self_(std::make_shared<MultiEvent*>(this)) {}

  void AddObject(cMonitorJob& oJob) override {
    std::weak_ptr<MultiEvent*> weak = self_;
    oJob.Finished = [weak](std::string objectname, std::int16_t Index) {
      std::shared_ptr<MultiEvent*> self = weak.lock();
      if (!self) return;
      // A copy: the handler may release this object.
      auto done = (*self)->Done;
      if (done) done(std::move(objectname), Index);
    };
  }

 private:
  std::shared_ptr<MultiEvent*> self_;
};

}  // namespace

std::unique_ptr<cMultiEvent> CreateMultiEvent(platform::MessageLoop& /*loop*/) {
  return std::make_unique<MultiEvent>();
}

}  // namespace qs::engine
