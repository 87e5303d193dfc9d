// The engine binding's shared helpers and its module: the layout constants,
// the constant-time comparison, PKCS#7 and the stream contexts.
#include "stream/binding.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "engine/hmac/hmac_sha256.h"
#include "engine/layout/layout.h"

namespace qox::stream {

ByteSpan::ByteSpan(PyObject* obj) noexcept {
  if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) view_.obj = nullptr;
}

ByteSpan::~ByteSpan() {
  if (view_.obj != nullptr) PyBuffer_Release(&view_);
}

BusyGuard::BusyGuard(bool& busy) noexcept : busy_(busy), ok_(!busy) {
  if (ok_) {
    busy_ = true;
  } else {
    PyErr_SetString(PyExc_RuntimeError, "the context is in use by another thread");
  }
}

bool check_key_size(const ByteSpan& key) noexcept {
  for (size_t size : layout::kKeySizes) {
    if (key.size() == size) return true;
  }
  PyErr_Format(PyExc_ValueError, "a key has 16, 24 or 32 bytes, not %zu", key.size());
  return false;
}

namespace {

// compare_digest(a, b): whether two bytes-like objects hold the same bytes,
// in a time that depends only on their lengths.
PyObject* compare_digest(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "compare_digest() takes 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  const ByteSpan a(args[0]);
  if (!a.ok()) return nullptr;
  const ByteSpan b(args[1]);
  if (!b.ok()) return nullptr;
  const bool same =
      a.size() == b.size() && hmac::equal_in_constant_time(a.data(), b.data(), a.size());
  return PyBool_FromLong(same);
}

// pad(data): data and its PKCS#7 padding to whole AES blocks (1 to 16 bytes,
// each holding their count).
PyObject* pad(PyObject*, PyObject* data_obj) noexcept {
  const ByteSpan data(data_obj);
  if (!data.ok()) return nullptr;
  const size_t count = layout::kBlockSize - data.size() % layout::kBlockSize;
  Ref out = new_bytes(data.size() + count);
  if (!out) return nullptr;
  std::memcpy(bytes_data(out), data.data(), data.size());
  std::memset(bytes_data(out) + data.size(), static_cast<int>(count), count);
  return out.release();
}

// unpad(blocks): whole blocks without the padding of the last one; ValueError
// when it is wrong. The count n is valid when 1 <= n <= 16 and the last n
// bytes all equal n, checked over the whole block with masks so that the
// time taken does not depend on the bytes.
PyObject* unpad(PyObject*, PyObject* blocks_obj) noexcept {
  const ByteSpan blocks(blocks_obj);
  if (!blocks.ok()) return nullptr;
  constexpr uint32_t kBlock = layout::kBlockSize;
  if (blocks.size() == 0 || blocks.size() % kBlock != 0) {
    PyErr_Format(PyExc_ValueError, "the padding is wrong: %zu bytes are no whole blocks",
                 blocks.size());
    return nullptr;
  }
  const uint8_t* last = blocks.data() + blocks.size() - kBlock;
  const uint32_t n = last[kBlock - 1];
  uint32_t bad = ((n - 1) >> 8) | ((kBlock - n) >> 8);  // n == 0 or n > 16: high bits set
  for (uint32_t i = 0; i < kBlock; ++i) {
    const uint32_t in_padding = (kBlock - 1 - i - n) >> 31;  // 1 when i >= 16 - n
    bad |= (0u - in_padding) & (last[i] ^ n);
  }
  if (bad != 0) {
    PyErr_SetString(PyExc_ValueError, "the padding is wrong");
    return nullptr;
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(blocks.data()),
                                   static_cast<Py_ssize_t>(blocks.size() - n));
}

PyMethodDef functions[] = {
    {"pad", pad, METH_O, "pad(data) -> data with its PKCS#7 padding to whole 16-byte blocks"},
    {"unpad", unpad, METH_O, "unpad(blocks) -> whole blocks without the last one's padding"},
    {"compare_digest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compare_digest)),
     METH_FASTCALL, "compare_digest(a, b) -> bool, in constant time for equal lengths."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qoxcrypto._engine",
    "The engine for the package layer (private): CBC and tag contexts on the engine's one-pass\n"
    "loops with the GIL released, PKCS#7, the constant-time comparison, the format's constants.",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr};

// PyModule_AddObject takes the reference only when it succeeds.
bool add_object(PyObject* module, const char* name, Ref value) noexcept {
  if (!value || PyModule_AddObject(module, name, value.get()) < 0) return false;
  value.release();
  return true;
}

// The stored format, from the engine's one description of it.
bool add_constants(PyObject* module) noexcept {
  Ref key_sizes = Ref::steal(PyTuple_New(std::size(layout::kKeySizes)));
  if (!key_sizes) return false;
  for (size_t i = 0; i < std::size(layout::kKeySizes); ++i) {
    PyObject* size = PyLong_FromSize_t(layout::kKeySizes[i]);
    if (size == nullptr) return false;
    PyTuple_SET_ITEM(key_sizes.get(), static_cast<Py_ssize_t>(i), size);
  }
  return add_object(module, "MAGIC",
                    Ref::steal(PyBytes_FromStringAndSize(layout::kMagic, layout::kMagicSize))) &&
         PyModule_AddIntConstant(module, "VERSION", layout::kVersion) == 0 &&
         PyModule_AddIntConstant(module, "HEADER_SIZE", layout::kHeaderSize) == 0 &&
         PyModule_AddIntConstant(module, "TAG_SIZE", layout::kHmacSize) == 0 &&
         PyModule_AddIntConstant(module, "BLOCK_SIZE", layout::kBlockSize) == 0 &&
         PyModule_AddIntConstant(module, "IV_OFFSET", layout::kIvOffset) == 0 &&
         add_object(module, "KEY_SIZES", std::move(key_sizes));
}

}  // namespace

}  // namespace qox::stream

QOX_MODINIT_FUNC PyInit__engine() {
  using namespace qox::stream;
  qox::Ref module = qox::Ref::steal(PyModule_Create(&module_def));
  if (!module || !add_constants(module.get()) || !add_contexts(module.get())) {
    return nullptr;
  }
  return module.release();
}
