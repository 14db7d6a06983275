// What a run could change in an image, entry by entry: for telling that a
// run wrote nothing at all.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>

namespace tessaly::offline_test {

struct EntryState {
  mode_t mode = 0;
  ino_t inode = 0;
  timespec modified{};
  std::string contents;  // a regular file's bytes, a link's target

  friend bool operator==(const EntryState& left, const EntryState& right) {
    return left.mode == right.mode && left.inode == right.inode && left.modified.tv_sec == right.modified.tv_sec &&
           left.modified.tv_nsec == right.modified.tv_nsec && left.contents == right.contents;
  }
};

// Names the entry's state without dumping its bytes.
std::ostream& operator<<(std::ostream& out, const EntryState& state);

// Every entry below root (root itself as ""), by path relative to root,
// never through a symbolic link.
std::map<std::string, EntryState> TreeState(const std::filesystem::path& root);

}  // namespace tessaly::offline_test
