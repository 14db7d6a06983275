// The files of the Windows image, as the offline run reads and writes them:
// the one seam between that run and the system it runs on (Linux with the
// image's volume mounted, or Windows PE with the broken installation's
// disk). Each call stands for one or two of the platform's own calls.
//
// Names are single components, UTF-16, exactly as on the disk or as the
// run asks for them; the seam never matches case and never goes through a
// symbolic link, junction or other reparse point. A directory or file
// handle belongs to the seam that made it and is released through it.
// Opening and closing directories, listing them, and opening, reading and
// closing files for reading may be called from several threads at once;
// ReadAt also on one file, at different offsets.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "common/unique_handle.h"
#include "records/file_system.h"

namespace tessaly::offline {

enum class DirectoryHandle : std::intptr_t { Invalid = -1 };
enum class ImageFileHandle : std::intptr_t { Invalid = -1 };
enum class MappingHandle : std::intptr_t { Invalid = -1 };

// What the run decides on when a call fails.
enum class FileProblem : std::uint8_t {
  None,
  NotFound,          // no entry of that name
  NotADirectory,     // a file where a directory was asked for
  Link,              // a symbolic link, junction or other reparse point
  NotARegularFile,   // a directory, device or FIFO where a file was asked for
  AccessDenied,
  InUse,             // held by another process or run (a sharing violation or a lock)
  Exists,            // the name is taken
  LinksUnsupported,  // the file system has no hard links
  MetadataNotKept,   // the copy did not keep what made the original what it is
  ReadOnlyVolume,
  VolumeLocked,      // an encrypted volume not unlocked yet
  DiskFull,
  TooManyEntries,    // a listing stopped at its limit
  NoUnicodeForm,     // a path with no UTF-16 form, which the run's paths need
  Other,
};

struct FileStatus {
  FileProblem problem = FileProblem::None;
  // The platform's own code, for the message and the reported status: an
  // errno on Linux, a Win32 error code on Windows.
  std::int32_t code = 0;

  bool Ok() const { return problem == FileProblem::None; }
};

// Which file a name or handle holds: two are the same file exactly when
// their identities are equal.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t fileHigh = 0;
  std::uint64_t fileLow = 0;

  auto operator<=>(const FileIdentity&) const = default;
};

enum class EntryKind { File, Directory, Link, Other };

enum class ListingStart { Rewind, JustOpened };

struct EntryFacts {
  EntryKind kind = EntryKind::Other;
  FileIdentity identity;
};

struct FileFacts {
  FileIdentity identity;
  std::uint64_t size = 0;
};

enum class FileAccess {
  // Shared with every other reader and writer.
  Read,
  // For a hive to be saved: no other process may write, rename or delete
  // it, nor hold it so, while the handle is open (InUse when one does); the
  // handle may also read the file's security and attributes.
  ReadForSave,
};

// Whether a save could create, rename and replace files in a directory,
// decided without writing anything.
enum class WriteAccess {
  Granted,
  Denied,          // rights, privileges or a flag that forbids it
  ReadOnlyMount,   // mounted read-only (on Linux, what a hibernated NTFS volume gets)
  WriteProtected,  // the medium or the volume refuses writes
  Hibernated,      // Windows left the volume hibernated (Fast Startup): writing would be lost on resume
};

class ImageFiles {
 public:
  virtual ~ImageFiles() = default;

  // --- Reading ---------------------------------------------------------

  // The Windows directory the run was given.
  virtual FileStatus OpenWindowsDirectory(DirectoryHandle* directory) = 0;
  // The directory `name` in parent (NotADirectory, Link for what is not one).
  virtual FileStatus OpenDirectory(DirectoryHandle parent, std::u16string_view name, DirectoryHandle* directory) = 0;
  virtual void CloseDirectory(DirectoryHandle directory) = 0;
  // The whole directory, "." and ".." included, in the order NTFS lists it
  // (ListsBefore); links and other reparse points carry
  // kFileAttributeReparsePoint and are never looked through. Entries already
  // in *entries are replaced, their storage reused. TooManyEntries, before
  // reading further, past maxEntries. A directory not read since it was
  // opened (JustOpened) spares the platform a seek back to its start.
  virtual FileStatus ListDirectory(DirectoryHandle directory, ListingStart start, std::size_t maxEntries,
                                   std::vector<DirectoryEntry>* entries) = 0;
  // What the entry `name` in parent is, as the name itself (a link is a Link).
  virtual FileStatus LookUpEntry(DirectoryHandle parent, std::u16string_view name, EntryFacts* facts) = 0;
  virtual FileStatus IdentifyDirectory(DirectoryHandle directory, FileIdentity* identity) = 0;
  // Whether this process may read the entry (and, for a directory, open
  // what it holds), as the system would decide on an open.
  virtual FileStatus CheckReadable(DirectoryHandle parent, std::u16string_view name, EntryKind kind) = 0;

  // The regular file `name` in parent, for reading from its start; never
  // blocks on a FIFO or device (NotARegularFile).
  virtual FileStatus OpenFile(DirectoryHandle parent, std::u16string_view name, FileAccess access,
                              ImageFileHandle* file) = 0;
  // Closes a file; for one written, whether all of it reached the system.
  virtual FileStatus CloseFile(ImageFileHandle file) = 0;
  virtual FileStatus Inspect(ImageFileHandle file, FileFacts* facts) = 0;
  // Reads from the file position until buffer is full or the file ends;
  // *got: how many bytes came.
  virtual FileStatus Read(ImageFileHandle file, std::span<std::uint8_t> buffer, std::size_t* got) = 0;
  // The same from offset, leaving the file position alone.
  virtual FileStatus ReadAt(ImageFileHandle file, std::uint64_t offset, std::span<std::uint8_t> buffer,
                            std::size_t* got) = 0;

