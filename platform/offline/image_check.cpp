#include "platform/offline/image_check.h"

#include <cstdint>
#include <string>
#include <vector>

#include "common/text.h"
#include "hive/base_block.h"

namespace tessaly::offline {
namespace {

enum class Kind { Directory, File };

// What stands at a name on the tool's way.
enum class Finding { Usable, Missing, WrongKind, Link, Unreadable };

struct Lookup {
  Finding finding;
  FileStatus status;    // why it is missing, of the wrong kind or unreadable
  std::u16string name;  // as it is opened, once found
};

// Looks `name` up in parent as the run will, ignoring case, and never
// through a link.
Lookup LookUp(ImageTree& image, DirectoryHandle parent, const std::u16string& name, Kind kind) {
  ImageFiles& files = image.Files();
  std::u16string found;
  if (const FileStatus status = image.FindEntry(parent, name, &found); !status.Ok()) {
    return {status.problem == FileProblem::NotFound ? Finding::Missing : Finding::Unreadable, status, {}};
  }
  EntryFacts facts;
  if (const FileStatus status = files.LookUpEntry(parent, found, &facts); !status.Ok()) {
    return {Finding::Unreadable, status, found};
  }
  if (facts.kind == EntryKind::Link) return {Finding::Link, {FileProblem::Link, 0}, found};
  if (facts.kind != (kind == Kind::Directory ? EntryKind::Directory : EntryKind::File)) {
    return {Finding::WrongKind, {kind == Kind::Directory ? FileProblem::NotADirectory : FileProblem::NotARegularFile, 0},
            found};
  }
  if (const FileStatus status =
          files.CheckReadable(parent, found, kind == Kind::Directory ? EntryKind::Directory : EntryKind::File);
      !status.Ok()) {
    return {Finding::Unreadable, status, found};
  }
  return {Finding::Usable, {}, found};
}

class Checker {
 public:
  Checker(ImageTree& image, Console& console, unsigned hiveReaders, HiveFile* software)
      : image_(image), files_(image.Files()), console_(console), hiveReaders_(hiveReaders), software_(software) {}

  Hresult Run();

 private:
  // Prints the line and returns the exit code of the problem.
  Hresult Refuse(const std::u16string& line, Win32Status status) {
    console_.Print(line + u"\n");
    return HresultFromWin32(status);
  }
  std::u16string Argument() { return files_.DisplayPath({}); }
  Hresult NotAWindowsDirectory(const std::u16string& reason) {
    return Refuse(u"无法使用Windows目录 " + Argument() + u"：" + reason, Win32Status::PathNotFound);
  }
  Hresult Unreadable(const std::u16string& path, const FileStatus& status) {
    return Refuse(u"无法读取 " + path + u"：" + files_.Describe(status), files_.ToWin32Status(status));
  }
  Hresult InUse(const std::vector<std::u16string>& way) {
    return Refuse(image_.DisplayPath(way) + u" 正被其他程序使用，无法读取。请关闭使用它的程序后再运行。",
                  Win32Status::SharingViolation);
  }
  Hresult Link(const std::u16string& path) {
    return Refuse(path + u" 是符号链接。程序不会跟随符号链接，无法执行修复。", Win32Status::StoppedOnSymlink);
  }
  // The answer for a link or an unreadable name, where the run has its own
  // answer for the rest.
  Hresult LinkOrUnreadable(const Lookup& lookup, const std::vector<std::u16string>& way) {
    if (lookup.finding == Finding::Link) return Link(image_.DisplayPath(way));
    if (lookup.finding == Finding::Unreadable) return Unreadable(image_.DisplayPath(way), lookup.status);
    return Hresult::Ok;
  }
  Hresult CheckSoftwareHive(DirectoryHandle config, const std::vector<std::u16string>& way);

