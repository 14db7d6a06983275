#include "platform/posix/file_metadata.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string_view>

namespace tessaly::posix {
namespace {

// Extended attributes that NTFS drivers have on every file but do not list.
// ntfs-3g: the whole security descriptor, the creation time and the DOS
// attributes; the kernel's ntfs3: the security descriptor and the DOS
// attributes. The attributes come last: a read-only one would refuse later
// changes on some drivers.
constexpr std::array<const char*, 5> kUnlistedNtfsAttributes = {
    "system.ntfs_acl", "system.ntfs_security", "system.ntfs_crtime", "system.ntfs_attrib", "system.dos_attrib",
};

// A name a file system does not know, or a file that lacks it.
bool IsAbsent(int error) { return error == ENODATA || error == ENOTSUP; }

// Calls query(buffer, capacity) until the answer fits: a size when given
// capacity 0, then the bytes, again when they grew in between.
template <typename Query>
int ReadSized(std::vector<std::uint8_t>* bytes, Query query) {
  for (;;) {
    const ssize_t size = query(nullptr, 0);
    if (size < 0) return errno;
    bytes->resize(static_cast<std::size_t>(size));
    if (size == 0) return 0;
    const ssize_t got = query(bytes->data(), bytes->size());
    if (got >= 0) {
      bytes->resize(static_cast<std::size_t>(got));
      return 0;
    }
    if (errno != ERANGE) return errno;
  }
}

int ReadAttribute(int fd, const std::string& name, std::vector<std::uint8_t>* value) {
  return ReadSized(value, [&](std::uint8_t* buffer, std::size_t capacity) {
    return fgetxattr(fd, name.c_str(), buffer, capacity);
  });
}

int ListAttributes(int fd, std::vector<std::string>* names) {
  std::vector<std::uint8_t> list;
  if (const int error = ReadSized(&list, [&](std::uint8_t* buffer, std::size_t capacity) {
        return flistxattr(fd, reinterpret_cast<char*>(buffer), capacity);
      });
      error != 0) {
    return IsAbsent(error) ? 0 : error;
  }
  // NUL-terminated names, back to back.
  const std::string_view text(reinterpret_cast<const char*>(list.data()), list.size());
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\0', start);
    const std::string_view name = text.substr(start, end - start);
    if (!name.empty()) names->emplace_back(name);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return 0;
}

int SetAttribute(int fd, const std::string& name, const std::vector<std::uint8_t>& value) {
  return fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0 ? 0 : errno;
}

}  // namespace

int ReadFileMetadata(int fd, FileMetadata* metadata) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return errno;
  metadata->owner = status.st_uid;
  metadata->group = status.st_gid;
  metadata->mode = status.st_mode & 07777;
  metadata->attributes.clear();

  std::vector<std::string> names;
  if (const int error = ListAttributes(fd, &names); error != 0) return error;
  for (const std::string& name : names) {
    std::vector<std::uint8_t> value;
    const int error = ReadAttribute(fd, name, &value);
    // Gone since the listing.
    if (error == ENODATA) continue;
    if (error != 0) return error;
    metadata->attributes.insert_or_assign(name, std::move(value));
  }
  for (const char* name : kUnlistedNtfsAttributes) {
    std::vector<std::uint8_t> value;
    const int error = ReadAttribute(fd, name, &value);
    if (IsAbsent(error)) continue;
    if (error != 0) return error;
    metadata->attributes.insert_or_assign(name, std::move(value));
  }
  return 0;
}

int CarryFileMetadata(int fd, const FileMetadata& metadata) {
  FileMetadata current;
  if (const int error = ReadFileMetadata(fd, &current); error != 0) return error;

  // The owner first: changing it clears the set-user-ID and set-group-ID bits.
  if ((current.owner != metadata.owner || current.group != metadata.group) &&
      fchown(fd, metadata.owner, metadata.group) != 0) {
    return errno;
  }
  if (current.mode != metadata.mode && fchmod(fd, metadata.mode) != 0) return errno;

  for (const auto& [name, value] : current.attributes) {
    if (!metadata.attributes.contains(name) && fremovexattr(fd, name.c_str()) != 0 && errno != ENODATA) return errno;
  }
  const auto isUnlisted = [](const std::string& name) {
    for (const char* unlisted : kUnlistedNtfsAttributes) {
      if (name == unlisted) return true;
    }
    return false;
  };
  const auto carry = [&](const std::string& name) {
    const std::vector<std::uint8_t>& value = metadata.attributes.at(name);
    const auto found = current.attributes.find(name);
    return found != current.attributes.end() && found->second == value ? 0 : SetAttribute(fd, name, value);
  };
  for (const auto& [name, value] : metadata.attributes) {
    if (isUnlisted(name)) continue;
    if (const int error = carry(name); error != 0) return error;
  }
  for (const char* name : kUnlistedNtfsAttributes) {
    if (!metadata.attributes.contains(name)) continue;
    if (const int error = carry(name); error != 0) return error;
  }

  FileMetadata kept;
  if (const int error = ReadFileMetadata(fd, &kept); error != 0) return error;
  return kept == metadata ? 0 : EIO;
}

}  // namespace tessaly::posix
