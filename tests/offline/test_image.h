// A Windows installation laid out in a temporary folder, as the offline
// tool finds one on a mounted disk: Windows/System32/config/{SOFTWARE,
// COMPONENTS}, Windows/WinSxS/<component>/..., and the servicing stack
// directory with its wcp.dll. Each test builds its own, changes what it
// needs before Write(), and the folder goes away with the object.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/image/hive_writer.h"
#include "tools/image_layout/component.h"

namespace tessaly::offline_test {

namespace fs = std::filesystem;

inline constexpr char kServicingStackDirectory[] =
    "amd64_microsoft-windows-servicingstack_31bf3856ad364e35_10.0.19041.1_none_7e3a5c8a8e4b2f11";

// The child of key named `name`, added when it is not there yet.
image::HiveKey& Subkey(image::HiveKey& key, const std::string& name);

class TestImage {
 public:
  // A healthy Windows 10 image with no components yet.
  TestImage();
  // Under a Windows directory at `windowsRelativePath` below the temporary
  // folder instead of "Windows".
  explicit TestImage(const fs::path& windowsRelativePath);
  TestImage(const TestImage&) = delete;
  TestImage& operator=(const TestImage&) = delete;
  ~TestImage();

  const fs::path& Root() const { return root_; }
  const fs::path& WindowsDirectory() const { return windows_; }
  fs::path ConfigDirectory() const { return windows_ / "System32" / "config"; }
  fs::path HivePath() const { return ConfigDirectory() / "COMPONENTS"; }
  fs::path WinSxS() const { return windows_ / "WinSxS"; }

  // The hive contents, written by Write().
  image::HiveKey software{"CMI-CreateHive{199DAFC2-6F16-4946-BF90-5A3FC3A60902}", {}, {}};
  image::HiveKey components{"CMI-CreateHive{D3B8B5C8-34B8-4F66-9A23-5C4B17C6C4E1}", {}, {}};
  // Names exported by the servicing stack's wcp.dll.
  std::vector<std::string> wcpExports = {"RtlHashLUnicodeString", "RtlDowncaseUCSCharacter"};

  image::HiveKey& CurrentVersion() { return Subkey(Subkey(Subkey(software, "Microsoft"), "Windows NT"), "CurrentVersion"); }
  image::HiveKey& ServicingVersion();
  image::HiveKey& ComponentList() { return Subkey(Subkey(components, "DerivedData"), "Components"); }

  // Adds a component key (with the given values) under DerivedData\Components.
  image::HiveKey& AddComponent(const std::string& name, std::vector<image::HiveValue> values);
  // Writes a file below WinSxS, creating its directories.
  void AddFile(const fs::path& pathBelowWinSxS, std::string_view contents) const;

  // Writes both hives and wcp.dll.
  void Write() const;

 private:
  fs::path root_;
  fs::path windows_;
};

// The "f!" record name of a file at a relative path in its component directory.
using image::RecordName;

// The whole file, as bytes in a string.
std::string ReadFileBytes(const fs::path& file);

// Every regular file directly in folder, by name, with its bytes: what a run
// left there, hive and backups included.
std::map<std::string, std::string> FolderContents(const fs::path& folder);

// The line a successful repair of the file at pathBelowWinSxS ("\" or "/"
// between names) prints: the file's Linux path, below the Windows directory
// as given.
std::string RepairedLine(const TestImage& image, std::string_view pathBelowWinSxS);
// The line a dry run prints for the same file.
std::string ListedLine(const TestImage& image, std::string_view pathBelowWinSxS);
// The line for a file whose record could not be rewritten; hr as printed.
std::string FailedLine(const TestImage& image, std::string_view pathBelowWinSxS, std::string_view hr);

// The closing summaries, support contact included.
std::string NothingFoundSummary();
std::string RepairedSummary();
std::string RepairedWithProblemsSummary();
std::string DryRunSummary(int wrongRecords);

}  // namespace tessaly::offline_test
