#include "tools/image/pe_writer.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <stdexcept>

namespace tessaly::image {
namespace {

constexpr std::uint32_t kFileAlignment = 0x200;
constexpr std::uint32_t kSectionAlignment = 0x1000;
constexpr std::uint32_t kPeHeaderOffset = 0x40;
constexpr std::uint32_t kHeadersSize = 0x200;  // all headers fit the first file-aligned block
constexpr std::uint32_t kSectionRva = 0x1000;
constexpr std::uint64_t kImageBase = 0x180000000;

constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kFileExecutableImage = 0x0002;
constexpr std::uint16_t kFileLargeAddressAware = 0x0020;
constexpr std::uint16_t kFileDll = 0x2000;
constexpr std::uint16_t kOptionalHeaderMagicPe32Plus = 0x20B;
constexpr std::uint16_t kSubsystemWindowsCui = 3;
constexpr std::uint16_t kDllNxCompatible = 0x0100;
constexpr std::uint32_t kDataDirectoryCount = 16;
constexpr std::uint32_t kOptionalHeaderSize = 112 + 8 * kDataDirectoryCount;
constexpr std::uint32_t kSectionCode = 0x00000020;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionRead = 0x40000000;

constexpr std::uint32_t RoundUp(std::uint32_t size, std::uint32_t alignment) {
  return (size + alignment - 1) / alignment * alignment;
}

// Little-endian image bytes, written at given offsets.
class Image {
 public:
  explicit Image(std::size_t size) : bytes_(size) {}
  void U16(std::size_t at, std::uint16_t value) { Little(at, value, 2); }
  void U32(std::size_t at, std::uint32_t value) { Little(at, value, 4); }
  void U64(std::size_t at, std::uint64_t value) { Little(at, value, 8); }
  void Text(std::size_t at, const std::string& text) { std::copy(text.begin(), text.end(), bytes_.begin() + at); }
  const std::vector<std::uint8_t>& Get() const { return bytes_; }

 private:
  void Little(std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes_[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

bool WritePeDll(const std::filesystem::path& file, const std::vector<std::string>& exportNames) {
  std::vector<std::string> names = exportNames;
  // The loader looks names up by binary search, so the name table is sorted.
  std::sort(names.begin(), names.end());
  if (std::adjacent_find(names.begin(), names.end()) != names.end()) {
    throw std::invalid_argument("export name repeated");
  }
  if (std::any_of(names.begin(), names.end(), [](const std::string& name) { return name.empty(); })) {
    throw std::invalid_argument("empty export name");
  }
  const std::string dllName = file.filename().string();
  const auto count = static_cast<std::uint32_t>(names.size());

  // The one section: a stub every export points at (xor eax, eax; ret), then
  // the export directory, its three tables and the strings.
  constexpr std::uint32_t kStubSize = 16;
  constexpr std::uint32_t kExportDirectorySize = 40;
  const std::uint32_t exportDirectory = kStubSize;
  const std::uint32_t functionTable = exportDirectory + kExportDirectorySize;
  const std::uint32_t nameTable = functionTable + 4 * count;
  const std::uint32_t ordinalTable = nameTable + 4 * count;
  const std::uint32_t dllNameString = ordinalTable + 2 * count;
  std::uint32_t sectionSize = dllNameString + static_cast<std::uint32_t>(dllName.size()) + 1;
  std::vector<std::uint32_t> nameStrings;
  for (const std::string& name : names) {
    nameStrings.push_back(sectionSize);
    sectionSize += static_cast<std::uint32_t>(name.size()) + 1;
  }
  const std::uint32_t rawSize = RoundUp(sectionSize, kFileAlignment);
  const std::uint32_t imageSize = kSectionRva + RoundUp(sectionSize, kSectionAlignment);

  Image image(kHeadersSize + rawSize);

  image.Text(0, "MZ");
  image.U32(0x3C, kPeHeaderOffset);  // e_lfanew

  const std::size_t coff = kPeHeaderOffset + 4;
  image.Text(kPeHeaderOffset, "PE");
  image.U16(coff + 0, kMachineAmd64);
  image.U16(coff + 2, 1);  // sections
  image.U16(coff + 16, kOptionalHeaderSize);
  image.U16(coff + 18, kFileExecutableImage | kFileLargeAddressAware | kFileDll);

  const std::size_t optional = coff + 20;
  image.U16(optional + 0, kOptionalHeaderMagicPe32Plus);
  image.U32(optional + 4, rawSize);        // size of code
  image.U32(optional + 16, 0);             // no entry point: nothing runs on load
  image.U32(optional + 20, kSectionRva);   // base of code
  image.U64(optional + 24, kImageBase);
  image.U32(optional + 32, kSectionAlignment);
  image.U32(optional + 36, kFileAlignment);
  image.U16(optional + 40, 6);  // operating system version 6.0
  image.U16(optional + 48, 6);  // subsystem version 6.0
  image.U32(optional + 56, imageSize);
  image.U32(optional + 60, kHeadersSize);
  image.U16(optional + 68, kSubsystemWindowsCui);
  image.U16(optional + 70, kDllNxCompatible);
  image.U64(optional + 72, 0x100000);  // stack reserve
  image.U64(optional + 80, 0x1000);    // stack commit
  image.U64(optional + 88, 0x100000);  // heap reserve
  image.U64(optional + 96, 0x1000);    // heap commit
  image.U32(optional + 108, kDataDirectoryCount);
  const std::size_t exportDataDirectory = optional + 112;
  image.U32(exportDataDirectory + 0, kSectionRva + exportDirectory);
  image.U32(exportDataDirectory + 4, sectionSize - exportDirectory);

  const std::size_t sectionHeader = optional + kOptionalHeaderSize;
  image.Text(sectionHeader, ".text");
  image.U32(sectionHeader + 8, sectionSize);  // virtual size
  image.U32(sectionHeader + 12, kSectionRva);
  image.U32(sectionHeader + 16, rawSize);
  image.U32(sectionHeader + 20, kHeadersSize);  // file offset of the raw data
  image.U32(sectionHeader + 36, kSectionCode | kSectionExecute | kSectionRead);

  const std::size_t section = kHeadersSize;
  image.U16(section + 0, 0xC031);  // xor eax, eax
  image.U16(section + 2, 0x00C3);  // ret
  const std::size_t directory = section + exportDirectory;
  image.U32(directory + 12, kSectionRva + dllNameString);
  image.U32(directory + 16, 1);  // ordinal base
  image.U32(directory + 20, count);
  image.U32(directory + 24, count);
  image.U32(directory + 28, kSectionRva + functionTable);
  image.U32(directory + 32, kSectionRva + nameTable);
  image.U32(directory + 36, kSectionRva + ordinalTable);
  image.Text(section + dllNameString, dllName);
  for (std::uint32_t i = 0; i < count; ++i) {
    image.U32(section + functionTable + 4 * i, kSectionRva);
    image.U32(section + nameTable + 4 * i, kSectionRva + nameStrings[i]);
    image.U16(section + ordinalTable + 2 * i, static_cast<std::uint16_t>(i));
    image.Text(section + nameStrings[i], names[i]);
  }

  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.Get().data()), static_cast<std::streamsize>(image.Get().size()));
  out.close();
  return !out.fail();
}

}  // namespace tessaly::image
