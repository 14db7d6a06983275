#include "platform/posix/full_io.h"

#include <unistd.h>

#include <cerrno>

namespace tessaly::posix {
namespace {

// Repeats transfer(done) until size bytes have moved. A transfer of 0 bytes
// ends a read (the end of the file) and fails a write.
template <typename Transfer>
int TransferFully(std::size_t size, bool zeroEndsIt, std::size_t* done, Transfer transfer) {
  *done = 0;
  while (*done < size) {
    const ssize_t moved = transfer(*done);
    if (moved < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (moved == 0) return zeroEndsIt ? 0 : EIO;
    *done += static_cast<std::size_t>(moved);
  }
  return 0;
}

}  // namespace

int ReadFully(int fd, std::uint8_t* buffer, std::size_t size, std::size_t* got) {
  return TransferFully(size, true, got, [&](std::size_t done) { return read(fd, buffer + done, size - done); });
}

int ReadFullyAt(int fd, std::uint8_t* buffer, std::size_t size, off_t offset, std::size_t* got) {
  return TransferFully(size, true, got, [&](std::size_t done) {
    return pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
  });
}

int WriteFully(int fd, const std::uint8_t* data, std::size_t size) {
  std::size_t written = 0;
  return TransferFully(size, false, &written, [&](std::size_t done) { return write(fd, data + done, size - done); });
}

int WriteFullyAt(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
  std::size_t written = 0;
  return TransferFully(size, false, &written, [&](std::size_t done) {
    return pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
  });
}

}  // namespace tessaly::posix
