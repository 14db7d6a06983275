#include "platform/offline/offline_host.h"

#include <algorithm>
#include <string>
#include <vector>

#include "hive/name_case.h"
#include "registry/read_dword_value.h"
#include "registry/registry.h"

namespace tessaly::offline {
namespace {

constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorNoUnicodeTranslation = 1113;

// Why a volume takes no save, in the words a technician acts on.
std::u16string ReadOnlyReason(WriteAccess access, const std::u16string& configDirectory) {
  switch (access) {
    case WriteAccess::ReadOnlyMount:
      return configDirectory +
             u" 所在的卷是只读挂载的：通常是因为 Windows 处于休眠状态，或开启了快速启动后关机。"
             u"请启动该 Windows 并完全关机（例如按住 Shift 点“关机”），或以管理员身份运行 powercfg /h off "
             u"关闭休眠和快速启动后再试。\n";
    case WriteAccess::WriteProtected:
      return configDirectory +
             u" 所在的卷是只读的：磁盘或U盘处于写保护状态，或该卷被设为只读。"
             u"请关闭写保护（例如U盘上的开关，或 diskpart 的 attributes volume clear readonly）后再试。\n";
    case WriteAccess::Hibernated:
      return configDirectory +
             u" 所在的卷上的 Windows 处于休眠状态（或开启了快速启动后关机），应视为只读：现在写入的修改会在它恢复时丢失。"
             u"请启动该 Windows 并完全关机（例如按住 Shift 点“关机”），或以管理员身份运行 powercfg /h off "
             u"关闭休眠和快速启动后再试。\n";
    default:
      return {};
  }
}

// Decides without writing (which would change the folder even for a run
// that finds nothing) whether a save could create, rename and replace
// files in the config directory.
NtStatus ProbeWriteAccess(ImageTree& image, Console& console) {
  ImageFiles& files = image.Files();
  UniqueDirectory config(files);
  if (const FileStatus status = image.OpenDirectory(kConfigDirectory, &config); !status.Ok()) {
    // Not there (or a link, which is never followed): the hive step reports it.
    const bool missing = status.problem == FileProblem::NotFound || status.problem == FileProblem::NotADirectory ||
                         status.problem == FileProblem::Link;
    return missing ? NtStatus::Success : NtStatus::PrivilegeNotHeld;
  }
  std::u16string hiveName;
  if (!image.FindEntry(config.Get(), u"COMPONENTS", &hiveName).Ok()) hiveName.clear();
  const WriteAccess access = files.ProbeWriteAccess(config.Get(), hiveName);
  if (access == WriteAccess::Granted) return NtStatus::Success;
  if (const std::u16string reason =
          ReadOnlyReason(access, kConfigDirectory[0] + files.PathSeparator() + kConfigDirectory[1]);
      !reason.empty()) {
    console.Print(reason);
  }
  return NtStatus::PrivilegeNotHeld;
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
  std::vector<std::u16string> components;
  if (!image_.SplitPath(path, &components) || components.empty()) return false;
  UniqueDirectory directory(image_.Files());
  std::u16string name;
  EntryFacts facts;
  return image_.OpenDirectory(std::span(components).first(components.size() - 1), &directory).Ok() &&
         image_.FindEntry(directory.Get(), components.back(), &name).Ok() &&
         image_.Files().LookUpEntry(directory.Get(), name, &facts).Ok() && facts.kind != EntryKind::Link;
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
    const std::u16string upcasedName = hive::UpcasedName(text.substr(open + 1, close - open - 1));
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
