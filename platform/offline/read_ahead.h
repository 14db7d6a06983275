// Lists, on worker threads, the directory trees of the components the walk
// enters next, in the order it enters them, so that the walk finds them
// listed. The workers touch nothing but directories below the store's,
// through the image's files: no registry, no image tree, neither of which
// is thread-safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/offline/image_files.h"
#include "records/file_system.h"

namespace tessaly::offline {

// The listings of one component's tree, by the directory's path below the
// component directory: "" for that directory itself, then names as on the
// disk joined by "\". A directory that could not be listed is missing, so
// the walk lists it itself and meets the same failure at the same point.
using ComponentListing = std::unordered_map<std::u16string, std::vector<DirectoryEntry>>;

// Components queued ahead of the walk, at most; with the entries each may
// hold, this bounds the memory, whatever the size of the store.
inline constexpr std::size_t kReadAheadWindow = 32;
inline constexpr std::size_t kMaxEntriesPerComponent = 4096;
// Deeper directories are left to the walk, which bounds each worker's open handles.
inline constexpr std::size_t kMaxReadAheadDepth = 32;

// Lists the tree of the directory `name` in store, never through a link,
// into *listing, up to kMaxEntriesPerComponent entries in all. Stops early
// once stop is set.
void ListComponentTree(ImageFiles& files, DirectoryHandle store, std::u16string_view name,
                       const std::atomic<bool>& stop, ComponentListing* listing);

class ReadAhead {
 public:
  // store: the component store's directory; threads: at least one, fewer
  // when the platform's handle limit is low.
  ReadAhead(ImageFiles& files, UniqueDirectory store, unsigned threads);
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead();

  struct Component {
    std::u16string name;  // as in the engine's paths
  };
  // Queues the directories of these components, in this order.
  void Queue(std::vector<Component> components);
  // Components queued and not taken yet.
  std::size_t Queued() const;
  // The listing of the component `name`, once its worker is done with it;
  // it leaves the window with all queued before it. nullopt when it was not
  // queued or no worker has started on it (the walk then lists it itself).
  std::optional<ComponentListing> Take(std::u16string_view name);

 private:
  struct Job {
    enum class State { Queued, Listing, Done };
    Component component;
    State state = State::Queued;
    ComponentListing listing;
  };

  void Work();

  ImageFiles& files_;
  UniqueDirectory store_;
  mutable std::mutex lock_;
  // Waking a thread costs about as much as listing a small directory, so
  // idle workers are woken only for work, and the walk only for its job.
  std::condition_variable workQueued_;
  std::condition_variable jobDone_;
  unsigned idleWorkers_ = 0;
  const Job* awaited_ = nullptr;
  std::atomic<bool> stopping_ = false;
  // Shared with a worker listing it, so a job dropped meanwhile stays alive for it.
  std::deque<std::shared_ptr<Job>> window_;
  std::vector<std::thread> workers_;
};

}  // namespace tessaly::offline