  // The first size bytes of a file (size > 0, at most its length), mapped
  // for reading: they stay the system's pages, so a large transaction log
  // costs the run no memory of its own. Valid until the mapping is released.
  virtual FileStatus MapFile(ImageFileHandle file, std::uint64_t size, MappingHandle* mapping,
                             std::span<const std::uint8_t>* bytes) = 0;
  // The same, mapped privately for changes, which stay in memory and never
  // reach the file: a hive used where it lies, without a copy of its own.
  // Every page is read in before it returns, so that a read error shows
  // here, as a status, rather than as a fault at a page's first touch. A
  // system that offers no such mapping, or none a save could rename over,
  // fails, and the caller reads.
  virtual FileStatus MapFileForChanges(ImageFileHandle file, std::uint64_t size, MappingHandle* mapping,
                                       std::span<std::uint8_t>* bytes) = 0;
  virtual void Unmap(MappingHandle mapping) = 0;

  // --- Writing, for saving a hive beside the original ------------------

  // A new file `name` in directory, for writing, that no one else may open
  // meanwhile; Exists when the name is taken. Nothing is ever overwritten.
  virtual FileStatus CreateFile(DirectoryHandle directory, std::u16string_view name, ImageFileHandle* file) = 0;
  // Writes all of data at the file position.
  virtual FileStatus Write(ImageFileHandle file, std::span<const std::uint8_t> data) = 0;
  // Writes all of data at offset, leaving the file position alone.
  virtual FileStatus WriteAt(ImageFileHandle file, std::uint64_t offset, std::span<const std::uint8_t> data) = 0;
  // Makes what was written to the file durable.
  virtual FileStatus Flush(ImageFileHandle file) = 0;
  // Gives `copy` what makes `original` what it is besides its bytes (on
  // NTFS: its security descriptor, attributes and creation time; on Linux:
  // owner, group, mode and extended attributes), and reads it back:
  // MetadataNotKept when any of it cannot be read, set or kept.
  virtual FileStatus CarryMetadata(ImageFileHandle original, ImageFileHandle copy) = 0;
  // A second name for the file `existing`: LinksUnsupported where the file
  // system has no hard links, Exists when newName is taken.
  virtual FileStatus Link(DirectoryHandle directory, std::u16string_view existing, std::u16string_view newName) = 0;
  // Renames `from` to `to` in directory. Without replace, Exists when `to`
  // is taken. A rename can take effect and still report failure; the
  // caller looks at what the names hold.
  virtual FileStatus Rename(DirectoryHandle directory, std::u16string_view from, std::u16string_view to,
                            bool replace) = 0;
  virtual FileStatus Remove(DirectoryHandle directory, std::u16string_view name) = 0;
  // Makes the directory's entries durable, where the system can.
  virtual FileStatus SyncDirectory(DirectoryHandle directory) = 0;
  // Bytes this process may still write on the directory's volume.
  virtual FileStatus FreeSpace(DirectoryHandle directory, std::uint64_t* bytes) = 0;
  // Whether the directory's file system is one known to have no hard links
  // (FAT, exFAT), where a backup costs a whole copy.
  virtual bool LacksHardLinks(DirectoryHandle directory) = 0;
  // Whether a save could write in directory and replace its file `name`
  // (empty: no file to check). For the directory alone, a name that is not
  // there is no reason to refuse.
  virtual WriteAccess ProbeWriteAccess(DirectoryHandle directory, std::u16string_view name) = 0;

  // --- The system the run is on -----------------------------------------

  // Whether the Windows directory is the running system's own (always false
  // on Linux): its hives are in use, and tessaly.exe is the tool for it.
  virtual bool IsRunningSystem() = 0;
  // How many of wanted read-ahead workers the platform can give handles
  // to: fewer where its limit on open handles is low, so that the walk's
  // own opens never fail for want of one.
  virtual unsigned AffordableWorkers(unsigned wanted) = 0;

  // --- Messages ---------------------------------------------------------

  // The Windows directory as given, then these names, joined as the
  // platform joins paths, made printable: no byte of a name can forge a
  // line of output.
  virtual std::u16string DisplayPath(std::span<const std::u16string> names) = 0;
  // What separates names in a path the user reads ("/" or "\").
  virtual char16_t PathSeparator() const = 0;
  // The failure in words, as the platform says it.
  virtual std::u16string Describe(const FileStatus& status) = 0;
  // The failure as the Win32 code a Windows function would return.
  virtual Win32Status ToWin32Status(const FileStatus& status) = 0;
};

using UniqueDirectory = UniqueHandle<DirectoryHandle::Invalid, &ImageFiles::CloseDirectory>;
using UniqueImageFile = UniqueHandle<ImageFileHandle::Invalid, &ImageFiles::CloseFile>;
using UniqueMapping = UniqueHandle<MappingHandle::Invalid, &ImageFiles::Unmap>;

// The CPUs this process may run on, at most 8: the default thread count.
// Defined with each platform's image files.
unsigned DefaultJobs();

}  // namespace tessaly::offline
