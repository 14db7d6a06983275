#include "platform/offline/image_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "common/utf_conversion.h"
#include "platform/posix/full_io.h"
#include "platform/posix/errno_status.h"
#include "hive/base_block.h"
#include "platform/posix/printable_path.h"
#include "platform/posix/unique_fd.h"

namespace tessaly::offline {
namespace {

enum class Kind { Directory, File };

// What stands at a name on the tool's way.
enum class Finding { Usable, Missing, WrongKind, Link, Unreadable };

struct Lookup {
  Finding finding;
  int error = 0;     // why it is missing, of the wrong kind or unreadable
  std::string name;  // as on the disk, once found
};

// Looks `name` up in parent as the run will, ignoring case, and never
// through a link.
Lookup LookUp(ImageTree& image, int parent, const std::string& name, Kind kind) {
  std::string found;
  if (const int error = image.FindEntry(parent, name, &found); error != 0) {
    return {error == ENOENT ? Finding::Missing : Finding::Unreadable, error, {}};
  }
  struct stat status {};
  if (fstatat(parent, found.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return {Finding::Unreadable, errno, found};
  if (S_ISLNK(status.st_mode)) return {Finding::Link, ELOOP, found};
  if (kind == Kind::Directory ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode)) {
    return {Finding::WrongKind, kind == Kind::Directory ? ENOTDIR : EINVAL, found};
  }
  // A folder is read and searched; a file only read.
  if (faccessat(parent, found.c_str(), kind == Kind::Directory ? R_OK | X_OK : R_OK, AT_EACCESS) != 0) {
    return {Finding::Unreadable, errno, found};
  }
  return {Finding::Usable, 0, found};
}

std::u16string ErrorText(int error) { return Utf16FromUtf8(std::strerror(error)).value_or(u"?"); }

class Checker {
 public:
  Checker(ImageTree& image, std::string_view argument, Console& console, HiveFile* software)
      : image_(image), argument_(argument), console_(console), software_(software) {}

  Hresult Run();

 private:
  // Prints the line and returns the exit code of the problem.
  Hresult Refuse(const std::u16string& line, Win32Status status) {
    console_.Print(line + u"\n");
    return HresultFromWin32(status);
  }
  Hresult NotAWindowsDirectory(const std::u16string& reason) {
    return Refuse(u"无法使用Windows目录 " + PrintablePath(argument_) + u"：" + reason, Win32Status::PathNotFound);
  }
  Hresult Unreadable(const std::string& path, int error) {
    return Refuse(u"无法读取 " + PrintablePath(path) + u"：" + ErrorText(error), Win32StatusFromErrno(error));
  }
  Hresult Link(const std::string& path) {
    return Refuse(PrintablePath(path) + u" 是符号链接。程序不会跟随符号链接，无法执行修复。", Win32Status::StoppedOnSymlink);
  }
  // The answer for a link or an unreadable name, where the run has its own
  // answer for the rest.
  Hresult LinkOrUnreadable(const Lookup& lookup, const std::vector<std::string>& way) {
    if (lookup.finding == Finding::Link) return Link(image_.PathOnDisk(way));
    if (lookup.finding == Finding::Unreadable) return Unreadable(image_.PathOnDisk(way), lookup.error);
    return Hresult::Ok;
  }
  Hresult CheckSoftwareHive(int config, const std::vector<std::string>& way);

  ImageTree& image_;
  std::string_view argument_;
  Console& console_;
  HiveFile* software_;
};

Hresult Checker::Run() {
  // The run names every file by a UTF-16 path below this one.
  if (!image_.WindowsDirectory()) return NotAWindowsDirectory(ErrorText(EILSEQ));
  UniqueFd windows;
  if (const int error = image_.OpenDirectory({}, &windows); error != 0) {
    if (error == EACCES || error == EPERM) return Unreadable(std::string(argument_), error);
    return NotAWindowsDirectory(ErrorText(error));
  }
  if (faccessat(windows.Get(), ".", R_OK | X_OK, AT_EACCESS) != 0) return Unreadable(std::string(argument_), errno);

  std::vector<std::string> way;
  UniqueFd directory(dup(windows.Get()));
  if (!directory) return Unreadable(std::string(argument_), errno);
  for (const std::string& name : kConfigDirectory) {
    way.push_back(name);
    const Lookup lookup = LookUp(image_, directory.Get(), name, Kind::Directory);
    if (lookup.finding == Finding::Missing || lookup.finding == Finding::WrongKind) {
      return NotAWindowsDirectory(u"其中没有 System32/config 目录（" + ErrorText(lookup.error) + u"）");
    }
    if (const Hresult refused = LinkOrUnreadable(lookup, way); refused != Hresult::Ok) return refused;
    directory = UniqueFd(openat(directory.Get(), lookup.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) return Unreadable(image_.PathOnDisk(way), errno);
  }

  if (const Hresult refused = CheckSoftwareHive(directory.Get(), way); refused != Hresult::Ok) return refused;

  way.push_back("COMPONENTS");
  const Lookup components = LookUp(image_, directory.Get(), way.back(), Kind::File);
  if (const Hresult refused = LinkOrUnreadable(components, way); refused != Hresult::Ok) return refused;

  way = {"WinSxS"};
  return LinkOrUnreadable(LookUp(image_, windows.Get(), way.back(), Kind::Directory), way);
}

// SOFTWARE tells the run the Windows version; a file that is not a hive
// would pass for another version.
Hresult Checker::CheckSoftwareHive(int config, const std::vector<std::string>& configWay) {
  std::vector<std::string> way = configWay;
  way.push_back("SOFTWARE");
  const Lookup lookup = LookUp(image_, config, way.back(), Kind::File);
  const auto notAHive = [&] {
    return Refuse(u"SOFTWARE注册表 " + PrintablePath(image_.PathOnDisk(way)) + u" 不是注册表文件，无法执行修复。",
                  Win32Status::BadDb);
  };
  switch (lookup.finding) {
    case Finding::Missing:
      return Refuse(u"SOFTWARE注册表 " + PrintablePath(image_.PathOnDisk(way)) + u" 不存在，无法执行修复。",
                    Win32Status::FileNotFound);
    case Finding::WrongKind:
      return notAHive();
    case Finding::Link:
    case Finding::Unreadable:
      return LinkOrUnreadable(lookup, way);
    case Finding::Usable:
      break;
  }

  UniqueFd hive;
  if (const int error = OpenRegularFile(config, lookup.name, &hive); error != 0) {
    return Unreadable(image_.PathOnDisk(way), error);
  }
  std::vector<std::uint8_t> start(kBaseBlockSize);
  std::size_t filled = 0;
  if (const int error = ReadFullyAt(hive.Get(), start.data(), start.size(), 0, &filled); error != 0) {
    return Unreadable(image_.PathOnDisk(way), error);
  }
  if (CheckBaseBlock(std::span(start).first(filled)) == BaseBlockState::NotAHive) return notAHive();

  // A damaged hive would tell no Windows version, and pass for another one.
  switch (const Win32Status status = OpenHiveFile(image_, way, HiveAccess::Read, software_)) {
    case Win32Status::Success:
      return Hresult::Ok;
    case Win32Status::BadDb:
      return Refuse(u"SOFTWARE注册表 " + PrintablePath(image_.PathOnDisk(way)) + u" 已损坏，无法执行修复。", status);
    case Win32Status::RegistryCorrupt:
      return Refuse(u"SOFTWARE注册表 " + PrintablePath(image_.PathOnDisk(way)) +
                        u" 未写完，且其日志无法将其恢复，无法执行修复。",
                    status);
    default:
      return Refuse(u"无法读取 " + PrintablePath(image_.PathOnDisk(way)) + u"：lStatus=" + FormatHex32(static_cast<std::uint32_t>(status)), status);
  }
}

}  // namespace

Hresult CheckWindowsDirectory(ImageTree& image, std::string_view argument, Console& console, HiveFile* software) {
  return Checker(image, argument, console, software).Run();
}

}  // namespace tessaly::offline
