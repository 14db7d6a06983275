#include "platform/offline/save_hive.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "hive/hive.h"
#include "hive/name_case.h"

namespace tessaly::offline {
namespace {

using hive::Hive;
using hive::kBaseBlockSize;
using hive::SameName;

// Each chunk of the new hive is handed to the system on its own, so the
// disk can work while the rest is copied.
constexpr std::size_t kWriteChunk = std::size_t{8} << 20;
constexpr std::size_t kCopyChunk = 1 << 20;
// What the write-ahead copies at a time while the run waits to change the hive.
constexpr std::size_t kWriteAheadPart = 1 << 20;
constexpr int kMaxFileNames = 1000;

std::u16string TemporaryName(const std::u16string& fileName) { return fileName + u".tessaly-new"; }
std::u16string FirstBackupName(const std::u16string& fileName) { return fileName + u".tessaly-backup"; }

std::u16string Timestamp() {
  const std::time_t now = std::time(nullptr);
  char text[32] = "0";
  // Saves are not concurrent, so localtime's shared result is safe here.
  if (const std::tm* local = std::localtime(&now); local != nullptr) {
    std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", local);
  }
  return AsciiToUtf16(text);
}

// "<fileName>.tessaly-backup", then "...-<time>", "...-<time>-2", ...
std::u16string BackupName(const std::u16string& fileName, int attempt, const std::u16string& timestamp) {
  std::u16string name = FirstBackupName(fileName);
  if (attempt > 0) name += u"-" + timestamp;
  if (attempt > 1) name += u"-" + FormatDecimal(static_cast<std::uint64_t>(attempt));
  return name;
}

// Whether name starts with prefix, ignoring case as the file system may:
// the hive is opened by the name asked for, which on Windows need not be
// the one on the disk.
bool StartsWithName(std::u16string_view name, std::u16string_view prefix) {
  return name.size() >= prefix.size() && SameName(name.substr(0, prefix.size()), prefix);
}

// A name BackupName gives; the copies of logs beside a backup are not.
bool IsBackupName(const std::u16string& fileName, std::u16string_view name) {
  const std::u16string first = FirstBackupName(fileName);
  if (!StartsWithName(name, first)) return false;
  name.remove_prefix(first.size());
  if (name.empty()) return true;
  if (name.front() != u'-') return false;
  name.remove_prefix(1);
  return std::all_of(name.begin(), name.end(), [](char16_t c) { return (c >= u'0' && c <= u'9') || c == u'-'; });
}

// What follows the hive's name in a log's name (".LOG1"); a log's copy
// keeps it after the backup's name.
std::u16string LogSuffix(const std::u16string& fileName, const std::u16string& logName) {
  const bool prefixed = logName.size() > fileName.size() && StartsWithName(logName, fileName);
  return prefixed ? logName.substr(fileName.size()) : u"." + logName;
}

// A file that did not exist before: named baseName, or baseName-2,
// baseName-3, ... when that name is taken, so no earlier file is ever
// overwritten.
FileStatus CreateNewFile(ImageFiles& files, DirectoryHandle directory, const std::u16string& baseName,
                         UniqueImageFile* file, std::u16string* name) {
  FileStatus status;
  for (int attempt = 1; attempt <= kMaxFileNames; ++attempt) {
    *name = attempt == 1 ? baseName : baseName + u"-" + FormatDecimal(static_cast<std::uint64_t>(attempt));
    status = files.CreateFile(directory, *name, file->Put());
    if (status.problem != FileProblem::Exists) return status;
  }
  return status;
}

// Whether name refers to the file with this identity.
bool Holds(ImageFiles& files, DirectoryHandle directory, const std::u16string& name, const FileIdentity& identity) {
  EntryFacts facts;
  return files.LookUpEntry(directory, name, &facts).Ok() && facts.identity == identity;
}

// A file the save reads, with what a copy of it must carry.
struct SourceFile {
  ImageFileHandle file = ImageFileHandle::Invalid;
  FileFacts facts;
};

struct Log {
  std::u16string suffix;
  UniqueImageFile file;
  SourceFile source;
};

// A file written in full, flushed and closed, under a temporary name.
struct TemporaryFile {
  std::u16string name;
  FileIdentity identity;
};

class Saver {
 public:
  Saver(ImageFiles& files, HiveFile& original) : files_(files), original_(original) {}

