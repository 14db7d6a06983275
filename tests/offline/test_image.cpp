#include "test_image.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "app/support_contact.h"
#include "tools/image/pe_writer.h"
#include "tools/image/utf8.h"

namespace tessaly::offline_test {
namespace {

fs::path MakeTemporaryFolder() {
  std::string pattern = (fs::temp_directory_path() / "tessaly-offline-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

}  // namespace

image::HiveKey& Subkey(image::HiveKey& key, const std::string& name) {
  const auto found = std::find_if(key.subkeys.begin(), key.subkeys.end(),
                                  [&](const image::HiveKey& subkey) { return subkey.name == name; });
  if (found != key.subkeys.end()) return *found;
  return key.subkeys.emplace_back(image::HiveKey{name, {}, {}});
}

TestImage::TestImage() : TestImage("Windows") {}

TestImage::TestImage(const fs::path& windowsRelativePath)
    : root_(MakeTemporaryFolder()), windows_(root_ / windowsRelativePath) {
  fs::create_directories(ConfigDirectory());
  fs::create_directories(WinSxS() / kServicingStackDirectory);
  CurrentVersion().values = {image::DwordValue("CurrentMajorVersionNumber", 10),
                             image::DwordValue("CurrentMinorVersionNumber", 0)};
  ServicingVersion().values = {image::ExpandStringValue(
      "10.0.19041.1", u"%SystemRoot%\\WinSxS\\" + image::Utf16FromUtf8(kServicingStackDirectory))};
  ComponentList();
}

TestImage::~TestImage() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

image::HiveKey& TestImage::ServicingVersion() {
  image::HiveKey& currentVersion = Subkey(Subkey(Subkey(software, "Microsoft"), "Windows"), "CurrentVersion");
  return Subkey(Subkey(currentVersion, "Component Based Servicing"), "Version");
}

image::HiveKey& TestImage::AddComponent(const std::string& name, std::vector<image::HiveValue> values) {
  image::HiveKey& component = Subkey(ComponentList(), name);
  component.values = std::move(values);
  return component;
}

void TestImage::AddFile(const fs::path& pathBelowWinSxS, std::string_view contents) const {
  const fs::path file = WinSxS() / pathBelowWinSxS;
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

void TestImage::Write() const {
  if (!image::WriteHive(ConfigDirectory() / "SOFTWARE", software) || !image::WriteHive(HivePath(), components) ||
      !image::WritePeDll(WinSxS() / kServicingStackDirectory / "wcp.dll", wcpExports)) {
    throw std::runtime_error("cannot write the image");
  }
}

std::string ReadFileBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::map<std::string, std::string> FolderContents(const fs::path& folder) {
  std::map<std::string, std::string> contents;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) contents[entry.path().filename().string()] = ReadFileBytes(entry.path());
  }
  return contents;
}

namespace {

std::string FileLine(const TestImage& image, std::string_view pathBelowWinSxS, std::string_view ending) {
  std::string path(pathBelowWinSxS);
  std::replace(path.begin(), path.end(), '\\', '/');
  return "发现 " + (image.WinSxS() / path).string() + std::string(ending);
}

}  // namespace

std::string RepairedLine(const TestImage& image, std::string_view pathBelowWinSxS) {
  return FileLine(image, pathBelowWinSxS, " 存在异常，执行修复成功！\n");
}

std::string ListedLine(const TestImage& image, std::string_view pathBelowWinSxS) {
  return FileLine(image, pathBelowWinSxS, " 存在异常（试运行，未修改）\n");
}

std::string FailedLine(const TestImage& image, std::string_view pathBelowWinSxS, std::string_view hr) {
  return FileLine(image, pathBelowWinSxS, " 存在异常，但执行修复失败，hr=" + std::string(hr) + "！\n");
}

std::string NothingFoundSummary() {
  return "没有发现任何问题，程序不会对系统进行任何更改！如有疑问，请反馈到 QQ群：" +
         image::Utf8FromUtf16(kSupportGroupNumber) + "\n";
}

std::string DryRunSummary(int wrongRecords) {
  return "试运行：发现 " + std::to_string(wrongRecords) + " 处异常，未作任何更改。\n";
}

std::string RepairedSummary() {
  return "修复完成！请确认相关问题是否已经修复。如有疑问，请反馈到 QQ群：" + image::Utf8FromUtf16(kSupportGroupNumber) +
         "\n";
}

std::string RepairedWithProblemsSummary() {
  return "修复完成，但是遇到一些问题，如有疑问，请反馈到 QQ群：" + image::Utf8FromUtf16(kSupportGroupNumber) + "\n";
}

}  // namespace tessaly::offline_test
