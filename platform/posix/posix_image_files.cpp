#include "platform/posix/posix_image_files.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "common/utf_conversion.h"
#include "platform/offline/printable_path.h"
#include "platform/offline/read_ahead.h"
#include "platform/posix/directory_listing.h"
#include "platform/posix/errno_status.h"
#include "platform/posix/file_metadata.h"
#include "platform/posix/full_io.h"

namespace tessaly::posix {
namespace {

using offline::DirectoryHandle;
using offline::EntryKind;
using offline::FileIdentity;
using offline::FileProblem;
using offline::FileStatus;
using offline::ImageFileHandle;
using offline::WriteAccess;

// Another program may put a new file under the name between the open and
// the lock; the open is tried again a few times.
constexpr int kLockAttempts = 3;
// Files are created for the owner alone; the save gives them their metadata once written.
constexpr mode_t kPrivateMode = 0600;
// Descriptors one read-ahead worker may hold at once: one per directory
// level it goes down, to its depth limit, and the component's own.
constexpr rlim_t kDescriptorsPerWorker = offline::kMaxReadAheadDepth + 1;

int Fd(DirectoryHandle directory) { return static_cast<int>(directory); }
int Fd(ImageFileHandle file) { return static_cast<int>(file); }

FileProblem ProblemOf(int error) {
  switch (error) {
    case 0:
      return FileProblem::None;
    case ENOENT:
      return FileProblem::NotFound;
    case ENOTDIR:
      return FileProblem::NotADirectory;
    case ELOOP:
      return FileProblem::Link;
    case EACCES:
    case EPERM:
      return FileProblem::AccessDenied;
    case EWOULDBLOCK:
      return FileProblem::InUse;
    case EEXIST:
      return FileProblem::Exists;
    case EROFS:
      return FileProblem::ReadOnlyVolume;
    case ENOSPC:
    case EDQUOT:
      return FileProblem::DiskFull;
    case E2BIG:
      return FileProblem::TooManyEntries;
    default:
      return FileProblem::Other;
  }
}

FileStatus StatusOf(int error) { return {ProblemOf(error), error}; }
// The status of a call that returns 0 or -1 with errno.
FileStatus CallStatus(int result) { return result == 0 ? FileStatus{} : StatusOf(errno); }

const FileStatus kNoSuchName{FileProblem::NotFound, ENOENT};
const FileStatus kNotRegular{FileProblem::NotARegularFile, EINVAL};

// The name as it is on the disk. Only a single component converts, so
// nothing outside the directory can be named.
bool DiskName(std::u16string_view name, std::string* bytes) {
  return Utf8FromUtf16(name, bytes) && !bytes->empty() && *bytes != "." && *bytes != ".." &&
         bytes->find('/') == std::string::npos && bytes->find('\0') == std::string::npos;
}


FileIdentity IdentityOf(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), 0, static_cast<std::uint64_t>(status.st_ino)};
}

// The errno a status stands for. One made by the run itself, without a
// code, gets the errno Linux would give the same problem.
int ErrnoOf(const FileStatus& status) {
  if (status.code != 0) return status.code;
  switch (status.problem) {
    case FileProblem::None:
      return 0;
    case FileProblem::NotFound:
      return ENOENT;
    case FileProblem::NotADirectory:
      return ENOTDIR;
    case FileProblem::Link:
      return ELOOP;
    case FileProblem::NotARegularFile:
      return EINVAL;
    case FileProblem::AccessDenied:
    case FileProblem::VolumeLocked:
      return EACCES;
    case FileProblem::InUse:
      return EWOULDBLOCK;
    case FileProblem::Exists:
      return EEXIST;
    case FileProblem::LinksUnsupported:
      return EPERM;
    case FileProblem::ReadOnlyVolume:
      return EROFS;
    case FileProblem::DiskFull:
      return ENOSPC;
    case FileProblem::TooManyEntries:
      return E2BIG;
    case FileProblem::NoUnicodeForm:
      return EILSEQ;
    case FileProblem::MetadataNotKept:
    case FileProblem::Other:
      break;
  }
  return EIO;
}

bool SameFile(const struct stat& left, const struct stat& right) {
  return left.st_dev == right.st_dev && left.st_ino == right.st_ino;
}

