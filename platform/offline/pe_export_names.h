// The export names of a PE image (PE32 or PE32+), read from the bytes of
// its file. The file comes from the image and is not trusted: every offset,
// count and string is checked against the bytes actually there.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessaly::offline {

// nullopt when the bytes are not a PE image or its export table does not lie
// within them; an empty list for an image that exports nothing.
std::optional<std::vector<std::string>> ReadPeExportNames(std::span<const std::uint8_t> file);

}  // namespace tessaly::offline
