// The tag steps of encrypt and decrypt, on the engine when the HMAC is the standard one.
#include "container/tag_steps.h"

#include "engine/hmac/cbc_hmac.h"
#include "aes/schedule_cache.h"
#include "engine/layout/layout.h"
#include "module/call.h"
#include "module/global_names.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace qox::container {

using namespace layout;  // the container format's offsets and sizes

namespace {


// From this ciphertext size on, decrypt runs the CBC blocks together with the
// tag; below it the saving is smaller than the look for a schedule.
constexpr size_t kDecryptAheadFrom = 4096;

Ref digest_object(const uint8_t (&digest)[sha256::kSha256DigestSize]) {
  return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(digest),
                                              static_cast<Py_ssize_t>(sizeof digest)));
}

bool same_round_keys(const aes::RoundKeys& a, const aes::RoundKeys& b) {
  return a.mid_rounds == b.mid_rounds && std::memcmp(a.first, b.first, 16) == 0 &&
         std::memcmp(a.last, b.last, 16) == 0 &&
         (a.mid_rounds == 0 || std::memcmp(a.mid, b.mid, 16 * a.mid_rounds) == 0);
}

}  // namespace

Ref Tag::as_object() const noexcept {
  if (!present) return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  if (computed) return digest_object(bytes);
  return Ref::borrow(object.get());
}

bool encrypt_tag_step(PyObject* self, PreparedCbc* cbc, PyObject* container, Py_ssize_t offset,
                      Tag* tag) noexcept {
  auto* ciphertext = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(container)) + offset;
  const auto size = static_cast<size_t>(PyBytes_GET_SIZE(container) - offset);
  TagCall call;
  if (!call.fetch(self)) return false;
  tag->present = true;
  if (!call.is_standard()) {
    cbc->run(ciphertext);
    Ref message = hmac_message(container, offset);
    if (!message) return false;
    tag->object = call.call(message.get());
    return bool(tag->object);
  }
  const hmac::HmacSha256Key mac = call.mac_key();
  tag->computed = true;
  if (cbc->pending() && cbc->engine_tables()) {
    const aes::RoundKeys keys = cbc->round_keys();
    const uint8_t* iv = cbc->iv();
    engine_work(size, [&] {
      hmac::cbc_encrypt_then_mac(keys, iv, ciphertext, ciphertext, size / kBlockSize, mac,
                                 tag->bytes);
    });
    return true;
  }
  cbc->run(ciphertext);
  engine_work(size, [&] { hmac::hmac_sha256(mac, ciphertext, size, tag->bytes); });
  return true;
}

Ref hmac_digest(PyObject* self, PyObject* message) noexcept {
  TagCall call;
  if (!call.fetch(self)) return Ref();
  if (!call.is_standard() || !PyBytes_CheckExact(message)) return call.call(message);
  const auto size = static_cast<size_t>(PyBytes_GET_SIZE(message));
  const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(message));
  const hmac::HmacSha256Key mac = call.mac_key();
  uint8_t digest[sha256::kSha256DigestSize];
  engine_work(size, [&] { hmac::hmac_sha256(mac, data, size, digest); });
  return digest_object(digest);
}

int DecryptTagCheck::run(PyObject* self, PyObject* container, Py_ssize_t offset) noexcept {
  const Py_ssize_t size = PyBytes_GET_SIZE(container);
  const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(container));
  // qox_data[21:53]: shorter, or empty, in a short container.
  const Py_ssize_t stored_size = std::max<Py_ssize_t>(0, std::min(size, kTagEnd) - kTagOffset);
  const uint8_t* stored = bytes + std::min(size, kTagOffset);
  if (!call_.fetch(self)) return -1;
  if (!call_.is_standard()) {
    Ref message = hmac_message(container, offset);
    if (!message) return -1;
    Ref expected = call_.call(message.get());
    if (!expected) return -1;
    Ref compare = global_attr(kHmac, kCompareDigest);
    if (!compare) return -1;
    Ref stored_tag =
        Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stored), stored_size));
    if (!stored_tag) return -1;
    Ref same = call(compare.get(), {expected.get(), stored_tag.get()});
    return same ? PyObject_IsTrue(same.get()) : -1;
  }

  const hmac::HmacSha256Key mac = call_.mac_key();
  const uint8_t* ciphertext = bytes + offset;
  const auto ciphertext_size = static_cast<size_t>(size - offset);
  uint8_t expected[sha256::kSha256DigestSize];
  if (!decrypt_ahead(mac, bytes + kIvOffset, ciphertext, ciphertext_size, expected)) {
    engine_work(ciphertext_size,
                [&] { hmac::hmac_sha256(mac, ciphertext, ciphertext_size, expected); });
  }
  return tags_match(expected, stored, stored_size);
}

bool DecryptTagCheck::decrypt_ahead(const hmac::HmacSha256Key& mac, const uint8_t* iv,
                                    const uint8_t* ciphertext, size_t size,
                                    uint8_t tag[sha256::kSha256DigestSize]) noexcept {
  if (size < kDecryptAheadFrom || size % kBlockSize != 0) return false;
  // Held from here: other threads may replace the cache entries while the
  // GIL is released below.
  Ref sched = last_decrypt_schedule(call_);
  std::unique_ptr<ScheduleWords> keys(new (std::nothrow) ScheduleWords());
  if (!sched || !keys || !find_cached_round_keys(sched.get(), keys.get())) return false;
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!out) {
    PyErr_Clear();  // no room to decrypt ahead: the tag alone
    return false;
  }
  auto* plain = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
  const aes::RoundKeys round_keys = keys->round_keys();
  engine_work(size, [&] {
    hmac::cbc_decrypt_and_mac(round_keys, iv, ciphertext, plain, size / kBlockSize, mac, tag);
  });
  ahead_sched_ = std::move(sched);
  ahead_keys_ = std::move(keys);
  ahead_iv_ = iv;
  ahead_ = std::move(out);
  return true;
}

bool DecryptTagCheck::ahead_is_result(PyObject* sched, const PreparedCbc& cbc) const noexcept {
  return ahead_sched_ && sched == ahead_sched_.get() && cbc.pending() && cbc.engine_tables() &&
         std::memcmp(cbc.iv(), ahead_iv_, 16) == 0 &&
         same_round_keys(cbc.round_keys(), ahead_keys_->round_keys());
}

void DecryptTagCheck::remember_schedule(PyObject* sched, size_t ciphertext_size) const noexcept {
  if (call_.is_standard() && ciphertext_size >= kDecryptAheadFrom) {
    remember_decrypt_schedule(call_, sched);
  }
}

}  // namespace qox::container
