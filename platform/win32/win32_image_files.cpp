#include "platform/win32/win32_image_files.h"

#include <windows.h>
#include <winioctl.h>

// The seam's CreateFile, not the Win32 macro for CreateFileW.
#undef CreateFile

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <unordered_map>
#include <utility>

#include "common/unique_handle.h"
#include "hive/name_case.h"
#include "platform/win32/wide_text.h"

namespace tessaly::win32 {
namespace {

using offline::DirectoryHandle;
using offline::EntryKind;
using offline::FileIdentity;
using offline::FileProblem;
using offline::FileStatus;
using offline::ImageFileHandle;
using offline::WriteAccess;

// Large enough for a component directory in one call.
constexpr std::size_t kListingBufferSize = 64 * 1024;
// Codes the MinGW-w64 headers lack.
constexpr DWORD kErrorDirectoryNotSupported = 336;
constexpr DWORD kErrorStoppedOnSymlink = 681;
// What an open on a BitLocker volume that is still locked fails with
// (FVE_E_LOCKED_VOLUME), and the NTSTATUS behind it, should a layer pass
// that on unconverted.
constexpr DWORD kFveLockedVolume = 0x80310000;
constexpr DWORD kStatusFveLockedVolume = 0xC0210000;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Never through a link; past the DACL where the backup and restore
// privileges are enabled (and the only way CreateFileW opens a directory).
constexpr DWORD kOpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kDirectoryRights = FILE_LIST_DIRECTORY | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
// The most one ReadFile or WriteFile call is given.
constexpr std::size_t kIoChunk = std::size_t{1} << 30;
// The byte a run locks in a hive it may save, far past any hive's end so
// that it keeps out other runs and no reader: Windows locks are mandatory
// only for the bytes they cover.
constexpr std::uint64_t kRunLockOffset = std::uint64_t{1} << 62;
// A listing past its limit; the limit is there to bound the memory a
// listing takes.
constexpr DWORD kTooManyEntriesError = ERROR_NOT_ENOUGH_QUOTA;
// The copy read back differently from what it was given.
constexpr DWORD kNotKeptError = ERROR_NOT_SUPPORTED;
// Attributes a file is given through FileBasicInfo.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// Those and the two a new file takes from its directory, which a copy
// must match too.
constexpr DWORD kComparedAttributes = kSettableAttributes | FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED;

constexpr HANDLE kNoHandle = nullptr;
void CloseWin32Handle(HANDLE handle) { CloseHandle(handle); }
void CloseSearch(HANDLE search) { FindClose(search); }
// Opens that fail give INVALID_HANDLE_VALUE, which is never stored: an
// owner holds a handle or nothing.
using UniqueWin32Handle = UniqueHandle<kNoHandle, &CloseWin32Handle>;
using UniqueSearch = UniqueHandle<kNoHandle, &CloseSearch>;

FileProblem ProblemOf(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return FileProblem::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return FileProblem::NotFound;
    case ERROR_ACCESS_DENIED:
      return FileProblem::AccessDenied;
    case ERROR_DIRECTORY:
      return FileProblem::NotADirectory;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FileProblem::DiskFull;
    case ERROR_WRITE_PROTECT:
      return FileProblem::ReadOnlyVolume;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return FileProblem::InUse;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return FileProblem::Exists;
    case ERROR_CANT_ACCESS_FILE:
    case kErrorStoppedOnSymlink:
      return FileProblem::Link;
    case kFveLockedVolume:
    case kStatusFveLockedVolume:
      return FileProblem::VolumeLocked;
    default:
      return FileProblem::Other;
  }
}

FileStatus StatusOf(DWORD error) { return {ProblemOf(error), static_cast<std::int32_t>(error)}; }
FileStatus LastErrorStatus() { return StatusOf(GetLastError()); }

const FileStatus kInvalidHandle{FileProblem::Other, ERROR_INVALID_HANDLE};
// A name that cannot be a single entry of a directory names none.
const FileStatus kNoSuchName{FileProblem::NotFound, ERROR_INVALID_NAME};
const FileStatus kLink{FileProblem::Link, kErrorStoppedOnSymlink};
const FileStatus kNotADirectory{FileProblem::NotADirectory, ERROR_DIRECTORY};
const FileStatus kDirectoryNotFile{FileProblem::NotARegularFile, kErrorDirectoryNotSupported};
const FileStatus kNotADiskFile{FileProblem::NotARegularFile, ERROR_INVALID_FUNCTION};

FileStatus NotKept(DWORD error) { return {FileProblem::MetadataNotKept, static_cast<std::int32_t>(error)}; }

// A single entry of a directory: with the \\?\ prefix Windows takes every
// character as it is, so a separator, a stream's colon or a dot name would
// reach outside the entry.
bool IsSingleName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  return std::none_of(name.begin(), name.end(),
                      [](char16_t c) { return c == u'\\' || c == u'/' || c == u':' || c == u'\0'; });
}

std::u16string Join(std::u16string_view directory, std::u16string_view name) {
  std::u16string path;
  path.reserve(directory.size() + 1 + name.size());
  path = directory;
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  path += name;
  return path;
}

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// The path without trailing separators; a root keeps its own ("D:\", "\").
std::u16string WithoutTrailingSeparators(std::u16string_view path) {
  std::size_t end = path.size();
  while (end > 0 && IsSeparator(path[end - 1])) --end;
  if (end == 0) return std::u16string(path.substr(0, path.empty() ? 0 : 1));
  if (path[end - 1] == u':' && end < path.size()) ++end;
  return std::u16string(path.substr(0, end));
}

HANDLE Open(const std::u16string& path, DWORD rights, DWORD share, DWORD disposition, DWORD flags) {
  return CreateFileW(AsWide(path.c_str()), rights, share, nullptr, disposition, flags, nullptr);
}

// Opens path into *handle: ERROR_SUCCESS or the open's error.
DWORD OpenInto(const std::u16string& path, DWORD rights, DWORD share, DWORD disposition, DWORD flags,
               UniqueWin32Handle* handle) {
  const HANDLE opened = Open(path, rights, share, disposition, flags);
  if (opened == INVALID_HANDLE_VALUE) return GetLastError();
  handle->Reset(opened);
  return ERROR_SUCCESS;
}

