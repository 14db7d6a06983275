// Letter case as Windows treats it in file and registry names: names are
// compared and ordered by their UTF-16 code units, each upper-cased through
// Windows' own table (RtlUpcaseUnicodeChar, the same as NTFS's $UpCase).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessaly::hive {

// The name with every UTF-16 code unit upper-cased on its own (surrogates
// stay as they are), the form two names are compared in.
std::u16string UpcasedName(std::u16string_view name);

// Whether two names are the same name, ignoring case.
bool SameName(std::u16string_view left, std::u16string_view right);

// The order NTFS lists a directory in: by upper-cased code units; names
// that differ only in case (possible on Linux) fall back to their own units,
// so the order is total and repeatable.
bool ListsBefore(std::u16string_view left, std::u16string_view right);

struct NameHashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// The key names are hashed with in this run: drawn at random on first use,
// so which names collide cannot be known when a hive is made.
NameHashKey RunNameHashKey();

// Hash and equality for containers keyed by names ignoring case; both take
// any string view, so a lookup needs no key of the container's own type.
struct NameHash {
  using is_transparent = void;
  NameHashKey key = RunNameHashKey();
  std::size_t operator()(std::u16string_view name) const;
};

struct NameEqual {
  using is_transparent = void;
  bool operator()(std::u16string_view left, std::u16string_view right) const { return SameName(left, right); }
};

}  // namespace tessaly::hive
