// Opening a hive file of the image: finding it (names matched ignoring
// case, never through a link), holding it against other writers for a
// repair, checking its base block, and, when Windows stopped before
// bringing it up to date, recovering its newest state from its transaction
// logs (".LOG1" and ".LOG2" beside it). Neither the file nor its logs are
// ever written here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/status.h"
#include "hive/hive.h"
#include "platform/offline/image_files.h"

namespace tessaly::offline {

class ImageTree;

// What the names of a hive's transaction logs add to the hive's name, in
// the order recovery takes them.
inline constexpr std::array<std::u16string_view, 2> kTransactionLogSuffixes = {u".LOG1", u".LOG2"};

struct HiveFile {
  UniqueDirectory directory;  // the directory holding the hive
  UniqueImageFile file;       // the hive file, open (held for saving, for a repair)
  std::u16string fileName;    // the hive's name as it is opened
  // The bytes that are the hive: a clean hive's base block and the hive bins
  // it counts, a dirty hive's whole file.
  std::uint64_t extent = 0;
  // Names of its transaction logs when the hive was recovered from them; else empty.
  std::vector<std::u16string> logNames;
  // The hive file mapped, where the hive lives in it; before the hive, which it outlives.
  UniqueMapping mapping;
  std::optional<hive::Hive> hive;
  // Bytes of the hive as read or recovered: what saving it writes.
  std::uint64_t size = 0;
  // Whether a sequence number newer than all the hive and its logs hold
  // exists for the saved hive; without one, Windows could replay a log
  // entry over a repair, so none may start.
  bool savable = false;
};

enum class HiveAccess {
  // Never saved, so shared with everyone (a dry run, or the SOFTWARE hive).
  Read,
  // Held against other writers, and other runs, for the life of the
  // HiveFile, so that two runs never repair the same hive at once.
  Repair,
};

// path: the hive file's names below the Windows directory. readers: the
// threads that may read it at once, at least one.
// FileNotFound (or another status of the file system) when it or, for a
// dirty hive, a log beside it cannot be opened or read, SharingViolation
// when another program or run holds it, BadDb when it is not a hive,
// RegistryCorrupt when it is dirty and its logs cannot bring it up to date.
Win32Status OpenHiveFile(ImageTree& image, std::span<const std::u16string> path, HiveAccess access, unsigned readers,
                         HiveFile* opened);

}  // namespace tessaly::offline
