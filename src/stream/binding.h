// What the package's engine binding (qoxcrypto._engine) shares between its
// files: arguments as byte spans, one context used by one thread at a time,
// and the context types' registration.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/compat.h"
#include "module/ref.h"
#include "module/without_gil.h"

namespace qox::stream {

// A bytes-like argument held for the length of one call (the exporter cannot
// resize it meanwhile). Empty with an exception set when `obj` offers no
// contiguous buffer.
class ByteSpan {
 public:
  explicit ByteSpan(PyObject* obj) noexcept;
  ~ByteSpan();
  ByteSpan(const ByteSpan&) = delete;
  ByteSpan& operator=(const ByteSpan&) = delete;

  bool ok() const noexcept { return view_.obj != nullptr; }
  const uint8_t* data() const noexcept { return static_cast<const uint8_t*>(view_.buf); }
  size_t size() const noexcept { return static_cast<size_t>(view_.len); }

 private:
  Py_buffer view_ = {};
};

// Marks a context busy for one call, so that a second thread calling it while
// the first runs without the GIL gets an error instead of a data race.
class BusyGuard {
 public:
  explicit BusyGuard(bool& busy) noexcept;
  ~BusyGuard() {
    if (ok_) busy_ = false;
  }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;
  // False with RuntimeError set when another call is running.
  bool ok() const noexcept { return ok_; }

 private:
  bool& busy_;
  bool ok_;
};

// The key of a context as a span of 16, 24 or 32 bytes; false with
// ValueError set otherwise (the span is left empty).
bool check_key_size(const ByteSpan& key) noexcept;

// Adds CbcContext and TagContext to the module (contexts.cpp).
bool add_contexts(PyObject* module) noexcept;

// A new bytes object of `size` bytes, every one of which the caller writes.
inline Ref new_bytes(size_t size) noexcept {
  return Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

inline uint8_t* bytes_data(const Ref& bytes) noexcept {
  return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get()));
}

}  // namespace qox::stream
