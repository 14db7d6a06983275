#pragma once

namespace tessaly {

// The QQ group that ends every closing summary.
inline constexpr char16_t kSupportGroupNumber[] = u"736519284";

}  // namespace tessaly
