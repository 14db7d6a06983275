#include "records/make_file_record_name.h"

#include <cstdint>

#include "common/text.h"

namespace tessaly {
namespace {

constexpr std::size_t kMaxRecordedLength = 25;

}  // namespace

std::u16string MakeFileRecordName(std::u16string_view fullPath, std::size_t baseLength,
                                  const ServicingHash& servicingHash) {
  const std::u16string_view relativePath = fullPath.substr(baseLength);
  bool needsHash = relativePath.size() > kMaxRecordedLength;

  std::u16string name = u"f!";
  for (const char16_t c : relativePath.substr(0, kMaxRecordedLength)) {
    // Everything up to and including 'A' gets bit 0x20; the servicing stack
    // named its records this way, so 'B' to 'Z' keep their case.
    if (c <= u'A') {
      name.push_back(static_cast<char16_t>(c | 0x20));
    } else if (c == u'\\' || c == u'_') {
      name.push_back(u'_');
      needsHash = true;
    } else {
      name.push_back(c);
    }
  }

  if (needsHash) {
    const auto bytes = static_cast<std::uint32_t>(relativePath.size() * sizeof(char16_t));
    const CountedString text{bytes, bytes, relativePath.data()};
    std::uint64_t hash = 0;
    servicingHash.hash(&text, servicingHash.downcase, &hash);
    name += u"_" + FormatHex64Lower(hash);
  }
  return name;
}

}  // namespace tessaly
