#include "platform/posix/mapped_file.h"

#include <sys/mman.h>

#include <cerrno>
#include <utility>

namespace tessaly::offline {

int MappedFile::Map(int fd, std::size_t size, MappedFile* mapped) {
  void* const mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (mapping == MAP_FAILED) return errno;
  madvise(mapping, size, MADV_WILLNEED);
  MappedFile file;
  file.data_ = static_cast<const std::uint8_t*>(mapping);
  file.size_ = size;
  *mapped = std::move(file);
  return 0;
}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void MappedFile::Release() {
  if (data_ != nullptr) munmap(const_cast<std::uint8_t*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace tessaly::offline
