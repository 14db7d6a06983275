#include "platform/posix/errno_status.h"

#include <cerrno>

namespace tessaly::posix {

Win32Status Win32StatusFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return Win32Status::FileNotFound;
    case EACCES:
    case EPERM:
      return Win32Status::AccessDenied;
    case ENOSPC:
    case EDQUOT:
      return Win32Status::DiskFull;
    case EROFS:
      return Win32Status::WriteProtect;
    case ENOMEM:
      return Win32Status::NotEnoughMemory;
    default:
      return Win32Status::RegistryIoFailed;
  }
}

}  // namespace tessaly::posix
