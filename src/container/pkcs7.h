// PKCS#7 padding to 16-byte blocks: the byte logic, free of Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qox::container {

// Fixed by the container format; not the class's BLOCK_SIZE.
constexpr size_t kPkcs7Block = 16;

// Bytes appended to `size` bytes: always 1..16, a whole block when `size`
// is already a multiple, so that padded data never looks unpadded.
constexpr size_t pkcs7_pad_length(size_t size) noexcept { return kPkcs7Block - size % kPkcs7Block; }

enum class UnpadStatus {
  ok,
  bad_length,   // empty, or not a multiple of 16
  bad_padding,  // last byte outside 1..16, or the pad bytes disagree
};

struct Unpadded {
  UnpadStatus status;
  size_t length;  // the data without its padding; meaningful when ok
};

// The tests run in the documented order: the length, then the pad byte's
// range, then the pad bytes themselves.
inline Unpadded pkcs7_unpad(const uint8_t* data, size_t size) noexcept {
  if (size == 0 || size % kPkcs7Block != 0) return {UnpadStatus::bad_length, 0};
  const uint8_t pad = data[size - 1];
  if (pad < 1 || pad > kPkcs7Block) return {UnpadStatus::bad_padding, 0};
  for (size_t i = size - pad; i < size; ++i) {
    if (data[i] != pad) return {UnpadStatus::bad_padding, 0};
  }
  return {UnpadStatus::ok, size - pad};
}

}  // namespace qox::container
