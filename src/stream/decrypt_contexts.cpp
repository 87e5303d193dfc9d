// The two passes of verify-then-decrypt, each a context fed the ciphertext in
// pieces: TagContext hashes it, DecryptContext decrypts it.
//
//   tags = TagContext(key); tags.update(ciphertext)...; tags.digest() -> the HMAC tag
//   plain = DecryptContext(key, iv)
//   plain.update(ciphertext) -> bytes   plaintext of every whole block but the last
//   plain.finish() -> bytes             the last block without its padding
//
// DecryptContext holds the last block back until finish(), which checks the
// PKCS#7 padding without a branch or index on its bytes; it raises ValueError
// when the ciphertext was no whole number of blocks or the padding is wrong.
#include <cstring>
#include <new>

#include "engine/aes/cbc.h"
#include "engine/aes/key_schedule.h"
#include "engine/cpu/wipe.h"
#include "engine/hmac/hmac_sha256.h"
#include "stream/binding.h"

namespace qox::stream {

namespace {

constexpr size_t kBlock = 16;

// ---- TagContext -------------------------------------------------------------

struct TagState {
  TagState(const uint8_t* key, size_t size)
      : mac(key, size), inner(mac.inner(), sha256::kSha256BlockSize) {}

  hmac::HmacSha256Key mac;  // wiped by its destructor
  sha256::Sha256 inner;     // likewise
  bool finished = false;
  bool busy = false;
};

struct TagObject {
  PyObject_HEAD TagState* state;
};

TagState& tag_state(PyObject* self) noexcept { return *reinterpret_cast<TagObject*>(self)->state; }

PyObject* tag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"key", nullptr};
  PyObject* key_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:TagContext", const_cast<char**>(keywords),
                                   &key_obj)) {
    return nullptr;
  }
  const ByteSpan key(key_obj);
  if (!key.ok() || !check_key_size(key)) return nullptr;
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  try {
    reinterpret_cast<TagObject*>(self.get())->state = new TagState(key.data(), key.size());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

void tag_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<TagObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

bool check_open(bool finished) noexcept {
  if (!finished) return true;
  PyErr_SetString(PyExc_ValueError, "the context is finished");
  return false;
}

PyObject* tag_update(PyObject* self, PyObject* data_obj) noexcept {
  TagState& s = tag_state(self);
  const BusyGuard guard(s.busy);
  if (!guard.ok() || !check_open(s.finished)) return nullptr;
  const ByteSpan data(data_obj);
  if (!data.ok()) return nullptr;
  engine_work(data.size(), [&] { s.inner.update(data.data(), data.size()); });
  Py_RETURN_NONE;
}

PyObject* tag_digest(PyObject* self, PyObject*) noexcept {
  TagState& s = tag_state(self);
  const BusyGuard guard(s.busy);
  if (!guard.ok() || !check_open(s.finished)) return nullptr;
  s.finished = true;
  uint8_t inner_digest[sha256::kSha256DigestSize], tag[sha256::kSha256DigestSize];
  s.inner.finish(inner_digest);
  s.mac.finish(inner_digest, tag);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(tag), sizeof tag);
}

PyMethodDef tag_methods[] = {
    {"update", tag_update, METH_O, "update(ciphertext): hashes more ciphertext"},
    {"digest", tag_digest, METH_NOARGS, "digest() -> the HMAC-SHA256 tag; ends the context"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot tag_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tag_dealloc)},
    {Py_tp_methods, tag_methods},
    {Py_tp_doc, const_cast<char*>("TagContext(key): the HMAC-SHA256 tag of a ciphertext")},
    {0, nullptr}};

PyType_Spec tag_spec = {"qoxcrypto._engine.TagContext", sizeof(TagObject), 0, Py_TPFLAGS_DEFAULT,
                        tag_slots};

// ---- DecryptContext ---------------------------------------------------------

struct DecryptState {
  DecryptState(const uint8_t* key, size_t size, const uint8_t iv[kBlock]) {
    aes::expand_key(key, size, schedules);
    std::memcpy(chain, iv, kBlock);
  }
  ~DecryptState() {
    aes::wipe(schedules);
    cpu::wipe(last);
    cpu::wipe(rest);
  }

  aes::SchedulePair schedules;
  uint8_t chain[kBlock];
  uint8_t rest[kBlock];  // ciphertext short of a block
  size_t rest_size = 0;
  uint8_t last[kBlock];  // the last plaintext block, held back for its padding
  bool have_last = false;
  bool finished = false;
  bool busy = false;
};

struct DecryptObject {
  PyObject_HEAD DecryptState* state;
};

DecryptState& decrypt_state(PyObject* self) noexcept {
  return *reinterpret_cast<DecryptObject*>(self)->state;
}

