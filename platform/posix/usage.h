#pragma once

#include <string_view>

namespace tessaly::posix {

// The Linux tool's usage, in Chinese and then in English.
std::u16string_view UsageText();

}  // namespace tessaly::posix