  // writeContents writes the new hive into the file writtenAhead made, where there is one.
  SaveResult Save(const std::function<FileStatus(ImageFileHandle)>& writeContents, HiveWriteAhead* writtenAhead);

 private:
  DirectoryHandle Directory() const { return original_.directory.Get(); }

  bool Exists(const std::u16string& name) {
    EntryFacts facts;
    return files_.LookUpEntry(Directory(), name, &facts).problem != FileProblem::NotFound;
  }
  bool Holds(const std::u16string& name, const FileIdentity& identity) {
    return offline::Holds(files_, Directory(), name, identity);
  }

  FileStatus CopyBytes(const SourceFile& source, std::uint64_t length, ImageFileHandle destination);
  FileStatus SameBytes(ImageFileHandle first, ImageFileHandle second, std::uint64_t length, bool* same);
  FileStatus WriteTemporaryFile(ImageFileHandle metadataSource,
                                const std::function<FileStatus(ImageFileHandle)>& writeContents,
                                TemporaryFile* written, HiveWriteAhead* writtenAhead = nullptr);
  FileStatus GiveFreeName(const TemporaryFile& temporary, const std::u16string& finalName);
  void RemoveTemporary(const TemporaryFile& temporary) {
    if (Holds(temporary.name, temporary.identity)) files_.Remove(Directory(), temporary.name);
  }
  FileStatus CopyFile(const SourceFile& source, std::uint64_t length, const std::u16string& finalName);
  FileStatus HoldsCopyOf(const std::u16string& name, const SourceFile& source, std::uint64_t extent,
                         bool sameFileCounts, bool* holds);
  FileStatus IsReusableBackup(const std::u16string& backupName, bool* reusable);
  FileStatus FindReusableBackup(std::optional<std::u16string>* found);
  FileStatus CreateBackup();
  FileStatus KeepBackup();
  FileStatus OpenLogs();

  ImageFiles& files_;
  HiveFile& original_;
  SourceFile source_;
  std::vector<Log> logs_;
  // What the save keeps beside the hive, and which of those names it created.
  std::u16string backupName_;
  std::vector<std::u16string> created_;
};

// Copies the first length bytes of source to destination's position.
FileStatus Saver::CopyBytes(const SourceFile& source, std::uint64_t length, ImageFileHandle destination) {
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk)));
  for (std::uint64_t offset = 0; offset < length;) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, buffer.size()));
    std::size_t got = 0;
    if (const FileStatus status = files_.ReadAt(source.file, offset, std::span(buffer).first(chunk), &got);
        !status.Ok()) {
      return status;
    }
    // The file ends before the length it was to be copied to: a copy of
    // what is there would pass for a whole one.
    if (got < chunk) return {FileProblem::Other, 0};
    if (const FileStatus status = files_.Write(destination, std::span(buffer).first(got)); !status.Ok()) return status;
    offset += got;
  }
  return {};
}

// Whether both files start with the same length bytes.
FileStatus Saver::SameBytes(ImageFileHandle first, ImageFileHandle second, std::uint64_t length, bool* same) {
  std::vector<std::uint8_t> firstBuffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk)));
  std::vector<std::uint8_t> secondBuffer(firstBuffer.size());
  *same = false;
  for (std::uint64_t offset = 0; offset < length;) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, firstBuffer.size()));
    std::size_t firstGot = 0;
    std::size_t secondGot = 0;
    if (const FileStatus status = files_.ReadAt(first, offset, std::span(firstBuffer).first(chunk), &firstGot);
        !status.Ok()) {
      return status;
    }
    if (const FileStatus status = files_.ReadAt(second, offset, std::span(secondBuffer).first(chunk), &secondGot);
        !status.Ok()) {
      return status;
    }
    const auto end = firstBuffer.begin() + static_cast<std::ptrdiff_t>(chunk);
    if (firstGot != chunk || secondGot != chunk || !std::equal(firstBuffer.begin(), end, secondBuffer.begin())) {
      return {};
    }
    offset += chunk;
  }
  *same = true;
  return {};
}

