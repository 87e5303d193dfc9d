// The stream contexts of qoxcrypto._engine, fed whole AES blocks in pieces:
//
//   CbcContext(key, iv, encrypt, hashed)
//     .update(blocks) -> bytes   the other side of blocks (a multiple of 16 bytes),
//                                chaining on from the last ciphertext block
//     .digest() -> bytes         with hashed, the HMAC-SHA256 tag of the ciphertext so far
//   TagContext(key)
//     .update(data), .digest()   the tag of any bytes fed in pieces (the tag pass)
//
// A hashed CbcContext hashes the ciphertext in the same pass as its blocks
// (the engine's one-pass loops) for every whole SHA-256 block of it.
#include <cstring>
#include <memory>
#include <new>

#include "engine/aes/cbc.h"
#include "engine/aes/key_schedule.h"
#include "engine/hmac/cbc_hmac.h"
#include "stream/binding.h"
#include "stream/tag_hash.h"

namespace qox::stream {

namespace {

constexpr size_t kBlock = 16;
constexpr size_t kChunk = TagHash::kBlock;

struct CbcState {
  CbcState(const uint8_t* key, size_t size, const uint8_t iv[kBlock], bool encrypt, bool hashed)
      : encrypt(encrypt), tag(hashed ? new TagHash(key, size) : nullptr) {
    aes::expand_key(key, size, schedules);
    std::memcpy(chain, iv, kBlock);
  }
  ~CbcState() {
    aes::wipe(schedules);
    cpu::wipe(chain);
  }

  aes::RoundKeys keys() const { return aes::round_keys(encrypt ? schedules.enc : schedules.dec); }

  // `blocks` whole blocks on the CBC loop alone, hashing the ciphertext
  // through the tag's block buffer.
  void plain_blocks(const uint8_t* in, uint8_t* out, size_t blocks) {
    if (blocks == 0) return;
    const size_t size = blocks * kBlock;
    if (encrypt) {
      aes::cbc_encrypt_auto(keys(), chain, in, out, blocks);
      std::memcpy(chain, out + size - kBlock, kBlock);
      if (tag) tag->update(out, size);
    } else {
      if (tag) tag->update(in, size);
      uint8_t next_chain[kBlock];
      std::memcpy(next_chain, in + size - kBlock, kBlock);  // before in == out overwrites it
      aes::cbc_decrypt_auto(keys(), chain, in, out, blocks);
      std::memcpy(chain, next_chain, kBlock);
    }
  }

  // Any number of whole blocks: first those that complete the tag's buffer,
  // then whole SHA-256 blocks on the one-pass loops, then the rest.
  void run(const uint8_t* in, uint8_t* out, size_t size) {
    if (!tag) return plain_blocks(in, out, size / kBlock);
    size_t head = tag->buffered() > 0 ? kChunk - tag->buffered() : 0;
    if (head > size) head = size;
    plain_blocks(in, out, head / kBlock);
    in += head, out += head, size -= head;
    const size_t chunks = size / kChunk;
    if (chunks > 0) {
      (encrypt ? hmac::cbc_encrypt_hash_chunks : hmac::cbc_decrypt_hash_chunks)(
          keys(), chain, in, out, chunks, tag->state_for_chunks());
      tag->chunks_hashed(chunks);
    }
    plain_blocks(in + chunks * kChunk, out + chunks * kChunk, size % kChunk / kBlock);
  }

  aes::SchedulePair schedules;
  bool encrypt;
  std::unique_ptr<TagHash> tag;
  uint8_t chain[kBlock];
  bool busy = false;
};

template <class State>
struct Object {
  PyObject_HEAD State* state;
};

template <class State>
State& state_of(PyObject* self) noexcept {
  return *reinterpret_cast<Object<State>*>(self)->state;
}

template <class State>
void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Object<State>*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);  // heap type
}

// A new object of `type` owning the State built by make(); nullptr with an
// exception when allocation fails.
template <class State, class Make>
PyObject* new_object(PyTypeObject* type, Make make) noexcept {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  try {
    reinterpret_cast<Object<State>*>(self.get())->state = make();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

PyObject* digest_bytes(const TagHash& tag) noexcept {
  uint8_t digest[sha256::kSha256DigestSize];
  tag.digest(digest);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(digest), sizeof digest);
}

// ---- CbcContext ---------------------------------------------------------------

PyObject* cbc_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"key", "iv", "encrypt", "hashed", nullptr};
  PyObject *key_obj, *iv_obj;
  int encrypt, hashed;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOpp:CbcContext", const_cast<char**>(keywords),
                                   &key_obj, &iv_obj, &encrypt, &hashed)) {
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
  return new_object<CbcState>(type, [&] {
    return new CbcState(key.data(), key.size(), iv.data(), encrypt != 0, hashed != 0);
  });
}

