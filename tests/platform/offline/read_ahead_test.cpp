// What the read-ahead lists of a component, on real folders: what the walk
// would list, never more than it may enter, and never more than its bounds
// let a hostile tree cost; and how far the plan looks ahead of the walk.

#include <fcntl.h>
#include <sys/resource.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "fakes/event_log.h"
#include "fakes/fake_registry.h"
#include "platform/offline/image_tree.h"
#include "platform/offline/offline_file_system.h"
#include "platform/offline/progress_line.h"
#include "platform/offline/read_ahead.h"
#include "platform/offline/read_ahead_plan.h"
#include "platform/posix/posix_image_files.h"
#include "tests/offline/test_image.h"
#include "tests/platform/offline/opened_image.h"
#include "tools/image/utf8.h"

namespace tessaly::offline_test {
namespace {

constexpr char kComponent[] = "amd64_test_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";

// The image's files, and its store's directory opened through them.
struct Store {
  explicit Store(const TestImage& image) : files(image.WindowsDirectory().string()) {
    offline::UniqueDirectory windows(files);
    EXPECT_TRUE(files.OpenWindowsDirectory(windows.Put()).Ok());
    EXPECT_TRUE(files.OpenDirectory(windows.Get(), u"WinSxS", directory.Put()).Ok());
  }