// Writes a new file under the hive's temporary name (or takes the one
// writtenAhead made): its bytes by writeContents, then the metadata of
// metadataSource, checked; then flushed. On failure nothing of it is left.
FileStatus Saver::WriteTemporaryFile(ImageFileHandle metadataSource,
                                     const std::function<FileStatus(ImageFileHandle)>& writeContents,
                                     TemporaryFile* written, HiveWriteAhead* writtenAhead) {
  UniqueImageFile file(files_);
  FileStatus status = writtenAhead != nullptr
                          ? writtenAhead->Finish(&file, &written->name)
                          : CreateNewFile(files_, Directory(), TemporaryName(original_.fileName), &file, &written->name);
  if (!status.Ok()) return status;
  FileFacts facts;
  status = files_.Inspect(file.Get(), &facts);
  written->identity = facts.identity;
  if (status.Ok()) status = writeContents(file.Get());
  if (status.Ok()) status = files_.CarryMetadata(metadataSource, file.Get());
  if (status.Ok()) status = files_.Flush(file.Get());
  // Closed before it is removed: ntfs-3g turns the removal of an open file
  // into a rename, which needs the free space that may have run out.
  if (const FileStatus closed = files_.CloseFile(file.Release()); status.Ok()) status = closed;
  if (!status.Ok()) files_.Remove(Directory(), written->name);
  return status;
}

// Gives a temporary file finalName, which no file may have yet: Exists when
// one has, the temporary file then left as it is.
FileStatus Saver::GiveFreeName(const TemporaryFile& temporary, const std::u16string& finalName) {
  const FileStatus status = files_.Rename(Directory(), temporary.name, finalName, false);
  // A rename can take effect and still report failure.
  if (!status.Ok() && status.problem != FileProblem::Exists && Holds(finalName, temporary.identity)) return {};
  return status;
}

FileStatus Saver::CopyFile(const SourceFile& source, std::uint64_t length, const std::u16string& finalName) {
  TemporaryFile copy;
  FileStatus status = WriteTemporaryFile(
      source.file, [&](ImageFileHandle file) { return CopyBytes(source, length, file); }, &copy);
  if (!status.Ok()) return status;
  status = GiveFreeName(copy, finalName);
  if (!status.Ok()) RemoveTemporary(copy);
  return status;
}

// Whether the file `name` holds the source's bytes: all of them, or (for a
// hive) its extent; with sameFileCounts, also when it is the source itself.
FileStatus Saver::HoldsCopyOf(const std::u16string& name, const SourceFile& source, std::uint64_t extent,
                              bool sameFileCounts, bool* holds) {
  *holds = false;
  UniqueImageFile candidate(files_);
  if (const FileStatus status = files_.OpenFile(Directory(), name, FileAccess::Read, candidate.Put());
      !status.Ok()) {
    // Gone, or not a regular file: no copy of anything.
    const bool noFile = status.problem == FileProblem::NotFound || status.problem == FileProblem::NotARegularFile ||
                        status.problem == FileProblem::Link;
    return noFile ? FileStatus{} : status;
  }
  FileFacts facts;
  if (const FileStatus status = files_.Inspect(candidate.Get(), &facts); !status.Ok()) return status;
  if (facts.identity == source.facts.identity) {
    *holds = sameFileCounts;
    return {};
  }
  if (facts.size != extent && facts.size != source.facts.size) return {};
  return SameBytes(candidate.Get(), source.file, facts.size, holds);
}

