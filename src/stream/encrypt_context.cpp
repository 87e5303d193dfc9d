// EncryptContext: a container's ciphertext and tag, piece by piece, on the
// engine's one-pass CBC + HMAC-SHA256 loops.
//
//   context = EncryptContext(key, iv, tag)
//   context.update(data) -> bytes   ciphertext of the whole units so far
//   context.finish() -> bytes       the rest, PKCS#7-padded
//   context.tag                     the HMAC tag of all ciphertext (b"" without a tag)
//
// With a tag the unit is one SHA-256 block (64 bytes), so that the ciphertext is
// hashed as it is made; without, one AES block.
#include <cstring>
#include <new>

#include "engine/aes/cbc.h"
#include "engine/aes/key_schedule.h"
#include "engine/cpu/wipe.h"
#include "engine/hmac/cbc_hmac.h"
#include "stream/binding.h"

namespace qox::stream {

namespace {

constexpr size_t kBlock = 16;
constexpr size_t kChunk = sha256::kSha256BlockSize;

// The C++ side of one context. Keys, chain and pending plaintext are wiped
// when it goes.
struct EncryptState {
  EncryptState(const uint8_t* key, size_t key_size, const uint8_t iv[kBlock], bool tagged)
      : mac(key, key_size), tagged(tagged) {
    aes::expand_key(key, key_size, schedules);
    std::memcpy(chain, iv, kBlock);
    hash = mac.inner();
  }
  ~EncryptState() {
    aes::wipe(schedules);
    cpu::wipe_bytes(chain, sizeof chain);
    cpu::wipe_bytes(pending, sizeof pending);
    cpu::wipe_bytes(&hash, sizeof hash);
  }

  size_t unit() const { return tagged ? kChunk : kBlock; }

  // Encrypts `size` bytes, a multiple of unit(), hashing the ciphertext.
  void run(const uint8_t* in, uint8_t* out, size_t size) {
    if (size == 0) return;
    const aes::RoundKeys keys = aes::round_keys(schedules.enc);
    if (tagged) {
      hmac::cbc_encrypt_hash_chunks(keys, chain, in, out, size / kChunk, hash);
      hashed += size;
    } else {
      aes::cbc_encrypt_auto(keys, chain, in, out, size / kBlock);
      std::memcpy(chain, out + size - kBlock, kBlock);
    }
  }

  aes::SchedulePair schedules;
  hmac::HmacSha256Key mac;
  sha256::Sha256State hash;
  uint64_t hashed = 0;  // ciphertext bytes in `hash`
  uint8_t chain[kBlock];
  uint8_t pending[kChunk];  // plaintext short of a unit
  size_t pending_size = 0;
  uint8_t tag[sha256::kSha256DigestSize] = {};
  bool tagged;
  bool finished = false;
  bool busy = false;
};

struct EncryptObject {
  PyObject_HEAD EncryptState* state;
};

EncryptState* state_of(PyObject* self) noexcept {
  return reinterpret_cast<EncryptObject*>(self)->state;
}

PyObject* encrypt_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"key", "iv", "tag", nullptr};
  PyObject *key_obj, *iv_obj;
  int tagged = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|p:EncryptContext",
                                   const_cast<char**>(keywords), &key_obj, &iv_obj, &tagged)) {
    return nullptr;
  }
  const ByteSpan key(key_obj);
  if (!key.ok() || !check_key_size(key)) return nullptr;
  const ByteSpan iv(iv_obj);
  if (!iv.ok()) return nullptr;
  if (iv.size() != kBlock) {
    PyErr_Format(PyExc_ValueError, "an IV has 16 bytes, not %zu", iv.size());
    return nullptr;
  }
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  try {
    reinterpret_cast<EncryptObject*>(self.get())->state =
        new EncryptState(key.data(), key.size(), iv.data(), tagged != 0);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

void encrypt_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete state_of(self);
  type->tp_free(self);
  Py_DECREF(type);  // heap type
}

bool check_open(const EncryptState& state) noexcept {
  if (!state.finished) return true;
  PyErr_SetString(PyExc_ValueError, "the context is finished");
  return false;
}

