// The container's HMAC-SHA256 tag and its comparison: computed by the engine
// when the steps would only reach the standard hmac and hashlib, through the
// objects found otherwise.
#pragma once

#include "engine/hmac/hmac_sha256.h"
#include "module/ref.h"

#include <cstdint>

namespace qox::container {

// Records hmac.new, hashlib.sha256 and hmac.compare_digest of the modules the
// import bound: the objects later calls are compared with. An import step.
bool remember_standard_hmac() noexcept;

// `hmac.new(self.key, message, hashlib.sha256).digest()`, split so that the
// objects are looked up in the written order first and the tag computed later.
class TagCall {
 public:
  // Looks up hmac, hmac.new, self.key, hashlib and hashlib.sha256, in that
  // order; false with an exception set when one fails.
  bool fetch(PyObject* self) noexcept;

  // True when the call would run the standard HMAC-SHA256: hmac and hashlib
  // are the modules bound at import, hmac.new and hashlib.sha256 the objects
  // found there at import, and the key is exactly bytes (of any length).
  bool is_standard() const noexcept { return standard_; }

  // The key's pads, precompressed (a copy); only when is_standard().
  hmac::HmacSha256Key mac_key() const noexcept;
  PyObject* key() const noexcept { return key_.get(); }

  // The general road: the call itself with `message`, then .digest().
  Ref call(PyObject* message) const noexcept;

 private:
  Ref hmac_, new_, key_, hashlib_, sha256_;
  bool standard_ = false;
};

// `hmac.compare_digest(expected, stored)` with `expected` the 32-byte tag
// just computed and `stored` the tag field (shorter in a short container):
// compared by the engine in constant time when hmac and its compare_digest
// are the import-time ones, else through the objects found. 1 for equal, 0
// for different, -1 with an exception set.
int tags_match(const uint8_t expected[sha256::kSha256DigestSize], const uint8_t* stored,
               Py_ssize_t stored_size) noexcept;

// `data[start:]` for a tag function found rebound: a new bytes object, as
// the steps pass it, holding only bytes already written. Never a view: its
// owner may be a container still being written, and the function may keep it.
Ref hmac_message(PyObject* data, Py_ssize_t start) noexcept;

// The decryption schedule last used with the key bytes of `call` (a strong
// reference, or null), for a decryption that starts before the schedule is
// asked for; and the setter. Only when call.is_standard().
Ref last_decrypt_schedule(const TagCall& call) noexcept;
void remember_decrypt_schedule(const TagCall& call, PyObject* sched) noexcept;

}  // namespace qox::container