PyObject* cbc_update(PyObject* self, PyObject* blocks_obj) noexcept {
  CbcState& s = state_of<CbcState>(self);
  const BusyGuard guard(s.busy);
  if (!guard.ok()) return nullptr;
  const ByteSpan blocks(blocks_obj);
  if (!blocks.ok()) return nullptr;
  if (blocks.size() % kBlock != 0) {
    PyErr_Format(PyExc_ValueError, "CBC takes whole blocks: %zu bytes is not a multiple of 16",
                 blocks.size());
    return nullptr;
  }
  Ref out = new_bytes(blocks.size());
  if (!out) return nullptr;
  uint8_t* o = bytes_data(out);
  engine_work(blocks.size(), [&] { s.run(blocks.data(), o, blocks.size()); });
  return out.release();
}

PyObject* cbc_digest(PyObject* self, PyObject*) noexcept {
  CbcState& s = state_of<CbcState>(self);
  const BusyGuard guard(s.busy);  // the tag may be mid-update in a thread without the GIL
  if (!guard.ok()) return nullptr;
  if (!s.tag) {
    PyErr_SetString(PyExc_ValueError, "this context hashes nothing (hashed=False)");
    return nullptr;
  }
  return digest_bytes(*s.tag);
}

PyMethodDef cbc_methods[] = {
    {"update", cbc_update, METH_O, "update(blocks) -> the other side of whole blocks"},
    {"digest", cbc_digest, METH_NOARGS, "digest() -> the HMAC-SHA256 tag of the ciphertext so far"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot cbc_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(cbc_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<CbcState>)},
    {Py_tp_methods, cbc_methods},
    {Py_tp_doc, const_cast<char*>("CbcContext(key, iv, encrypt, hashed): CBC over whole blocks "
                                  "fed in pieces, with the ciphertext's tag in the same pass")},
    {0, nullptr}};

PyType_Spec cbc_spec = {"qoxcrypto._engine.CbcContext", sizeof(Object<CbcState>), 0,
                        Py_TPFLAGS_DEFAULT, cbc_slots};

// ---- TagContext ---------------------------------------------------------------

struct TagState {
  TagState(const uint8_t* key, size_t size) : tag(key, size) {}
  TagHash tag;
  bool busy = false;
};

PyObject* tag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"key", nullptr};
  PyObject* key_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:TagContext", const_cast<char**>(keywords),
                                   &key_obj)) {
    return nullptr;
  }
  const ByteSpan key(key_obj);
  if (!key.ok() || !check_key_size(key)) return nullptr;
  return new_object<TagState>(type, [&] { return new TagState(key.data(), key.size()); });
}

PyObject* tag_update(PyObject* self, PyObject* data_obj) noexcept {
  TagState& s = state_of<TagState>(self);
  const BusyGuard guard(s.busy);
  if (!guard.ok()) return nullptr;
  const ByteSpan data(data_obj);
  if (!data.ok()) return nullptr;
  engine_work(data.size(), [&] { s.tag.update(data.data(), data.size()); });
  Py_RETURN_NONE;
}

PyObject* tag_digest(PyObject* self, PyObject*) noexcept {
  TagState& s = state_of<TagState>(self);
  const BusyGuard guard(s.busy);  // as for cbc_digest
  if (!guard.ok()) return nullptr;
  return digest_bytes(s.tag);
}

PyMethodDef tag_methods[] = {
    {"update", tag_update, METH_O, "update(data): hashes more data"},
    {"digest", tag_digest, METH_NOARGS, "digest() -> the HMAC-SHA256 tag of the data so far"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot tag_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<TagState>)},
    {Py_tp_methods, tag_methods},
    {Py_tp_doc, const_cast<char*>("TagContext(key): the HMAC-SHA256 tag of data fed in pieces")},
    {0, nullptr}};

PyType_Spec tag_spec = {"qoxcrypto._engine.TagContext", sizeof(Object<TagState>), 0,
                        Py_TPFLAGS_DEFAULT, tag_slots};

bool add_type(PyObject* module, const char* name, PyType_Spec* spec) noexcept {
  Ref type = Ref::steal(PyType_FromSpec(spec));
  if (!type || PyModule_AddObject(module, name, type.get()) < 0) return false;
  type.release();
  return true;
}

}  // namespace

bool add_contexts(PyObject* module) noexcept {
  return add_type(module, "CbcContext", &cbc_spec) && add_type(module, "TagContext", &tag_spec);
}

}  // namespace qox::stream
