// Overwriting key material so that no copy outlives its use.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>

#include "engine/cpu/portable.h"

namespace qox::cpu {

// Zeroes `size` bytes at `data` so that the stores survive even when the
// buffer is about to be freed or to go out of scope. GCC and clang: an empty
// asm statement tells the compiler the memory is read afterwards. MSVC has
// no such statement for x64: memset is called through a volatile pointer,
// which the compiler must load and call as it is.
inline void wipe_bytes(void* data, size_t size) noexcept {
  if (data == nullptr || size == 0) return;
#if defined(__GNUC__) || defined(__clang__)
  std::memset(data, 0, size);
  __asm__ __volatile__("" : : "r"(data) : "memory");
#else
  static void* (*const volatile memset_unelided)(void*, int, size_t) = std::memset;
  memset_unelided(data, 0, size);
#endif
}

template <class T>
void wipe(T* data, size_t count) noexcept {
  wipe_bytes(data, count * sizeof(T));
}

// Element-wide stores through a volatile pointer, for the hardware path's
// key copies: one store per xmm/zmm key instead of a byte loop or a
// `rep stos` with its start-up cost. Always inlined so that vector elements
// are stored with the caller's instruction set.
template <class T, size_t N>
QOX_FORCE_INLINE void wipe(T (&array)[N]) {
  if constexpr (std::is_class_v<T>) {
    wipe_bytes(array, sizeof array);  // a struct of words has no volatile assignment
  } else {
    volatile T* p = array;
    for (size_t i = 0; i < N; ++i) p[i] = T{};
  }
}

// std::allocator that zeroes every block before releasing it, so that a
// vector of round-key words leaves nothing behind when it grows or goes.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) noexcept {
    wipe(p, n);
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
  template <class U>
  bool operator!=(const WipingAllocator<U>&) const noexcept {
    return false;
  }
};

// Runs `action` when the scope ends, on every way out of it:
//   const OnScopeExit wipe_words([&] { wipe(words.data(), words.size()); });
template <class Action>
class OnScopeExit {
 public:
  explicit OnScopeExit(Action action) noexcept : action_(action) {}
  OnScopeExit(const OnScopeExit&) = delete;
  OnScopeExit& operator=(const OnScopeExit&) = delete;
  ~OnScopeExit() { action_(); }

 private:
  Action action_;
};

}  // namespace qox::cpu