// Whether backupName already holds the original (a second link to it, or a
// copy of its bytes), and the log copies beside it, where there, the logs'
// bytes: a save then keeps it as this save's backup.
FileStatus Saver::IsReusableBackup(const std::u16string& backupName, bool* reusable) {
  if (const FileStatus status = HoldsCopyOf(backupName, source_, original_.extent, true, reusable);
      !status.Ok() || !*reusable) {
    return status;
  }
  for (const Log& log : logs_) {
    const std::u16string copyName = backupName + log.suffix;
    if (!Exists(copyName)) continue;
    // Windows writes logs in place, so only a copy keeps what a log held.
    const FileStatus status = HoldsCopyOf(copyName, log.source, log.source.facts.size, false, reusable);
    if (!status.Ok() || !*reusable) return status;
  }
  return {};
}

FileStatus Saver::FindReusableBackup(std::optional<std::u16string>* found) {
  std::vector<DirectoryEntry> entries;
  if (const FileStatus status = files_.ListDirectory(Directory(), ListingStart::Rewind, SIZE_MAX, &entries);
      !status.Ok()) {
    return status;
  }
  std::vector<std::u16string> names;
  for (DirectoryEntry& entry : entries) {
    if (IsBackupName(original_.fileName, entry.name)) names.push_back(std::move(entry.name));
  }
  // The first backup name sorts before the timestamped ones.
  std::sort(names.begin(), names.end());
  for (const std::u16string& name : names) {
    bool reusable = false;
    if (const FileStatus status = IsReusableBackup(name, &reusable); !status.Ok()) return status;
    if (reusable) {
      *found = name;
      return {};
    }
  }
  return {};
}

// Keeps the original under a backup name that neither a file nor the log
// copies that will go with it have yet. The original is never written in
// place (the new hive is renamed over its name), so a second link to it is
// a complete backup that costs no copy; file systems without hard links get
// a copy of its extent, written once and tried under each name in turn.
FileStatus Saver::CreateBackup() {
  const std::u16string timestamp = Timestamp();
  bool linking = true;
  std::optional<TemporaryFile> copy;
  FileStatus status{FileProblem::Exists, 0};
  for (int attempt = 0; attempt < kMaxFileNames && status.problem == FileProblem::Exists; ++attempt) {
    backupName_ = BackupName(original_.fileName, attempt, timestamp);
    if (std::any_of(logs_.begin(), logs_.end(), [&](const Log& log) { return Exists(backupName_ + log.suffix); })) {
      continue;
    }
    if (linking) {
      status = files_.Link(Directory(), original_.fileName, backupName_);
      if (status.problem != FileProblem::LinksUnsupported) continue;
      linking = false;
    }
    if (!copy) {
      TemporaryFile written;
      status = WriteTemporaryFile(
          source_.file, [&](ImageFileHandle file) { return CopyBytes(source_, original_.extent, file); }, &written);
      if (!status.Ok()) return status;
      copy = std::move(written);
    }
    status = GiveFreeName(*copy, backupName_);
  }
  if (copy) RemoveTemporary(*copy);
  if (status.Ok()) created_.push_back(backupName_);
  return status;
}

FileStatus Saver::KeepBackup() {
  std::optional<std::u16string> reusable;
  if (const FileStatus status = FindReusableBackup(&reusable); !status.Ok()) return status;
  if (reusable) {
    backupName_ = *reusable;
  } else if (const FileStatus status = CreateBackup(); !status.Ok()) {
    return status;
  }
  for (const Log& log : logs_) {
    const std::u16string copyName = backupName_ + log.suffix;
    if (Exists(copyName)) continue;
    if (const FileStatus status = CopyFile(log.source, log.source.facts.size, copyName); !status.Ok()) return status;
    created_.push_back(copyName);
  }
  return files_.SyncDirectory(Directory());
}

FileStatus Saver::OpenLogs() {
  for (const std::u16string& logName : original_.logNames) {
    Log& log = logs_.emplace_back(Log{LogSuffix(original_.fileName, logName), UniqueImageFile(files_), {}});
    // Held as the hive is: nothing writes a log while it is copied, and the
    // copy can read all of its security.
    if (const FileStatus status = files_.OpenFile(Directory(), logName, FileAccess::ReadForSave, log.file.Put());
        !status.Ok()) {
      return status;
    }
    log.source.file = log.file.Get();
    if (const FileStatus status = files_.Inspect(log.file.Get(), &log.source.facts); !status.Ok()) return status;
  }
  return {};
}