// The full path of a directory given on the command line: with the prefix
// \\?\ (\\?\UNC\ for a share), without a trailing separator but a root's.
DWORD FullPathOf(const std::u16string& given, std::u16string* full) {
  constexpr std::u16string_view kLongPrefix = u"\\\\?\\";
  constexpr std::u16string_view kDevicePrefix = u"\\\\.\\";
  if (given.empty()) return ERROR_PATH_NOT_FOUND;
  std::u16string path;
  if (given.starts_with(kLongPrefix)) {
    // Already a path Windows takes as it is.
    path = given;
  } else {
    DWORD capacity = GetFullPathNameW(AsWide(given.c_str()), 0, nullptr, nullptr);
    for (;;) {
      if (capacity == 0) return GetLastError();
      path.assign(capacity, u'\0');
      const DWORD length = GetFullPathNameW(AsWide(given.c_str()), capacity, AsWide(path.data()), nullptr);
      if (length == 0) return GetLastError();
      if (length < capacity) {
        path.resize(length);
        break;
      }
      capacity = length;
    }
    if (path.starts_with(kDevicePrefix)) {
      path.replace(0, kDevicePrefix.size(), kLongPrefix);
    } else if (path.starts_with(u"\\\\")) {
      path.replace(0, 2, u"\\\\?\\UNC\\");
    } else {
      path.insert(0, kLongPrefix);
    }
  }
  // A volume's root keeps its separator: without it, \\?\D: and
  // \\?\Volume{...} name the volume device rather than its root directory.
  while (path.size() > kLongPrefix.size() + 1 && path.back() == u'\\' && path[path.size() - 2] != u':' &&
         !(path.starts_with(u"\\\\?\\Volume{") && path.find(u'\\', kLongPrefix.size()) == path.size() - 1)) {
    path.pop_back();
  }
  *full = std::move(path);
  return ERROR_SUCCESS;
}

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& information) {
  return {information.dwVolumeSerialNumber, 0,
          (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

std::uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& information) {
  return (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
}

std::uint64_t TimeOf(const FILETIME& time) { return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime; }

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

// Enables a privilege in the process token: ERROR_SUCCESS,
// ERROR_NOT_ALL_ASSIGNED when the token does not hold it, or why the token
// could not be adjusted.
DWORD EnablePrivilege(const wchar_t* name) {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened)) return GetLastError();
  const UniqueWin32Handle token(opened);
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) return GetLastError();
  // It succeeds even for a privilege the token lacks, and says so only
  // through the last error.
  if (!AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr)) return GetLastError();
  return GetLastError();
}

// The file's security descriptor, self-relative, with the parts asked for.
DWORD ReadSecurity(HANDLE file, SECURITY_INFORMATION parts, std::vector<std::uint8_t>* descriptor) {
  descriptor->resize(512);
  for (;;) {
    DWORD needed = 0;
    if (GetKernelObjectSecurity(file, parts, descriptor->data(), static_cast<DWORD>(descriptor->size()), &needed)) {
      return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || needed <= descriptor->size()) return error;
    descriptor->resize(needed);
  }
}

struct SecurityParts {
  PSID owner = nullptr;
  PSID group = nullptr;
  bool daclPresent = false;
  PACL dacl = nullptr;
  bool saclPresent = false;
  PACL sacl = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
};

DWORD PartsOf(std::vector<std::uint8_t>& descriptor, SecurityParts* parts) {
  const PSECURITY_DESCRIPTOR security = descriptor.data();
  BOOL defaulted = FALSE;
  BOOL daclPresent = FALSE;
  BOOL saclPresent = FALSE;
  DWORD revision = 0;
  if (!GetSecurityDescriptorOwner(security, &parts->owner, &defaulted) ||
      !GetSecurityDescriptorGroup(security, &parts->group, &defaulted) ||
      !GetSecurityDescriptorDacl(security, &daclPresent, &parts->dacl, &defaulted) ||
      !GetSecurityDescriptorSacl(security, &saclPresent, &parts->sacl, &defaulted) ||
      !GetSecurityDescriptorControl(security, &parts->control, &revision)) {
    return GetLastError();
  }
  parts->daclPresent = daclPresent != FALSE;
  parts->saclPresent = saclPresent != FALSE;
  return ERROR_SUCCESS;
}

bool SameSid(PSID left, PSID right) {
  if (left == nullptr || right == nullptr) return left == right;
  return EqualSid(left, right) != FALSE;
}

// Whether two ACLs hold the same entries in the same order; their sizes
// may differ by unused space.
bool SameAcl(bool leftPresent, PACL left, bool rightPresent, PACL right) {
  if (leftPresent != rightPresent) return false;
  if (!leftPresent) return true;
  if (left == nullptr || right == nullptr) return left == right;
  if (left->AceCount != right->AceCount) return false;
  for (DWORD index = 0; index < left->AceCount; ++index) {
    void* leftAce = nullptr;
    void* rightAce = nullptr;
    if (!GetAce(left, index, &leftAce) || !GetAce(right, index, &rightAce)) return false;
    const auto size = static_cast<const ACE_HEADER*>(leftAce)->AceSize;
    if (static_cast<const ACE_HEADER*>(rightAce)->AceSize != size || std::memcmp(leftAce, rightAce, size) != 0) {
      return false;
    }
  }
  return true;
}

bool HasEntries(bool present, PACL acl) { return present && acl != nullptr && acl->AceCount > 0; }

// Gives copy the original's owner, group, DACL and, with carrySacl, SACL,
// and checks what it kept. On NTFS a descriptor that is set is kept
// exactly, or the set fails. Some file systems take a part and keep
// nothing of it (Wine maps the owner to the Unix user, and keeps no SACL):
// a part that reads back as it was before the set, unchanged, is one the
// volume does not keep for any file, the original's included, so it is
// not compared. The DACL, which decides who may change the hive, is always
// compared.
DWORD CarrySecurity(HANDLE original, HANDLE copy, bool carrySacl) {
  SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  if (carrySacl) parts |= SACL_SECURITY_INFORMATION;
  std::vector<std::uint8_t> wanted;
  std::vector<std::uint8_t> before;
  std::vector<std::uint8_t> after;
  if (const DWORD error = ReadSecurity(original, parts, &wanted); error != ERROR_SUCCESS) return error;
  if (const DWORD error = ReadSecurity(copy, parts, &before); error != ERROR_SUCCESS) return error;
  if (!SetKernelObjectSecurity(copy, parts, wanted.data())) return GetLastError();
  if (const DWORD error = ReadSecurity(copy, parts, &after); error != ERROR_SUCCESS) return error;

  SecurityParts want;
  SecurityParts was;
  SecurityParts got;
  for (auto [descriptor, split] : {std::pair{&wanted, &want}, std::pair{&before, &was}, std::pair{&after, &got}}) {
    if (const DWORD error = PartsOf(*descriptor, split); error != ERROR_SUCCESS) return error;
  }
  const bool ownerKept = SameSid(got.owner, want.owner) || SameSid(got.owner, was.owner);
  const bool groupKept = SameSid(got.group, want.group) || SameSid(got.group, was.group);
  const bool daclKept = SameAcl(got.daclPresent, got.dacl, want.daclPresent, want.dacl) &&
                        (got.control & SE_DACL_PROTECTED) == (want.control & SE_DACL_PROTECTED);
  const bool saclKept = !carrySacl || SameAcl(got.saclPresent, got.sacl, want.saclPresent, want.sacl) ||
                        SameAcl(got.saclPresent, got.sacl, was.saclPresent, was.sacl);
  return ownerKept && groupKept && daclKept && saclKept ? ERROR_SUCCESS : kNotKeptError;
}

