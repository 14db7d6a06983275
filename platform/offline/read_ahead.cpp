#include "platform/offline/read_ahead.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

#include "records/walk_component_directory.h"

namespace tessaly::offline {
namespace {

// The directories the walk enters, as it decides. Its paths split at "\",
// so one whose name holds one is reached by another path than its own: it
// is left to the walk.
bool CanBeEntered(const DirectoryEntry& entry) {
  return (entry.attributes & kFileAttributeReparsePoint) == 0 && (entry.attributes & kFileAttributeDirectory) != 0 &&
         !IsDotEntry(entry.name) && entry.name.find(u'\\') == std::u16string::npos;
}

class TreeLister {
 public:
  TreeLister(ImageFiles& files, const std::atomic<bool>& stop, ComponentListing* listing)
      : files_(files), stop_(stop), listing_(listing) {}

  void List(DirectoryHandle directory, const std::u16string& path, std::size_t depth) {
    if (stop_.load(std::memory_order_relaxed) || entries_ >= kMaxEntriesPerComponent) return;
    std::vector<DirectoryEntry> entries;
    if (!files_.ListDirectory(directory, kMaxEntriesPerComponent - entries_, &entries).Ok()) return;
    entries_ += entries.size();
    // Elements of an unordered_map stay where they are as it grows.
    const std::vector<DirectoryEntry>& listed = listing_->emplace(path, std::move(entries)).first->second;
    if (depth == kMaxReadAheadDepth) return;
    for (const DirectoryEntry& entry : listed) {
      if (!CanBeEntered(entry)) continue;
      UniqueDirectory subdirectory(files_);
      if (!files_.OpenDirectory(directory, entry.name, subdirectory.Put()).Ok()) continue;
      List(subdirectory.Get(), path.empty() ? entry.name : path + u"\\" + entry.name, depth + 1);
    }
  }

 private:
  ImageFiles& files_;
  const std::atomic<bool>& stop_;
  ComponentListing* listing_;
  std::size_t entries_ = 0;
};

}  // namespace

void ListComponentTree(ImageFiles& files, DirectoryHandle store, std::u16string_view name,
                       const std::atomic<bool>& stop, ComponentListing* listing) {
  UniqueDirectory component(files);
  if (!files.OpenDirectory(store, name, component.Put()).Ok()) return;
  TreeLister(files, stop, listing).List(component.Get(), u"", 0);
}

ReadAhead::ReadAhead(ImageFiles& files, UniqueDirectory store, unsigned threads)
    : files_(files), store_(std::move(store)) {
  const unsigned workers = files_.AffordableWorkers(threads);
  workers_.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) {
    // Fewer threads only make the walk list more itself.
    try {
      workers_.emplace_back(&ReadAhead::Work, this);
    } catch (const std::system_error&) {
      break;
    }
  }
}

ReadAhead::~ReadAhead() {
  {
    const std::lock_guard guard(lock_);
    stopping_ = true;
  }
  workQueued_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void ReadAhead::Queue(std::vector<Component> components) {
  if (components.empty()) return;
  std::vector<std::shared_ptr<Job>> jobs;
  jobs.reserve(components.size());
  for (Component& component : components) {
    jobs.push_back(std::make_shared<Job>());
    jobs.back()->component = std::move(component);
  }
  bool wake = false;
  {
    const std::lock_guard guard(lock_);
    window_.insert(window_.end(), std::make_move_iterator(jobs.begin()), std::make_move_iterator(jobs.end()));
    wake = idleWorkers_ > 0;
  }
  if (wake) workQueued_.notify_all();
}

std::size_t ReadAhead::Queued() const {
  const std::lock_guard guard(lock_);
  return window_.size();
}

std::optional<ComponentListing> ReadAhead::Take(std::u16string_view name) {
  std::unique_lock guard(lock_);
  const auto found = std::find_if(window_.begin(), window_.end(),
                                  [name](const std::shared_ptr<Job>& job) { return job->component.name == name; });
  if (found == window_.end()) return std::nullopt;
  const std::shared_ptr<Job> job = *found;
  window_.erase(window_.begin(), found + 1);
  if (job->state == Job::State::Queued) return std::nullopt;
  awaited_ = job.get();
  jobDone_.wait(guard, [&job] { return job->state == Job::State::Done; });
  awaited_ = nullptr;
  return std::move(job->listing);
}

void ReadAhead::Work() {
  std::unique_lock guard(lock_);
  for (;;) {
    std::shared_ptr<Job> job;
    const auto queued = [this, &job] {
      if (stopping_) return true;
      const auto found = std::find_if(window_.begin(), window_.end(), [](const std::shared_ptr<Job>& candidate) {
        return candidate->state == Job::State::Queued;
      });
      if (found == window_.end()) return false;
      job = *found;
      return true;
    };
    if (!queued()) {
      ++idleWorkers_;
      workQueued_.wait(guard, queued);
      --idleWorkers_;
    }
    if (stopping_) return;
    job->state = Job::State::Listing;
    guard.unlock();
    ComponentListing listing;
    // Short of memory, the walk lists the component itself and meets the shortage there, where it is reported.
    try {
      ListComponentTree(files_, store_.Get(), job->component.name, stopping_, &listing);
    } catch (const std::bad_alloc&) {
      listing.clear();
    }
    guard.lock();
    job->listing = std::move(listing);
    job->state = Job::State::Done;
    if (awaited_ == job.get()) jobDone_.notify_one();
  }
}

}  // namespace tessaly::offline