  posix::PosixImageFiles files;
  offline::UniqueDirectory directory{files};
};

offline::ComponentListing ListTree(const TestImage& image) {
  Store store(image);
  const std::atomic<bool> stop = false;
  offline::ListedComponent listed{{}, offline::UniqueDirectory(store.files)};
  offline::ListComponentTree(store.files, store.directory.Get(), image::Utf16FromUtf8(kComponent), stop, &listed);
  return std::move(listed.listing);
}

// The number of entries listed for each of these directories; -1 for one not listed.
std::map<std::u16string, long> EntryCounts(const offline::ComponentListing& listing,
                                           const std::set<std::u16string>& paths) {
  std::map<std::u16string, long> counts;
  for (const std::u16string& path : paths) {
    const std::optional<offline::ComponentListing::Range> range = listing.Find(path);
    counts[path] = range ? static_cast<long>(range->count) : -1;
  }
  return counts;
}

TEST(ReadAheadTest, ListsTheDirectoriesTheWalkEntersAndNoOthers) {
  TestImage image;
  const fs::path component = image.WinSxS() / kComponent;
  image.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
  image.AddFile(fs::path(kComponent) / "Sub" / "b.dll", "XYZ");
  image.AddFile(fs::path(kComponent) / "Sub" / "Deeper" / "c.dll", "XYZ");
  // The walk's paths would split this name in two.
  image.AddFile(fs::path(kComponent) / "odd\\name" / "d.dll", "XYZ");
  fs::create_directory_symlink("Sub", component / "link");

  const offline::ComponentListing listing = ListTree(image);

  EXPECT_EQ(listing.DirectoryCount(), 3u);
  for (const std::u16string path : {u"", u"Sub", u"Sub\\Deeper"}) {
    EXPECT_TRUE(listing.Find(path)) << image::Utf8FromUtf16(path);
  }
  std::set<std::u16string> names;
  const offline::ComponentListing::Range top = listing.Find(u"").value_or(offline::ComponentListing::Range{});
  for (std::size_t index = top.first; index < top.first + top.count; ++index) {
    names.insert(std::u16string(listing.EntryName(index)));
  }
  EXPECT_EQ(names, (std::set<std::u16string>{u".", u"..", u"a.dll", u"Sub", u"odd\\name", u"link"}));
}

TEST(ReadAheadTest, DepthAndEntriesAreBounded) {
  TestImage image;
  fs::path deep = kComponent;
  for (std::size_t level = 0; level < offline::kMaxReadAheadDepth + 4; ++level) deep /= "d";
  image.AddFile(deep / "bottom.dll", "XYZ");
  EXPECT_EQ(ListTree(image).DirectoryCount(), offline::kMaxReadAheadDepth + 1);

  TestImage wide;
  // Three folders that together hold a little more entries than one component may.
  const std::size_t perFolder = offline::kMaxEntriesPerComponent / 3 + 100;
  for (const char* folder : {"x", "y", "z"}) {
    const fs::path directory = wide.WinSxS() / kComponent / folder;
    fs::create_directories(directory);
    for (std::size_t i = 0; i < perFolder; ++i) std::ofstream(directory / ("f" + std::to_string(i)));
  }
  const offline::ComponentListing listing = ListTree(wide);
  EXPECT_LE(listing.EntryCount(), offline::kMaxEntriesPerComponent);
  EXPECT_LT(listing.DirectoryCount(), 4u);

  TestImage longNames;
  // A thousand folders at the depth limit under long names: their paths alone
  // come to three times the text a listing may hold.
  fs::path bottom = longNames.WinSxS() / kComponent;
  for (std::size_t level = 0; level + 2 < offline::kMaxReadAheadDepth; ++level) bottom /= std::string(100, 'n');
  for (int i = 0; i < 1000; ++i) fs::create_directories(bottom / ("d" + std::to_string(i)));
  const offline::ComponentListing longListing = ListTree(longNames);
  EXPECT_LE(longListing.TextSize(), offline::kMaxListingText);
  EXPECT_GT(longListing.DirectoryCount(), offline::kMaxReadAheadDepth);
}

// The walk takes each component as the workers are at it: before they
// start (the walk lists it itself), while they list it (it waits), or after.
// Whichever it meets, what it is handed is the whole tree.
TEST(ReadAheadTest, HandsOutOnlyWholeListings) {
  TestImage image;
  for (const char* folder : {"x", "y", "y/z"}) {
    const fs::path directory = image.WinSxS() / kComponent / folder;
    fs::create_directories(directory);
    for (int i = 0; i < 300; ++i) std::ofstream(directory / ("f" + std::to_string(i)));
  }
  const offline::ComponentListing whole = ListTree(image);
  const std::set<std::u16string> paths = {u"", u"x", u"y", u"y\\z"};
  ASSERT_EQ(whole.DirectoryCount(), paths.size());

  Store store(image);
  offline::ReadAhead readAhead(store.files, std::move(store.directory), 3);
  const std::u16string name = image::Utf16FromUtf8(kComponent);
  int handedOut = 0;
  for (int round = 0; round < 200; ++round) {
    readAhead.Queue({{u"earlier"}, {name}, {u"later"}});
    // As long as the workers take for it, so that the walk meets them at every stage.
    ListTree(image);
    if (const std::optional<offline::ListedComponent> listed = readAhead.Take(name)) {
      ++handedOut;
      EXPECT_EQ(EntryCounts(listed->listing, paths), EntryCounts(whole, paths)) << round;
      EXPECT_TRUE(listed->directory);
    }
    // What was queued before it is gone with it; what came after stays, once.
    EXPECT_FALSE(readAhead.Take(u"earlier"));
    EXPECT_EQ(readAhead.Queued(), 1u);
    readAhead.Take(u"later");
  }
  EXPECT_GT(handedOut, 0);
}

// Under a low descriptor limit the workers could take the descriptors the
// walk needs, and its opens would fail where they would not without them:
// then nothing is read ahead.
TEST(ReadAheadTest, LeavesTheWalkItsDescriptors) {
  TestImage image;
  image.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlimit low{4 * (offline::kMaxReadAheadDepth + 1) - 1, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  int handedOut = 0;
  {
    Store store(image);
    offline::ReadAhead readAhead(store.files, std::move(store.directory), 8);
    for (int round = 0; round < 20; ++round) {
      readAhead.Queue({{image::Utf16FromUtf8(kComponent)}});
      ListTree(image);
      handedOut += readAhead.Take(image::Utf16FromUtf8(kComponent)).has_value();
    }
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(handedOut, 0);
}

// The Linux image files, holding the opening of the directory "slow" until
// the directory "next" has been opened, and noting which thread opened that.
class SlowImageFiles : public posix::PosixImageFiles {
 public:
  using PosixImageFiles::PosixImageFiles;

  offline::FileStatus OpenDirectory(offline::DirectoryHandle parent, std::u16string_view name,
                                    offline::DirectoryHandle* directory) override {
    std::unique_lock guard(lock_);
    if (name == u"slow") {
      slowStarted_ = true;
      changed_.notify_all();
      // Bounded, so that a walk that only waits fails the test instead of hanging it.
      changed_.wait_for(guard, std::chrono::seconds(10), [this] { return nextOpenedBy_.has_value(); });
    } else if (name == u"next") {
      nextOpenedBy_ = std::this_thread::get_id();
      changed_.notify_all();
    }
    guard.unlock();
    return PosixImageFiles::OpenDirectory(parent, name, directory);
  }

  void AwaitSlowStarted() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return slowStarted_; });
  }
  std::optional<std::thread::id> NextOpenedBy() {
    const std::lock_guard guard(lock_);
    return nextOpenedBy_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool slowStarted_ = false;
  std::optional<std::thread::id> nextOpenedBy_;
};

// A walk that reaches a component its worker is still listing lists the
// next one itself rather than wait, and takes that listing later.
TEST(ReadAheadTest, TheWalkListsTheNextComponentWhileItsWorkerIsBusy) {
  TestImage image;
  image.AddFile(fs::path("slow") / "a.dll", "DCD");
  image.AddFile(fs::path("next") / "b.dll", "DCD");
  SlowImageFiles files(image.WindowsDirectory().string());
  offline::UniqueDirectory windows(files);
  offline::UniqueDirectory storeDirectory(files);
  ASSERT_TRUE(files.OpenWindowsDirectory(windows.Put()).Ok());
  ASSERT_TRUE(files.OpenDirectory(windows.Get(), u"WinSxS", storeDirectory.Put()).Ok());

  offline::ReadAhead readAhead(files, std::move(storeDirectory), 1);
  readAhead.Queue({{u"slow"}, {u"next"}});
  files.AwaitSlowStarted();
  const std::optional<offline::ListedComponent> slow = readAhead.Take(u"slow");
  const std::optional<offline::ListedComponent> next = readAhead.Take(u"next");
  EXPECT_EQ(files.NextOpenedBy(), std::this_thread::get_id());
  ASSERT_TRUE(slow && next);
  EXPECT_EQ(next->listing.EntryCount(), 3u);
}

// An image whose Components key lists walked components, each with a file
// a.dll in its directory.
struct WalkedStore {
  explicit WalkedStore(std::size_t count) {
    events.enabled = false;
    fakes::FakeKey& components = registry.LocalMachine().Subkey(u"COMPONENTS\\DerivedData\\Components");
    for (std::size_t i = 0; i < count; ++i) {
      names.push_back(u"component" + image::Utf16FromUtf8(std::to_string(i)));
      components.Subkey(names.back()).SetDword(u"CF", 0x200);
      image.AddFile(fs::path(image::Utf8FromUtf16(names.back())) / "a.dll", "DCD");
    }
  }