bool IsLink(int directory, const char* name) {
  struct stat status {};
  return fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

// Opens the regular file `name` for reading, never through a link, and
// without blocking on a FIFO.
FileStatus OpenRegularFile(int directory, const char* name, UniqueFd* file) {
  UniqueFd opened(openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!opened) return StatusOf(errno);
  struct stat status {};
  if (fstat(opened.Get(), &status) != 0) return StatusOf(errno);
  if (!S_ISREG(status.st_mode)) return kNotRegular;
  *file = std::move(opened);
  return {};
}

// Opens the file and locks it, making sure that the name still names the
// locked file. flock locks are advisory: they keep out other runs of the
// tool, which is what a save must not race with.
FileStatus OpenAndLock(int directory, const char* name, UniqueFd* file) {
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    UniqueFd opened;
    if (const FileStatus status = OpenRegularFile(directory, name, &opened); !status.Ok()) return status;
    if (flock(opened.Get(), LOCK_EX | LOCK_NB) != 0) return StatusOf(errno);
    struct stat locked {};
    struct stat named {};
    if (fstat(opened.Get(), &locked) != 0) return StatusOf(errno);
    if (fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(locked, named)) {
      *file = std::move(opened);
      return {};
    }
  }
  return StatusOf(EWOULDBLOCK);
}

// File systems without hard links (FAT, some network shares) refuse them with these.
bool LinksUnsupported(int error) { return error == EPERM || error == EXDEV || error == EOPNOTSUPP || error == EMLINK; }

