#include "platform/offline/read_ahead.h"

#include <chrono>
#include <new>
#include <system_error>
#include <utility>

#include "records/walk_component_directory.h"

namespace tessaly::offline {
namespace {

// About what listing a small component costs: waiting that long for one
// awake is cheaper than sleeping and being woken.
constexpr std::chrono::microseconds kSpinBeforeSleeping{50};

// The directories the walk enters, as it decides. Its paths split at "\",
// so one whose name holds one is reached by another path than its own: it
// is left to the walk.
bool CanBeEntered(std::u16string_view name, std::uint32_t attributes) {
  return (attributes & kFileAttributeReparsePoint) == 0 && (attributes & kFileAttributeDirectory) != 0 &&
         !IsDotEntry(name) && name.find(u'\\') == std::u16string_view::npos;
}

class TreeLister {
 public:
  TreeLister(ImageFiles& files, const std::atomic<bool>& stop, ComponentListing* listing)
      : files_(files), stop_(stop), listing_(listing) {}

  void List(DirectoryHandle directory, const std::u16string& path, std::size_t depth) {
    const std::size_t listed = listing_->EntryCount();
    if (stop_.load(std::memory_order_relaxed) || listed >= kMaxEntriesPerComponent) return;
    if (!files_.ListDirectory(directory, ListingStart::JustOpened, kMaxEntriesPerComponent - listed, &scratch_).Ok()) {
      return;
    }
    std::size_t text = listing_->TextSize() + path.size();
    for (const DirectoryEntry& entry : scratch_) text += entry.name.size();
    if (text > kMaxListingText) return;
    const ComponentListing::Range range{listed, scratch_.size()};
    listing_->Add(path, scratch_);
    if (depth == kMaxReadAheadDepth) return;
    for (std::size_t index = range.first; index < range.first + range.count; ++index) {
      if (!CanBeEntered(listing_->EntryName(index), listing_->EntryAttributes(index))) continue;
      // The listing's text moves as it grows, so the name is copied first.
      const std::u16string name(listing_->EntryName(index));
      UniqueDirectory subdirectory(files_);
      if (!files_.OpenDirectory(directory, name, subdirectory.Put()).Ok()) continue;
      List(subdirectory.Get(), path.empty() ? name : path + u"\\" + name, depth + 1);
    }
  }

 private:
  ImageFiles& files_;
  const std::atomic<bool>& stop_;
  ComponentListing* listing_;
  // One directory's entries at a time, their storage reused.
  std::vector<DirectoryEntry> scratch_;
};

}  // namespace

void ListComponentTree(ImageFiles& files, DirectoryHandle store, std::u16string_view name,
                       const std::atomic<bool>& stop, ListedComponent* listed) {
  UniqueDirectory component(files);
  if (!files.OpenDirectory(store, name, component.Put()).Ok()) return;
  TreeLister(files, stop, &listed->listing).List(component.Get(), u"", 0);
  listed->directory = std::move(component);
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
  stopping_.store(true);
  { const std::lock_guard guard(sleep_); }
  workQueued_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void ReadAhead::Queue(std::vector<Component> components) {
  std::uint64_t tail = tail_.load(std::memory_order_relaxed);
  for (Component& component : components) {
    if (tail - head_ == kReadAheadWindow) break;
    Slot& slot = slots_[tail % kReadAheadWindow];
    // A job the walk passed over may still be in its worker's hands.
    WaitWhileListed(slot);
    slot.name = std::move(component.name);
    slot.ticket.store(Ticket(tail, State::Queued), std::memory_order_relaxed);
    ++tail;
  }
  if (tail == tail_.load(std::memory_order_relaxed)) return;
  // Publishes the names and tickets with the new tail. A worker going idle
  // counts itself before it looks at the tail, so one of the two sees the other.
  tail_.store(tail);
  if (idleWorkers_.load() == 0) return;
  { const std::lock_guard guard(sleep_); }
  workQueued_.notify_all();
}

std::optional<ListedComponent> ReadAhead::Take(std::u16string_view name) {
  const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
  std::uint64_t job = head_;
  while (job < tail && slots_[job % kReadAheadWindow].name != name) ++job;
  if (job == tail) return std::nullopt;
  for (; head_ < job; ++head_) {
    std::uint64_t queued = Ticket(head_, State::Queued);
    slots_[head_ % kReadAheadWindow].ticket.compare_exchange_strong(queued, Ticket(head_, State::Dropped));
  }
  ++head_;
  Slot& slot = slots_[job % kReadAheadWindow];
  std::uint64_t queued = Ticket(job, State::Queued);
  if (slot.ticket.compare_exchange_strong(queued, Ticket(job, State::Dropped))) return std::nullopt;
  WaitWhileListed(slot);
  return std::move(slot.listed);
}

void ReadAhead::WaitWhileListed(Slot& slot) {
  const auto listed = [&slot] { return StateOf(slot.ticket.load()) == State::Listing; };
  if (!listed()) return;
  // A worker slower than the walk leaves it idle: meanwhile it lists the
  // jobs no worker has claimed yet, which it would otherwise wait for next.
  for (std::uint64_t job = 0; listed() && Claim(&job, false);) ListJob(job);
  const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
  while (listed()) {
    if (std::chrono::steady_clock::now() < until) continue;
    std::unique_lock guard(sleep_);
    // Set before looking again, as the worker marks the job done before
    // looking at it: one of the two sees the other.
    awaited_.store(&slot);
    jobDone_.wait(guard, [&listed] { return !listed(); });
    awaited_.store(nullptr);
  }
}

bool ReadAhead::Claim(std::uint64_t* job, bool wait) {
  std::uint64_t next = nextClaim_.load();
  for (;;) {
    if (stopping_.load(std::memory_order_relaxed)) return false;
    if (next >= tail_.load()) {
      if (!wait) return false;
      std::unique_lock guard(sleep_);
      idleWorkers_.fetch_add(1);
      workQueued_.wait(guard, [this] { return stopping_.load() || nextClaim_.load() < tail_.load(); });
      idleWorkers_.fetch_sub(1);
      next = nextClaim_.load();
      continue;
    }
    if (!nextClaim_.compare_exchange_weak(next, next + 1)) continue;
    // The walk may have taken the job for itself, or passed it over, meanwhile.
    std::uint64_t queued = Ticket(next, State::Queued);
    if (slots_[next % kReadAheadWindow].ticket.compare_exchange_strong(queued, Ticket(next, State::Listing))) {
      *job = next;
      return true;
    }
    next = nextClaim_.load();
  }
}

void ReadAhead::Work() {
  std::uint64_t job = 0;
  while (Claim(&job, true)) ListJob(job);
}

void ReadAhead::ListJob(std::uint64_t job) {
  Slot& slot = slots_[job % kReadAheadWindow];
  ListedComponent listed{{}, UniqueDirectory(files_)};
  // Short of memory, the walk lists the component itself and meets the shortage there, where it is reported.
  try {
    ListComponentTree(files_, store_.Get(), slot.name, stopping_, &listed);
  } catch (const std::bad_alloc&) {
    listed.listing = {};
  }
  slot.listed = std::move(listed);
  slot.ticket.store(Ticket(job, State::Done));
  if (awaited_.load() == &slot) {
    { const std::lock_guard guard(sleep_); }
    jobDone_.notify_one();
  }
}

}  // namespace tessaly::offline