SaveResult Saver::Save(const std::function<FileStatus(ImageFileHandle)>& writeContents,
                       HiveWriteAhead* writtenAhead) {
  const std::u16string& fileName = original_.fileName;
  source_.file = original_.file.Get();
  if (const FileStatus status = files_.Inspect(source_.file, &source_.facts); !status.Ok()) {
    return {SaveOutcome::NotSaved, status};
  }
  // The new hive replaces the file the run loaded, and nothing else.
  if (!Holds(fileName, source_.facts.identity)) return {SaveOutcome::HiveReplacedMeanwhile, {}};
  if (const FileStatus status = OpenLogs(); !status.Ok()) return {SaveOutcome::NotSaved, status};

  FileStatus status = KeepBackup();
  TemporaryFile replacement;
  if (status.Ok()) status = WriteTemporaryFile(source_.file, writeContents, &replacement, writtenAhead);
  if (status.Ok()) {
    // Windows renames nothing over a file held open without delete
    // sharing, so the original is let go only now; the name must still hold it.
    original_.file.Reset();
    if (!Holds(fileName, source_.facts.identity)) {
      // The backup may now be the original's only name, so it stays.
      RemoveTemporary(replacement);
      return {SaveOutcome::HiveReplacedMeanwhile, {}};
    }
    status = files_.Rename(Directory(), replacement.name, fileName, true);
    if (status.Ok()) {
      // The new hive is in place; a failure to sync the directory now
      // cannot undo that, and the backup is already durable.
      files_.SyncDirectory(Directory());
      return {};
    }
    // A rename can take effect and still report failure: what the name
    // holds now decides what is kept.
    if (Holds(fileName, replacement.identity)) {
      files_.SyncDirectory(Directory());
      return {SaveOutcome::SavedDespiteError, status};
    }
    if (!Holds(fileName, source_.facts.identity)) return {SaveOutcome::HiveNameLost, status};
    RemoveTemporary(replacement);
  }
  // The original is in place, so what this save made beside it goes. The
  // hive is let go first: Windows removes no name of a file held open
  // without delete sharing, and a backup link is such a name.
  original_.file.Reset();
  if (Holds(fileName, source_.facts.identity)) {
    for (const std::u16string& name : created_) files_.Remove(Directory(), name);
  }
  if (status.problem == FileProblem::MetadataNotKept) return {SaveOutcome::MetadataNotKept, status};
  return {SaveOutcome::NotSaved, status};
}

// Writes the hive file as changed: the base block the save gets, then the bins.
FileStatus WriteHive(ImageFiles& files, ImageFileHandle file, const Hive& hive) {
  const std::array<std::uint8_t, kBaseBlockSize> baseBlock = hive.SavedBaseBlock();
  if (const FileStatus status = files.Write(file, baseBlock); !status.Ok()) return status;
  const std::span<const std::uint8_t> bins = hive.Bins();
  for (std::size_t offset = 0; offset < bins.size(); offset += kWriteChunk) {
    const std::size_t size = std::min(kWriteChunk, bins.size() - offset);
    if (const FileStatus status = files.Write(file, bins.subspan(offset, size)); !status.Ok()) return status;
  }
  return {};
}

// Writes again, over the hive written ahead, every page the run changed,
// from the hive as it is now: adjacent pages in one write.
FileStatus WriteChangedPages(ImageFiles& files, ImageFileHandle file, const Hive& hive) {
  const std::vector<bool>& changed = hive.ChangedPages();
  const std::span<const std::uint8_t> bins = hive.Bins();
  for (std::size_t page = 0; page < changed.size();) {
    if (!changed[page]) {
      ++page;
      continue;
    }
    const std::size_t first = page;
    while (page < changed.size() && changed[page]) ++page;
    // Data lies in the bins, past the base block; the last page may be short.
    const std::size_t start = first * hive::kHivePageSize;
    const std::size_t size = std::min((page - first) * hive::kHivePageSize, kBaseBlockSize + bins.size() - start);
    const std::span<const std::uint8_t> pages = bins.subspan(start - kBaseBlockSize, size);
    if (const FileStatus status = files.WriteAt(file, start, pages); !status.Ok()) return status;
  }
  return {};
}

}  // namespace

