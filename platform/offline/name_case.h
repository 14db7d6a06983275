// Letter case as Windows treats it in file and registry names: names are
// compared and ordered by their upper-cased UTF-16 code units.
#pragma once

#include <string>
#include <string_view>

namespace tessaly::offline {

// The name with every UTF-16 code unit upper-cased on its own (surrogates
// stay as they are), the form two names are compared in.
std::u16string UpcasedName(std::u16string_view name);

// The order NTFS lists a directory in: by upper-cased code units; names
// that differ only in case (possible on Linux) fall back to their own units,
// so the order is total and repeatable.
bool ListsBefore(std::u16string_view left, std::u16string_view right);

}  // namespace tessaly::offline
