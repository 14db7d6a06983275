#include "records/walk_component_directory.h"

#include <cstdint>
#include <vector>

#include "common/console.h"
#include "common/text.h"
#include "records/file_system.h"
#include "records/make_file_record_name.h"
#include "registry/read_dword_value.h"
#include "registry/registry.h"
#include "servicing/servicing_hash.h"

namespace tessaly {
namespace {

constexpr std::uint32_t kDcdClaim = 0x02;
constexpr std::uint32_t kDcsClaim = 0x20;
constexpr std::uint8_t kDcdSignature[3] = {'D', 'C', 'D'};
constexpr std::uint8_t kDcsSignature[3] = {'D', 'C', 'S'};

RepairOutcome CheckFile(Console& console, Registry& registry, FileSystem& files, const ServicingHash& servicingHash,
                        KeyHandle componentKey, std::size_t baseLength, const std::u16string& path, RepairMode mode,
                        std::uint32_t* wrongRecords) {
  const std::u16string recordName = MakeFileRecordName(path, baseLength, servicingHash);
  std::uint32_t record = 0;
  if (ReadDwordValue(registry, componentKey, recordName.c_str(), &record) != Win32Status::Success ||
      (record & (kDcdClaim | kDcsClaim)) == 0) {
    return 0;
  }

  // Opened without write sharing, so the header cannot change while it is compared.
  const UniqueFile file(files, files.OpenForRead(path.c_str()));
  if (!file) return 0;
  std::uint8_t header[3] = {};
  std::uint32_t bytesRead = 0;
  if (!files.Read(file.Get(), header, sizeof(header), &bytesRead) || bytesRead != sizeof(header)) {
    return 0;
  }

  // With both claims set only the DCD claim is examined.
  const bool claimsDcd = (record & kDcdClaim) != 0;
  const std::uint32_t claim = claimsDcd ? kDcdClaim : kDcsClaim;
  const std::uint8_t* signature = claimsDcd ? kDcdSignature : kDcsSignature;
  if (header[0] == signature[0] && header[1] == signature[1] && header[2] == signature[2]) return 0;

  ++*wrongRecords;
  if (mode == RepairMode::DryRun) {
    console.Print(u"发现 " + files.DisplayPath(path) + u" 存在异常（试运行，未修改）\n");
    return 0;
  }
  const std::uint32_t repaired = record & ~claim;
  const std::uint8_t data[4] = {static_cast<std::uint8_t>(repaired), static_cast<std::uint8_t>(repaired >> 8),
                                static_cast<std::uint8_t>(repaired >> 16),
                                static_cast<std::uint8_t>(repaired >> 24)};
  const Win32Status written = registry.SetValueEx(componentKey, recordName.c_str(), kRegDword, data, sizeof(data));
  if (written == Win32Status::Success) {
    console.Print(u"发现 " + files.DisplayPath(path) + u" 存在异常，执行修复成功！\n");
    return kRecordRewritten;
  }
  console.Print(u"发现 " + files.DisplayPath(path) + u" 存在异常，但执行修复失败，hr=" + FormatHex32(Bits(written)) +
                u"！\n");
  return kRewriteFailed;
}

// One level of the walk: its directory and its open search.
struct Level {
  std::u16string directoryPath;
  UniqueSearch search;
  DirectoryEntry entry;
};

}  // namespace

bool IsDotEntry(std::u16string_view name) { return name == u"." || name == u".."; }

// Depth first, in listing order, with each level's search held open while
// its subdirectories are walked. The levels live on the heap, so a deeply
// nested tree cannot exhaust the stack.
RepairOutcome WalkComponentDirectory(Console& console, Registry& registry, FileSystem& files,
                                     const ServicingHash& servicingHash, KeyHandle componentKey, std::size_t baseLength,
                                     const std::u16string& directoryPath, RepairMode mode,
                                     std::uint32_t* wrongRecords) {
  RepairOutcome outcome = 0;
  std::vector<Level> levels;

  const auto enter = [&](const std::u16string& path) {
    DirectoryEntry first;
    const SearchHandle search = files.FindFirst((path + u"*").c_str(), &first);
    if (search == SearchHandle::Invalid) return;
    levels.push_back(Level{path, UniqueSearch(files, search), std::move(first)});
  };

  enter(directoryPath);
  while (!levels.empty()) {
    const std::size_t depth = levels.size();
    {
      Level& level = levels.back();
      const DirectoryEntry& entry = level.entry;
      if ((entry.attributes & kFileAttributeReparsePoint) != 0) {
        // Junctions and symbolic links are neither followed nor examined.
      } else if ((entry.attributes & kFileAttributeDirectory) != 0) {
        if (!IsDotEntry(entry.name)) enter(level.directoryPath + entry.name + u"\\");
      } else {
        outcome |= CheckFile(console, registry, files, servicingHash, componentKey, baseLength,
                             level.directoryPath + entry.name, mode, wrongRecords);
      }
    }
    // A level just entered is read first; its parent's next entry is fetched once it is done.
    if (levels.size() > depth) continue;
    while (!levels.empty() && !files.FindNext(levels.back().search.Get(), &levels.back().entry)) {
      levels.pop_back();
    }
  }
  return outcome;
}

}  // namespace tessaly
