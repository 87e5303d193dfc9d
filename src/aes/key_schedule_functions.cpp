// Python face of key expansion: _inv_mix_word, _to_rounds, _expand_key.
//
// With the globals these functions read still as the import bound them, the
// engine does the work (the fast road); otherwise the general road runs the
// Python definition on what is found.
#include "engine/aes/key_schedule.h"
#include "aes/functions.h"
#include "aes/key_schedule_general.h"
#include "aes/pristine.h"
#include "engine/cpu/wipe.h"
#include "module/global_names.h"
#include "module/int_bits.h"
#include "module/py_expr.h"
#include "module/state.h"

#include <new>

namespace qox {

namespace {

// --- _inv_mix_word ---------------------------------------------------------

// The sixteen _mul calls with the global found, row by row.
PyObject* inv_mix_word_as_written(uint32_t w) {
  static const long kFactors[4][4] = {
      {14, 11, 13, 9}, {9, 14, 11, 13}, {13, 9, 14, 11}, {11, 13, 9, 14}};
  Ref a[4], factor[4][4];
  for (int k = 0; k < 4; ++k) {
    if (!(a[k] = Ref::steal(PyLong_FromLong((w >> (24 - 8 * k)) & 0xFF)))) return nullptr;
    for (int row = 0; row < 4; ++row) {
      if (!(factor[row][k] = Ref::steal(PyLong_FromLong(kFactors[row][k])))) return nullptr;
    }
  }
  Ref r[4];
  for (int row = 0; row < 4; ++row) {
    auto product = [&](int k) { return PyExpr::call(kMul, {factor[row][k].get(), a[k].get()}); };
    r[row] = product(0).bxor(product(1)).bxor(product(2)).bxor(product(3)).take();
    if (!r[row]) return nullptr;
  }
  return PyExpr::of(r[0].get())
      .shl(24)
      .bor(PyExpr::of(r[1].get()).shl(16))
      .bor(PyExpr::of(r[2].get()).shl(8))
      .bor(PyExpr::of(r[3].get()))
      .take()
      .release();
}

// Each byte is masked with 0xFF, so only bits 0..31 of w (two's complement
// for negative ints, as Python's & gives) take part.
PyObject* inv_mix_word_impl(PyObject* const* args) noexcept {
  uint64_t w = 0;
  if (!low_bits(args[0], 0xFFFFFFFF, &w)) return nullptr;
  if (own_functions_bound({{kMul, kMulFunction}, {kXtime, kXtimeFunction}})) {
    return PyLong_FromUnsignedLong(aes::inv_mix_word(static_cast<uint32_t>(w)));
  }
  return inv_mix_word_as_written(static_cast<uint32_t>(w));
}

// --- _to_rounds ------------------------------------------------------------

PyObject* raise_list_index() {
  PyErr_SetString(PyExc_IndexError, "list index out of range");
  return nullptr;
}

PyObject* to_rounds_impl(PyObject* const* args) noexcept {
  PyObject* w = args[0];
  int overflow = 0;
  const long long nr = PyLong_AsLongLongAndOverflow(args[1], &overflow);
  if (nr == -1 && PyErr_Occurred()) return nullptr;
  if (overflow < 0 || (overflow == 0 && nr < 0)) return PyList_New(0);
  // Element r reads w[4r .. 4r+3]; the last one, r = nr, needs 4nr+4 items.
  // Checked up front so a huge nr fails without building anything.
  const Py_ssize_t size = PyList_GET_SIZE(w);
  if (overflow > 0 || nr >= size / 4) return raise_list_index();
  const auto rounds = static_cast<Py_ssize_t>(nr) + 1;
  Ref result = Ref::steal(PyList_New(rounds));
  if (!result) return nullptr;
  // Each tuple is an allocation, and an allocation can run finalizers (the
  // cyclic collector) that change `w`: its length is checked again for every
  // element, and the four items are held while their tuple is made.
  for (Py_ssize_t r = 0; r < rounds; ++r) {
    if (PyList_GET_SIZE(w) < 4 * r + 4) return raise_list_index();
    PyObject** items = &PyList_GET_ITEM(w, 4 * r);
    const Ref words[4] = {Ref::borrow(items[0]), Ref::borrow(items[1]), Ref::borrow(items[2]),
                          Ref::borrow(items[3])};
    PyObject* round_key =
        PyTuple_Pack(4, words[0].get(), words[1].get(), words[2].get(), words[3].get());
    if (round_key == nullptr) return nullptr;
    PyList_SET_ITEM(result.get(), r, round_key);
  }
  return result.release();
}

// --- _expand_key -----------------------------------------------------------

Ref round_key_tuple(const aes::RoundKey& key) {
  Ref tuple = Ref::steal(PyTuple_New(4));
  if (!tuple) return Ref();
  for (Py_ssize_t j = 0; j < 4; ++j) {
    PyObject* word = PyLong_FromUnsignedLong(key[j]);
    if (word == nullptr) return Ref();
    PyTuple_SET_ITEM(tuple.get(), j, word);
  }
  return tuple;
}

// (nr, first, [middle round keys], last)
Ref schedule_tuple(const aes::Schedule& schedule) {
  Ref nr = Ref::steal(PyLong_FromLong(schedule.nr));
  Ref first = round_key_tuple(schedule.first);
  Ref last = round_key_tuple(schedule.last);
  Ref mid = Ref::steal(PyList_New(static_cast<Py_ssize_t>(schedule.mid.size())));
  if (!nr || !first || !last || !mid) return Ref();
  for (size_t r = 0; r < schedule.mid.size(); ++r) {
    Ref round_key = round_key_tuple(schedule.mid[r]);
    if (!round_key) return Ref();
    PyList_SET_ITEM(mid.get(), static_cast<Py_ssize_t>(r), round_key.release());
  }
  return Ref::steal(PyTuple_Pack(4, nr.get(), first.get(), mid.get(), last.get()));
}

// `i % nk` with nk == 0, computed by the host so the message is its own.
PyObject* raise_modulo_by_zero() {
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return nullptr;
  Ref never = Ref::steal(PyNumber_Remainder(zero.get(), zero.get()));
  if (never) PyErr_SetString(PyExc_ZeroDivisionError, "integer modulo by zero");
  return nullptr;
}

PyObject* expand_key_impl(PyObject* const* args) noexcept {
  PyObject* key = args[0];
  const Py_ssize_t len = PyBytes_GET_SIZE(key);
  // The first step reads w[nk - 1]: w[-1] of an empty list for no key...
  if (len == 0) return raise_list_index();
  // ...and with 1 to 3 bytes nk is 0, so the first `i % nk` divides by zero.
  if (len < 4) return raise_modulo_by_zero();
  if (!engine_sbox_bound(kSbox, false) || !own_functions_bound({{kInvMixWord, kInvMixWordFunction},
                                                                {kToRounds, kToRoundsFunction},
                                                                {kMul, kMulFunction},
                                                                {kXtime, kXtimeFunction}})) {
    return expand_key_on_general_road(key);
  }
  aes::SchedulePair pair;
  // The words live on only as the Python ints of the result.
  const cpu::OnScopeExit wipe_pair([&pair] { aes::wipe(pair); });
  const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(key));
  aes::ExpandStatus status;
  try {
    // Word lists in proportion to the key: a huge key can exhaust memory.
    status = aes::expand_key(bytes, static_cast<size_t>(len), pair);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (status != aes::ExpandStatus::ok) {
    PyErr_SetString(PyExc_SystemError, "key expansion refused a key of 4 or more bytes");
    return nullptr;
  }
  Ref encrypt = schedule_tuple(pair.enc);
  Ref decrypt = schedule_tuple(pair.dec);
  if (!encrypt || !decrypt) return nullptr;
  return PyTuple_Pack(2, encrypt.get(), decrypt.get());
}

const char kExpandKeyDoc[] =
    "密钥扩展，返回（加密调度, 解密调度）。\n"
    "\n"
    "    调度结构统一为 ``(nr, 首轮密钥, 中间各轮密钥, 末轮密钥)``，\n"
    "    解密的中间轮已按倒序排好并预先做过 InvMixColumns。\n"
    "    ";

}  // namespace

// clang-format off
const FunctionDescription kInvMixWordFunction = {
    "_inv_mix_word",
    "_inv_mix_word",
    "对单个列字做 InvMixColumns（用于生成解密轮密钥）",
    {Param("w", "int")},
    "int",
    inv_mix_word_impl,
};
// clang-format on
const FunctionDescription kToRoundsFunction = {
    "_to_rounds",
    "_to_rounds",
    "把扁平轮密钥按轮切成 (w0,w1,w2,w3) 元组，省掉内层循环的索引运算",
    {Param("w", "List[int]"), Param("nr", "int")},
    "List[Tuple[int, int, int, int]]",
    to_rounds_impl,
};
// clang-format off
const FunctionDescription kExpandKeyFunction = {
    "_expand_key",
    "_expand_key",
    kExpandKeyDoc,
    {Param("key", "bytes")},
    "Tuple[tuple, tuple]",
    expand_key_impl,
};
// clang-format on

}  // namespace qox
