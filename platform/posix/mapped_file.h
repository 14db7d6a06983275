// A file of the image mapped whole for reading, such as a hive's transaction
// log: recovery reads entries from all over it, and a large log costs no
// memory of the tool's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaly::offline {

class MappedFile {
 public:
  MappedFile() = default;
  // Maps the first `size` bytes of the file open at fd. Returns 0 or an errno.
  static int Map(int fd, std::size_t size, MappedFile* mapped);

  MappedFile(MappedFile&& other) noexcept { *this = std::move(other); }
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() { Release(); }

  std::span<const std::uint8_t> Bytes() const { return {data_, size_}; }

 private:
  void Release();

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace tessaly::offline
