// Writes the starting corpus of the fuzz targets: well-formed DLLs and hives
// from the image writers, which the fuzzer then mutates.
//   write_seeds OUTPUT_DIRECTORY

#include <filesystem>
#include <iostream>

#include "tools/image/hive_writer.h"
#include "tools/image/pe_writer.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  using namespace tessaly::image;
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
      WriteHive(output / "hive_reader" / "empty-root", HiveKey{"ROOT", {}, {}}) &&
      WriteHive(output / "hive_reader" / "components",
                HiveKey{"ROOT", {}, {{"DerivedData", {}, {{"Components", {}, {{"c", {DwordValue("CF", 0x200)}, {}}}}}}}});
  return written ? 0 : 1;
}
