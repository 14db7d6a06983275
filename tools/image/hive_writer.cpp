#include "tools/image/hive_writer.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "hive/name_case.h"
#include "tools/image/utf8.h"

namespace tessaly::image {
namespace {

constexpr std::size_t kBaseBlockSize = 4096;
constexpr std::size_t kBinAlignment = 4096;
constexpr std::size_t kBinHeaderSize = 32;
constexpr std::size_t kCellAlignment = 8;
constexpr std::size_t kLargestCell = 0x7FFFFFF8;
constexpr std::uint32_t kNoCell = 0xFFFFFFFF;

constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

// Windows keeps subkey leaves at about 500 entries; a key with more subkeys
// gets an "ri" root listing its leaves.
constexpr std::size_t kLargestLeaf = 500;
// Value data longer than one segment is kept as "big data": a "db" cell
// pointing at a list of segment cells, each but the last holding exactly one
// segment.
constexpr std::size_t kBigDataSegmentSize = 16344;
constexpr std::size_t kMaxBigDataSegments = 0xFFFF;

// nk flags: the hive's root, which cannot be deleted; names stored one byte
// per character (Latin-1) rather than as UTF-16LE.
constexpr std::uint16_t kKeyHiveEntry = 0x0004;
constexpr std::uint16_t kKeyNoDelete = 0x0008;
constexpr std::uint16_t kKeyCompressedName = 0x0020;
// vk flag: name stored one byte per character.
constexpr std::uint16_t kValueCompressedName = 0x0001;
// vk data size: set when the data (at most 4 bytes) sits in the offset field.
constexpr std::uint32_t kDataInline = 0x80000000;

constexpr std::size_t RoundUp(std::size_t size, std::size_t alignment) {
  return (size + alignment - 1) / alignment * alignment;
}

// Windows file time (100 ns units since 1601) of the present moment.
std::uint64_t FileTimeNow() {
  constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000;
  const auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochAsFileTime +
         static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnixEpoch).count() / 100);
}

// Little-endian field builder for one cell or header.
class Bytes {
 public:
  Bytes& U16(std::uint16_t value) { return Little(value, 2); }
  Bytes& U32(std::uint32_t value) { return Little(value, 4); }
  Bytes& U64(std::uint64_t value) { return Little(value, 8); }
  Bytes& Tag(std::string_view tag) {
    bytes_.insert(bytes_.end(), tag.begin(), tag.end());
    return *this;
  }
  Bytes& Raw(const std::vector<std::uint8_t>& raw) { return Raw(raw.begin(), raw.end()); }
  Bytes& Raw(std::vector<std::uint8_t>::const_iterator begin, std::vector<std::uint8_t>::const_iterator end) {
    bytes_.insert(bytes_.end(), begin, end);
    return *this;
  }
  const std::vector<std::uint8_t>& Get() const { return bytes_; }

 private:
  Bytes& Little(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return *this;
  }
  std::vector<std::uint8_t> bytes_;
};