PyObject* decrypt_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"key", "iv", nullptr};
  PyObject *key_obj, *iv_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:DecryptContext", const_cast<char**>(keywords),
                                   &key_obj, &iv_obj)) {
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
    reinterpret_cast<DecryptObject*>(self.get())->state =
        new DecryptState(key.data(), key.size(), iv.data());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

void decrypt_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<DecryptObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

// Decrypts `blocks` whole blocks from in into out, chaining on.
void decrypt_blocks(DecryptState& s, const uint8_t* in, uint8_t* out, size_t blocks) {
  if (blocks == 0) return;
  uint8_t next_chain[kBlock];
  std::memcpy(next_chain, in + (blocks - 1) * kBlock, kBlock);  // before in == out overwrites it
  aes::cbc_decrypt_auto(aes::round_keys(s.schedules.dec), s.chain, in, out, blocks);
  std::memcpy(s.chain, next_chain, kBlock);
}

// Returns the plaintext of every whole block but the last, which replaces the
// one held back (that one is returned first).
PyObject* decrypt_update(PyObject* self, PyObject* data_obj) noexcept {
  DecryptState& s = decrypt_state(self);
  const BusyGuard guard(s.busy);
  if (!guard.ok() || !check_open(s.finished)) return nullptr;
  const ByteSpan data(data_obj);
  if (!data.ok()) return nullptr;
  const size_t blocks = (s.rest_size + data.size()) / kBlock;
  if (blocks == 0) {
    std::memcpy(s.rest + s.rest_size, data.data(), data.size());
    s.rest_size += data.size();
    return PyBytes_FromStringAndSize(nullptr, 0);
  }
  // Room for the held block and every new one; the new last block moves out.
  const size_t held = s.have_last ? kBlock : 0;
  Ref out = new_bytes(held + blocks * kBlock);
  if (!out) return nullptr;
  uint8_t* o = bytes_data(out);
  std::memcpy(o, s.last, held);
  o += held;
  const uint8_t* in = data.data();
  size_t left = data.size();
  size_t whole = blocks;
  if (s.rest_size > 0) {  // the rest and the first bytes of data: one block
    const size_t take = kBlock - s.rest_size;
    std::memcpy(s.rest + s.rest_size, in, take);
    decrypt_blocks(s, s.rest, o, 1);
    in += take, o += kBlock, left -= take, --whole, s.rest_size = 0;
  }
  engine_work(whole * kBlock, [&] { decrypt_blocks(s, in, o, whole); });
  s.rest_size = left - whole * kBlock;
  std::memcpy(s.rest, in + whole * kBlock, s.rest_size);
  const size_t out_size = held + (blocks - 1) * kBlock;
  std::memcpy(s.last, bytes_data(out) + out_size, kBlock);
  s.have_last = true;
  cpu::wipe_bytes(bytes_data(out) + out_size, kBlock);
  PyObject* result = out.release();
  if (_PyBytes_Resize(&result, static_cast<Py_ssize_t>(out_size)) < 0) return nullptr;
  return result;
}

PyObject* decrypt_finish(PyObject* self, PyObject*) noexcept {
  DecryptState& s = decrypt_state(self);
  const BusyGuard guard(s.busy);
  if (!guard.ok() || !check_open(s.finished)) return nullptr;
  s.finished = true;
  if (s.rest_size != 0 || !s.have_last) {
    PyErr_SetString(PyExc_ValueError, "the ciphertext is no whole, non-empty number of blocks");
    return nullptr;
  }
  // The count n is valid when 1 <= n <= 16 and the last n bytes all equal n;
  // computed over every byte with masks, so time does not depend on them.
  const uint32_t n = s.last[kBlock - 1];
  uint32_t bad = ((n - 1) >> 8) | ((16 - n) >> 8);  // n == 0 or n > 16: high bits set
  for (uint32_t i = 0; i < kBlock; ++i) {
    const uint32_t in_padding = (15 - i - n) >> 31;  // 1 when i >= 16 - n
    bad |= (0u - in_padding) & (s.last[i] ^ n);
  }
  if (bad != 0) {
    PyErr_SetString(PyExc_ValueError, "the padding is wrong");
    return nullptr;
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s.last),
                                   static_cast<Py_ssize_t>(kBlock - n));
}

PyMethodDef decrypt_methods[] = {
    {"update", decrypt_update, METH_O,
     "update(ciphertext) -> the plaintext of every whole block so far but the last"},
    {"finish", decrypt_finish, METH_NOARGS, "finish() -> the last block without its padding"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot decrypt_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decrypt_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decrypt_dealloc)},
    {Py_tp_methods, decrypt_methods},
    {Py_tp_doc, const_cast<char*>("DecryptContext(key, iv): a ciphertext's plaintext, piece by "
                                  "piece, the padding checked at finish()")},
    {0, nullptr}};

PyType_Spec decrypt_spec = {"qoxcrypto._engine.DecryptContext", sizeof(DecryptObject), 0,
                            Py_TPFLAGS_DEFAULT, decrypt_slots};

bool add_type(PyObject* module, const char* name, PyType_Spec* spec) noexcept {
  Ref type = Ref::steal(PyType_FromSpec(spec));
  if (!type || PyModule_AddObject(module, name, type.get()) < 0) return false;
  type.release();
  return true;
}

}  // namespace

bool add_decrypt_contexts(PyObject* module) noexcept {
  return add_type(module, "TagContext", &tag_spec) &&
         add_type(module, "DecryptContext", &decrypt_spec);
}

}  // namespace qox::stream
