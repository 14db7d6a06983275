// Bytes of a hive file as the tool works on them, held in memory so that
// changes stay there and the file is never written: the hive's real extent
// (the base block and the hive bins it counts), read or recovered from its
// transaction logs, or a transaction log mapped copy-on-write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessaly::offline {

class HiveImage {
 public:
  HiveImage() = default;
  // Maps the first `size` bytes of the file open at fd. Returns 0 or an errno.
  static int Map(int fd, std::size_t size, HiveImage* image);
  static HiveImage Own(std::vector<std::uint8_t> bytes);

  HiveImage(HiveImage&& other) noexcept;
  HiveImage& operator=(HiveImage&& other) noexcept;
  HiveImage(const HiveImage&) = delete;
  HiveImage& operator=(const HiveImage&) = delete;
  ~HiveImage();

  std::span<std::uint8_t> Bytes() { return {data_, size_}; }
  std::span<const std::uint8_t> Bytes() const { return {data_, size_}; }

 private:
  void Release();

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
  std::vector<std::uint8_t> owned_;
};

}  // namespace tessaly::offline