PyObject* encrypt_update(PyObject* self, PyObject* data_obj) noexcept {
  EncryptState& s = *state_of(self);
  const BusyGuard guard(s.busy);
  if (!guard.ok() || !check_open(s)) return nullptr;
  const ByteSpan data(data_obj);
  if (!data.ok()) return nullptr;
  const size_t unit = s.unit();
  const size_t total = s.pending_size + data.size();
  const size_t out_size = total - total % unit;
  Ref out = new_bytes(out_size);
  if (!out) return nullptr;
  const uint8_t* in = data.data();
  uint8_t* o = bytes_data(out);
  size_t left = data.size();
  if (out_size > 0 && s.pending_size > 0) {  // the pending bytes and the first of data: one unit
    const size_t take = unit - s.pending_size;
    std::memcpy(s.pending + s.pending_size, in, take);
    s.run(s.pending, o, unit);
    in += take, o += unit, left -= take, s.pending_size = 0;
  }
  const size_t body = left - left % unit;
  engine_work(body, [&] { s.run(in, o, body); });
  std::memcpy(s.pending + s.pending_size, in + body, left - body);
  s.pending_size += left - body;
  return out.release();
}

PyObject* encrypt_finish(PyObject* self, PyObject*) noexcept {
  EncryptState& s = *state_of(self);
  const BusyGuard guard(s.busy);
  if (!guard.ok() || !check_open(s)) return nullptr;
  // PKCS#7 over AES blocks: 1 to 16 bytes, each holding the count.
  const size_t pad = kBlock - s.pending_size % kBlock;
  const size_t size = s.pending_size + pad;
  Ref out = new_bytes(size);
  if (!out) return nullptr;
  uint8_t padded[kChunk + kBlock];
  std::memcpy(padded, s.pending, s.pending_size);
  std::memset(padded + s.pending_size, static_cast<int>(pad), pad);
  uint8_t* o = bytes_data(out);
  aes::cbc_encrypt_auto(aes::round_keys(s.schedules.enc), s.chain, padded, o, size / kBlock);
  cpu::wipe(padded);
  if (s.tagged) {
    sha256::Sha256 inner(s.hash, kChunk + s.hashed);
    inner.update(o, size);
    uint8_t inner_digest[sha256::kSha256DigestSize];
    inner.finish(inner_digest);
    s.mac.finish(inner_digest, s.tag);
  }
  s.finished = true;
  return out.release();
}

PyObject* encrypt_tag(PyObject* self, void*) noexcept {
  const EncryptState& s = *state_of(self);
  if (!s.finished) {
    PyErr_SetString(PyExc_ValueError, "the tag is known once finish() has returned");
    return nullptr;
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s.tag),
                                   s.tagged ? static_cast<Py_ssize_t>(sizeof s.tag) : 0);
}

PyMethodDef encrypt_methods[] = {
    {"update", encrypt_update, METH_O, "update(data) -> the ciphertext of the whole units so far"},
    {"finish", encrypt_finish, METH_NOARGS, "finish() -> the last ciphertext, padded"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef encrypt_getset[] = {
    {"tag", encrypt_tag, nullptr, "the HMAC-SHA256 tag of the ciphertext (b'' without a tag)",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot encrypt_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(encrypt_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encrypt_dealloc)},
    {Py_tp_methods, encrypt_methods},
    {Py_tp_getset, encrypt_getset},
    {Py_tp_doc, const_cast<char*>("EncryptContext(key, iv, tag=True): one container's ciphertext "
                                  "and tag, piece by piece")},
    {0, nullptr}};

PyType_Spec encrypt_spec = {"qoxcrypto._engine.EncryptContext", sizeof(EncryptObject), 0,
                            Py_TPFLAGS_DEFAULT, encrypt_slots};

}  // namespace

bool add_encrypt_context(PyObject* module) noexcept {
  Ref type = Ref::steal(PyType_FromSpec(&encrypt_spec));
  if (!type || PyModule_AddObject(module, "EncryptContext", type.get()) < 0) return false;
  type.release();
  return true;
}

}  // namespace qox::stream
