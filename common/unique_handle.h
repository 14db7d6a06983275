// An owner of one handle that is released through its seam when it goes out
// of scope. Each handle type is one line:
//   using UniqueKey = UniqueHandle<KeyHandle::None, &Registry::CloseKey>;
//   using UniqueFd = UniqueHandle<-1, &::close>;
// kInvalid is the handle's "none" value; kRelease is a member function of
// the seam that made the handle (the owner then keeps that seam) or a free
// function.
#pragma once

#include <type_traits>
#include <utility>

namespace tessaly {

namespace unique_handle_detail {

// The seam of a release function that is a member function; NoSeam for a free one.
struct NoSeam {};
template <typename Release>
struct SeamOf {
  using Type = NoSeam;
};
template <typename Seam, typename Result, typename Handle>
struct SeamOf<Result (Seam::*)(Handle)> {
  using Type = Seam;
};

}  // namespace unique_handle_detail

template <auto kInvalid, auto kRelease>
class UniqueHandle {
 public:
  using Handle = decltype(kInvalid);
  using Seam = typename unique_handle_detail::SeamOf<decltype(kRelease)>::Type;
  static constexpr bool kThroughSeam = !std::is_same_v<Seam, unique_handle_detail::NoSeam>;

  // Through a seam, an empty owner that only takes a handle by move (a
  // member filled later); Put needs the seam, so it is never used on one.
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle)
    requires(!kThroughSeam)
      : handle_(handle) {}
  explicit UniqueHandle(Seam& seam, Handle handle = kInvalid)
    requires kThroughSeam
      : seam_(&seam), handle_(handle) {}

  UniqueHandle(UniqueHandle&& other) noexcept : seam_(other.seam_), handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
      seam_ = other.seam_;
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  Handle Get() const { return handle_; }
  explicit operator bool() const { return handle_ != kInvalid; }

  // Releases the handle held now and hands out the slot for an open call to fill.
  Handle* Put() {
    Reset();
    return &handle_;
  }

  // Releases the handle held now and takes handle instead.
  void Reset(Handle handle = kInvalid) {
    const Handle old = std::exchange(handle_, handle);
    if (old == kInvalid) return;
    if constexpr (kThroughSeam) {
      (seam_->*kRelease)(old);
    } else {
      kRelease(old);
    }
  }

  // Gives up ownership without releasing the handle.
  Handle Release() { return std::exchange(handle_, kInvalid); }

 private:
  Seam* seam_ = nullptr;
  Handle handle_ = kInvalid;
};

}  // namespace tessaly
