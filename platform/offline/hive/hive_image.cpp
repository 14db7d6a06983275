#include "platform/offline/hive/hive_image.h"

#include <sys/mman.h>

#include <cerrno>
#include <utility>

namespace tessaly::offline {

int HiveImage::Map(int fd, std::size_t size, HiveImage* image) {
  void* const mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
  if (mapping == MAP_FAILED) return errno;
  // The whole hive is read, key after key, from all over the file.
  madvise(mapping, size, MADV_WILLNEED);
  HiveImage mapped;
  mapped.data_ = static_cast<std::uint8_t*>(mapping);
  mapped.size_ = size;
  mapped.mapped_ = true;
  *image = std::move(mapped);
  return 0;
}

HiveImage HiveImage::Own(std::vector<std::uint8_t> bytes) {
  HiveImage image;
  image.owned_ = std::move(bytes);
  image.data_ = image.owned_.data();
  image.size_ = image.owned_.size();
  return image;
}

HiveImage::HiveImage(HiveImage&& other) noexcept { *this = std::move(other); }

HiveImage& HiveImage::operator=(HiveImage&& other) noexcept {
  if (this != &other) {
    Release();
    // A vector's move keeps its buffer, so data_ stays valid for owned bytes.
    owned_ = std::move(other.owned_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

HiveImage::~HiveImage() { Release(); }

void HiveImage::Release() {
  if (mapped_) munmap(data_, size_);
  owned_.clear();
  data_ = nullptr;
  size_ = 0;
  mapped_ = false;
}

}  // namespace tessaly::offline
