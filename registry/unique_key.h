#pragma once

#include <utility>

#include "registry/registry.h"

namespace tessaly {

// Owns an open registry key and closes it when it goes out of scope.
class UniqueKey {
 public:
  explicit UniqueKey(Registry& registry) : registry_(&registry) {}
  UniqueKey(UniqueKey&& other) noexcept
      : registry_(other.registry_), handle_(std::exchange(other.handle_, KeyHandle::None)) {}
  UniqueKey& operator=(UniqueKey&& other) noexcept {
    if (this != &other) {
      Reset();
      registry_ = other.registry_;
      handle_ = std::exchange(other.handle_, KeyHandle::None);
    }
    return *this;
  }
  UniqueKey(const UniqueKey&) = delete;
  UniqueKey& operator=(const UniqueKey&) = delete;
  ~UniqueKey() { Reset(); }

  KeyHandle Get() const { return handle_; }
  explicit operator bool() const { return handle_ != KeyHandle::None; }

  // Closes the key held now and hands out the slot for an open call to fill.
  KeyHandle* Put() {
    Reset();
    return &handle_;
  }

  void Reset() {
    if (handle_ != KeyHandle::None) registry_->CloseKey(std::exchange(handle_, KeyHandle::None));
  }

 private:
  Registry* registry_;
  KeyHandle handle_ = KeyHandle::None;
};

}  // namespace tessaly
