#include <sys/random.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "hive/name_case.h"

namespace tessaly::hive {

// Drawn with getrandom rather than std::random_device, which in newer
// glibc builds on arc4random and so would raise the oldest glibc the tool
// runs on.
NameHashKey RunNameHashKey() {
  static const NameHashKey key = [] {
    NameHashKey drawn{};
    ssize_t got;
    do {
      got = getrandom(&drawn, sizeof(drawn), 0);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof(drawn))) {
      // A kernel without getrandom: the clock to the nanosecond and where
      // the stack lies are still a key a hive made beforehand cannot foresee.
      timespec now{};
      clock_gettime(CLOCK_REALTIME, &now);
      drawn.k0 ^= static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15;
      drawn.k1 ^= static_cast<std::uint64_t>(now.tv_sec) ^ reinterpret_cast<std::uintptr_t>(&now);
    }
    return drawn;
  }();
  return key;
}

}  // namespace tessaly::hive
