// _expand_key's Python definition step by step, through the globals and the host's operators.
//
// Taken when _SBOX, _inv_mix_word, _to_rounds or the field functions behind
// them were rebound: every global is looked up where the definition uses it
// and every operator is the host's, so the result is what the definition
// gives with the objects found.
#include "aes/key_schedule_general.h"

#include "module/global_names.h"
#include "module/py_expr.h"

#include <algorithm>

namespace qox {

namespace {

// _SBOX[(t >> shift) & 0xFF], the global read before the index is computed.
PyExpr sbox_byte(PyObject* t, int64_t shift) {
  if (PyErr_Occurred()) return PyExpr(Ref());
  Ref box = lookup_global(kSbox);
  if (!box) return PyExpr(Ref());
  // No shift is written for the last byte, so none is applied.
  Ref index = (shift != 0 ? PyExpr::of(t).shr(shift) : PyExpr::of(t)).band(0xFF).take();
  return PyExpr(std::move(index)).index_into(box.get());
}

// The byte-wise substitution of t through _SBOX.
Ref substitute(PyObject* t) {
  return sbox_byte(t, 24)
      .shl(24)
      .bor(sbox_byte(t, 16).shl(16))
      .bor(sbox_byte(t, 8).shl(8))
      .bor(sbox_byte(t, 0))
      .take();
}

bool append(PyObject* list, Ref item) { return item && PyList_Append(list, item.get()) == 0; }

// The key's words and the expansion loop: the encryption words as a list.
Ref expanded_words(const uint8_t* key, Py_ssize_t len, Py_ssize_t nk, Py_ssize_t nr) {
  Ref w = Ref::steal(PyList_New(0));
  if (!w) return Ref();
  for (Py_ssize_t i = 0; i < len; i += 4) {
    // int.from_bytes(key[i:i+4], "big"); a short last slice gives a smaller int.
    uint32_t value = 0;
    for (Py_ssize_t j = i; j < std::min(len, i + 4); ++j) value = value << 8 | key[j];
    if (!append(w.get(), Ref::steal(PyLong_FromUnsignedLong(value)))) return Ref();
  }
  uint32_t rcon = 1;  // rcon << 24 needs 32 unsigned bits
  for (Py_ssize_t i = nk; i < 4 * (nr + 1); ++i) {
    // The list holds at least i items here: one is appended per step.
    Ref t = Ref::borrow(PyList_GET_ITEM(w.get(), i - 1));
    if (i % nk == 0) {
      t = PyExpr::of(t.get()).shl(8).bor(PyExpr::of(t.get()).shr(24)).band(0xFFFFFFFF).take();
      if (!t || !(t = substitute(t.get()))) return Ref();
      t = PyExpr::of(t.get()).bxor_long(rcon << 24).take();
      if (!t) return Ref();
      rcon = (rcon & 0x80) ? ((rcon << 1) ^ 0x1B) & 0xFF : rcon << 1;
    } else if (nk > 6 && i % nk == 4) {
      if (!(t = substitute(t.get()))) return Ref();
    }
    Ref before = Ref::borrow(PyList_GET_ITEM(w.get(), i - nk));
    if (!append(w.get(), PyExpr::of(before.get()).bxor(PyExpr::of(t.get())).take())) {
      return Ref();
    }
  }
  return w;
}

// seq[index]
Ref item(PyObject* seq, Py_ssize_t index) {
  Ref key = Ref::steal(PyLong_FromSsize_t(index));
  return key ? Ref::steal(PyObject_GetItem(seq, key.get())) : Ref();
}

// seq[start:stop] or seq[start:stop:-1]
Ref slice(PyObject* seq, Py_ssize_t start, Py_ssize_t stop, bool reversed) {
  Ref start_obj = Ref::steal(PyLong_FromSsize_t(start));
  Ref stop_obj = Ref::steal(PyLong_FromSsize_t(stop));
  Ref step_obj = reversed ? Ref::steal(PyLong_FromLong(-1)) : Ref::borrow(Py_None);
  if (!start_obj || !stop_obj || !step_obj) return Ref();
  Ref range = Ref::steal(PySlice_New(start_obj.get(), stop_obj.get(), step_obj.get()));
  return range ? Ref::steal(PyObject_GetItem(seq, range.get())) : Ref();
}

// (nr, rounds[first], rounds[mid slice], rounds[last]), in this order.
Ref schedule(PyObject* nr_obj, PyObject* rounds, Py_ssize_t nr, bool decrypt) {
  Ref first = item(rounds, decrypt ? nr : 0);
  if (!first) return Ref();
  Ref mid = decrypt ? slice(rounds, nr - 1, 0, true) : slice(rounds, 1, nr, false);
  if (!mid) return Ref();
  Ref last = item(rounds, decrypt ? 0 : nr);
  if (!last) return Ref();
  return Ref::steal(PyTuple_Pack(4, nr_obj, first.get(), mid.get(), last.get()));
}

}  // namespace

PyObject* expand_key_on_general_road(PyObject* key) noexcept {
  const Py_ssize_t len = PyBytes_GET_SIZE(key);
  const Py_ssize_t nk = len / 4;
  const Py_ssize_t nr = nk + 6;
  Ref w = expanded_words(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(key)), len, nk, nr);
  if (!w) return nullptr;

  // The decryption words: a copy whose middle words go through InvMixColumns.
  Ref dw = Ref::steal(PyList_GetSlice(w.get(), 0, PY_SSIZE_T_MAX));
  if (!dw) return nullptr;
  for (Py_ssize_t index = 4; index < 4 * nr; ++index) {
    Ref word = Ref::borrow(PyList_GET_ITEM(w.get(), index));
    Ref mixed = PyExpr::call(kInvMixWord, {word.get()}).take();
    if (!mixed || PyList_SetItem(dw.get(), index, mixed.release()) < 0) return nullptr;
  }

  // Both word lists cut into rounds, then packed as (nr, first, mid, last).
  Ref nr_obj = Ref::steal(PyLong_FromSsize_t(nr));
  if (!nr_obj) return nullptr;
  Ref enc_rounds = PyExpr::call(kToRounds, {w.get(), nr_obj.get()}).take();
  if (!enc_rounds) return nullptr;
  Ref dec_rounds = PyExpr::call(kToRounds, {dw.get(), nr_obj.get()}).take();
  if (!dec_rounds) return nullptr;
  Ref enc = schedule(nr_obj.get(), enc_rounds.get(), nr, false);
  if (!enc) return nullptr;
  Ref dec = schedule(nr_obj.get(), dec_rounds.get(), nr, true);
  if (!dec) return nullptr;
  return PyTuple_Pack(2, enc.get(), dec.get());
}

}  // namespace qox
