#include "tools/image/pe_writer.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/tools/temp_dir.h"

namespace tessaly::image {
namespace {

struct PipeCloser {
  void operator()(FILE* pipe) const { pclose(pipe); }
};

// What MinGW's objdump reports about a PE file.
std::string ObjdumpPrivateHeaders(const std::filesystem::path& file) {
  const std::string command = std::string(TESSALY_MINGW_OBJDUMP) + " -p '" + file.string() + "' 2>&1";
  const std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
  std::string out;
  char buffer[4096];
  while (pipe && fgets(buffer, sizeof buffer, pipe.get()) != nullptr) out += buffer;
  return out;
}

// The names of the "[Ordinal/Name Pointer] Table", in table order.
std::vector<std::string> ExportedNames(const std::string& headers) {
  std::vector<std::string> names;
  const std::size_t table = headers.find("[Ordinal/Name Pointer] Table");
  if (table == std::string::npos) return names;
  std::size_t line = headers.find('\n', table);
  while (line != std::string::npos && line + 1 < headers.size()) {
    const std::size_t end = headers.find('\n', line + 1);
    const std::string text = headers.substr(line + 1, end - line - 1);
    const std::size_t bracket = text.find(']');
    if (text.find('[') == std::string::npos || bracket == std::string::npos) break;
    names.push_back(text.substr(bracket + 2));
    line = end;
  }
  return names;
}

struct ExportCase {
  const char* label;
  std::vector<std::string> names;
  std::vector<std::string> expectedTable;  // sorted, as the loader searches it
};

void PrintTo(const ExportCase& exportCase, std::ostream* out) { *out << exportCase.label; }

class PeWriterTest : public testing::TestWithParam<ExportCase> {
 protected:
  void SetUp() override {
    if (std::string(TESSALY_MINGW_OBJDUMP).empty()) GTEST_SKIP() << "x86_64-w64-mingw32-objdump not installed";
  }
  TempDir dir_;
};

TEST_P(PeWriterTest, ObjdumpListsExactlyTheExports) {
  const std::filesystem::path file = dir_.Path() / "wcp.dll";
  ASSERT_TRUE(WritePeDll(file, GetParam().names));
  const std::string headers = ObjdumpPrivateHeaders(file);
  EXPECT_NE(headers.find("file format pei-x86-64"), std::string::npos) << headers;
  EXPECT_NE(headers.find("\tDLL\n"), std::string::npos) << "IMAGE_FILE_DLL not set:\n" << headers;
  EXPECT_EQ(headers.find("warning"), std::string::npos) << headers;
  EXPECT_NE(headers.find(" wcp.dll\n"), std::string::npos) << "DLL name missing:\n" << headers;
  EXPECT_EQ(ExportedNames(headers), GetParam().expectedTable) << headers;
}

std::vector<std::string> ManyNames() {
  std::vector<std::string> names;
  for (int i = 99; i >= 0; --i) names.push_back("Export" + std::to_string(i));
  return names;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(
    Exports, PeWriterTest,
    testing::Values(
        ExportCase{"ServicingStack",
                   {"RtlHashLUnicodeString", "RtlDowncaseUCSCharacter"},
                   {"RtlDowncaseUCSCharacter", "RtlHashLUnicodeString"}},
        ExportCase{"HashOnly", {"RtlHashLUnicodeString"}, {"RtlHashLUnicodeString"}},
        ExportCase{"Many", ManyNames(), Sorted(ManyNames())}),
    [](const testing::TestParamInfo<ExportCase>& info) { return info.param.label; });

TEST(PeWriterRejectsTest, EmptyOrRepeatedNamesThrowBeforeWriting) {
  TempDir dir;
  EXPECT_THROW(WritePeDll(dir.Path() / "a.dll", {"Same", "Other", "Same"}), std::invalid_argument);
  EXPECT_THROW(WritePeDll(dir.Path() / "a.dll", {"Name", ""}), std::invalid_argument);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "a.dll"));
}

TEST(PeWriterIoTest, UnwritablePathReturnsFalse) {
  TempDir dir;
  EXPECT_FALSE(WritePeDll(dir.Path() / "missing" / "wcp.dll", {"RtlHashLUnicodeString"}));
}

}  // namespace
}  // namespace tessaly::image
