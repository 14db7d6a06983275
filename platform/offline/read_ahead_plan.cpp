#include "platform/offline/read_ahead_plan.h"

#include <utility>

#include "store/load_components_hive.h"
#include "store/scan_components.h"

namespace tessaly::offline {

std::optional<ListedComponent> ReadAheadPlan::Enter(std::u16string_view name) {
  if (!started_) Start();
  if (!readAhead_) return std::nullopt;
  Refill();
  return readAhead_->Take(name);
}

// Without the store or the key there is nothing to read ahead; the walk
// meets those failures itself.
void ReadAheadPlan::Start() {
  started_ = true;
  UniqueDirectory store(image_.Files());
  if (!image_.SplitPath(std::u16string_view(storeRoot_).substr(0, storeRoot_.size() - 1), &components_) ||
      !image_.OpenDirectory(components_, &store).Ok()) {
    return;
  }
  storeDepth_ = components_.size();
  if (registry_.OpenKeyEx(kLocalMachine, kComponentListKey, kRegOptionBackupRestore, kKeyRead,
                          componentsKey_.Put()) != Win32Status::Success) {
    componentsKey_.Reset();
    return;
  }
  readAhead_.emplace(image_.Files(), std::move(store), threads_);
}

// Refilled by halves, so that idle workers are woken for a batch at a time.
void ReadAheadPlan::Refill() {
  if (allQueued_ || readAhead_->Queued() > kReadAheadWindow / 2) return;
  std::vector<ReadAhead::Component> batch;
  std::u16string name;
  for (std::size_t queued = readAhead_->Queued(); queued + batch.size() < kReadAheadWindow;) {
    UniqueKey componentKey(registry_);
    if (!NextWalkedComponent(registry_, componentsKey_.Get(), &nextIndex_, &name, componentKey)) {
      allQueued_ = true;
      break;
    }
    // A name the walk's path would split or refuse is left to the walk.
    if (image_.SplitPath(storeRoot_ + name, &components_) && components_.size() == storeDepth_ + 1) {
      batch.push_back({name});
    }
  }
  readAhead_->Queue(std::move(batch));
}

}  // namespace tessaly::offline
