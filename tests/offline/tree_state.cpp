#include "tree_state.h"

#include <sys/stat.h>

#include <stdexcept>

#include "test_image.h"

namespace tessaly::offline_test {
namespace {

EntryState StateOf(const fs::path& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) throw std::runtime_error("cannot stat " + path.string());
  EntryState state{status.st_mode, status.st_ino, status.st_mtim, {}};
  if (S_ISREG(status.st_mode)) state.contents = ReadFileBytes(path);
  if (S_ISLNK(status.st_mode)) state.contents = fs::read_symlink(path).string();
  return state;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const EntryState& state) {
  return out << "mode " << std::oct << state.mode << std::dec << ", inode " << state.inode << ", mtime "
             << state.modified.tv_sec << "." << state.modified.tv_nsec << ", " << state.contents.size() << " bytes";
}

std::map<std::string, EntryState> TreeState(const fs::path& root) {
  std::map<std::string, EntryState> states;
  states[""] = StateOf(root);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    states[entry.path().lexically_relative(root).string()] = StateOf(entry.path());
  }
  return states;
}

}  // namespace tessaly::offline_test