  ImageTree& image_;
  ImageFiles& files_;
  Console& console_;
  unsigned hiveReaders_;
  HiveFile* software_;
};

Hresult Checker::Run() {
  // The run names every file by a UTF-16 path below this one.
  if (!image_.WindowsDirectory()) return NotAWindowsDirectory(files_.Describe({FileProblem::NoUnicodeForm, 0}));
  if (files_.IsRunningSystem()) {
    return Refuse(Argument() + u" 是正在运行的Windows的目录，其注册表文件正在使用中。"
                               u"修复正在运行的Windows请使用 tessaly.exe。",
                  Win32Status::SharingViolation);
  }
  UniqueDirectory windows(files_);
  if (const FileStatus status = image_.OpenDirectory({}, &windows); !status.Ok()) {
    if (status.problem == FileProblem::AccessDenied) return Unreadable(Argument(), status);
    if (status.problem == FileProblem::VolumeLocked) {
      return Refuse(u"无法使用Windows目录 " + Argument() + u"：所在的卷已用BitLocker加密且尚未解锁。"
                                                          u"请先解锁该卷（manage-bde -unlock）再运行。",
                    files_.ToWin32Status(status));
    }
    return NotAWindowsDirectory(files_.Describe(status));
  }

  std::vector<std::u16string> way;
  DirectoryHandle directory = windows.Get();
  UniqueDirectory opened(files_);
  for (const std::u16string& name : kConfigDirectory) {
    way.push_back(name);
    const Lookup lookup = LookUp(image_, directory, name, Kind::Directory);
    if (lookup.finding == Finding::Missing || lookup.finding == Finding::WrongKind) {
      return NotAWindowsDirectory(u"其中没有 System32" + std::u16string(1, files_.PathSeparator()) + u"config 目录（" +
                                  files_.Describe(lookup.status) + u"）");
    }
    if (const Hresult refused = LinkOrUnreadable(lookup, way); refused != Hresult::Ok) return refused;
    UniqueDirectory next(files_);
    if (const FileStatus status = files_.OpenDirectory(directory, lookup.name, next.Put()); !status.Ok()) {
      return Unreadable(image_.DisplayPath(way), status);
    }
    opened = std::move(next);
    directory = opened.Get();
  }

  if (const Hresult refused = CheckSoftwareHive(directory, way); refused != Hresult::Ok) return refused;

  way.push_back(u"COMPONENTS");
  const Lookup components = LookUp(image_, directory, way.back(), Kind::File);
  if (const Hresult refused = LinkOrUnreadable(components, way); refused != Hresult::Ok) return refused;

  way = {u"WinSxS"};
  return LinkOrUnreadable(LookUp(image_, windows.Get(), way.back(), Kind::Directory), way);
}

// SOFTWARE tells the run the Windows version; a file that is not a hive
// would pass for another version.
Hresult Checker::CheckSoftwareHive(DirectoryHandle config, const std::vector<std::u16string>& configWay) {
  std::vector<std::u16string> way = configWay;
  way.push_back(u"SOFTWARE");
  const Lookup lookup = LookUp(image_, config, way.back(), Kind::File);
  const auto notAHive = [&] {
    return Refuse(u"SOFTWARE注册表 " + image_.DisplayPath(way) + u" 不是注册表文件，无法执行修复。", Win32Status::BadDb);
  };
  switch (lookup.finding) {
    case Finding::Missing:
      return Refuse(u"SOFTWARE注册表 " + image_.DisplayPath(way) + u" 不存在，无法执行修复。",
                    Win32Status::FileNotFound);
    case Finding::WrongKind:
      return notAHive();
    case Finding::Link:
    case Finding::Unreadable:
      return LinkOrUnreadable(lookup, way);
    case Finding::Usable:
      break;
  }

  UniqueImageFile hive(files_);
  if (const FileStatus status = files_.OpenFile(config, lookup.name, FileAccess::Read, hive.Put()); !status.Ok()) {
    if (status.problem == FileProblem::InUse) return InUse(way);
    return Unreadable(image_.DisplayPath(way), status);
  }
  std::vector<std::uint8_t> start(hive::kBaseBlockSize);
  std::size_t filled = 0;
  if (const FileStatus status = files_.ReadAt(hive.Get(), 0, start, &filled); !status.Ok()) {
    return Unreadable(image_.DisplayPath(way), status);
  }
  if (hive::CheckBaseBlock(std::span(start).first(filled)) == hive::BaseBlockState::NotAHive) return notAHive();

  // A damaged hive would tell no Windows version, and pass for another one.
  switch (const Win32Status status = OpenHiveFile(image_, way, HiveAccess::Read, hiveReaders_, software_)) {
    case Win32Status::Success:
      return Hresult::Ok;
    case Win32Status::BadDb:
      return Refuse(u"SOFTWARE注册表 " + image_.DisplayPath(way) + u" 已损坏，无法执行修复。", status);
    case Win32Status::RegistryCorrupt:
      return Refuse(u"SOFTWARE注册表 " + image_.DisplayPath(way) + u" 未写完，且其日志无法将其恢复，无法执行修复。",
                    status);
    case Win32Status::SharingViolation:
      return InUse(way);
    default:
      return Refuse(u"无法读取 " + image_.DisplayPath(way) + u"：lStatus=" + FormatHex32(static_cast<std::uint32_t>(status)),
                    status);
  }
}

}  // namespace

Hresult CheckWindowsDirectory(ImageTree& image, Console& console, unsigned hiveReaders, HiveFile* software) {
  return Checker(image, console, hiveReaders, software).Run();
}

}  // namespace tessaly::offline