DWORD ReadInformation(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
  return GetFileInformationByHandle(file, information) ? ERROR_SUCCESS : GetLastError();
}

// The attributes alone, for the checks of every open: unlike the whole
// information, they need no question to the volume (its serial number),
// which under Wine is a round trip through a device driver per call.
DWORD ReadAttributes(HANDLE file, DWORD* attributes) {
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic))) return GetLastError();
  *attributes = basic.FileAttributes;
  return ERROR_SUCCESS;
}

DWORD SetBasicInformation(HANDLE file, std::uint64_t creationTime, DWORD attributes) {
  FILE_BASIC_INFO basic{};
  // Zero leaves a time or the attributes as they are.
  basic.CreationTime.QuadPart = static_cast<LONGLONG>(creationTime);
  basic.FileAttributes = attributes;
  return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic)) ? ERROR_SUCCESS : GetLastError();
}

// Whether the volume keeps a creation time that is set: NTFS does, Wine's
// Unix file systems do not (they report one of their own). Asked of the
// copy itself, with a time neither it nor the original has.
bool KeepsCreationTime(HANDLE copy, std::uint64_t originalTime, std::uint64_t copyTime) {
  constexpr std::uint64_t kDay = 24ull * 60 * 60 * 10'000'000;
  std::uint64_t probe = copyTime > 2 * kDay ? copyTime - kDay : copyTime + kDay;
  if (probe == originalTime) probe += kDay / 2;
  BY_HANDLE_FILE_INFORMATION information{};
  return SetBasicInformation(copy, probe, 0) == ERROR_SUCCESS && ReadInformation(copy, &information) == ERROR_SUCCESS &&
         TimeOf(information.ftCreationTime) == probe;
}

DWORD SetCompression(HANDLE file, bool compressed) {
  USHORT format = compressed ? COMPRESSION_FORMAT_DEFAULT : COMPRESSION_FORMAT_NONE;
  DWORD returned = 0;
  return DeviceIoControl(file, FSCTL_SET_COMPRESSION, &format, sizeof(format), nullptr, 0, &returned, nullptr)
             ? ERROR_SUCCESS
             : GetLastError();
}

// Gives copy the original's attributes and creation time, and checks them.
DWORD CarryAttributes(HANDLE original, HANDLE copy) {
  BY_HANDLE_FILE_INFORMATION source{};
  BY_HANDLE_FILE_INFORMATION target{};
  if (const DWORD error = ReadInformation(original, &source); error != ERROR_SUCCESS) return error;
  if (const DWORD error = ReadInformation(copy, &target); error != ERROR_SUCCESS) return error;
  const DWORD wanted = source.dwFileAttributes & kComparedAttributes;
  // A new file takes its directory's compression; the copy gets the original's.
  if (((wanted ^ target.dwFileAttributes) & FILE_ATTRIBUTE_COMPRESSED) != 0) {
    if (const DWORD error = SetCompression(copy, (wanted & FILE_ATTRIBUTE_COMPRESSED) != 0); error != ERROR_SUCCESS) {
      return error;
    }
  }
  const std::uint64_t creationTime = TimeOf(source.ftCreationTime);
  const bool keepsCreationTime = KeepsCreationTime(copy, creationTime, TimeOf(target.ftCreationTime));
  // FILE_ATTRIBUTE_NORMAL clears them all; 0 would leave them as they are.
  const DWORD settable = wanted & kSettableAttributes;
  if (const DWORD error = SetBasicInformation(copy, creationTime, settable != 0 ? settable : FILE_ATTRIBUTE_NORMAL);
      error != ERROR_SUCCESS) {
    return error;
  }
  BY_HANDLE_FILE_INFORMATION kept{};
  if (const DWORD error = ReadInformation(copy, &kept); error != ERROR_SUCCESS) return error;
  if ((kept.dwFileAttributes & kComparedAttributes) != wanted) return kNotKeptError;
  if (keepsCreationTime && TimeOf(kept.ftCreationTime) != creationTime) return kNotKeptError;
  return ERROR_SUCCESS;
}

// The root directory of the volume path is on, with its separator.
std::u16string VolumeRootOf(const std::u16string& path) {
  std::u16string root(path.size() + 2, u'\0');
  if (GetVolumePathNameW(AsWide(path.c_str()), AsWide(root.data()), static_cast<DWORD>(root.size()))) {
    root.resize(std::char_traits<char16_t>::length(root.c_str()));
    if (!root.empty()) return root;
  }
  // \\?\D:\...: the drive's root.
  if (path.size() >= 6 && path[5] == u':') return path.substr(0, 6) + u"\\";
  return {};
}

bool IsAsciiCaseless(const char* bytes, const char* expected) {
  for (int index = 0; index < 4; ++index) {
    char c = bytes[index];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != expected[index]) return false;
  }
  return true;
}

// Whether Windows left the volume hibernated (shut down with Fast Startup,
// or hibernated): its hiberfil.sys then starts with "HIBR" (or "WAKE"
// while resuming), and anything written now would be undone, or worse,
// when it resumes.
bool IsHibernated(const std::u16string& path) {
  const std::u16string root = VolumeRootOf(path);
  if (root.empty()) return false;
  UniqueWin32Handle file;
  if (const DWORD error = OpenInto(Join(root, u"hiberfil.sys"), FILE_READ_DATA | SYNCHRONIZE, kShareAll,
                                   OPEN_EXISTING, kOpenFlags, &file);
      error != ERROR_SUCCESS) {
    // A hibernation file that is there but cannot be read may hold a
    // system that resumes over the repair: only its absence clears it.
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
  }
  char signature[4] = {};
  DWORD got = 0;
  if (!ReadFile(file.Get(), signature, sizeof(signature), &got, nullptr) || got != sizeof(signature)) return false;
  return IsAsciiCaseless(signature, "HIBR") || IsAsciiCaseless(signature, "WAKE");
}

