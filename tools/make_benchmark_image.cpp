// make_benchmark_image OUT_DIR [--components N] [--files M] [--dirty]
//
// Writes an offline Windows 10 image of realistic size under OUT_DIR/Windows:
// N components (20,000 by default) sharing M files (100,000 by default).
// Every file has a record; one record in ten claims a stored form (DCD and
// DCS in turn) and one claim in ten of those is false, so one file in a
// hundred gets repaired. A quarter of the files lie in a subdirectory, and
// names over 25 characters and names with underscores are mixed in, so many
// records carry a hash suffix. Each component also holds a 2 KiB binary value,
// as real component keys hold their identity, which brings the COMPONENTS
// hive to tens of MiB, and one component in a thousand a 20 to 40 KiB value,
// which Windows keeps as big data. Both hives are written in one pass, laid
// out as Windows 10 writes them. With --dirty, the COMPONENTS hive is left as
// after a power loss: its newest pages only in COMPONENTS.LOG1 and .LOG2.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "tools/image/log_writer.h"
#include "tools/image_layout/component.h"
#include "tools/image_layout/windows_image.h"

namespace tessaly::image {
namespace {

constexpr std::size_t kIdentitySize = 2048;
constexpr std::uint32_t kComponentsPerManifest = 1000;
constexpr std::size_t kSmallestManifest = 20 * 1024;
constexpr std::uint32_t kOtherRecordBits = 0x100;
constexpr std::uint32_t kClaimDcd = 0x02;
constexpr std::uint32_t kClaimDcs = 0x20;

struct Options {
  std::filesystem::path outDir;
  std::uint32_t components = 20000;
  std::uint32_t files = 100000;
  bool dirty = false;
};

// Each of the two log entries holds 1 MiB of pages, about what a busy
// servicing session leaves unflushed.
constexpr std::size_t kDirtyPagesPerEntry = 256;

bool ParseCount(std::string_view text, std::uint32_t* count) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), *count);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && *count > 0;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  if (argc < 2) return false;
  options->outDir = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--dirty") {
      options->dirty = true;
    } else if (i + 1 == argc) {
      return false;
    } else if (flag == "--components") {
      if (!ParseCount(argv[++i], &options->components)) return false;
    } else if (flag == "--files") {
      if (!ParseCount(argv[++i], &options->files)) return false;
    } else {
      return false;
    }
  }
  return true;
}

std::string Hex16(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// A fixed, well-mixed sequence so that the image is the same on every run.
std::uint64_t Mix(std::uint64_t value) {
  value += 0x9E3779B97F4A7C15;
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EB;
  return value ^ (value >> 31);
}

// File names are unique across the store. The kind of name is drawn from the
// mixed index, so that it is independent of which files carry claims: a
// quarter lie in a subdirectory, a tenth have a name over 25 characters and a
// tenth an underscore.
std::u16string FileName(std::uint32_t fileIndex) {
  const std::uint64_t draw = Mix(fileIndex);
  const std::string number = std::to_string(fileIndex);
  std::string name;
  switch ((draw >> 8) % 10) {
    case 0:
      name = "microsoft-windows-component-payload-" + number + ".dll";
      break;
    case 1:
      name = "setup_helper_" + number + ".dll";
      break;
    default:
      name = "f" + number + ".dll";
  }
  if (draw % 4 == 0) name = "en-US\\" + name;
  return Ascii(name);
}

// Record and contents of the file with the given store-wide index.
ComponentFile MakeFile(std::uint32_t fileIndex) {
  ComponentFile file{FileName(fileIndex), std::string(64, '\x5A'), kOtherRecordBits};
  file.contents.replace(0, 2, "MZ");
  if (fileIndex % 10 == 0) {
    const std::uint32_t claim = (fileIndex / 10) % 2 == 0 ? kClaimDcd : kClaimDcs;
    *file.record |= claim;
    const bool claimHolds = (fileIndex / 10) % 10 != 9;
    if (claimHolds) file.contents.replace(0, 3, claim == kClaimDcd ? "DCD" : "DCS");
  }
  return file;
}

// `size` bytes drawn from the mixed sequence, starting at `seed`.
std::vector<std::uint8_t> MixedBytes(std::uint64_t seed, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(Mix(seed + i / 8) >> (8 * (i % 8)));
  return bytes;
}

Component MakeComponent(std::uint32_t index, std::uint32_t firstFile, std::uint32_t fileCount) {
  char number[16];
  std::snprintf(number, sizeof number, "%05u", index);
  Component component;
  component.name = std::string("amd64_microsoft-windows-benchmark-c") + number +
                   "_31bf3856ad364e35_10.0.19041.3636_none_" + Hex16(Mix(index));
  component.values = {DwordValue("CF", 0x200),
                      BinaryValue("identity", MixedBytes(std::uint64_t{index} * kIdentitySize, kIdentitySize))};
  if (index % kComponentsPerManifest == 0) {
    const std::size_t size = kSmallestManifest + Mix(~std::uint64_t{index}) % kSmallestManifest;
    component.values.push_back(BinaryValue("manifest", MixedBytes(~std::uint64_t{index} << 20, size)));
  }
  for (std::uint32_t k = 0; k < fileCount; ++k) component.files.push_back(MakeFile(firstFile + k));
  return component;
}

int MakeBenchmarkImage(const Options& options) {
  const ImagePaths paths = CreateImageDirectories(options.outDir);
  std::vector<HiveKey> componentKeys;
  componentKeys.reserve(options.components);
  std::uint32_t nextFile = 0;
  for (std::uint32_t index = 0; index < options.components; ++index) {
    const std::uint32_t fileCount =
        options.files / options.components + (index < options.files % options.components ? 1 : 0);
    const Component component = MakeComponent(index, nextFile, fileCount);
    WriteComponentDirectory(paths.winSxS, component);
    componentKeys.push_back(ComponentKey(component));
    nextFile += fileCount;
  }
  if (!WriteServicingStack(paths) || !WriteHive(paths.software, SoftwareHive()) ||
      !WriteHive(paths.components, ComponentsHive(std::move(componentKeys)))) {
    std::fprintf(stderr, "make_benchmark_image: cannot write the image\n");
    return 1;
  }
  DirtyHiveShape shape;
  shape.pagesPerEntry = kDirtyPagesPerEntry;
  if (options.dirty && !MakeHiveFileDirty(paths.components, shape)) {
    std::fprintf(stderr, "make_benchmark_image: cannot make the hive dirty\n");
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace tessaly::image

int main(int argc, char** argv) {
  tessaly::image::Options options;
  if (!tessaly::image::ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: make_benchmark_image OUT_DIR [--components N] [--files M] [--dirty]\n");
    return 2;
  }
  try {
    return tessaly::image::MakeBenchmarkImage(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_benchmark_image: %s\n", error.what());
    return 1;
  }
}
