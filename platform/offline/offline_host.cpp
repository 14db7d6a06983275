#include "platform/offline/offline_host.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "hive/name_case.h"
#include "platform/posix/unique_fd.h"
#include "registry/read_dword_value.h"
#include "registry/registry.h"

namespace tessaly::offline {
namespace {

constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorNoUnicodeTranslation = 1113;

// Reasons the config directory cannot be reached that are not about rights:
// it is not there (or is a link, which is never followed).
bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

// Immutable or append-only: the file system refuses to replace or remove
// the entry, whoever asks. File systems without these flags answer with an
// error, which counts as neither.
bool HasLockedFlags(int fd) {
  int flags = 0;
  return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

bool IsReadOnlyVolume(int fd) {
  struct statvfs volume {};
  return fstatvfs(fd, &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0;
}

// Decides without writing (which would change the folder even for a run
// that finds nothing) whether a save could create, rename and replace
// files in the config directory.
NtStatus ProbeWriteAccess(ImageTree& image, Console& console) {
  UniqueFd config;
  if (const int error = image.OpenDirectory(kConfigDirectory, &config); error != 0) {
    return IsMissing(error) ? NtStatus::Success : NtStatus::PrivilegeNotHeld;
  }
  if (IsReadOnlyVolume(config.Get())) {
    console.Print(
        u"System32/config 所在的卷是只读挂载的：通常是因为 Windows 处于休眠状态，或开启了快速启动后关机。"
        u"请启动该 Windows 并完全关机（例如按住 Shift 点“关机”），或以管理员身份运行 powercfg /h off "
        u"关闭休眠和快速启动后再试。\n");
    return NtStatus::PrivilegeNotHeld;
  }
  if (faccessat(config.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0 || HasLockedFlags(config.Get())) {
    return NtStatus::PrivilegeNotHeld;
  }

  std::string hiveName;
  struct stat status {};
  if (image.FindEntry(config.Get(), "COMPONENTS", &hiveName) != 0 ||
      fstatat(config.Get(), hiveName.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) {
    return NtStatus::Success;
  }
  UniqueFd hive;
  if (faccessat(config.Get(), hiveName.c_str(), W_OK, AT_EACCESS) != 0 ||
      OpenRegularFile(config.Get(), hiveName, &hive) != 0 || HasLockedFlags(hive.Get())) {
    return NtStatus::PrivilegeNotHeld;
  }
  return NtStatus::Success;
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
  if (!writeAccess_) writeAccess_ = writesImage_ ? ProbeWriteAccess(image_, console_) : NtStatus::Success;
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
