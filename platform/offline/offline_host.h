// The host seam answered from the image: its Windows version from the
// SOFTWARE hive, its Windows directory from the command line, and the
// backup and restore privileges as the right to write its hive directory.
#pragma once

#include <optional>

#include "common/console.h"
#include "common/host.h"
#include "platform/offline/image_tree.h"
#include "registry/registry.h"

namespace tessaly::offline {

class OfflineHost final : public Host {
 public:
  // console: where a read-only volume is named, just before the run
  // reports the privileges as not held. writesImage: false for a run that
  // writes nothing (a dry run), which needs no write access.
  OfflineHost(ImageTree& image, Registry& registry, Console& console, bool writesImage)
      : image_(image), registry_(registry), console_(console), writesImage_(writesImage) {}

  // CurrentMajorVersionNumber and CurrentMinorVersionNumber of the image;
  // 0.0 when either is missing.
  OsVersion OperatingSystemVersion() override;
  // Granted when this process may create and rename files in the image's
  // System32\config directory and write its COMPONENTS hive, as decided
  // without writing anything: a writable volume, no immutable or
  // append-only flag on either, and write access by the effective IDs;
  // STATUS_PRIVILEGE_NOT_HELD otherwise. A directory or hive that is not
  // there is left for the hive step to report. Always granted to a run
  // that writes nothing.
  NtStatus AdjustPrivilege(std::uint32_t privilege, bool enable, bool currentThreadOnly, bool* wasEnabled) override;
  std::uint32_t WindowsDirectory(char16_t* buffer, std::uint32_t capacity) override;
  bool FileExists(const char16_t* path) override;
  bool IsWow64Process() override { return false; }
  // %SystemRoot% and %windir% (any case) become the image's Windows
  // directory; other references stay as they are.
  std::uint32_t ExpandEnvironment(const char16_t* source, char16_t* destination, std::uint32_t capacity) override;
  std::uint32_t LastError() override { return lastError_; }

 private:
  ImageTree& image_;
  Registry& registry_;
  Console& console_;
  bool writesImage_;
  std::optional<NtStatus> writeAccess_;
  std::uint32_t lastError_ = 0;
};

}  // namespace tessaly::offline
