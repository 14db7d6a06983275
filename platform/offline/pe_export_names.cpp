#include "platform/offline/pe_export_names.h"

#include <algorithm>

namespace tessaly::offline {
namespace {

constexpr std::uint16_t kDosSignature = 0x5A4D;        // "MZ"
constexpr std::uint32_t kNtSignature = 0x00004550;     // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::size_t kNtHeaderOffsetField = 0x3C;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kExportDirectorySize = 40;

using Bytes = std::span<const std::uint8_t>;

std::optional<std::uint16_t> Read16(Bytes bytes, std::uint64_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 2) return std::nullopt;
  return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

std::optional<std::uint32_t> Read32(Bytes bytes, std::uint64_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return std::nullopt;
  return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

// A stretch of the image's address space that the file holds: the headers,
// or the raw data of one section.
struct MappedRange {
  std::uint64_t virtualAddress;
  std::uint64_t fileOffset;
  std::uint64_t size;
};

class ImageLayout {
 public:
  ImageLayout(Bytes file, std::vector<MappedRange> ranges) : file_(file), ranges_(std::move(ranges)) {}

  // The file's bytes from rva to the end of the range that holds it; empty
  // when no range does.
  Bytes AtRva(std::uint32_t rva) const {
    for (const MappedRange& range : ranges_) {
      if (rva >= range.virtualAddress && rva - range.virtualAddress < range.size) {
        const std::uint64_t delta = rva - range.virtualAddress;
        return file_.subspan(range.fileOffset + delta, range.size - delta);
      }
    }
    return {};
  }

 private:
  Bytes file_;
  std::vector<MappedRange> ranges_;
};

// Adds the part of [offset, offset + size) that lies inside the file.
void AddRange(Bytes file, std::uint64_t virtualAddress, std::uint64_t offset, std::uint64_t size,
              std::vector<MappedRange>* ranges) {
  if (offset >= file.size()) return;
  size = std::min<std::uint64_t>(size, file.size() - offset);
  if (size != 0) ranges->push_back(MappedRange{virtualAddress, offset, size});
}

std::optional<std::string> ReadName(const ImageLayout& layout, std::uint32_t rva) {
  const Bytes text = layout.AtRva(rva);
  const auto end = std::find(text.begin(), text.end(), std::uint8_t{0});
  if (end == text.end()) return std::nullopt;
  return std::string(text.begin(), end);
}

}  // namespace

std::optional<std::vector<std::string>> ReadPeExportNames(Bytes file) {
  if (Read16(file, 0) != kDosSignature) return std::nullopt;
  const std::optional<std::uint32_t> ntOffset = Read32(file, kNtHeaderOffsetField);
  if (!ntOffset || Read32(file, *ntOffset) != kNtSignature) return std::nullopt;

  const std::uint64_t fileHeader = std::uint64_t{*ntOffset} + 4;
  const std::optional<std::uint16_t> sectionCount = Read16(file, fileHeader + 2);
  const std::optional<std::uint16_t> optionalHeaderSize = Read16(file, fileHeader + 16);
  if (!sectionCount || !optionalHeaderSize) return std::nullopt;

  const std::uint64_t optionalHeader = fileHeader + kFileHeaderSize;
  const std::optional<std::uint16_t> magic = Read16(file, optionalHeader);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return std::nullopt;
  const std::uint64_t directoryCountField = magic == kPe32Magic ? 92 : 108;
  const std::optional<std::uint32_t> headersSize = Read32(file, optionalHeader + 60);
  const std::optional<std::uint32_t> directoryCount = Read32(file, optionalHeader + directoryCountField);
  if (!headersSize || !directoryCount || directoryCountField + 4 > *optionalHeaderSize) return std::nullopt;

  // The export table is data directory 0; an image without one exports nothing.
  const std::uint64_t exportDirectoryEntry = directoryCountField + 4;
  if (*directoryCount == 0 || exportDirectoryEntry + 8 > *optionalHeaderSize) return std::vector<std::string>{};
  const std::optional<std::uint32_t> exportRva = Read32(file, optionalHeader + exportDirectoryEntry);
  if (!exportRva) return std::nullopt;
  if (*exportRva == 0) return std::vector<std::string>{};

  std::vector<MappedRange> ranges;
  AddRange(file, 0, 0, *headersSize, &ranges);
  const std::uint64_t sectionTable = optionalHeader + *optionalHeaderSize;
  for (std::uint64_t i = 0; i < *sectionCount; ++i) {
    const std::uint64_t header = sectionTable + i * kSectionHeaderSize;
    const std::optional<std::uint32_t> virtualSize = Read32(file, header + 8);
    const std::optional<std::uint32_t> virtualAddress = Read32(file, header + 12);
    const std::optional<std::uint32_t> rawSize = Read32(file, header + 16);
    const std::optional<std::uint32_t> rawOffset = Read32(file, header + 20);
    if (!virtualSize || !virtualAddress || !rawSize || !rawOffset) return std::nullopt;
    // Beyond its raw data a section is zero-filled in memory; names are never there.
    const std::uint32_t mappedSize = *virtualSize == 0 ? *rawSize : std::min(*virtualSize, *rawSize);
    AddRange(file, *virtualAddress, *rawOffset, mappedSize, &ranges);
  }
  const ImageLayout layout(file, std::move(ranges));

  const Bytes exportDirectory = layout.AtRva(*exportRva);
  if (exportDirectory.size() < kExportDirectorySize) return std::nullopt;
  const std::uint32_t nameCount = *Read32(exportDirectory, 24);
  const std::uint32_t namesRva = *Read32(exportDirectory, 32);
  if (nameCount == 0) return std::vector<std::string>{};

  const Bytes nameTable = layout.AtRva(namesRva);
  if (nameTable.size() / 4 < nameCount) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(nameCount);
  for (std::uint32_t i = 0; i < nameCount; ++i) {
    std::optional<std::string> name = ReadName(layout, *Read32(nameTable, std::uint64_t{i} * 4));
    if (!name) return std::nullopt;
    names.push_back(std::move(*name));
  }
  return names;
}

}  // namespace tessaly::offline
