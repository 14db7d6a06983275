#include "tools/image_layout/windows_image.h"

#include <utility>

#include "servicing/servicing_hash.h"
#include "tools/image/pe_writer.h"

namespace tessaly::image {
namespace {

constexpr char kServicingStackVersion[] = "10.0.19041.3636";
constexpr char kServicingStackDirectory[] =
    "amd64_microsoft-windows-servicingstack_31bf3856ad364e35_10.0.19041.3636_none_7e2fdbbdb47e9e4b";
constexpr char16_t kServicingStackPath[] =
    u"%SystemRoot%\\WinSxS\\amd64_microsoft-windows-servicingstack_31bf3856ad364e35_10.0.19041.3636_none_"
    u"7e2fdbbdb47e9e4b";

}  // namespace

ImagePaths CreateImageDirectories(const std::filesystem::path& outDir) {
  ImagePaths paths;
  paths.windows = outDir / "Windows";
  const std::filesystem::path config = paths.windows / "System32" / "config";
  paths.software = config / "SOFTWARE";
  paths.components = config / "COMPONENTS";
  paths.winSxS = paths.windows / "WinSxS";
  std::filesystem::create_directories(config);
  std::filesystem::create_directories(paths.winSxS);
  return paths;
}

HiveKey SoftwareHive() {
  HiveKey windowsNtCurrentVersion{"CurrentVersion",
                                  {DwordValue("CurrentMajorVersionNumber", 10),
                                   DwordValue("CurrentMinorVersionNumber", 0)},
                                  {}};
  HiveKey servicingVersion{"Version", {ExpandStringValue(kServicingStackVersion, kServicingStackPath)}, {}};
  HiveKey windowsCurrentVersion{
      "CurrentVersion", {}, {HiveKey{"Component Based Servicing", {}, {std::move(servicingVersion)}}}};
  HiveKey microsoft{"Microsoft",
                    {},
                    {HiveKey{"Windows", {}, {std::move(windowsCurrentVersion)}},
                     HiveKey{"Windows NT", {}, {std::move(windowsNtCurrentVersion)}}}};
  return HiveKey{"ROOT", {}, {std::move(microsoft)}};
}

bool WriteServicingStack(const ImagePaths& paths) {
  const std::filesystem::path directory = paths.winSxS / kServicingStackDirectory;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  return !error && WritePeDll(directory / "wcp.dll", {kHashExportName, kDowncaseExportName});
}

HiveKey ComponentsHive(std::vector<HiveKey> componentKeys) {
  HiveKey components{"Components", {}, std::move(componentKeys)};
  return HiveKey{"ROOT", {}, {HiveKey{"DerivedData", {}, {std::move(components)}}}};
}

}  // namespace tessaly::image
