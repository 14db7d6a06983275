#include "platform/offline/prepare_save.h"

#include <array>
#include <string>

#include "common/text.h"
#include "platform/offline/hive_file.h"
#include "platform/offline/save_hive.h"

namespace tessaly::offline {
namespace {

// Bytes a save of the hive writes: the new hive, copies of the logs it was
// recovered from, and, where the file system has no hard links, a copy of
// the original as its backup.
std::uint64_t BytesToWrite(ImageFiles& files, const HiveFile& hive) {
  std::uint64_t bytes = hive.size;
  if (files.LacksHardLinks(hive.directory.Get())) bytes += hive.extent;
  for (const std::u16string& logName : hive.logNames) {
    UniqueImageFile log(files);
    FileFacts facts;
    if (files.OpenFile(hive.directory.Get(), logName, FileAccess::Read, log.Put()).Ok() &&
        files.Inspect(log.Get(), &facts).Ok()) {
      bytes += facts.size;
    }
  }
  return bytes;
}

}  // namespace

std::optional<ExitCode> PrepareToSave(ImageTree& image, Console& console, unsigned hiveReaders, HiveFile* components) {
  ImageFiles& files = image.Files();
  UniqueDirectory config(files);
  if (!image.OpenDirectory(kConfigDirectory, &config).Ok()) return std::nullopt;
  const WriteAccess access = files.ProbeWriteAccess(config.Get(), {});
  if (access == WriteAccess::ReadOnlyMount || access == WriteAccess::WriteProtected ||
      access == WriteAccess::Hibernated) {
    return std::nullopt;
  }
  // Held for the run: one that holds it may be saving it right now, and
  // its files stay.
  const std::array<std::u16string, 3> path = {kConfigDirectory[0], kConfigDirectory[1], u"COMPONENTS"};
  HiveFile hive;
  const Win32Status opened = OpenHiveFile(image, path, HiveAccess::Repair, hiveReaders, &hive);
  if (opened == Win32Status::SharingViolation) {
    console.Print(image.DisplayPath(path) + u" 正被其他程序使用，无法保存修复。请关闭使用它的程序后再运行。未执行任何修复。\n");
    return ToExitCode(HresultFromWin32(opened));
  }
  if (opened != Win32Status::Success || !hive.savable) return std::nullopt;

  int removed = 0;
  RemoveSaveLeftovers(files, hive.directory.Get(), hive.fileName, &removed);
  if (removed > 0) {
    console.Print(u"已删除上次中断的保存留下的 " + FormatDecimal(static_cast<std::uint64_t>(removed)) + u" 个临时文件（" +
                  hive.fileName + u".tessaly-new*）。\n");
  }

  const std::uint64_t toWrite = BytesToWrite(files, hive);
  *components = std::move(hive);
  std::uint64_t available = 0;
  if (!files.FreeSpace(config.Get(), &available).Ok()) return std::nullopt;
  const std::uint64_t needed = toWrite + kSaveSpaceMargin;
  if (available >= needed) return std::nullopt;
  const std::u16string configDirectory = kConfigDirectory[0] + files.PathSeparator() + kConfigDirectory[1];
  console.Print(configDirectory + u" 所在的卷空间不足，无法保存修复：需要 " + FormatDecimal(needed) + u" 字节，可用 " +
                FormatDecimal(available) + u" 字节。请释放空间后再运行。未执行任何修复。\n");
  return ToExitCode(HresultFromWin32(Win32Status::DiskFull));
}

}  // namespace tessaly::offline
