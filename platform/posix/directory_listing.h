#pragma once

#include <cstddef>
#include <vector>

#include "records/file_system.h"

namespace tessaly::posix {

inline constexpr std::uint32_t kFileAttributeNormal = 0x80;

// Reads the whole directory open at `directory`, from its start whatever
// was read of it before, in the order NTFS would list it, "." and ".."
// included. Symbolic links are reported as reparse points and never looked
// through; names that are not UTF-8 are passed over. The entries already in
// *entries are replaced, their storage reused. Returns 0 or an errno.
int ListDirectory(int directory, std::vector<DirectoryEntry>* entries);

// The same for a directory just opened, so at its start, and at most
// maxEntries entries: E2BIG past them, before reading further.
int ListOpenedDirectory(int directory, std::vector<DirectoryEntry>* entries, std::size_t maxEntries);

}  // namespace tessaly::posix
