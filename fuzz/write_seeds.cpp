// Writes the starting corpus of the fuzz targets: well-formed DLLs, and
// hives with their logs, from the image writers, which the fuzzer then
// mutates. A hive seed is laid out as the hive reader target reads its
// input: the lengths of the hive file and of LOG1, then the hive file, LOG1
// and LOG2.
//   write_seeds OUTPUT_DIRECTORY

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <span>
#include <vector>

#include "tools/image/hive_writer.h"
#include "tools/image/log_writer.h"
#include "tools/image/pe_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace tessaly::image;

std::vector<std::uint8_t> ReadBytes(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

void AppendLength(std::vector<std::uint8_t>* seed, std::size_t length) {
  for (int shift = 0; shift < 32; shift += 8) seed->push_back(static_cast<std::uint8_t>(length >> shift));
}

bool WriteHiveSeed(const fs::path& seed, std::span<const std::uint8_t> file, std::span<const std::uint8_t> log1,
                   std::span<const std::uint8_t> log2) {
  std::vector<std::uint8_t> bytes;
  AppendLength(&bytes, file.size());
  AppendLength(&bytes, log1.size());
  for (const auto part : {file, log1, log2}) bytes.insert(bytes.end(), part.begin(), part.end());
  std::ofstream stream(seed, std::ios::binary);
  stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(stream);
}

// A clean hive alone, and the same hive dirty with both its logs.
bool WriteHiveSeeds(const fs::path& directory, const std::string& name, const HiveKey& root) {
  const fs::path hive = directory / (name + ".hive");
  if (!WriteHive(hive, root)) return false;
  const std::vector<std::uint8_t> clean = ReadBytes(hive);
  fs::remove(hive);
  const DirtyHive dirty = MakeDirtyHive(clean, DirtyHiveShape{.log1Entries = 2, .log2Entries = 1});
  return WriteHiveSeed(directory / name, clean, {}, {}) &&
         WriteHiveSeed(directory / (name + "-dirty"), dirty.primary, WriteLog(dirty.primary, dirty.log1),
                       WriteLog(dirty.primary, dirty.log2));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: write_seeds OUTPUT_DIRECTORY\n";
    return 2;
  }
  const fs::path output = argv[1];
  fs::create_directories(output / "pe_export_names");
  fs::create_directories(output / "hive_reader");
  const bool written =
      WritePeDll(output / "pe_export_names" / "wcp.dll", {"RtlHashLUnicodeString", "RtlDowncaseUCSCharacter"}) &&
      WritePeDll(output / "pe_export_names" / "one-export.dll", {"WcpInitialize"}) &&
      WritePeDll(output / "pe_export_names" / "no-exports.dll", {}) &&
      WriteHiveSeeds(output / "hive_reader", "empty-root", HiveKey{"ROOT", {}, {}}) &&
      WriteHiveSeeds(
          output / "hive_reader", "components",
          HiveKey{"ROOT", {}, {{"DerivedData", {}, {{"Components", {}, {{"c", {DwordValue("CF", 0x200)}, {}}}}}}}});
  return written ? 0 : 1;
}
