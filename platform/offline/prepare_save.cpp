#include "platform/offline/prepare_save.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <string>
#include <vector>

#include "common/utf_conversion.h"
#include "platform/offline/full_io.h"
#include "platform/offline/hive/base_block.h"
#include "platform/offline/hive/hive_file.h"
#include "platform/offline/hive/little_endian.h"
#include "platform/offline/save_hive.h"
#include "platform/offline/unique_fd.h"

namespace tessaly::offline {
namespace {


std::u16string Decimal(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

// Bytes a save of the hive open at hive writes: the new hive, as large as
// the hive's extent, and, for a hive that is recovered from its logs, the
// copies of its logs and as much again for the pages they add. nullopt
// when the file is no hive the run would load.
std::optional<std::uint64_t> BytesToWrite(ImageTree& image, int config, const std::string& hiveName, int hive) {
  std::vector<std::uint8_t> baseBlock(kBaseBlockSize);
  std::size_t got = 0;
  if (ReadFullyAt(hive, baseBlock.data(), baseBlock.size(), 0, &got) != 0) return std::nullopt;
  baseBlock.resize(got);
  const BaseBlockState state = CheckBaseBlock(baseBlock);
  if (state == BaseBlockState::NotAHive) return std::nullopt;
  std::uint64_t bytes = kBaseBlockSize + ReadLittleEndian32(baseBlock, kHiveBinsSizeOffset);
  if (state != BaseBlockState::Dirty) return bytes;
  for (const char* suffix : kTransactionLogSuffixes) {
    std::string logName;
    struct stat status {};
    if (image.FindEntry(config, hiveName + suffix, &logName) == 0 &&
        fstatat(config, logName.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)) {
      bytes += 2 * static_cast<std::uint64_t>(status.st_size);
    }
  }
  return bytes;
}

}  // namespace

std::optional<ExitCode> PrepareToSave(ImageTree& image, Console& console) {
  UniqueFd config;
  if (image.OpenDirectory(kConfigDirectory, &config) != 0) return std::nullopt;
  struct statvfs volume {};
  if (fstatvfs(config.Get(), &volume) != 0 || (volume.f_flag & ST_RDONLY) != 0) return std::nullopt;
  std::string hiveName;
  UniqueFd hive;
  if (image.FindEntry(config.Get(), "COMPONENTS", &hiveName) != 0 ||
      OpenRegularFile(config.Get(), hiveName, &hive) != 0) {
    return std::nullopt;
  }
  // A run that holds the hive may be saving it right now; its files stay.
  if (flock(hive.Get(), LOCK_EX | LOCK_NB) != 0) return std::nullopt;

  int removed = 0;
  RemoveSaveLeftovers(config.Get(), hiveName, &removed);
  if (removed > 0) {
    console.Print(u"已删除上次中断的保存留下的 " + Decimal(static_cast<std::uint64_t>(removed)) + u" 个临时文件（" +
                  Utf16FromUtf8(hiveName).value_or(u"COMPONENTS") + u".tessaly-new*）。\n");
  }

  const std::optional<std::uint64_t> toWrite = BytesToWrite(image, config.Get(), hiveName, hive.Get());
  if (!toWrite || fstatvfs(config.Get(), &volume) != 0) return std::nullopt;
  const std::uint64_t needed = *toWrite + kSaveSpaceMargin;
  const std::uint64_t available = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
  if (available >= needed) return std::nullopt;
  console.Print(u"System32/config 所在的卷空间不足，无法保存修复：需要 " + Decimal(needed) + u" 字节，可用 " +
                Decimal(available) + u" 字节。请释放空间后再运行。未执行任何修复。\n");
  return ToExitCode(HresultFromWin32(Win32Status::DiskFull));
}

}  // namespace tessaly::offline
