// What makes a file what it is besides its bytes: owner, group, mode and
// every extended attribute. On NTFS that includes the Windows security
// descriptor, attributes and creation time, which the drivers expose as
// extended attributes without listing them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tessaly::posix {

struct FileMetadata {
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;  // the permission bits, 07777
  std::map<std::string, std::vector<std::uint8_t>> attributes;

  bool operator==(const FileMetadata&) const = default;
};

// Reads the metadata of the file open at fd. Returns 0 or an errno.
int ReadFileMetadata(int fd, FileMetadata* metadata);

// Gives the file open at fd exactly the metadata: sets what differs, removes
// extended attributes the metadata does not have, and reads it all back.
// Returns 0, the errno of a step that failed, or EIO when what was read back
// differs (a driver that accepts a value and keeps another).
int CarryFileMetadata(int fd, const FileMetadata& metadata);

}  // namespace tessaly::posix
