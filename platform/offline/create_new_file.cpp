#include "platform/offline/create_new_file.h"

#include <fcntl.h>

#include <cerrno>

namespace tessaly::offline {
namespace {

constexpr int kMaxAttempts = 1000;

}  // namespace

int CreateFileExclusively(int directory, const std::string& name, mode_t mode, UniqueFd* file) {
  const int fd = openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return errno;
  file->Reset(fd);
  return 0;
}

int CreateNewFile(int directory, const std::string& baseName, mode_t mode, UniqueFd* file, std::string* name) {
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    const std::string candidate = attempt == 1 ? baseName : baseName + "-" + std::to_string(attempt);
    const int error = CreateFileExclusively(directory, candidate, mode, file);
    if (error == 0) *name = candidate;
    if (error != EEXIST) return error;
  }
  return EEXIST;
}

}  // namespace tessaly::offline
