// Python face of the round tables: _build_tables.
//
// With the S-boxes and field functions as the import bound them, the lists
// are made from the engine's tables. Otherwise the general road runs the
// Python definition on the objects found, each global looked up where the
// definition uses it.
#include "aes/functions.h"
#include "aes/pristine.h"
#include "engine/aes/tables.h"
#include "module/global_names.h"
#include "module/py_expr.h"
#include "module/state.h"

namespace qox {

namespace {

constexpr Py_ssize_t kTableSize = 256;

// A new list of the words of one engine table.
Ref list_of_words(const uint32_t* words) {
  Ref list = Ref::steal(PyList_New(kTableSize));
  if (!list) return Ref();
  for (Py_ssize_t i = 0; i < kTableSize; ++i) {
    PyObject* item = PyLong_FromUnsignedLong(words[i]);
    if (item == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), i, item);
  }
  return list;
}

PyObject* tables_from_engine() {
  const aes::Tables& t = aes::tables();
  const uint32_t* const in_order[] = {
      t.te[0], t.te[1], t.te[2], t.te[3], t.tf[0], t.tf[1], t.tf[2], t.tf[3],
      t.td[0], t.td[1], t.td[2], t.td[3], t.tg[0], t.tg[1], t.tg[2], t.tg[3],
  };
  Ref result = Ref::steal(PyTuple_New(16));
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < 16; ++i) {
    Ref list = list_of_words(in_order[i]);
    if (!list) return nullptr;
    PyTuple_SET_ITEM(result.get(), i, list.release());
  }
  return result.release();
}

// --- The general road: the Python definition on whatever the globals hold --

bool append(PyObject* list, Ref item) { return item && PyList_Append(list, item.get()) == 0; }

// `box[x]` for x in 0..255, then the loop body of te0/tf0 or td0/tg0.
template <typename Body>
bool for_each_entry(const Name& box_name, Body body) {
  for (long x = 0; x < kTableSize; ++x) {
    Ref box = lookup_global(box_name);
    if (!box) return false;
    Ref index = Ref::steal(PyLong_FromLong(x));
    if (!index) return false;
    Ref value = Ref::steal(PyObject_GetItem(box.get(), index.get()));
    if (!value || !body(value.get())) return false;
  }
  return true;
}

// [v << shift for v in box]
Ref shifted(const Name& box_name, long shift) {
  Ref box = lookup_global(box_name);
  if (!box) return Ref();
  Ref iterator = Ref::steal(PyObject_GetIter(box.get()));
  Ref list = Ref::steal(PyList_New(0));
  if (!iterator || !list) return Ref();
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!append(list.get(), PyExpr::of(item.get()).shl(shift).take())) return Ref();
  }
  return PyErr_Occurred() ? Ref() : std::move(list);
}

// list(box)
Ref listed(const Name& box_name) {
  Ref box = lookup_global(box_name);
  return box ? Ref::steal(PySequence_List(box.get())) : Ref();
}

// [_ror8(v) for v in source]; `source` is a list of this call's own.
Ref rotated(PyObject* source) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return Ref();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i) {
    Ref v = Ref::borrow(PyList_GET_ITEM(source, i));
    if (!append(list.get(), PyExpr::call(kRor8, {v.get()}).take())) return Ref();
  }
  return list;
}

// One direction's eight tables into out[0..8): the middle-round tables 0-3
// (_TE or _TD), then the last-round tables 0-3 (_TF or _TG).
bool encryption_half(Ref* out) {
  Ref &te0 = out[0], &tf0 = out[4];
  te0 = Ref::steal(PyList_New(0));
  tf0 = Ref::steal(PyList_New(0));
  if (!te0 || !tf0) return false;
  const bool looped = for_each_entry(kSbox, [&](PyObject* s) {
    Ref s2 = PyExpr::call(kXtime, {s}).take();
    if (!s2) return false;
    Ref s3 = PyExpr::of(s2.get()).bxor(PyExpr::of(s)).take();
    if (!s3) return false;
    Ref word = PyExpr::of(s2.get())
                   .shl(24)
                   .bor(PyExpr::of(s).shl(16))
                   .bor(PyExpr::of(s).shl(8))
                   .bor(PyExpr::of(s3.get()))
                   .take();
    return append(te0.get(), std::move(word)) && append(tf0.get(), PyExpr::of(s).shl(24).take());
  });
  return looped && (out[5] = shifted(kSbox, 16)) && (out[6] = shifted(kSbox, 8)) &&
         (out[7] = listed(kSbox)) && (out[1] = rotated(out[0].get())) &&
         (out[2] = rotated(out[1].get())) && (out[3] = rotated(out[2].get()));
}

bool decryption_half(Ref* out) {
  Ref &td0 = out[0], &tg0 = out[4];
  td0 = Ref::steal(PyList_New(0));
  tg0 = Ref::steal(PyList_New(0));
  Ref c14 = Ref::steal(PyLong_FromLong(14)), c9 = Ref::steal(PyLong_FromLong(9));
  Ref c13 = Ref::steal(PyLong_FromLong(13)), c11 = Ref::steal(PyLong_FromLong(11));
  if (!td0 || !tg0 || !c14 || !c9 || !c13 || !c11) return false;
  const bool looped = for_each_entry(kInvSbox, [&](PyObject* t) {
    Ref word = PyExpr::call(kMul, {c14.get(), t})
                   .shl(24)
                   .bor(PyExpr::call(kMul, {c9.get(), t}).shl(16))
                   .bor(PyExpr::call(kMul, {c13.get(), t}).shl(8))
                   .bor(PyExpr::call(kMul, {c11.get(), t}))
                   .take();
    return append(td0.get(), std::move(word)) && append(tg0.get(), PyExpr::of(t).shl(24).take());
  });
  return looped && (out[5] = shifted(kInvSbox, 16)) && (out[6] = shifted(kInvSbox, 8)) &&
         (out[7] = listed(kInvSbox)) && (out[1] = rotated(out[0].get())) &&
         (out[2] = rotated(out[1].get())) && (out[3] = rotated(out[2].get()));
}

PyObject* tables_as_written() {
  Ref encryption[8], decryption[8];
  if (!encryption_half(encryption) || !decryption_half(decryption)) return nullptr;
  Ref result = Ref::steal(PyTuple_New(16));
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < 8; ++i) {
    PyTuple_SET_ITEM(result.get(), i, encryption[i].release());
    PyTuple_SET_ITEM(result.get(), 8 + i, decryption[i].release());
  }
  return result.release();
}

PyObject* build_tables_impl(PyObject* const*) noexcept {
  if (engine_sbox_bound(kSbox, false) && engine_sbox_bound(kInvSbox, true) &&
      own_functions_bound(
          {{kXtime, kXtimeFunction}, {kMul, kMulFunction}, {kRor8, kRor8Function}})) {
    return tables_from_engine();
  }
  return tables_as_written();
}

}  // namespace

// clang-format off
const FunctionDescription kBuildTablesFunction = {
    "_build_tables",
    "_build_tables",
    "构造加密/解密用的 4 张表 + 末轮用的 4 张表",
    {},
    nullptr,
    build_tables_impl,
};
// clang-format on

}  // namespace qox
