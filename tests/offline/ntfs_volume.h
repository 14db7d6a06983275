// An NTFS file system made with mkntfs in a sparse file and mounted with
// ntfs-3g over FUSE, the way a rescue system mounts a Windows partition.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tessaly::offline_test {

class NtfsVolume {
 public:
  // Why no volume can be mounted here (not root, no /dev/fuse, no mkntfs
  // or ntfs-3g); empty when one can.
  static std::string WhyUnavailable();

  // Makes the file system in imageFile (size bytes, sparse) and mounts it
  // read-write at mountPoint, an empty directory. Throws when either fails.
  NtfsVolume(std::filesystem::path imageFile, std::filesystem::path mountPoint, std::uint64_t size);
  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;
  ~NtfsVolume();

  // Unmounts it and mounts it again, read-only or read-write.
  void Remount(bool readOnly);
  // What statvfs reports as available to unprivileged users.
  std::uint64_t FreeBytes() const;

 private:
  void Mount(bool readOnly);
  void Unmount();

  std::filesystem::path imageFile_;
  std::filesystem::path mountPoint_;
  pid_t driver_ = -1;  // the ntfs-3g process serving the mount
};

}  // namespace tessaly::offline_test
