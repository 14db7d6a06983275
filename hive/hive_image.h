// A hive's bytes in memory, as read from its file or recovered from its
// logs. Growing one leaves the new bytes unset: a hive of hundreds of
// megabytes is read straight into them, and zeroing them first would touch
// every page twice. Growth that is not filled at once names its fill value.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tessaly::hive {

template <typename T>
struct UnsetOnGrowthAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UnsetOnGrowthAllocator<U>;
  };

  UnsetOnGrowthAllocator() = default;
  template <typename U>
  explicit UnsetOnGrowthAllocator(const UnsetOnGrowthAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Arguments>
  void construct(U* place, Arguments&&... arguments) {
    ::new (static_cast<void*>(place)) U(std::forward<Arguments>(arguments)...);
  }
};

using HiveImage = std::vector<std::uint8_t, UnsetOnGrowthAllocator<std::uint8_t>>;

}  // namespace tessaly::hive
