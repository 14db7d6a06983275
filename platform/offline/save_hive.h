#pragma once

#include <string>

#include "platform/offline/hive/hive.h"
#include "platform/offline/hive/hive_file.h"

namespace tessaly::offline {

// Replaces the hive file fileName in directory by the hive as changed in
// memory, so that nothing is lost whatever happens:
//  1. the original file (originalFile, the file the hive was loaded from)
//     is kept as "<fileName>.tessaly-backup" beside it (a second hard link,
//     or a copy where the file system has no hard links), or, when that
//     exists, under a new name with the time added, and made durable;
//  2. the hive is written to a new temporary file in the same directory and
//     made durable;
//  3. the temporary file is renamed over the original, and the directory
//     made durable.
// Returns 0 or an errno. On failure the original file is untouched and the
// files of this attempt are removed.
int SaveHive(const Hive& hive, const HiveFileOnDisk& original);

}  // namespace tessaly::offline
