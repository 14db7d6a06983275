// Writing a changed hive back to the image so that nothing is ever lost:
// the original stays, as a backup, until the new hive is complete, flushed
// and carries everything that made the original file what it was.
#pragma once

#include <functional>
#include <string>

#include "platform/offline/hive_file.h"

namespace tessaly::offline {

// Results of SaveHive besides 0 and errno values; all negative.
// The new file could not be given the original's owner, group, mode or
// every extended attribute (on NTFS: its security descriptor, attributes
// and creation time). The original was not replaced.
inline constexpr int kSaveMetadataNotKept = -1;
// The rename of the new hive over the original reported failure, yet the
// hive's name holds the new hive: the repair is in place, and the backup
// of the original kept.
inline constexpr int kSaveReplacedDespiteError = -2;
// The rename of the new hive over the original reported failure, and the
// hive's name now holds neither: the backup of the original and the new
// hive under its temporary name are both kept.
inline constexpr int kSaveHiveNameLost = -3;

// Replaces the hive file by the hive as changed in memory:
//  1. the original is kept as "<fileName>.tessaly-backup" beside it (a
//     second hard link, or a copy of its extent where the file system has
//     no hard links). An earlier backup that holds the original already is
//     kept as it is; one that holds something else stays, and this backup
//     gets a name with the time added. Logs the hive was recovered from
//     are copied beside the backup, named after it ("...-backup.LOG1").
//  2. the new hive is written to "<fileName>.tessaly-new", given the
//     original's metadata (read back to check) and flushed;
//  3. it is renamed over the original, and the directory flushed.
// Copies are written under the temporary name too, and renamed once
// complete, so a backup name only ever holds a whole copy.
// Returns 0, an errno or one of the statuses above. On failure the original
// is in place and nothing of this attempt is left.
int SaveHive(const Hive& hive, const HiveFileOnDisk& original);

// SaveHive with the new hive's bytes written by writeContents(fd), which
// returns 0 or an errno.
int ReplaceHiveFile(const HiveFileOnDisk& original, const std::function<int(int fd)>& writeContents);

// Removes what an interrupted save left beside the hive fileName: its
// temporary files, never a backup. *removed: how many. Returns 0 or the
// errno of the first removal that failed.
int RemoveSaveLeftovers(int directory, const std::string& fileName, int* removed);

}  // namespace tessaly::offline
