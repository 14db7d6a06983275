// make_sample_image OUT_DIR
//
// Writes a small offline Windows 10 image under OUT_DIR/Windows whose
// component store holds one example of each case the repair meets. Both
// hives start as empty hives and are filled through hivex, as a registry
// editor would fill them.
//
// What one repair run over the image should do (records named as the repair
// names them):
//
//   notepad (CF 0x200)
//     notepad.exe               0x02 on "DCD"          kept
//     en-US\notepad.exe.mui     0x02 on "MZ"           -> 0x00  (subdirectory)
//     Help\en-US\index.htm      0x20 on "<!"           -> 0x00  (two levels down)
//   kernelbase (CF 0x201)
//     KernelBase.dll            0x20 on "DCS"          kept
//     kernel32.dll              0x20 on "DCD"          -> 0x00
//     api-ms-win-core-processthreads-l1-1-3.dll
//                               0x02 on "MZ"           -> 0x00  (name over 25 characters)
//     wow64_thunks.dll          0x0102 on "MZ"         -> 0x0100 (underscore; other bits kept)
//     ko.mui                    0x02, two bytes        kept  (too short to hold a header)
//     empty.dat                 0x20, empty            kept
//   shell32 (CF 0x200)
//     shell32.dll               0x20 on "MZ"           -> 0x00
//     shell32.dll.mun           0x22 on "DCS"          -> 0x20
//     windows.storage.dll       0x22 on "DCD"          kept
//     lower.dat                 0x02 on "dcd"          -> 0x00  (the comparison is exact)
//     imageres.dll              no record              nothing
//     readme.txt                REG_BINARY 02000000    nothing
//     shell32.lnk.dll           symbolic link, 0x02    kept  (links are not followed)
//   wordpad (CF 0x100)          0x02 on "MZ"           passed over: CF lacks 0x200
//   mspaint (CF 0x200, DV)      0x02 on "MZ"           passed over: DV present
//   snippingtool (CF REG_BINARY with 0x200)
//                               0x02 on "MZ"           passed over: CF not a REG_DWORD
//
// Eight records are rewritten, none fails: the run ends with the summary for
// outcome 1 and exit code 0. No record claims both forms falsely (such a
// record needs two runs), so a second run finds nothing.

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/image_layout/component.h"
#include "tools/image_layout/fill_hive_through_hivex.h"
#include "tools/image_layout/windows_image.h"

namespace tessaly::image {
namespace {

constexpr char kDcd[] = "DCD";
constexpr char kDcs[] = "DCS";
constexpr char kPe[] = "MZ";

std::string Contents(const char* header) { return std::string(header) + std::string(61, '\x5A'); }

std::string Name(const char* component, const char* hash) {
  return std::string("amd64_microsoft-windows-") + component + "_31bf3856ad364e35_10.0.19041.3636_none_" + hash;
}

std::vector<Component> SampleComponents() {
  std::vector<Component> components;
  components.push_back({Name("notepad", "2f1c4a8b93d7e605"),
                        {DwordValue("CF", 0x200)},
                        {{u"notepad.exe", Contents(kDcd), 0x02},
                         {u"en-US\\notepad.exe.mui", Contents(kPe), 0x02},
                         {u"Help\\en-US\\index.htm", Contents("<!"), 0x20}},
                        {}});
  components.push_back({Name("kernelbase", "6b0e2d91c4f3a857"),
                        {DwordValue("CF", 0x201)},
                        {{u"KernelBase.dll", Contents(kDcs), 0x20},
                         {u"kernel32.dll", Contents(kDcd), 0x20},
                         {u"api-ms-win-core-processthreads-l1-1-3.dll", Contents(kPe), 0x02},
                         {u"wow64_thunks.dll", Contents(kPe), 0x0102},
                         {u"ko.mui", "MZ", 0x02},
                         {u"empty.dat", "", 0x20}},
                        {}});
  Component shell32{Name("shell32", "d48a7c0e15b92f36"),
                    {DwordValue("CF", 0x200)},
                    {{u"shell32.dll", Contents(kPe), 0x20},
                     {u"shell32.dll.mun", Contents(kDcs), 0x22},
                     {u"windows.storage.dll", Contents(kDcd), 0x22},
                     {u"lower.dat", Contents("dcd"), 0x02},
                     {u"imageres.dll", Contents(kPe), std::nullopt},
                     {u"readme.txt", Contents(kPe), std::nullopt}},
                    {{u"shell32.lnk.dll", u"shell32.dll", 0x02}}};
  shell32.values.push_back(BinaryValue(RecordName(u"readme.txt"), {0x02, 0x00, 0x00, 0x00}));
  components.push_back(std::move(shell32));
  components.push_back({Name("wordpad", "93e5f07a2c6d1b48"),
                        {DwordValue("CF", 0x100)},
                        {{u"wordpad.exe", Contents(kPe), 0x02}},
                        {}});
  components.push_back({Name("mspaint", "0a7d3f6e58c21b94"),
                        {DwordValue("CF", 0x200), DwordValue("DV", 1)},
                        {{u"mspaint.exe", Contents(kPe), 0x02}},
                        {}});
  components.push_back({Name("snippingtool", "c1f8e2b7a4956d03"),
                        {BinaryValue("CF", {0x00, 0x02, 0x00, 0x00})},
                        {{u"SnippingTool.exe", Contents(kPe), 0x02}},
                        {}});
  return components;
}

int MakeSampleImage(const std::filesystem::path& outDir) {
  const ImagePaths paths = CreateImageDirectories(outDir);
  std::vector<HiveKey> componentKeys;
  for (const Component& component : SampleComponents()) {
    WriteComponentDirectory(paths.winSxS, component);
    componentKeys.push_back(ComponentKey(component));
  }
  if (!WriteServicingStack(paths)) {
    std::fprintf(stderr, "make_sample_image: cannot write the servicing stack\n");
    return 1;
  }
  if (!FillHiveThroughHivex(paths.software, SoftwareHive()) ||
      !FillHiveThroughHivex(paths.components, ComponentsHive(std::move(componentKeys)))) {
    std::fprintf(stderr, "make_sample_image: cannot write the hives\n");
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace tessaly::image

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample_image OUT_DIR\n");
    return 2;
  }
  try {
    return tessaly::image::MakeSampleImage(argv[1]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_sample_image: %s\n", error.what());
    return 1;
  }
}