HiveWriteAhead::HiveWriteAhead(ImageFiles& files, HiveFile& original)
    : files_(files),
      directory_(original.directory.Get()),
      fileName_(original.fileName),
      baseBlock_(original.hive->SavedBaseBlock()),
      bins_(original.hive->Bins()),
      file_(files),
      thread_(&HiveWriteAhead::Write, this) {}

HiveWriteAhead::~HiveWriteAhead() {
  if (thread_.joinable()) thread_.join();
  RemoveFile();
}

void HiveWriteAhead::Write() {
  status_ = CreateNewFile(files_, directory_, TemporaryName(fileName_), &file_, &name_);
  FileFacts facts;
  if (status_.Ok()) status_ = files_.Inspect(file_.Get(), &facts);
  identity_ = facts.identity;
  if (status_.Ok()) status_ = files_.Write(file_.Get(), baseBlock_);
  // Each part is copied under the lock, and written outside it: the run
  // waits for a change at most as long as one copy takes.
  std::vector<std::uint8_t> part(std::min(kWriteAheadPart, bins_.size()));
  for (std::size_t offset = 0; status_.Ok() && offset < bins_.size(); offset += part.size()) {
    const std::size_t size = std::min(part.size(), bins_.size() - offset);
    {
      const std::lock_guard guard(imageLock_);
      std::copy_n(bins_.begin() + static_cast<std::ptrdiff_t>(offset), size, part.begin());
    }
    status_ = files_.Write(file_.Get(), std::span(part).first(size));
  }
}

FileStatus HiveWriteAhead::Finish(UniqueImageFile* file, std::u16string* name) {
  if (thread_.joinable()) thread_.join();
  if (!status_.Ok()) {
    RemoveFile();
    return status_;
  }
  *file = std::move(file_);
  *name = name_;
  return {};
}

// Closed before it is removed: ntfs-3g turns the removal of an open file
// into a rename, which needs the free space that may have run out.
void HiveWriteAhead::RemoveFile() {
  if (!file_) return;
  file_.Reset();
  if (Holds(files_, directory_, name_, identity_)) files_.Remove(directory_, name_);
}

SaveResult ReplaceHiveFile(ImageFiles& files, HiveFile& original,
                           const std::function<FileStatus(ImageFileHandle file)>& writeContents) {
  return Saver(files, original).Save(writeContents, nullptr);
}

SaveResult SaveHive(ImageFiles& files, HiveFile& original) {
  const Hive& hive = *original.hive;
  return ReplaceHiveFile(files, original, [&](ImageFileHandle file) { return WriteHive(files, file, hive); });
}

SaveResult SaveHive(ImageFiles& files, HiveFile& original, HiveWriteAhead& writtenAhead) {
  const Hive& hive = *original.hive;
  return Saver(files, original)
      .Save([&](ImageFileHandle file) { return WriteChangedPages(files, file, hive); }, &writtenAhead);
}

FileStatus RemoveSaveLeftovers(ImageFiles& files, DirectoryHandle directory, const std::u16string& fileName,
                               int* removed) {
  *removed = 0;
  std::vector<DirectoryEntry> entries;
  if (const FileStatus status = files.ListDirectory(directory, ListingStart::Rewind, SIZE_MAX, &entries);
      !status.Ok()) {
    return status;
  }
  const std::u16string prefix = TemporaryName(fileName);
  FileStatus firstFailure;
  for (const DirectoryEntry& entry : entries) {
    EntryFacts facts;
    if (!StartsWithName(entry.name, prefix) || !files.LookUpEntry(directory, entry.name, &facts).Ok() ||
        facts.kind != EntryKind::File) {
      continue;
    }
    if (const FileStatus status = files.Remove(directory, entry.name); status.Ok()) {
      ++*removed;
    } else if (firstFailure.Ok()) {
      firstFailure = status;
    }
  }
  return firstFailure;
}

}  // namespace tessaly::offline
