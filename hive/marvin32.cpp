#include "hive/marvin32.h"

#include <bit>

#include "hive/little_endian.h"

namespace tessaly::hive {
namespace {

struct State {
  std::uint32_t lo;
  std::uint32_t hi;
};

void Mix(State& state) {
  state.hi ^= state.lo;
  state.lo = std::rotl(state.lo, 20) + state.hi;
  state.hi = std::rotl(state.hi, 9) ^ state.lo;
  state.lo = std::rotl(state.lo, 27) + state.hi;
  state.hi = std::rotl(state.hi, 19);
}

}  // namespace

std::uint64_t Marvin32(std::span<const std::uint8_t> bytes, std::uint64_t seed) {
  State state{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)};
  for (std::size_t offset = 0; offset + 4 <= bytes.size(); offset += 4) {
    state.lo += ReadLittleEndian32(bytes, offset);
    Mix(state);
  }
  // The final block: no tail bytes, only the 0x80 terminator.
  state.lo += 0x80;
  Mix(state);
  Mix(state);
  return static_cast<std::uint64_t>(state.hi) << 32 | state.lo;
}

}  // namespace tessaly::hive