WriteAccess AccessFromError(DWORD error) {
  return error == ERROR_WRITE_PROTECT ? WriteAccess::WriteProtected : WriteAccess::Denied;
}

// Whether the file could be replaced and removed, decided without writing.
WriteAccess ProbeFile(const std::u16string& path) {
  UniqueWin32Handle file;
  DWORD error = OpenInto(path, GENERIC_WRITE | DELETE, kShareAll, OPEN_EXISTING, kOpenFlags, &file);
  if (error == ERROR_SUCCESS) return WriteAccess::Granted;
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return WriteAccess::Granted;
  if (error != ERROR_SHARING_VIOLATION) return AccessFromError(error);
  // Held without write or delete sharing: by this run itself once it has
  // opened the hive to save it. An open that asks for no right that
  // sharing governs still shows the rights; a read-only file is the one
  // that would refuse its replacement all the same.
  error = OpenInto(path, FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, OPEN_EXISTING,
                   kOpenFlags, &file);
  if (error != ERROR_SUCCESS) return AccessFromError(error);
  BY_HANDLE_FILE_INFORMATION information{};
  if (ReadInformation(file.Get(), &information) != ERROR_SUCCESS) return WriteAccess::Denied;
  return (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? WriteAccess::Denied : WriteAccess::Granted;
}

// Who may use a table at once: several threads open, list and close.
class TableLock {
 public:
  explicit TableLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~TableLock() { ReleaseSRWLockExclusive(&lock_); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  SRWLOCK& lock_;
};

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

void AppendHex(std::uint32_t value, int digits, std::u16string* text) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *text += kHexDigits[(value >> shift) & 0xF];
}

bool IsControl(char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

struct Win32ImageFiles::Directory {
  std::u16string path;
  UniqueWin32Handle handle;
};

struct Win32ImageFiles::File {
  UniqueWin32Handle handle;
  // Where Read and Write go on. Every read and write names its offset, so
  // ReadAt leaves this alone (on a synchronous handle the system's own
  // position moves with each of them).
  std::uint64_t position = 0;
  // Opened with ACCESS_SYSTEM_SECURITY: its SACL can be read and set.
  bool systemSecurity = false;
};

struct Win32ImageFiles::Tables {
  SRWLOCK lock = SRWLOCK_INIT;
  std::intptr_t lastHandle = 0;
  std::unordered_map<std::intptr_t, std::unique_ptr<Directory>> directories;
  std::unordered_map<std::intptr_t, std::unique_ptr<File>> files;
};

Win32ImageFiles::Win32ImageFiles(std::u16string windowsDirectory)
    : givenDirectory_(WithoutTrailingSeparators(windowsDirectory)), tables_(std::make_unique<Tables>()) {
  fullDirectoryError_ = FullPathOf(windowsDirectory, &fullDirectory_);
  // Reading past the DACLs and writing hives back with their owners needs
  // these; where the token lacks them, the opens say so when it matters.
  EnablePrivilege(L"SeBackupPrivilege");
  EnablePrivilege(L"SeRestorePrivilege");
  securityPrivilege_ = EnablePrivilege(L"SeSecurityPrivilege") == ERROR_SUCCESS;
}

Win32ImageFiles::~Win32ImageFiles() = default;

Win32ImageFiles::Directory* Win32ImageFiles::FindDirectory(DirectoryHandle directory) {
  TableLock lock(tables_->lock);
  const auto found = tables_->directories.find(static_cast<std::intptr_t>(directory));
  return found == tables_->directories.end() ? nullptr : found->second.get();
}

Win32ImageFiles::File* Win32ImageFiles::FindFile(ImageFileHandle file) {
  TableLock lock(tables_->lock);
  const auto found = tables_->files.find(static_cast<std::intptr_t>(file));
  return found == tables_->files.end() ? nullptr : found->second.get();
}

DirectoryHandle Win32ImageFiles::AddDirectory(std::unique_ptr<Directory> directory) {
  TableLock lock(tables_->lock);
  const std::intptr_t key = ++tables_->lastHandle;
  tables_->directories.emplace(key, std::move(directory));
  return static_cast<DirectoryHandle>(key);
}

ImageFileHandle Win32ImageFiles::AddFile(std::unique_ptr<File> file) {
  TableLock lock(tables_->lock);
  const std::intptr_t key = ++tables_->lastHandle;
  tables_->files.emplace(key, std::move(file));
  return static_cast<ImageFileHandle>(key);
}

FileStatus Win32ImageFiles::OpenDirectoryPath(std::u16string path, bool followLink, DirectoryHandle* directory) {
  auto opened = std::make_unique<Directory>();
  const DWORD flags = followLink ? FILE_FLAG_BACKUP_SEMANTICS : kOpenFlags;
  if (const DWORD error = OpenInto(path, kDirectoryRights, kShareAll, OPEN_EXISTING, flags, &opened->handle);
      error != ERROR_SUCCESS) {
    return StatusOf(error);
  }
  DWORD attributes = 0;
  if (const DWORD error = ReadAttributes(opened->handle.Get(), &attributes); error != ERROR_SUCCESS) {
    return StatusOf(error);
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return kNotADirectory;
  opened->path = std::move(path);
  *directory = AddDirectory(std::move(opened));
  return {};
}

FileStatus Win32ImageFiles::OpenWindowsDirectory(DirectoryHandle* directory) {
  if (fullDirectory_.empty()) return StatusOf(fullDirectoryError_);
  // The one place a link is followed, as the user named the directory through it.
  return OpenDirectoryPath(fullDirectory_, true, directory);
}

FileStatus Win32ImageFiles::OpenDirectory(DirectoryHandle parent, std::u16string_view name,
                                          DirectoryHandle* directory) {
  const Directory* const opened = FindDirectory(parent);
  if (opened == nullptr) return kInvalidHandle;
  if (!IsSingleName(name)) return kNoSuchName;
  return OpenDirectoryPath(Join(opened->path, name), false, directory);
}

void Win32ImageFiles::CloseDirectory(DirectoryHandle directory) {
  std::unique_ptr<Directory> closing;
  TableLock lock(tables_->lock);
  const auto found = tables_->directories.find(static_cast<std::intptr_t>(directory));
  if (found == tables_->directories.end()) return;
  closing = std::move(found->second);
  tables_->directories.erase(found);
}

FileStatus Win32ImageFiles::ListDirectory(DirectoryHandle directory, offline::ListingStart,
                                          std::size_t maxEntries, std::vector<DirectoryEntry>* entries) {
  const Directory* const opened = FindDirectory(directory);
  if (opened == nullptr) return kInvalidHandle;
  // Read through the handle itself, from the start each time: no path is
  // looked up again, and the listing is of the very directory opened.
  alignas(FILE_FULL_DIR_INFO) std::byte buffer[kListingBufferSize];
  FILE_INFO_BY_HANDLE_CLASS request = FileFullDirectoryRestartInfo;
  std::size_t count = 0;
  while (GetFileInformationByHandleEx(opened->handle.Get(), request, buffer, sizeof(buffer))) {
    request = FileFullDirectoryInfo;
    for (std::size_t offset = 0;;) {
      const auto* const found = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + offset);
      // A network redirector hands over what a server sent: each entry,
      // name included, must lie within what was read.
      constexpr std::size_t kNameOffset = offsetof(FILE_FULL_DIR_INFO, FileName);
      if (offset + kNameOffset > sizeof(buffer) || found->FileNameLength > sizeof(buffer) - offset - kNameOffset) {
        return StatusOf(ERROR_INVALID_DATA);
      }
      if (count == maxEntries) return {FileProblem::TooManyEntries, static_cast<std::int32_t>(kTooManyEntriesError)};
      // Entries past the count are storage left from an earlier listing, reused.
      if (count == entries->size()) entries->emplace_back();
      DirectoryEntry& entry = (*entries)[count++];
      entry.name.assign(AsUtf16(found->FileName), found->FileNameLength / sizeof(wchar_t));
      entry.attributes = found->FileAttributes;
      if (found->NextEntryOffset == 0) break;
      if (found->NextEntryOffset < kNameOffset || found->NextEntryOffset % alignof(FILE_FULL_DIR_INFO) != 0) {
        return StatusOf(ERROR_INVALID_DATA);
      }
      offset += found->NextEntryOffset;
    }
  }
  // An empty directory (a volume's root lists neither "." nor "..") ends
  // with no file found.
  if (const DWORD error = GetLastError(); error != ERROR_NO_MORE_FILES && error != ERROR_FILE_NOT_FOUND) {
    return StatusOf(error);
  }
  entries->resize(count);
  std::sort(entries->begin(), entries->end(), [](const DirectoryEntry& left, const DirectoryEntry& right) {
    return hive::ListsBefore(left.name, right.name);
  });
  return {};
}

FileStatus Win32ImageFiles::LookUpEntry(DirectoryHandle parent, std::u16string_view name, offline::EntryFacts* facts) {
  const Directory* const opened = FindDirectory(parent);
  if (opened == nullptr) return kInvalidHandle;
  if (!IsSingleName(name)) return kNoSuchName;
  UniqueWin32Handle entry;
  if (const DWORD error = OpenInto(Join(opened->path, name), FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                                   OPEN_EXISTING, kOpenFlags, &entry);
      error != ERROR_SUCCESS) {
    return StatusOf(error);
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (const DWORD error = ReadInformation(entry.Get(), &information); error != ERROR_SUCCESS) return StatusOf(error);
  facts->kind = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryKind::Link
                : (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? EntryKind::Directory
                : GetFileType(entry.Get()) == FILE_TYPE_DISK                       ? EntryKind::File
                                                                                   : EntryKind::Other;
  facts->identity = IdentityOf(information);
  return {};
}

FileStatus Win32ImageFiles::IdentifyDirectory(DirectoryHandle directory, FileIdentity* identity) {
  const Directory* const opened = FindDirectory(directory);
  if (opened == nullptr) return kInvalidHandle;
  BY_HANDLE_FILE_INFORMATION information{};
  if (const DWORD error = ReadInformation(opened->handle.Get(), &information); error != ERROR_SUCCESS) {
    return StatusOf(error);
  }
  *identity = IdentityOf(information);
  return {};
}

FileStatus Win32ImageFiles::CheckReadable(DirectoryHandle parent, std::u16string_view name, EntryKind kind) {
  const Directory* const opened = FindDirectory(parent);
  if (opened == nullptr) return kInvalidHandle;
  if (!IsSingleName(name)) return kNoSuchName;
  // What the run's own open of the entry asks for.
  const DWORD rights = kind == EntryKind::Directory ? kDirectoryRights | FILE_TRAVERSE
                       : kind == EntryKind::File    ? GENERIC_READ
                                                    : FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  UniqueWin32Handle entry;
  return StatusOf(OpenInto(Join(opened->path, name), rights, kShareAll, OPEN_EXISTING, kOpenFlags, &entry));
}

FileStatus Win32ImageFiles::OpenFile(DirectoryHandle parent, std::u16string_view name, offline::FileAccess access,
                                     ImageFileHandle* file) {
  const Directory* const opened = FindDirectory(parent);
  if (opened == nullptr) return kInvalidHandle;
  if (!IsSingleName(name)) return kNoSuchName;
  const std::u16string path = Join(opened->path, name);
  const bool forSave = access == offline::FileAccess::ReadForSave;
  // For a save: others may only read, and the handle reads the security
  // descriptor (the SACL too where the privilege is held) for the copies.
  const DWORD rights = forSave ? GENERIC_READ | READ_CONTROL : GENERIC_READ;
  const DWORD share = forSave ? FILE_SHARE_READ : kShareAll;
  auto opening = std::make_unique<File>();
  opening->systemSecurity = forSave && securityPrivilege_;
  DWORD error = OpenInto(path, rights | (opening->systemSecurity ? ACCESS_SYSTEM_SECURITY : 0), share, OPEN_EXISTING,
                         kOpenFlags, &opening->handle);
  if (opening->systemSecurity && (error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_ACCESS_DENIED)) {
    opening->systemSecurity = false;
    error = OpenInto(path, rights, share, OPEN_EXISTING, kOpenFlags, &opening->handle);
  }
  if (error != ERROR_SUCCESS) return StatusOf(error);
  DWORD attributes = 0;
  if (const DWORD failed = ReadAttributes(opening->handle.Get(), &attributes); failed != ERROR_SUCCESS) {
    return StatusOf(failed);
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return kDirectoryNotFile;
  if (GetFileType(opening->handle.Get()) != FILE_TYPE_DISK) return kNotADiskFile;
  if (forSave) {
    // Sharing keeps other programs from writing; the lock keeps out another
    // run of this tool, which would open the hive for reading just as this one.
    OVERLAPPED lockAt = At(kRunLockOffset);
    if (!LockFileEx(opening->handle.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &lockAt)) {
      return LastErrorStatus();
    }
  }
  *file = AddFile(std::move(opening));
  return {};
}

FileStatus Win32ImageFiles::CloseFile(ImageFileHandle file) {
  std::unique_ptr<File> closing;
  {
    TableLock lock(tables_->lock);
    const auto found = tables_->files.find(static_cast<std::intptr_t>(file));
    if (found == tables_->files.end()) return kInvalidHandle;
    closing = std::move(found->second);
    tables_->files.erase(found);
  }
  // Closing also releases the run's lock.
  if (!CloseHandle(closing->handle.Release())) return LastErrorStatus();
  return {};
}

FileStatus Win32ImageFiles::Inspect(ImageFileHandle file, offline::FileFacts* facts) {
  const File* const opened = FindFile(file);
  if (opened == nullptr) return kInvalidHandle;
  BY_HANDLE_FILE_INFORMATION information{};
  if (const DWORD error = ReadInformation(opened->handle.Get(), &information); error != ERROR_SUCCESS) {
    return StatusOf(error);
  }
  facts->identity = IdentityOf(information);
  facts->size = SizeOf(information);
  return {};
}

FileStatus Win32ImageFiles::ReadFrom(File& file, std::uint64_t offset, std::span<std::uint8_t> buffer,
                                     std::size_t* got) {
  *got = 0;
  while (*got < buffer.size()) {
    const auto chunk = static_cast<DWORD>(std::min(buffer.size() - *got, kIoChunk));
    OVERLAPPED at = At(offset + *got);
    DWORD read = 0;
    if (!ReadFile(file.handle.Get(), buffer.data() + *got, chunk, &read, &at)) {
      // A read that starts at or past the end.
      if (const DWORD error = GetLastError(); error != ERROR_HANDLE_EOF) return StatusOf(error);
      break;
    }
    if (read == 0) break;
    *got += read;
  }
  return {};
}

FileStatus Win32ImageFiles::Read(ImageFileHandle file, std::span<std::uint8_t> buffer, std::size_t* got) {
  File* const opened = FindFile(file);
  if (opened == nullptr) return kInvalidHandle;
  const FileStatus status = ReadFrom(*opened, opened->position, buffer, got);
  opened->position += *got;
  return status;
}

FileStatus Win32ImageFiles::ReadAt(ImageFileHandle file, std::uint64_t offset, std::span<std::uint8_t> buffer,
                                   std::size_t* got) {
  *got = 0;
  File* const opened = FindFile(file);
  if (opened == nullptr) return kInvalidHandle;
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max())) {
    return StatusOf(ERROR_INVALID_PARAMETER);
  }
  return ReadFrom(*opened, offset, buffer, got);
}

namespace {

// A mapping's handle is the address of the section and its view.
struct Mapping {
  UniqueWin32Handle section;
  const void* view = nullptr;
};

}  // namespace

FileStatus Win32ImageFiles::MapFile(ImageFileHandle file, std::uint64_t size, offline::MappingHandle* mapping,
                                    std::span<const std::uint8_t>* bytes) {
  const File* const opened = FindFile(file);
  if (opened == nullptr) return kInvalidHandle;
  // A 32-bit process has no room for a view past its address space.
  if (size == 0 || size > std::numeric_limits<SIZE_T>::max()) return StatusOf(ERROR_NOT_ENOUGH_MEMORY);
  auto mapped = std::make_unique<Mapping>();
  mapped->section.Reset(CreateFileMappingW(opened->handle.Get(), nullptr, PAGE_READONLY, static_cast<DWORD>(size >> 32),
                                           static_cast<DWORD>(size), nullptr));
  if (!mapped->section) return LastErrorStatus();
  mapped->view = MapViewOfFile(mapped->section.Get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
  if (mapped->view == nullptr) return LastErrorStatus();
  *bytes = std::span(static_cast<const std::uint8_t*>(mapped->view), static_cast<std::size_t>(size));
  *mapping = static_cast<offline::MappingHandle>(reinterpret_cast<std::intptr_t>(mapped.release()));
  return {};
}

// Windows renames nothing over a file with a view mapped, as a save of the
// hive must, and a page that cannot be read faults at its first touch.
FileStatus Win32ImageFiles::MapFileForChanges(ImageFileHandle, std::uint64_t, offline::MappingHandle*,
                                              std::span<std::uint8_t>*) {
  return StatusOf(ERROR_NOT_SUPPORTED);
}

void Win32ImageFiles::Unmap(offline::MappingHandle mapping) {
  const std::unique_ptr<Mapping> mapped(reinterpret_cast<Mapping*>(static_cast<std::intptr_t>(mapping)));
  UnmapViewOfFile(mapped->view);
}

FileStatus Win32ImageFiles::CreateFile(DirectoryHandle directory, std::u16string_view name, ImageFileHandle* file) {
  const Directory* const opened = FindDirectory(directory);
  if (opened == nullptr) return kInvalidHandle;
  if (!IsSingleName(name)) return kNoSuchName;
  const std::u16string path = Join(opened->path, name);
  // Shared with no one while it is written; rights to give it the
  // original's security descriptor (the SACL too where the privilege is held).
  constexpr DWORD kRights = GENERIC_READ | GENERIC_WRITE | WRITE_DAC | WRITE_OWNER | READ_CONTROL;
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | kOpenFlags;
  auto creating = std::make_unique<File>();
  creating->systemSecurity = securityPrivilege_;
  // CREATE_NEW never opens what is there, a link left under the name included.
  DWORD error = OpenInto(path, kRights | (creating->systemSecurity ? ACCESS_SYSTEM_SECURITY : 0), 0, CREATE_NEW, kFlags,
                         &creating->handle);
  if (creating->systemSecurity && (error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_ACCESS_DENIED)) {
    creating->systemSecurity = false;
    error = OpenInto(path, kRights, 0, CREATE_NEW, kFlags, &creating->handle);
  }
  if (error != ERROR_SUCCESS) return StatusOf(error);
  *file = AddFile(std::move(creating));
  return {};
}

FileStatus Win32ImageFiles::Write(ImageFileHandle file, std::span<const std::uint8_t> data) {
  File* const opened = FindFile(file);
  if (opened == nullptr) return kInvalidHandle;
  const FileStatus status = WriteAt(file, opened->position, data);
  if (status.Ok()) opened->position += data.size();
  return status;
}

FileStatus Win32ImageFiles::WriteAt(ImageFileHandle file, std::uint64_t offset, std::span<const std::uint8_t> data) {
  const File* const opened = FindFile(file);
  if (opened == nullptr) return kInvalidHandle;
  for (std::size_t done = 0; done < data.size();) {
    const auto chunk = static_cast<DWORD>(std::min(data.size() - done, kIoChunk));
    OVERLAPPED at = At(offset + done);
    DWORD written = 0;
    if (!WriteFile(opened->handle.Get(), data.data() + done, chunk, &written, &at)) return LastErrorStatus();
    if (written == 0) return StatusOf(ERROR_WRITE_FAULT);
    done += written;
  }
  return {};
}

FileStatus Win32ImageFiles::Flush(ImageFileHandle file) {
  const File* const opened = FindFile(file);
  if (opened == nullptr) return kInvalidHandle;
  return FlushFileBuffers(opened->handle.Get()) ? FileStatus{} : LastErrorStatus();
}

FileStatus Win32ImageFiles::CarryMetadata(ImageFileHandle original, ImageFileHandle copy) {
  const File* const source = FindFile(original);
  const File* const target = FindFile(copy);
  if (source == nullptr || target == nullptr) return kInvalidHandle;
  // The SACL can be read only where the original was opened with the
  // privilege; if it has one, a copy that cannot take it would lose it.
  const bool carrySacl = source->systemSecurity && target->systemSecurity;
  if (source->systemSecurity && !target->systemSecurity) {
    std::vector<std::uint8_t> descriptor;
    SecurityParts parts;
    if (const DWORD error = ReadSecurity(source->handle.Get(), SACL_SECURITY_INFORMATION, &descriptor);
        error != ERROR_SUCCESS) {
      return NotKept(error);
    }
    if (const DWORD error = PartsOf(descriptor, &parts); error != ERROR_SUCCESS) return NotKept(error);
    if (HasEntries(parts.saclPresent, parts.sacl)) return NotKept(ERROR_PRIVILEGE_NOT_HELD);
  }
  if (const DWORD error = CarrySecurity(source->handle.Get(), target->handle.Get(), carrySacl);
      error != ERROR_SUCCESS) {
    return NotKept(error);
  }
  if (const DWORD error = CarryAttributes(source->handle.Get(), target->handle.Get()); error != ERROR_SUCCESS) {
    return NotKept(error);
  }
  return {};
}

FileStatus Win32ImageFiles::Link(DirectoryHandle directory, std::u16string_view existing, std::u16string_view newName) {
  const Directory* const opened = FindDirectory(directory);
  if (opened == nullptr) return kInvalidHandle;
  if (!IsSingleName(existing) || !IsSingleName(newName)) return kNoSuchName;
  if (CreateHardLinkW(AsWide(Join(opened->path, newName).c_str()), AsWide(Join(opened->path, existing).c_str()),
                      nullptr)) {
    return {};
  }
  const DWORD error = GetLastError();
  // File systems without hard links (FAT, exFAT, some shares), a file that
  // has all the links NTFS allows, and a link the system will not make
  // while the run itself holds the hive or without backup intent (the
  // copy is written with it): the backup is then a copy.
  if (error == ERROR_NOT_SAME_DEVICE || error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
      error == ERROR_TOO_MANY_LINKS || error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
    return {FileProblem::LinksUnsupported, static_cast<std::int32_t>(error)};
  }
  return StatusOf(error);
}

FileStatus Win32ImageFiles::Rename(DirectoryHandle directory, std::u16string_view from, std::u16string_view to,
                                   bool replace) {
  const Directory* const opened = FindDirectory(directory);
  if (opened == nullptr) return kInvalidHandle;
  if (!IsSingleName(from) || !IsSingleName(to)) return kNoSuchName;
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExW(AsWide(Join(opened->path, from).c_str()), AsWide(Join(opened->path, to).c_str()), flags)) return {};
  return LastErrorStatus();
}

FileStatus Win32ImageFiles::Remove(DirectoryHandle directory, std::u16string_view name) {
  const Directory* const opened = FindDirectory(directory);
  if (opened == nullptr) return kInvalidHandle;
  if (!IsSingleName(name)) return kNoSuchName;
  const std::u16string path = Join(opened->path, name);
  if (DeleteFileW(AsWide(path.c_str()))) return {};
  const DWORD error = GetLastError();
  // Windows refuses to remove a read-only file, which a copy that carries a
  // read-only original's attributes is; the attribute goes first, as on
  // Linux, where a file's own mode never keeps it from being removed.
  const DWORD attributes = GetFileAttributesW(AsWide(path.c_str()));
  if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          FILE_ATTRIBUTE_READONLY ||
      !SetFileAttributesW(AsWide(path.c_str()), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    return StatusOf(error);
  }
  if (DeleteFileW(AsWide(path.c_str()))) return {};
  const FileStatus status = LastErrorStatus();
  SetFileAttributesW(AsWide(path.c_str()), attributes);
  return status;
}

FileStatus Win32ImageFiles::SyncDirectory(DirectoryHandle directory) {
  // Nothing to do: NTFS logs each change to a directory and commits its log
  // in order, and Windows offers no call that flushes one directory. A file
  // flushed later commits the log with it; a rename lost to a crash
  // leaves the names as they were before it, which the save looks at.
  if (FindDirectory(directory) == nullptr) return kInvalidHandle;
  return {};
}

bool Win32ImageFiles::LacksHardLinks(DirectoryHandle directory) {
  const Directory* const opened = FindDirectory(directory);
  DWORD flags = 0;
  return opened != nullptr &&
         GetVolumeInformationByHandleW(opened->handle.Get(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & FILE_SUPPORTS_HARD_LINKS) == 0;
}

FileStatus Win32ImageFiles::FreeSpace(DirectoryHandle directory, std::uint64_t* bytes) {
  const Directory* const opened = FindDirectory(directory);
  if (opened == nullptr) return kInvalidHandle;
  // A share's path needs its trailing separator here.
  std::u16string path = opened->path;
  if (path.back() != u'\\') path += u'\\';
  ULARGE_INTEGER available{};
  // Free bytes available to the caller: what its quota still lets it write.
  if (!GetDiskFreeSpaceExW(AsWide(path.c_str()), &available, nullptr, nullptr)) return LastErrorStatus();
  *bytes = available.QuadPart;
  return {};
}

WriteAccess Win32ImageFiles::ProbeWriteAccess(DirectoryHandle directory, std::u16string_view name) {
  // Decided without writing, which would change the folder even for a run
  // that finds nothing to repair.
  const Directory* const opened = FindDirectory(directory);
  if (opened == nullptr) return WriteAccess::Denied;
  DWORD volumeFlags = 0;
  if (GetVolumeInformationByHandleW(opened->handle.Get(), nullptr, 0, nullptr, nullptr, &volumeFlags, nullptr, 0) &&
      (volumeFlags & FILE_READ_ONLY_VOLUME) != 0) {
    return WriteAccess::WriteProtected;
  }
  if (IsHibernated(opened->path)) return WriteAccess::Hibernated;
  // A save replaces files whose DACL may let only SYSTEM or TrustedInstaller
  // write them, and gives the copies their owners.
  if (EnablePrivilege(L"SeBackupPrivilege") != ERROR_SUCCESS ||
      EnablePrivilege(L"SeRestorePrivilege") != ERROR_SUCCESS) {
    return WriteAccess::Denied;
  }
  UniqueWin32Handle probe;
  if (const DWORD error = OpenInto(opened->path, FILE_ADD_FILE | FILE_DELETE_CHILD | SYNCHRONIZE, kShareAll,
                                   OPEN_EXISTING, kOpenFlags, &probe);
      error != ERROR_SUCCESS) {
    return AccessFromError(error);
  }
  // A name that cannot be there is no reason to refuse.
  if (name.empty() || !IsSingleName(name)) return WriteAccess::Granted;
  return ProbeFile(Join(opened->path, name));
}

bool Win32ImageFiles::IsRunningSystem() {
  // Compared as files, not as text: the same directory has many paths.
  std::u16string running(MAX_PATH, u'\0');
  UINT length = GetWindowsDirectoryW(AsWide(running.data()), static_cast<UINT>(running.size()));
  if (length >= running.size()) {
    running.resize(length);
    length = GetWindowsDirectoryW(AsWide(running.data()), static_cast<UINT>(running.size()));
  }
  if (length == 0 || length >= running.size() || fullDirectory_.empty()) return false;
  running.resize(length);
  BY_HANDLE_FILE_INFORMATION runningInformation{};
  BY_HANDLE_FILE_INFORMATION givenInformation{};
  for (auto [path, information] :
       {std::pair{&running, &runningInformation}, std::pair{&fullDirectory_, &givenInformation}}) {
    UniqueWin32Handle directory;
    if (OpenInto(*path, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                 &directory) != ERROR_SUCCESS ||
        ReadInformation(directory.Get(), information) != ERROR_SUCCESS) {
      return false;
    }
  }
  return IdentityOf(runningInformation) == IdentityOf(givenInformation);
}

unsigned Win32ImageFiles::AffordableWorkers(unsigned wanted) {
  // A process may hold millions of handles; the workers' few never come near.
  return wanted;
}

namespace {

// The name as the directory at the full path `directory` holds it: Windows
// finds a name in any case, and messages show the one on the disk.
std::u16string NameOnDisk(const std::u16string& directory, const std::u16string& name) {
  if (name.find_first_of(u"*?") != std::u16string::npos) return name;
  WIN32_FIND_DATAW found;
  const HANDLE first =
      FindFirstFileExW(AsWide(Join(directory, name).c_str()), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (first == INVALID_HANDLE_VALUE) return name;
  const UniqueSearch search(first);
  return std::u16string(AsUtf16(found.cFileName));
}

}  // namespace

std::u16string Win32ImageFiles::DisplayPath(std::span<const std::u16string> names) {
  std::u16string path = givenDirectory_;
  std::u16string full = fullDirectory_;
  for (const std::u16string& name : names) {
    const std::u16string shown = NameOnDisk(full, name);
    full = Join(full, shown);
    if (!path.empty() && !IsSeparator(path.back())) path += u'\\';
    path += shown;
  }
  // A backslash cannot be part of a Windows name, so only control
  // characters, which could break or overwrite a line, are escaped.
  std::u16string printable;
  printable.reserve(path.size());
  for (const char16_t c : path) {
    if (IsControl(c)) {
      printable += u"\\x";
      AppendHex(c, 2, &printable);
    } else {
      printable += c;
    }
  }
  return printable;
}

namespace {

// The Win32 code a status stands for. One the run made itself, without a
// code, gets the code Windows gives the same problem: never 0, which would
// read as success.
DWORD CodeOf(const FileStatus& status) {
  if (status.code != 0) return static_cast<DWORD>(status.code);
  switch (status.problem) {
    case FileProblem::None:
      return ERROR_SUCCESS;
    case FileProblem::NotFound:
      return ERROR_FILE_NOT_FOUND;
    case FileProblem::NotADirectory:
      return ERROR_DIRECTORY;
    case FileProblem::Link:
      return kErrorStoppedOnSymlink;
    case FileProblem::NotARegularFile:
      return ERROR_BAD_FILE_TYPE;
    case FileProblem::AccessDenied:
      return ERROR_ACCESS_DENIED;
    case FileProblem::InUse:
      return ERROR_SHARING_VIOLATION;
    case FileProblem::Exists:
      return ERROR_ALREADY_EXISTS;
    case FileProblem::LinksUnsupported:
    case FileProblem::MetadataNotKept:
      return ERROR_NOT_SUPPORTED;
    case FileProblem::ReadOnlyVolume:
      return ERROR_WRITE_PROTECT;
    case FileProblem::VolumeLocked:
      return kFveLockedVolume;
    case FileProblem::DiskFull:
      return ERROR_DISK_FULL;
    case FileProblem::TooManyEntries:
      return kTooManyEntriesError;
    case FileProblem::NoUnicodeForm:
      return ERROR_NO_UNICODE_TRANSLATION;
    case FileProblem::Other:
      break;
  }
  return ERROR_IO_DEVICE;
}

}  // namespace

std::u16string Win32ImageFiles::Describe(const FileStatus& status) {
  const DWORD code = CodeOf(status);
  wchar_t buffer[1024];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                      buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
  std::u16string text(AsUtf16(buffer), length);
  // The messages end their sentence and line; the caller's text goes on after them.
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ' || text.back() == u'.' ||
                           text.back() == u'\u3002')) {
    text.pop_back();
  }
  if (!text.empty()) return text;
  text = u"错误 0x";
  AppendHex(static_cast<std::uint32_t>(code), 8, &text);
  return text;
}

Win32Status Win32ImageFiles::ToWin32Status(const FileStatus& status) { return static_cast<Win32Status>(CodeOf(status)); }

}  // namespace tessaly::win32

namespace tessaly::offline {

unsigned DefaultJobs() {
  constexpr unsigned kMaxDefaultJobs = 8;
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
  return std::clamp(static_cast<unsigned>(std::popcount(static_cast<std::uintptr_t>(process))), 1u, kMaxDefaultJobs);
}

}  // namespace tessaly::offline