// Immutable or append-only: the file system refuses to replace or remove
// the entry, whoever asks. File systems without these flags answer with an
// error, which counts as neither.
bool HasLockedFlags(int fd) {
  int flags = 0;
  return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

bool IsReadOnlyVolume(int fd) {
  struct statvfs volume {};
  return fstatvfs(fd, &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0;
}

}  // namespace

std::string WithoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

std::optional<std::u16string> EngineDirectory(std::string_view windowsDirectory) {
  return Utf16FromUtf8(WithoutTrailingSlashes(windowsDirectory));
}

PosixImageFiles::PosixImageFiles(std::string_view windowsDirectory)
    : windowsDirectory_(WithoutTrailingSlashes(windowsDirectory)),
      root_(open(windowsDirectory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (!root_) rootError_ = errno;
}

FileStatus PosixImageFiles::OpenWindowsDirectory(DirectoryHandle* directory) {
  if (!root_) return StatusOf(rootError_);
  // A descriptor of its own, released like any other directory's.
  const int opened = openat(root_.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (opened < 0) return StatusOf(errno);
  *directory = static_cast<DirectoryHandle>(opened);
  return {};
}

FileStatus PosixImageFiles::OpenDirectory(DirectoryHandle parent, std::u16string_view name,
                                          DirectoryHandle* directory) {
  std::string onDisk;
  if (!DiskName(name, &onDisk)) return kNoSuchName;
  const int opened = openat(Fd(parent), onDisk.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (opened < 0) {
    const int error = errno;
    // O_DIRECTORY answers ENOTDIR for a link before O_NOFOLLOW's ELOOP.
    if (error == ENOTDIR && IsLink(Fd(parent), onDisk.c_str())) return StatusOf(ELOOP);
    return StatusOf(error);
  }
  *directory = static_cast<DirectoryHandle>(opened);
  return {};
}

void PosixImageFiles::CloseDirectory(DirectoryHandle directory) { close(Fd(directory)); }

FileStatus PosixImageFiles::ListDirectory(DirectoryHandle directory, offline::ListingStart start,
                                          std::size_t maxEntries, std::vector<DirectoryEntry>* entries) {
  // From the start, whatever was read of it before.
  if (start == offline::ListingStart::Rewind && lseek(Fd(directory), 0, SEEK_SET) < 0) return StatusOf(errno);
  return StatusOf(posix::ListOpenedDirectory(Fd(directory), entries, maxEntries));
}

FileStatus PosixImageFiles::LookUpEntry(DirectoryHandle parent, std::u16string_view name,
                                        offline::EntryFacts* facts) {
  std::string onDisk;
  if (!DiskName(name, &onDisk)) return kNoSuchName;
  struct stat status {};
  if (fstatat(Fd(parent), onDisk.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return StatusOf(errno);
  facts->kind = S_ISLNK(status.st_mode)   ? EntryKind::Link
                : S_ISDIR(status.st_mode) ? EntryKind::Directory
                : S_ISREG(status.st_mode) ? EntryKind::File
                                          : EntryKind::Other;
  facts->identity = IdentityOf(status);
  return {};
}

FileStatus PosixImageFiles::IdentifyDirectory(DirectoryHandle directory, FileIdentity* identity) {
  struct stat status {};
  if (fstat(Fd(directory), &status) != 0) return StatusOf(errno);
  *identity = IdentityOf(status);
  return {};
}

FileStatus PosixImageFiles::CheckReadable(DirectoryHandle parent, std::u16string_view name, EntryKind kind) {
  std::string onDisk;
  if (!DiskName(name, &onDisk)) return kNoSuchName;
  // A folder is read and searched; a file only read. AT_EACCESS: as the
  // open would decide, by the effective IDs.
  const int mode = kind == EntryKind::Directory ? R_OK | X_OK : R_OK;
  return CallStatus(faccessat(Fd(parent), onDisk.c_str(), mode, AT_EACCESS));
}

FileStatus PosixImageFiles::OpenFile(DirectoryHandle parent, std::u16string_view name, offline::FileAccess access,
                                     ImageFileHandle* file) {
  std::string onDisk;
  if (!DiskName(name, &onDisk)) return kNoSuchName;
  UniqueFd opened;
  const FileStatus status = access == offline::FileAccess::ReadForSave
                                ? OpenAndLock(Fd(parent), onDisk.c_str(), &opened)
                                : OpenRegularFile(Fd(parent), onDisk.c_str(), &opened);
  if (!status.Ok()) return status;
  *file = static_cast<ImageFileHandle>(opened.Release());
  return {};
}

FileStatus PosixImageFiles::CloseFile(ImageFileHandle file) {
  // Linux releases the descriptor even when close fails; the failure only
  // says that what was written may not have reached the file (NFS, FUSE).
  return CallStatus(close(Fd(file)));
}

FileStatus PosixImageFiles::Inspect(ImageFileHandle file, offline::FileFacts* facts) {
  struct stat status {};
  if (fstat(Fd(file), &status) != 0) return StatusOf(errno);
  facts->identity = IdentityOf(status);
  facts->size = static_cast<std::uint64_t>(status.st_size);
  return {};
}

FileStatus PosixImageFiles::Read(ImageFileHandle file, std::span<std::uint8_t> buffer, std::size_t* got) {
  return StatusOf(posix::ReadFully(Fd(file), buffer.data(), buffer.size(), got));
}

FileStatus PosixImageFiles::ReadAt(ImageFileHandle file, std::uint64_t offset, std::span<std::uint8_t> buffer,
                                   std::size_t* got) {
  *got = 0;
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return StatusOf(EINVAL);
  return StatusOf(posix::ReadFullyAt(Fd(file), buffer.data(), buffer.size(), static_cast<off_t>(offset), got));
}

namespace {

// A mapping's handle is the address of what munmap needs.
struct Mapping {
  void* address;
  std::size_t size;
};

}  // namespace

FileStatus PosixImageFiles::MapFile(ImageFileHandle file, std::uint64_t size, offline::MappingHandle* mapping,
                                    std::span<const std::uint8_t>* bytes) {
  if (size == 0 || size > std::numeric_limits<std::size_t>::max()) return StatusOf(EINVAL);
  const auto length = static_cast<std::size_t>(size);
  void* const address = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, Fd(file), 0);
  if (address == MAP_FAILED) return StatusOf(errno);
  // Recovery reads the whole log, from all over it.
  madvise(address, length, MADV_WILLNEED);
  *mapping = static_cast<offline::MappingHandle>(reinterpret_cast<std::intptr_t>(new Mapping{address, length}));
  *bytes = std::span(static_cast<const std::uint8_t*>(address), length);
  return {};
}

FileStatus PosixImageFiles::MapFileForChanges(ImageFileHandle file, std::uint64_t size,
                                              offline::MappingHandle* mapping, std::span<std::uint8_t>* bytes) {
  if (size == 0 || size > std::numeric_limits<std::size_t>::max()) return StatusOf(EINVAL);
  const auto length = static_cast<std::size_t>(size);
  void* const address = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, Fd(file), 0);
  if (address == MAP_FAILED) return StatusOf(errno);
  // A page that cannot be read is an error here, where a first touch
  // later would be SIGBUS.
  if (madvise(address, length, MADV_POPULATE_READ) != 0) {
    const int error = errno;
    munmap(address, length);
    return StatusOf(error);
  }
  *mapping = static_cast<offline::MappingHandle>(reinterpret_cast<std::intptr_t>(new Mapping{address, length}));
  *bytes = std::span(static_cast<std::uint8_t*>(address), length);
  return {};
}

void PosixImageFiles::Unmap(offline::MappingHandle mapping) {
  const std::unique_ptr<Mapping> mapped(reinterpret_cast<Mapping*>(static_cast<std::intptr_t>(mapping)));
  munmap(mapped->address, mapped->size);
}

FileStatus PosixImageFiles::CreateFile(DirectoryHandle directory, std::u16string_view name, ImageFileHandle* file) {
  std::string onDisk;
  if (!DiskName(name, &onDisk)) return kNoSuchName;
  // O_EXCL with O_NOFOLLOW: never an existing file, nor through a link left under the name.
  const int created =
      openat(Fd(directory), onDisk.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateMode);
  if (created < 0) return StatusOf(errno);
  *file = static_cast<ImageFileHandle>(created);
  return {};
}

FileStatus PosixImageFiles::Write(ImageFileHandle file, std::span<const std::uint8_t> data) {
  const off_t start = lseek(Fd(file), 0, SEEK_CUR);
  if (const int error = posix::WriteFully(Fd(file), data.data(), data.size()); error != 0) return StatusOf(error);
  // Starting the writeback of each piece as soon as it is written lets the
  // disk work while the rest is written. Where the file system cannot start
  // it early, the flush does all of it.
  if (start >= 0 && !data.empty()) {
    sync_file_range(Fd(file), start, static_cast<off_t>(data.size()), SYNC_FILE_RANGE_WRITE);
  }
  return {};
}

FileStatus PosixImageFiles::Flush(ImageFileHandle file) { return CallStatus(fsync(Fd(file))); }

FileStatus PosixImageFiles::WriteAt(ImageFileHandle file, std::uint64_t offset, std::span<const std::uint8_t> data) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return StatusOf(EINVAL);
  return StatusOf(posix::WriteFullyAt(Fd(file), data.data(), data.size(), static_cast<off_t>(offset)));
}

FileStatus PosixImageFiles::CarryMetadata(ImageFileHandle original, ImageFileHandle copy) {
  posix::FileMetadata metadata;
  int error = posix::ReadFileMetadata(Fd(original), &metadata);
  if (error == 0) error = posix::CarryFileMetadata(Fd(copy), metadata);
  if (error == 0) return {};
  return {FileProblem::MetadataNotKept, error};
}

FileStatus PosixImageFiles::Link(DirectoryHandle directory, std::u16string_view existing,
                                 std::u16string_view newName) {
  std::string from;
  std::string to;
  if (!DiskName(existing, &from) || !DiskName(newName, &to)) return kNoSuchName;
  if (linkat(Fd(directory), from.c_str(), Fd(directory), to.c_str(), 0) == 0) return {};
  const int error = errno;
  if (LinksUnsupported(error)) return {FileProblem::LinksUnsupported, error};
  return StatusOf(error);
}

FileStatus PosixImageFiles::Rename(DirectoryHandle directory, std::u16string_view from, std::u16string_view to,
                                   bool replace) {
  std::string source;
  std::string target;
  if (!DiskName(from, &source) || !DiskName(to, &target)) return kNoSuchName;
  const int fd = Fd(directory);
  if (replace) return CallStatus(renameat(fd, source.c_str(), fd, target.c_str()));
  if (renameat2(fd, source.c_str(), fd, target.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL) return StatusOf(errno);
  // The file system cannot keep the name free itself (ntfs-3g): the name
  // is checked first, and the hive's lock keeps other runs out of the
  // folder meanwhile.
  struct stat status {};
  if (fstatat(fd, target.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return StatusOf(EEXIST);
  return CallStatus(renameat(fd, source.c_str(), fd, target.c_str()));
}

FileStatus PosixImageFiles::Remove(DirectoryHandle directory, std::u16string_view name) {
  std::string onDisk;
  if (!DiskName(name, &onDisk)) return kNoSuchName;
  return CallStatus(unlinkat(Fd(directory), onDisk.c_str(), 0));
}

FileStatus PosixImageFiles::SyncDirectory(DirectoryHandle directory) {
  // Some file systems cannot sync a directory and say so with EINVAL; there
  // is nothing more to be done on them.
  if (fsync(Fd(directory)) != 0 && errno != EINVAL) return StatusOf(errno);
  return {};
}

bool PosixImageFiles::LacksHardLinks(DirectoryHandle directory) {
  // The magic numbers of the FAT and exFAT drivers (linux/magic.h, and
  // exfat's own).
  constexpr long kMsdosMagic = 0x4d44;
  constexpr long kExfatMagic = 0x2011BAB0;
  struct statfs volume {};
  return fstatfs(Fd(directory), &volume) == 0 &&
         (static_cast<long>(volume.f_type) == kMsdosMagic || static_cast<long>(volume.f_type) == kExfatMagic);
}

FileStatus PosixImageFiles::FreeSpace(DirectoryHandle directory, std::uint64_t* bytes) {
  struct statvfs volume {};
  if (fstatvfs(Fd(directory), &volume) != 0) return StatusOf(errno);
  // f_bavail: the blocks left to unprivileged writers, which the tool may be.
  *bytes = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
  return {};
}

WriteAccess PosixImageFiles::ProbeWriteAccess(DirectoryHandle directory, std::u16string_view name) {
  // Decided without writing, which would change the folder even for a run
  // that finds nothing to repair.
  const int fd = Fd(directory);
  if (IsReadOnlyVolume(fd)) return WriteAccess::ReadOnlyMount;
  if (faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0 || HasLockedFlags(fd)) return WriteAccess::Denied;

  std::string onDisk;
  struct stat status {};
  if (name.empty() || !DiskName(name, &onDisk) || fstatat(fd, onDisk.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(status.st_mode)) {
    return WriteAccess::Granted;
  }
  UniqueFd file;
  if (faccessat(fd, onDisk.c_str(), W_OK, AT_EACCESS) != 0 || !OpenRegularFile(fd, onDisk.c_str(), &file).Ok() ||
      HasLockedFlags(file.Get())) {
    return WriteAccess::Denied;
  }
  return WriteAccess::Granted;
}

unsigned PosixImageFiles::AffordableWorkers(unsigned wanted) {
  // The workers together hold at most a quarter of the descriptors the
  // process may open, so that the walk never runs short of one because of
  // them: its opens fail only where they would without the read-ahead.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  // The read-ahead's window also holds a component directory per job.
  const rlim_t quarter = limit.rlim_cur / 4;
  const rlim_t affordable = limit.rlim_cur == RLIM_INFINITY ? wanted
                            : quarter > offline::kReadAheadWindow
                                ? (quarter - offline::kReadAheadWindow) / kDescriptorsPerWorker
                                : 0;
  return static_cast<unsigned>(std::min<rlim_t>(wanted, affordable));
}

std::u16string PosixImageFiles::DisplayPath(std::span<const std::u16string> names) {
  std::string path = windowsDirectory_;
  for (const std::u16string& name : names) {
    if (!path.ends_with('/')) path += '/';
    path += Utf8FromUtf16Lossy(name);
  }
  return offline::PrintablePath(path);
}

std::u16string PosixImageFiles::Describe(const FileStatus& status) {
  return Utf16FromUtf8(std::strerror(ErrnoOf(status))).value_or(u"?");
}

Win32Status PosixImageFiles::ToWin32Status(const FileStatus& status) {
  return posix::Win32StatusFromErrno(ErrnoOf(status));
}

}  // namespace tessaly::posix

namespace tessaly::offline {

unsigned DefaultJobs() {
  constexpr unsigned kMaxDefaultJobs = 8;
  cpu_set_t usable;
  CPU_ZERO(&usable);
  if (sched_getaffinity(0, sizeof(usable), &usable) != 0) return 1;
  return std::clamp(static_cast<unsigned>(CPU_COUNT(&usable)), 1u, kMaxDefaultJobs);
}

}  // namespace tessaly::offline
