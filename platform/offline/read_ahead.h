// Lists, on worker threads, the directory trees of the components the walk
// enters next, in the order it enters them, so that the walk finds them
// listed. The workers touch nothing but directories below the store's,
// through the image's files: no registry, no image tree, neither of which
// is thread-safe.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/offline/component_listing.h"
#include "platform/offline/image_files.h"

namespace tessaly::offline {

// Components queued ahead of the walk, at most; with the entries each may
// hold, this bounds the memory, whatever the size of the store.
inline constexpr std::size_t kReadAheadWindow = 32;
inline constexpr std::size_t kMaxEntriesPerComponent = 4096;
// UTF-16 units of names and paths one component's listings hold, at most:
// a deep tree of long names repeats them in each directory's path.
inline constexpr std::size_t kMaxListingText = std::size_t{1} << 20;
// Deeper directories are left to the walk, which bounds each worker's open handles.
inline constexpr std::size_t kMaxReadAheadDepth = 32;

// A component read ahead: the listings of its tree, and its directory,
// left open for the walk to open its files in.
struct ListedComponent {
  ComponentListing listing;
  UniqueDirectory directory;
};

// Lists the tree of the directory `name` in store, never through a link,
// into *listed, up to kMaxEntriesPerComponent entries and kMaxListingText
// of text in all. Stops early once stop is set.
void ListComponentTree(ImageFiles& files, DirectoryHandle store, std::u16string_view name,
                       const std::atomic<bool>& stop, ListedComponent* listed);

// The walk's thread queues and takes; the workers claim and list, and so
// does the walk while the job it takes is still being listed. The two
// meet on one atomic word per job, so that a job found listed, which is
// nearly every job, costs neither side a lock; only a thread with nothing
// to do sleeps.
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
  // Queues the directories of these components, in this order; those past
  // the window are left to the walk.
  void Queue(std::vector<Component> components);
  // Components queued and not taken yet.
  std::size_t Queued() const { return tail_.load(std::memory_order_relaxed) - head_; }
  // The listing of the component `name`, once its worker is done with it;
  // it leaves the window with all queued before it. nullopt when it was not
  // queued or no worker has started on it (the walk then lists it itself).
  std::optional<ListedComponent> Take(std::u16string_view name);

 private:
  enum class State : std::uint64_t { Queued, Listing, Done, Dropped };
  // A job's number and state in one word: a worker that saw a job queued
  // cannot claim another queued in the same slot since.
  static std::uint64_t Ticket(std::uint64_t job, State state) { return job << 2 | static_cast<std::uint64_t>(state); }
  static State StateOf(std::uint64_t ticket) { return static_cast<State>(ticket & 3); }

  struct Slot {
    std::atomic<std::uint64_t> ticket{Ticket(0, State::Dropped)};
    // Written by the walk's thread while no worker holds the slot.
    std::u16string name;
    // Written by the thread that claimed the job, read once it is Done.
    ListedComponent listed;
  };

  void Work();
  // The next queued job, claimed for the calling thread; false once
  // stopping, or when none is queued and the caller would rather not wait.
  bool Claim(std::uint64_t* job, bool wait);
  // Lists a claimed job into its slot and marks it done.
  void ListJob(std::uint64_t job);
  // Until the slot's worker, if any, is done with it.
  void WaitWhileListed(Slot& slot);

  ImageFiles& files_;
  UniqueDirectory store_;
  // Job n lives in slot n % kReadAheadWindow.
  std::array<Slot, kReadAheadWindow> slots_;
  // Jobs [head_, tail_) are in the window. Both are written by the walk's
  // thread alone.
  std::uint64_t head_ = 0;
  std::atomic<std::uint64_t> tail_ = 0;
  // The next job a worker, or the waiting walk, tries to claim.
  std::atomic<std::uint64_t> nextClaim_ = 0;
  std::atomic<bool> stopping_ = false;

  std::mutex sleep_;
  std::condition_variable workQueued_;
  std::condition_variable jobDone_;
  std::atomic<unsigned> idleWorkers_ = 0;
  std::atomic<const Slot*> awaited_ = nullptr;
  std::vector<std::thread> workers_;
};

}  // namespace tessaly::offline