void Store32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The hive bins: one byte array, indexed by cell offset (relative to the
// first bin, which follows the base block in the file).
class Bins {
 public:
  explicit Bins(std::uint64_t timestamp) : timestamp_(timestamp) {}

  // Reserves a used cell for `dataSize` bytes; returns its offset.
  std::uint32_t Reserve(std::size_t dataSize) {
    const std::size_t cellSize = RoundUp(dataSize + 4, kCellAlignment);
    if (cellSize > kLargestCell) throw std::invalid_argument("hive cell too large");
    if (cursor_ + cellSize > binEnd_) StartBin(cellSize);
    const auto cell = static_cast<std::uint32_t>(cursor_);
    Store32(bytes_, cell, static_cast<std::uint32_t>(-static_cast<std::int64_t>(cellSize)));
    cursor_ += cellSize;
    return cell;
  }

  // Fills a cell reserved for exactly this many bytes.
  void Place(std::uint32_t cell, const Bytes& content) {
    std::copy(content.Get().begin(), content.Get().end(), bytes_.begin() + cell + 4);
  }

  std::uint32_t Add(const Bytes& content) {
    const std::uint32_t cell = Reserve(content.Get().size());
    Place(cell, content);
    return cell;
  }

  // Ends the last bin with a free cell; the bins are complete afterwards.
  const std::vector<std::uint8_t>& Finish() {
    CloseBin();
    return bytes_;
  }

 private:
  // A cell never crosses a bin: the rest of the current bin becomes one free
  // cell and a bin large enough for the new cell follows.
  void StartBin(std::size_t cellSize) {
    CloseBin();
    const std::size_t binStart = bytes_.size();
    const std::size_t binSize = RoundUp(kBinHeaderSize + cellSize, kBinAlignment);
    Bytes header;
    header.Tag("hbin")
        .U32(static_cast<std::uint32_t>(binStart))
        .U32(static_cast<std::uint32_t>(binSize))
        .U64(0)
        .U64(timestamp_)
        .U32(0);
    bytes_.resize(binStart + binSize);
    std::copy(header.Get().begin(), header.Get().end(), bytes_.begin() + binStart);
    cursor_ = binStart + kBinHeaderSize;
    binEnd_ = binStart + binSize;
  }

  void CloseBin() {
    if (cursor_ < binEnd_) Store32(bytes_, cursor_, static_cast<std::uint32_t>(binEnd_ - cursor_));
    cursor_ = binEnd_;
  }

  std::uint64_t timestamp_;
  std::vector<std::uint8_t> bytes_;
  std::size_t cursor_ = 0;
  std::size_t binEnd_ = 0;
};

// A key or value name as stored: one byte per character when every
// character fits Latin-1, UTF-16LE otherwise.
struct StoredName {
  std::vector<std::uint8_t> bytes;
  bool compressed = false;
};

StoredName StoreName(std::u16string_view name) {
  StoredName stored;
  stored.compressed = std::all_of(name.begin(), name.end(), [](char16_t c) { return c <= 0xFF; });
  for (const char16_t c : name) {
    stored.bytes.push_back(static_cast<std::uint8_t>(c));
    if (!stored.compressed) stored.bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return stored;
}

// The hash an "lh" leaf keeps beside each subkey, which spares opening the
// subkeys whose names cannot match during a lookup.
std::uint32_t NameHash(std::u16string_view upperName) {
  std::uint32_t hash = 0;
  for (const char16_t c : upperName) hash = hash * 37 + c;
  return hash;
}

void RejectCaseInsensitiveDuplicates(std::vector<std::u16string> upperNames, const char* what) {
  std::sort(upperNames.begin(), upperNames.end());
  if (std::adjacent_find(upperNames.begin(), upperNames.end()) != upperNames.end()) {
    throw std::invalid_argument(std::string("two ") + what + " names differ only in case");
  }
}

struct Child {
  const HiveKey* key;
  std::u16string name;
  std::u16string upperName;
};

// Where a key's lists went, and the longest names and data in them, which
// the key records (in bytes, names counted as UTF-16).
struct ValueList {
  std::uint32_t cell = kNoCell;
  std::uint32_t largestName = 0;
  std::uint32_t largestData = 0;
};

struct SubkeyList {
  std::uint32_t cell = kNoCell;
  std::uint32_t largestName = 0;
};

class TreeWriter {
 public:
  TreeWriter(Bins& bins, std::uint32_t securityCell, std::uint64_t timestamp)
      : bins_(bins), securityCell_(securityCell), timestamp_(timestamp) {}

  std::uint32_t WriteRoot(const HiveKey& root) { return WriteKey(root, Utf16FromUtf8(root.name), 0, true); }

  std::uint32_t KeyCount() const { return keyCount_; }

 private:
  std::uint32_t WriteKey(const HiveKey& key, std::u16string_view name, std::uint32_t parentCell, bool isRoot) {
    if (name.size() > kMaxKeyNameLength) throw std::invalid_argument("key name longer than 255 characters");
    const StoredName storedName = StoreName(name);
    constexpr std::size_t kKeyFixedSize = 76;
    const std::uint32_t keyCell = bins_.Reserve(kKeyFixedSize + storedName.bytes.size());
    ++keyCount_;

    const ValueList values = WriteValues(key.values);
    const SubkeyList subkeys = WriteSubkeys(key.subkeys, keyCell);

    std::uint16_t flags = storedName.compressed ? kKeyCompressedName : 0;
    if (isRoot) flags |= kKeyHiveEntry | kKeyNoDelete;
    Bytes nk;
    nk.Tag("nk")
        .U16(flags)
        .U64(timestamp_)
        .U32(0)  // access bits
        .U32(parentCell)
        .U32(static_cast<std::uint32_t>(key.subkeys.size()))
        .U32(0)  // volatile subkeys
        .U32(subkeys.cell)
        .U32(kNoCell)  // volatile subkey list
        .U32(static_cast<std::uint32_t>(key.values.size()))
        .U32(values.cell)
        .U32(securityCell_)
        .U32(kNoCell)  // class name
        .U32(subkeys.largestName)
        .U32(0)  // largest subkey class name
        .U32(values.largestName)
        .U32(values.largestData)
        .U32(0)  // work field
        .U16(static_cast<std::uint16_t>(storedName.bytes.size()))
        .U16(0)  // class name length
        .Raw(storedName.bytes);
    bins_.Place(keyCell, nk);
    return keyCell;
  }

  ValueList WriteValues(const std::vector<HiveValue>& values) {
    ValueList written;
    if (values.empty()) return written;
    std::vector<std::u16string> upperNames;
    Bytes list;
    for (const HiveValue& value : values) {
      const std::u16string name = Utf16FromUtf8(value.name);
      written.largestName = std::max(written.largestName, static_cast<std::uint32_t>(name.size() * 2));
      written.largestData = std::max(written.largestData, static_cast<std::uint32_t>(value.data.size()));
      upperNames.push_back(hive::UpcasedName(name));
      list.U32(WriteValue(value, name));
    }
    RejectCaseInsensitiveDuplicates(std::move(upperNames), "value");
    written.cell = bins_.Add(list);
    return written;
  }

  std::uint32_t WriteValue(const HiveValue& value, std::u16string_view name) {
    if (name.size() > kMaxValueNameLength) throw std::invalid_argument("value name longer than 16383 characters");
    const StoredName storedName = StoreName(name);
    Bytes vk;
    vk.Tag("vk").U16(static_cast<std::uint16_t>(storedName.bytes.size()));
    if (value.data.size() <= 4) {
      std::vector<std::uint8_t> inlineData = value.data;
      inlineData.resize(4);
      vk.U32(kDataInline | static_cast<std::uint32_t>(value.data.size())).Raw(inlineData);
    } else {
      vk.U32(static_cast<std::uint32_t>(value.data.size())).U32(WriteData(value.data));
    }
    vk.U32(value.type)
        .U16(storedName.compressed ? kValueCompressedName : 0)
        .U16(0)  // spare
        .Raw(storedName.bytes);
    return bins_.Add(vk);
  }

  std::uint32_t WriteData(const std::vector<std::uint8_t>& data) {
    if (data.size() <= kBigDataSegmentSize) return bins_.Add(Bytes().Raw(data.begin(), data.end()));
    if (data.size() > kMaxBigDataSegments * kBigDataSegmentSize) {
      throw std::invalid_argument("value data longer than 65535 big data segments");
    }
    // Every segment cell keeps 4 spare bytes after its data, which makes a
    // full segment's cell 16,352 bytes: with the bin header, exactly four
    // pages. hivex reads a segment as its cell less those 8 bytes, the last
    // one included.
    Bytes segments;
    std::uint16_t segmentCount = 0;
    for (std::size_t at = 0; at < data.size(); at += kBigDataSegmentSize) {
      const std::size_t end = std::min(at + kBigDataSegmentSize, data.size());
      segments.U32(bins_.Add(Bytes().Raw(data.begin() + at, data.begin() + end).U32(0)));
      ++segmentCount;
    }
    const std::uint32_t segmentList = bins_.Add(segments);
    return bins_.Add(Bytes().Tag("db").U16(segmentCount).U32(segmentList));
  }

  SubkeyList WriteSubkeys(const std::vector<HiveKey>& subkeys, std::uint32_t parentCell) {
    SubkeyList written;
    if (subkeys.empty()) return written;
    std::vector<Child> children;
    children.reserve(subkeys.size());
    for (const HiveKey& subkey : subkeys) {
      std::u16string name = Utf16FromUtf8(subkey.name);
      if (name.empty() || name.find(u'\\') != std::u16string::npos) {
        throw std::invalid_argument("subkey name empty or holding a backslash");
      }
      written.largestName = std::max(written.largestName, static_cast<std::uint32_t>(name.size() * 2));
      std::u16string upperName = hive::UpcasedName(name);
      children.push_back({&subkey, std::move(name), std::move(upperName)});
    }
    // The registry keeps a subkey list in the order of the names upper-cased
    // as Windows upper-cases them.
    std::sort(children.begin(), children.end(),
              [](const Child& a, const Child& b) { return a.upperName < b.upperName; });
    const auto repeated = std::adjacent_find(children.begin(), children.end(),
                                             [](const Child& a, const Child& b) { return a.upperName == b.upperName; });
    if (repeated != children.end()) throw std::invalid_argument("two subkey names differ only in case");

    // Leaves of nearly equal size, as splitting full leaves leaves them.
    const std::size_t leafCount = (children.size() + kLargestLeaf - 1) / kLargestLeaf;
    std::vector<std::uint32_t> leaves;
    for (std::size_t leaf = 0; leaf < leafCount; ++leaf) {
      const std::size_t first = children.size() * leaf / leafCount;
      const std::size_t end = children.size() * (leaf + 1) / leafCount;
      Bytes lh;
      lh.Tag("lh").U16(static_cast<std::uint16_t>(end - first));
      for (std::size_t i = first; i < end; ++i) {
        const Child& child = children[i];
        lh.U32(WriteKey(*child.key, child.name, parentCell, false)).U32(NameHash(child.upperName));
      }
      leaves.push_back(bins_.Add(lh));
    }
    if (leaves.size() == 1) {
      written.cell = leaves.front();
      return written;
    }
    Bytes ri;
    ri.Tag("ri").U16(static_cast<std::uint16_t>(leaves.size()));
    for (const std::uint32_t leaf : leaves) ri.U32(leaf);
    written.cell = bins_.Add(ri);
    return written;
  }

  Bins& bins_;
  std::uint32_t securityCell_;
  std::uint64_t timestamp_;
  std::uint32_t keyCount_ = 0;
};

// One security cell shared by every key. Its descriptor is the smallest
// self-relative one: revision 1, control SE_SELF_RELATIVE, no owner, group
// or lists.
Bytes SecurityCell(std::uint32_t cell, std::uint32_t referenceCount) {
  Bytes descriptor;
  descriptor.U16(0x0001).U16(0x8000).U32(0).U32(0).U32(0).U32(0);
  Bytes sk;
  sk.Tag("sk")
      .U16(0)
      .U32(cell)  // forward link: the only security cell links to itself
      .U32(cell)  // backward link
      .U32(referenceCount)
      .U32(static_cast<std::uint32_t>(descriptor.Get().size()))
      .Raw(descriptor.Get());
  return sk;
}

std::vector<std::uint8_t> BaseBlock(std::uint32_t rootCell, std::size_t binsSize, std::uint64_t timestamp) {
  Bytes header;
  header.Tag("regf")
      .U32(1)  // primary sequence number
      .U32(1)  // secondary sequence number: equal, the hive is clean
      .U64(timestamp)
      .U32(1)  // major version
      .U32(5)  // minor version: Windows 10's
      .U32(0)  // primary file
      .U32(1)  // direct memory load format
      .U32(rootCell)
      .U32(static_cast<std::uint32_t>(binsSize))
      .U32(1);  // clustering factor
  std::vector<std::uint8_t> block = header.Get();
  block.resize(kBaseBlockSize);

  constexpr std::size_t kChecksumOffset = 0x1FC;
  std::uint32_t checksum = 0;
  for (std::size_t at = 0; at < kChecksumOffset; at += 4) {
    checksum ^= std::uint32_t{block[at]} | std::uint32_t{block[at + 1]} << 8 | std::uint32_t{block[at + 2]} << 16 |
                std::uint32_t{block[at + 3]} << 24;
  }
  // The values 0 and -1 are reserved; Windows substitutes their neighbours.
  if (checksum == 0) checksum = 1;
  if (checksum == 0xFFFFFFFF) checksum = 0xFFFFFFFE;
  Store32(block, kChecksumOffset, checksum);
  return block;
}

}  // namespace

bool WriteHive(const std::filesystem::path& file, const HiveKey& root) {
  const std::uint64_t timestamp = FileTimeNow();
  Bins bins(timestamp);
  const std::uint32_t securityCell = bins.Reserve(SecurityCell(0, 0).Get().size());
  TreeWriter tree(bins, securityCell, timestamp);
  const std::uint32_t rootCell = tree.WriteRoot(root);
  bins.Place(securityCell, SecurityCell(securityCell, tree.KeyCount()));
  const std::vector<std::uint8_t>& binBytes = bins.Finish();
  const std::vector<std::uint8_t> baseBlock = BaseBlock(rootCell, binBytes.size(), timestamp);

  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(baseBlock.data()), static_cast<std::streamsize>(baseBlock.size()));
  out.write(reinterpret_cast<const char*>(binBytes.data()), static_cast<std::streamsize>(binBytes.size()));
  out.close();
  return !out.fail();
}

HiveValue DwordValue(std::string name, std::uint32_t value) {
  return {std::move(name),
          kRegDword,
          {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
           static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)}};
}

HiveValue ExpandStringValue(std::string name, std::u16string text) {
  std::vector<std::uint8_t> data;
  data.reserve((text.size() + 1) * 2);
  for (const char16_t c : text) {
    data.push_back(static_cast<std::uint8_t>(c));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  data.insert(data.end(), {0, 0});
  return {std::move(name), kRegExpandSz, std::move(data)};
}

HiveValue BinaryValue(std::string name, std::vector<std::uint8_t> data) {
  return {std::move(name), kRegBinary, std::move(data)};
}

}  // namespace tessaly::image
