#include "platform/offline/offline_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/offline/create_new_file.h"
#include "platform/offline/name_case.h"
#include "platform/offline/unique_fd.h"
#include "registry/read_dword_value.h"
#include "registry/unique_key.h"

namespace tessaly::offline {
namespace {

constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorNoUnicodeTranslation = 1113;

// Reasons the config directory cannot be reached that are not about rights:
// it is not there (or is a link, which is never followed).
bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

NtStatus ProbeWriteAccess(ImageTree& image) {
  UniqueFd config;
  if (const int error = image.OpenDirectory(kConfigDirectory, &config); error != 0) {
    return IsMissing(error) ? NtStatus::Success : NtStatus::PrivilegeNotHeld;
  }

  // Saving the hive creates files beside it: try that for real.
  UniqueFd probe;
  std::string probeName;
  if (CreateNewFile(config.Get(), ".tessaly-probe", 0600, &probe, &probeName) != 0) return NtStatus::PrivilegeNotHeld;
  probe.Reset();
  if (unlinkat(config.Get(), probeName.c_str(), 0) != 0) return NtStatus::PrivilegeNotHeld;

  std::string hiveName;
  struct stat status {};
  if (image.FindEntry(config.Get(), "COMPONENTS", &hiveName) != 0 ||
      fstatat(config.Get(), hiveName.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) {
    return NtStatus::Success;
  }
  const UniqueFd hive(openat(config.Get(), hiveName.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  return hive ? NtStatus::Success : NtStatus::PrivilegeNotHeld;
}

}  // namespace

OsVersion OfflineHost::OperatingSystemVersion() {
  UniqueKey currentVersion(registry_);
  OsVersion version;
  if (registry_.OpenKeyEx(kLocalMachine, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, kKeyRead,
                          currentVersion.Put()) != Win32Status::Success) {
    return version;
  }
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  if (ReadDwordValue(registry_, currentVersion.Get(), u"CurrentMajorVersionNumber", &major) != Win32Status::Success ||
      ReadDwordValue(registry_, currentVersion.Get(), u"CurrentMinorVersionNumber", &minor) != Win32Status::Success) {
    return version;
  }
  version.major = major;
  version.minor = minor;
  return version;
}

NtStatus OfflineHost::AdjustPrivilege(std::uint32_t, bool, bool, bool* wasEnabled) {
  // Both privileges come down to the same right, so it is tried once.
  if (!writeAccess_) writeAccess_ = writesImage_ ? ProbeWriteAccess(image_) : NtStatus::Success;
  // No privilege is held before the run asks for it.
  if (*writeAccess_ == NtStatus::Success) *wasEnabled = false;
  return *writeAccess_;
}

std::uint32_t OfflineHost::WindowsDirectory(char16_t* buffer, std::uint32_t capacity) {
  const std::optional<std::u16string>& directory = image_.WindowsDirectory();
  if (!directory) {
    lastError_ = kErrorNoUnicodeTranslation;
    return 0;
  }
  const auto length = static_cast<std::uint32_t>(directory->size());
  if (length >= capacity) {
    lastError_ = kErrorInsufficientBuffer;
    return length + 1;
  }
  std::copy(directory->begin(), directory->end(), buffer);
  buffer[length] = u'\0';
  return length;
}

bool OfflineHost::FileExists(const char16_t* path) {
  std::vector<std::string> components;
  if (!image_.SplitPath(path, &components) || components.empty()) return false;
  UniqueFd directory;
  std::string name;
  struct stat status {};
  return image_.OpenDirectory(std::span(components).first(components.size() - 1), &directory) == 0 &&
         image_.FindEntry(directory.Get(), components.back(), &name) == 0 &&
         fstatat(directory.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(status.st_mode);
}

std::uint32_t OfflineHost::ExpandEnvironment(const char16_t* source, char16_t* destination, std::uint32_t capacity) {
  const std::u16string_view text(source);
  const std::optional<std::u16string>& windowsDirectory = image_.WindowsDirectory();
  std::u16string expanded;
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t open = text.find(u'%', position);
    const std::size_t close = open == std::u16string_view::npos ? open : text.find(u'%', open + 1);
    if (close == std::u16string_view::npos) {
      expanded += text.substr(position);
      break;
    }
    expanded += text.substr(position, open - position);
    const std::u16string upcasedName = UpcasedName(text.substr(open + 1, close - open - 1));
    if (windowsDirectory && (upcasedName == u"SYSTEMROOT" || upcasedName == u"WINDIR")) {
      expanded += *windowsDirectory;
    } else {
      expanded += text.substr(open, close - open + 1);
    }
    position = close + 1;
  }

  const auto needed = static_cast<std::uint32_t>(expanded.size() + 1);
  if (needed <= capacity) std::copy(expanded.c_str(), expanded.c_str() + needed, destination);
  return needed;
}

}  // namespace tessaly::offline
