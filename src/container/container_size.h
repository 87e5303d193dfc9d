// Whether encrypt's container can exist for a plaintext length: the size logic, free of Python.
#pragma once

#include <cstddef>

#include "container/pkcs7.h"

namespace qox::container {

enum class ContainerFit {
  fits,
  // The padded data is longer than any bytes object: the padding step
  // itself fails (the host's OverflowError).
  padded_too_large,
  // The padded data could be a bytes object but the container could not.
  // The steps would hold the plaintext, its padded copy and the ciphertext,
  // each over a third of the address space, at once: they run out of memory.
  no_room,
};

// For `size` plaintext bytes, a container of `prefix` bytes before the
// ciphertext and bytes objects of at most `largest` bytes (the host's
// PY_SSIZE_T_MAX less the object's header). No sum can wrap.
constexpr ContainerFit container_fit(size_t size, size_t prefix, size_t largest) noexcept {
  const size_t pad = pkcs7_pad_length(size);
  if (size > largest || largest - size < pad) return ContainerFit::padded_too_large;
  if (largest - size - pad < prefix) return ContainerFit::no_room;
  return ContainerFit::fits;
}

}  // namespace qox::container
