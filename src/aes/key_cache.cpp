// Python face of the round-key cache: _get_key.
//
// Each use of _KEY_CACHE reads the global again, as the Python definition does, so
// a cache rebound meanwhile (even by _expand_key itself) is the one used. A
// real dict is driven through the dict API; any other object through its
// own get, len, clear and item assignment.
#include "aes/functions.h"
#include "module/global_names.h"
#include "module/state.h"

namespace qox {

namespace {

const Name kGet("get");
const Name kClear("clear");

// The cache holds at most this many entries before a miss empties it.
constexpr Py_ssize_t kMaxCachedKeys = 32;

// _KEY_CACHE.get(key); None when absent.
Ref cached_pair(PyObject* key) {
  Ref cache = lookup_global(kKeyCache);
  if (!cache) return Ref();
  if (PyDict_CheckExact(cache.get())) {
    PyObject* found = PyDict_GetItemWithError(cache.get(), key);
    if (found == nullptr && PyErr_Occurred()) return Ref();
    return Ref::borrow(found != nullptr ? found : Py_None);
  }
  return Ref::steal(PyObject_CallMethodObjArgs(cache.get(), kGet.get(), key, nullptr));
}

// if len(_KEY_CACHE) > 32: _KEY_CACHE.clear()
bool flush_when_full() {
  Ref cache = lookup_global(kKeyCache);
  if (!cache) return false;
  const Py_ssize_t size = PyObject_Size(cache.get());
  if (size < 0) return false;
  if (size <= kMaxCachedKeys) return true;
  if (!(cache = lookup_global(kKeyCache))) return false;
  if (PyDict_CheckExact(cache.get())) {
    PyDict_Clear(cache.get());
    return true;
  }
  return Ref::steal(PyObject_CallMethodObjArgs(cache.get(), kClear.get(), nullptr)).get() !=
         nullptr;
}

PyObject* get_key_impl(PyObject* const* args) noexcept {
  PyObject* key = args[0];
  Ref pair = cached_pair(key);
  if (!pair) return nullptr;
  if (pair.get() != Py_None) return pair.release();  // the very object stored
  if (!flush_when_full()) return nullptr;
  Ref expand = lookup_global(kExpandKey);
  if (!expand) return nullptr;
  pair = Ref::steal(PyObject_Vectorcall(expand.get(), &key, 1, nullptr));
  if (!pair) return nullptr;
  Ref cache = lookup_global(kKeyCache);
  if (!cache || PyObject_SetItem(cache.get(), key, pair.get()) < 0) return nullptr;
  // A result other than a tuple (or None) is refused by the calling convention.
  return pair.release();
}

}  // namespace

const FunctionDescription kGetKeyFunction = {
    "_get_key",
    "_get_key",
    "按密钥缓存轮密钥（同一 key 只展开一次）",
    {Param("key", "bytes")},
    "Tuple[tuple, tuple]",
    get_key_impl,
};

}  // namespace qox
