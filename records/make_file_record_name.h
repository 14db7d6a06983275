#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "servicing/servicing_hash.h"

namespace tessaly {

// The name of a file's "f!" record, derived from its path relative to the
// component directory: fullPath from baseLength on. Long names are cut to 25
// characters; cut names, names in subdirectories and names with an
// underscore end in "_" and the servicing hash of the whole relative path.
std::u16string MakeFileRecordName(std::u16string_view fullPath, std::size_t baseLength,
                                  const ServicingHash& servicingHash);

}  // namespace tessaly
