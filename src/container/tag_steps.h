// The tag steps of encrypt and decrypt, with the engine's HMAC-SHA256 (and,
// for large inputs, the one-pass CBC loops) when the steps would only reach
// the standard hmac and hashlib.
#pragma once

#include "aes/prepared_cbc.h"
#include "engine/sha256/sha256.h"
#include "container/hmac_tag.h"
#include "module/ref.h"

#include <cstdint>
#include <memory>

namespace qox::container {

// The tag field as encrypt fills it: absent (use_hmac false), the 32 bytes
// the engine computed, or whatever a rebound hmac returned.
struct Tag {
  bool present = false;
  bool computed = false;
  uint8_t bytes[sha256::kSha256DigestSize] = {};
  Ref object;

  // The tag as a bytes object (b"" when absent; the returned object itself
  // after a rebound hmac), for the concatenation of the general road.
  Ref as_object() const noexcept;
};

// encrypt's tag step, `hmac.new(self.key, ciphertext, hashlib.sha256).digest()`,
// over the ciphertext at offset `offset` of `container`, whose blocks `cbc`
// may still have to encrypt there. With the standard HMAC the engine computes
// the tag, in the same pass as the blocks when these run on its own tables;
// otherwise the blocks run first and the call is made. False with an
// exception set on failure.
bool encrypt_tag_step(PyObject* self, PreparedCbc* cbc, PyObject* container, Py_ssize_t offset,
                      Tag* tag) noexcept;

// `hmac.new(self.key, message, hashlib.sha256).digest()` on the general
// roads, the engine computing it when it is the standard HMAC over bytes.
Ref hmac_digest(PyObject* self, PyObject* message) noexcept;

// decrypt's tag check over the ciphertext from `offset` to the end of
// `container`: the tag computed, then compared with the stored one by
// `hmac.compare_digest`. With the standard HMAC and a large ciphertext whose
// key was seen before, the ciphertext is also decrypted in the same pass,
// ahead of its step, into a result nobody sees yet, with the decryption
// schedule last used for this key; the CBC step keeps that result only when
// it reads the very same schedule (see ahead_is_result).
class DecryptTagCheck {
 public:
  // 1 when the tags match, 0 when not, -1 with an exception set.
  int run(PyObject* self, PyObject* container, Py_ssize_t offset) noexcept;

  // The buffer decrypted ahead into, or null: the CBC step writes its result
  // there in any case, and need not when ahead_is_result().
  Ref take_ahead_buffer() noexcept { return std::move(ahead_); }
  // True when `cbc`, begun and read for `sched` with the buffer as its
  // output, would write exactly what the buffer holds: the same schedule
  // object, the same round keys and IV, its blocks pending on the engine's
  // own tables.
  bool ahead_is_result(PyObject* sched, const PreparedCbc& cbc) const noexcept;

  // Notes `sched` as the decryption schedule of this key, after the CBC
  // step took the module's own road with it on a ciphertext large enough to
  // be decrypted ahead next time.
  void remember_schedule(PyObject* sched, size_t ciphertext_size) const noexcept;

 private:
  // The ciphertext decrypted with its tag in one pass, when it is large and a
  // schedule for its key is known; false when the tag is left to compute.
  bool decrypt_ahead(const hmac::HmacSha256Key& mac, const uint8_t* iv, const uint8_t* ciphertext,
                     size_t size, uint8_t tag[sha256::kSha256DigestSize]) noexcept;

  TagCall call_;
  Ref ahead_sched_;                            // the schedule decrypted ahead with,
  std::unique_ptr<ScheduleWords> ahead_keys_;  // its round keys,
  const uint8_t* ahead_iv_ = nullptr;          // the IV (in the container)
  Ref ahead_;                                  // and the plaintext
};

}  // namespace qox::container
