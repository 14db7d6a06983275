#pragma once

#include <sys/types.h>

#include <string>

#include "platform/posix/unique_fd.h"

namespace tessaly::offline {

// Creates a file that did not exist before in directory, for writing: named
// baseName, or baseName-2, baseName-3, ... when that name is taken, so no
// earlier file is ever overwritten. Returns 0 or an errno.
int CreateNewFile(int directory, const std::string& baseName, mode_t mode, UniqueFd* file, std::string* name);

}  // namespace tessaly::offline
