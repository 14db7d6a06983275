#pragma once

#include <string>
#include <string_view>

namespace tessaly::fakes {

// Registry names and environment variable names are compared without regard
// to case. The fakes fold ASCII letters only, which is all the tests need.
std::u16string FoldCase(std::u16string_view name);
bool EqualIgnoringCase(std::u16string_view left, std::u16string_view right);

}  // namespace tessaly::fakes
