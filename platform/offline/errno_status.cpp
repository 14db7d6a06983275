#include "platform/offline/errno_status.h"

#include <cerrno>

namespace tessaly::offline {
namespace {

constexpr Win32Status kWriteProtect = static_cast<Win32Status>(19);  // ERROR_WRITE_PROTECT
constexpr Win32Status kDiskFull = static_cast<Win32Status>(112);     // ERROR_DISK_FULL

}  // namespace

Win32Status Win32StatusFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return Win32Status::FileNotFound;
    case EACCES:
    case EPERM:
      return Win32Status::AccessDenied;
    case ENOSPC:
    case EDQUOT:
      return kDiskFull;
    case EROFS:
      return kWriteProtect;
    case ENOMEM:
      return Win32Status::NotEnoughMemory;
    default:
      return Win32Status::RegistryIoFailed;
  }
}

}  // namespace tessaly::offline
