#include "tools/image_layout/component.h"

#include <fstream>
#include <system_error>

#include "records/make_file_record_name.h"
#include "servicing/native_path_hash.h"
#include "tools/image/utf8.h"

namespace tessaly::image {
namespace {

std::filesystem::path OnDisk(std::u16string_view windowsPath) {
  std::string path = Utf8FromUtf16(windowsPath);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return std::filesystem::path(path);
}

}  // namespace

std::string RecordName(std::u16string_view relativePath) {
  return Utf8FromUtf16(MakeFileRecordName(relativePath, 0, NativeServicingHash()));
}

HiveKey ComponentKey(const Component& component) {
  HiveKey key{component.name, component.values, {}};
  for (const ComponentFile& file : component.files) {
    if (file.record) key.values.push_back(DwordValue(RecordName(file.relativePath), *file.record));
  }
  for (const ComponentLink& link : component.links) {
    if (link.record) key.values.push_back(DwordValue(RecordName(link.relativePath), *link.record));
  }
  return key;
}

void WriteComponentDirectory(const std::filesystem::path& winSxS, const Component& component) {
  const std::filesystem::path directory = winSxS / component.name;
  std::filesystem::create_directories(directory);
  for (const ComponentFile& file : component.files) {
    const std::filesystem::path path = directory / OnDisk(file.relativePath);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(file.contents.data(), static_cast<std::streamsize>(file.contents.size()));
    out.close();
    if (out.fail()) {
      throw std::filesystem::filesystem_error("cannot write file", path, std::make_error_code(std::errc::io_error));
    }
  }
  for (const ComponentLink& link : component.links) {
    const std::filesystem::path path = directory / OnDisk(link.relativePath);
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::remove(path);  // left by an earlier run over the same directory
    std::filesystem::create_symlink(OnDisk(link.target), path);
  }
}

}  // namespace tessaly::image