  // The store's path as the engine forms it.
  std::u16string StoreRoot() const {
    return u"\\\\?\\" + image::Utf16FromUtf8(image.WindowsDirectory().string()) + u"\\winsxs\\";
  }

  TestImage image;
  fakes::EventLog events;
  fakes::FakeRegistry registry{events};
  std::vector<std::u16string> names;
};

// The plan reads the registry only a window ahead of the walk, so what it
// holds does not grow with the store.
TEST(ReadAheadTest, PlanLooksOnlyAWindowAhead) {
  constexpr std::size_t kComponents = 4 * offline::kReadAheadWindow;
  WalkedStore store(kComponents);
  OpenedImage opened(store.image.WindowsDirectory().string());
  offline::ReadAheadPlan plan(opened.tree, store.registry, store.StoreRoot(), 2);

  for (std::size_t entered = 0; entered < kComponents; ++entered) {
    plan.Enter(store.names[entered]);
    std::size_t componentOpens = 0;
    for (const auto& open : store.registry.opens) {
      componentOpens += open.path.find(u"\\Components\\") != std::u16string::npos;
    }
    EXPECT_LE(componentOpens, entered + 1 + offline::kReadAheadWindow);
  }
}

// The Linux image files, counting the directories opened by each name and
// those still open; the workers call them too.
class CountingImageFiles : public posix::PosixImageFiles {
 public:
  using PosixImageFiles::PosixImageFiles;

  offline::FileStatus OpenDirectory(offline::DirectoryHandle parent, std::u16string_view name,
                                    offline::DirectoryHandle* directory) override {
    const offline::FileStatus status = PosixImageFiles::OpenDirectory(parent, name, directory);
    const std::lock_guard guard(lock_);
    if (status.Ok()) {
      ++opens_[std::u16string(name)];
      open_.insert(*directory);
    }
    return status;
  }
  void CloseDirectory(offline::DirectoryHandle directory) override {
    {
      const std::lock_guard guard(lock_);
      open_.erase(directory);
    }
    PosixImageFiles::CloseDirectory(directory);
  }

  int Opens(const std::u16string& name) {
    const std::lock_guard guard(lock_);
    return opens_[name];
  }
  std::size_t StillOpen() {
    const std::lock_guard guard(lock_);
    return open_.size();
  }

 private:
  std::mutex lock_;
  std::map<std::u16string, int> opens_;
  std::set<offline::DirectoryHandle> open_;
};

// A component's directory, opened by a worker to list it, is the one the
// walk opens the component's files in: it is opened once, and closed.
TEST(ReadAheadTest, TheWalkOpensFilesInTheDirectoryTheWorkerListed) {
  WalkedStore store(8);
  const std::string windows = store.image.WindowsDirectory().string();
  const std::u16string storeRoot = store.StoreRoot();
  CountingImageFiles files(windows);
  {
    offline::ImageTree tree(files, posix::EngineDirectory(windows));
    offline::ReadAheadPlan plan(tree, store.registry, storeRoot, 1);
    offline::ProgressLine progress;
    offline::OfflineFileSystem walk(tree, progress, &plan);
    for (const std::u16string& name : store.names) {
      DirectoryEntry entry;
      const SearchHandle search = walk.FindFirst((storeRoot + name + u"\\*").c_str(), &entry);
      ASSERT_NE(search, SearchHandle::Invalid);
      while (walk.FindNext(search, &entry)) {
      }
      walk.FindClose(search);
      const FileHandle file = walk.OpenForRead((storeRoot + name + u"\\a.dll").c_str());
      ASSERT_NE(file, FileHandle::Invalid);
      walk.Close(file);
    }
  }
  // The first is entered before the walk has resolved the store itself.
  for (std::size_t i = 1; i < store.names.size(); ++i) EXPECT_EQ(files.Opens(store.names[i]), 1) << i;
  EXPECT_EQ(files.StillOpen(), 0u);
}

}  // namespace
}  // namespace tessaly::offline_test
