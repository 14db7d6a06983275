// Whole reads and writes over the short transfers and EINTR that read(2)
// and write(2) may return.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tessaly::posix {

// Reads from the file position until size bytes are in or the file ends;
// *got is how many came. Returns 0 or an errno.
int ReadFully(int fd, std::uint8_t* buffer, std::size_t size, std::size_t* got);

// The same from offset, leaving the file position alone.
int ReadFullyAt(int fd, std::uint8_t* buffer, std::size_t size, off_t offset, std::size_t* got);

// Writes all size bytes at the file position. Returns 0 or an errno; a
// write that takes no bytes is EIO, as it would otherwise repeat forever.
int WriteFully(int fd, const std::uint8_t* data, std::size_t size);

// The same at offset, leaving the file position alone.
int WriteFullyAt(int fd, const std::uint8_t* data, std::size_t size, off_t offset);

}  // namespace tessaly::posix
