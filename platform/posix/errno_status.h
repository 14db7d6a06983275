// Win32 status codes for the failures of Linux calls, as the Windows
// functions the seams stand in for would report them.
#pragma once

#include "common/status.h"

namespace tessaly::posix {

// ENOENT -> ERROR_FILE_NOT_FOUND, EACCES/EPERM -> ERROR_ACCESS_DENIED,
// ENOSPC/EDQUOT -> ERROR_DISK_FULL, EROFS -> ERROR_WRITE_PROTECT,
// ENOMEM -> ERROR_NOT_ENOUGH_MEMORY; anything else is a registry I/O failure.
Win32Status Win32StatusFromErrno(int error);

}  // namespace tessaly::posix
