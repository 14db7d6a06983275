#include "platform/posix/create_new_file.h"

#include <fcntl.h>

#include <cerrno>

namespace tessaly::offline {
namespace {

constexpr int kMaxAttempts = 1000;

}  // namespace

int CreateNewFile(int directory, const std::string& baseName, mode_t mode, UniqueFd* file, std::string* name) {
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    const std::string candidate = attempt == 1 ? baseName : baseName + "-" + std::to_string(attempt);
    const int fd = openat(directory, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      file->Reset(fd);
      *name = candidate;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

}  // namespace tessaly::offline
