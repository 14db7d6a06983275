// What a run that may write the image's COMPONENTS hive settles before it
// scans: the hive is opened, read and checked, the leftovers of an
// interrupted save go, and the volume must have room for a save, so that no
// repair is reported that cannot be kept.
#pragma once

#include <cstdint>
#include <optional>

#include "common/console.h"
#include "common/status.h"
#include "platform/offline/hive_file.h"
#include "platform/offline/image_tree.h"

namespace tessaly::offline {

// Free space a save needs beyond the new hive and the copies of its logs:
// the file system's own records of the new files, and directory growth.
inline constexpr std::uint64_t kSaveSpaceMargin = 1 << 20;

// Opens System32\config\COMPONENTS for a repair into *components, removes
// the temporary files of an interrupted save beside it (one line says so),
// then checks that the volume has room for the new hive as read or
// recovered, copies of the logs it was recovered from, a copy of the
// original where the file system has no hard links, and kSaveSpaceMargin. Returns nullopt to go on, or, its message printed, the
// exit code: 0x80070070 (ERROR_DISK_FULL) without room, 0x80070020
// (ERROR_SHARING_VIOLATION) when another program holds the hive. Anything
// else that keeps it from looking (no hive, a damaged one, a read-only
// volume) is left to the run, which reports it; *components then stays empty.
// hiveReaders: the threads that may read the hive at once.
std::optional<ExitCode> PrepareToSave(ImageTree& image, Console& console, unsigned hiveReaders, HiveFile* components);

}  // namespace tessaly::offline
