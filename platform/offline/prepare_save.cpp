#include "platform/offline/prepare_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <array>
#include <string>

#include "common/utf_conversion.h"
#include "platform/offline/hive_file.h"
#include "platform/offline/save_hive.h"
#include "platform/posix/unique_fd.h"

namespace tessaly::offline {
namespace {

std::u16string Decimal(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

// Bytes a save of the hive writes: the new hive and copies of the logs it
// was recovered from.
std::uint64_t BytesToWrite(const HiveFile& hive) {
  std::uint64_t bytes = hive.size;
  for (const std::string& logName : hive.onDisk.logNames) {
    struct stat status {};
    if (fstatat(hive.directory.Get(), logName.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      bytes += static_cast<std::uint64_t>(status.st_size);
    }
  }
  return bytes;
}

}  // namespace

std::optional<ExitCode> PrepareToSave(ImageTree& image, Console& console, HiveFile* components) {
  UniqueFd config;
  if (image.OpenDirectory(kConfigDirectory, &config) != 0) return std::nullopt;
  struct statvfs volume {};
  if (fstatvfs(config.Get(), &volume) != 0 || (volume.f_flag & ST_RDONLY) != 0) return std::nullopt;
  // Locked for the run: one that holds it may be saving it right now, and
  // its files stay.
  const std::array<std::string, 3> path = {kConfigDirectory[0], kConfigDirectory[1], "COMPONENTS"};
  HiveFile hive;
  if (OpenHiveFile(image, path, HiveAccess::Repair, &hive) != Win32Status::Success || !hive.savable) {
    return std::nullopt;
  }

  int removed = 0;
  RemoveSaveLeftovers(hive.directory.Get(), hive.onDisk.fileName, &removed);
  if (removed > 0) {
    console.Print(u"已删除上次中断的保存留下的 " + Decimal(static_cast<std::uint64_t>(removed)) + u" 个临时文件（" +
                  Utf16FromUtf8(hive.onDisk.fileName).value_or(u"COMPONENTS") + u".tessaly-new*）。\n");
  }

  const std::uint64_t toWrite = BytesToWrite(hive);
  *components = std::move(hive);
  if (fstatvfs(config.Get(), &volume) != 0) return std::nullopt;
  const std::uint64_t needed = toWrite + kSaveSpaceMargin;
  const std::uint64_t available = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
  if (available >= needed) return std::nullopt;
  console.Print(u"System32/config 所在的卷空间不足，无法保存修复：需要 " + Decimal(needed) + u" 字节，可用 " +
                Decimal(available) + u" 字节。请释放空间后再运行。未执行任何修复。\n");
  return ToExitCode(HresultFromWin32(Win32Status::DiskFull));
}

}  // namespace tessaly::offline
