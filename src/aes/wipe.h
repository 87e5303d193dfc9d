// Overwriting key material so that no copy outlives its use.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>

namespace qox::aes {

// Zeroes `size` bytes at `data`. The empty asm statement tells the compiler
// the memory is read afterwards, so the stores survive even when the buffer
// is about to be freed or to go out of scope.
inline void wipe_bytes(void* data, size_t size) noexcept {
  if (data == nullptr || size == 0) return;
  std::memset(data, 0, size);
  __asm__ __volatile__("" : : "r"(data) : "memory");
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
inline __attribute__((always_inline)) void wipe(T (&array)[N]) {
  volatile T* p = array;
  for (size_t i = 0; i < N; ++i) p[i] = T{};
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

}  // namespace qox::aes
