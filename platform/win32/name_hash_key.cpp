#include <windows.h>
#include <bcrypt.h>

#include <cstdint>

#include "hive/name_case.h"

namespace tessaly::hive {

NameHashKey RunNameHashKey() {
  static const NameHashKey key = [] {
    NameHashKey drawn{};
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&drawn), sizeof(drawn),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      // No generator to be had: the counter to the tick and where the
      // stack lies are still a key a hive made beforehand cannot foresee.
      LARGE_INTEGER counter{};
      QueryPerformanceCounter(&counter);
      drawn.k0 ^= static_cast<std::uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15;
      drawn.k1 ^= static_cast<std::uint64_t>(GetTickCount64()) ^ reinterpret_cast<std::uintptr_t>(&counter) ^
                  (std::uint64_t{GetCurrentProcessId()} << 32);
    }
    return drawn;
  }();
  return key;
}

}  // namespace tessaly::hive
