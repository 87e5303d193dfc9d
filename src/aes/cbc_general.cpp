// The CBC loops step by step on Python objects, for inputs the engine cannot stand in for.
//
// Slow by design: it serves callers who pass schedules or tables outside the
// contract (ints out of range, int subclasses, other types, tables that are
// not lists), so that they meet the results and errors of the Python definition.
#include "aes/cbc_general.h"

#include "module/global_names.h"
#include "module/py_expr.h"
#include "module/state.h"
#include "module/unpack.h"

#include <new>
#include <vector>

namespace qox {

namespace {

const Name kPack("pack");

constexpr size_t kBlockSize = 16;

using Column = Ref[4];

// The four big-endian words of a block, as struct.unpack gives them.
bool read_words(const uint8_t* block, Column& out) {
  for (int i = 0; i < 4; ++i) {
    const uint8_t* p = block + 4 * i;
    const uint32_t word = (static_cast<uint32_t>(p[0]) << 24) |
                          (static_cast<uint32_t>(p[1]) << 16) | (static_cast<uint32_t>(p[2]) << 8) |
                          p[3];
    out[i] = Ref::steal(PyLong_FromUnsignedLong(word));
    if (!out[i]) return false;
  }
  return true;
}

// One round: output r XORs table 0 indexed by column r, then tables 1 to 3
// by the columns one, two and three places on (encryption: to the right,
// decryption: to the left), then key word r; the state is replaced only
// once all four outputs exist.
bool run_round(Direction direction, PyObject* const (&t)[4], Column& w, PyObject* const (&k)[4]) {
  const int step = direction == Direction::encrypt ? 1 : 3;
  Column n;
  for (int r = 0; r < 4; ++r) {
    PyObject* x1 = w[(r + step) % 4].get();
    PyObject* x2 = w[(r + 2 * step) % 4].get();
    PyObject* x3 = w[(r + 3 * step) % 4].get();
    n[r] = PyExpr::of(w[r].get())
               .shr(24)
               .index_into(t[0])
               .bxor(PyExpr::of(x1).shr(16).band(255).index_into(t[1]))
               .bxor(PyExpr::of(x2).shr(8).band(255).index_into(t[2]))
               .bxor(PyExpr::of(x3).band(255).index_into(t[3]))
               .bxor(PyExpr::of(k[r]))
               .take();
    if (!n[r]) return false;
  }
  for (int r = 0; r < 4; ++r) w[r] = std::move(n[r]);
  return true;
}

// `for k0, k1, k2, k3 in mid:` one middle round each; `mid` is iterated
// afresh for every block.
bool run_middle_rounds(Direction direction, PyObject* mid, PyObject* const (&t)[4], Column& w) {
  Ref iterator = Ref::steal(PyObject_GetIter(mid));
  if (!iterator) return false;
  while (Ref round_key = Ref::steal(PyIter_Next(iterator.get()))) {
    Column k;
    if (!unpack_exact(round_key.get(), k, 4)) return false;
    PyObject* const words[4] = {k[0].get(), k[1].get(), k[2].get(), k[3].get()};
    if (!run_round(direction, t, w, words)) return false;
  }
  return !PyErr_Occurred();
}

// Stores the block into out[j..j+4], XORed word by word with `chain` when
// there is one (decryption: out[j] = d0 ^ p0, ...).
bool store_block(std::vector<Ref>& out, size_t j, const Column& block, const Column* chain) {
  for (int i = 0; i < 4; ++i) {
    out[j + i] = chain == nullptr
                     ? Ref::borrow(block[i].get())
                     : PyExpr::of(block[i].get()).bxor(PyExpr::of((*chain)[i].get())).take();
    if (!out[j + i]) return false;
  }
  return true;
}

// struct.pack(">%dI" % (4 * n), *out)
Ref pack_words(std::vector<Ref>& out) {
  Ref struct_module = lookup_global(kStruct);
  if (!struct_module) return Ref();
  Ref pack = Ref::steal(PyObject_GetAttr(struct_module.get(), kPack.get()));
  if (!pack) return Ref();
  Ref format = Ref::steal(PyUnicode_FromFormat(">%zuI", out.size()));
  if (!format) return Ref();
  // Filled at once, with nothing allocated in between, so no Python code can
  // see the tuple half empty.
  Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(1 + out.size())));
  if (!args) return Ref();
  PyTuple_SET_ITEM(args.get(), 0, format.release());
  for (size_t i = 0; i < out.size(); ++i) {
    PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(1 + i), out[i].release());
  }
  return Ref::steal(PyObject_Call(pack.get(), args.get(), nullptr));
}

void copy(const Column& from, Column& to) {
  for (int i = 0; i < 4; ++i) to[i] = Ref::borrow(from[i].get());
}

}  // namespace

Ref cbc_general(Direction direction, const ScheduleParts& parts, const TableGlobals& tables,
                const uint8_t* iv, const uint8_t* in, size_t blocks) noexcept {
  const bool encrypt = direction == Direction::encrypt;
  PyObject* const t[4] = {tables.round[0].get(), tables.round[1].get(), tables.round[2].get(),
                          tables.round[3].get()};
  PyObject* const f[4] = {tables.final_round[0].get(), tables.final_round[1].get(),
                          tables.final_round[2].get(), tables.final_round[3].get()};
  PyObject* const a[4] = {parts.first[0].get(), parts.first[1].get(), parts.first[2].get(),
                          parts.first[3].get()};
  PyObject* const b[4] = {parts.last[0].get(), parts.last[1].get(), parts.last[2].get(),
                          parts.last[3].get()};
  Column p;
  if (!read_words(iv, p)) return Ref();
  // out = [0] * (4 * n); the slots are filled block by block.
  std::vector<Ref> out;
  try {
    out.resize(4 * blocks);
  } catch (const std::bad_alloc&) {
    return Ref::steal(PyErr_NoMemory());
  }
  // The blocks.
  for (size_t j = 0; j < out.size(); j += 4) {
    Column c, w;
    if (!read_words(in + kBlockSize * (j / 4), c)) return Ref();
    for (int i = 0; i < 4; ++i) {
      // Encryption: words[j] ^ p0 ^ a0; decryption: c0 ^ a0.
      PyExpr value = PyExpr::of(c[i].get());
      w[i] = encrypt ? std::move(value).bxor(PyExpr::of(p[i].get())).bxor(PyExpr::of(a[i])).take()
                     : std::move(value).bxor(PyExpr::of(a[i])).take();
      if (!w[i]) return Ref();
    }
    if (!run_middle_rounds(direction, parts.mid.get(), t, w) || !run_round(direction, f, w, b) ||
        !store_block(out, j, w, encrypt ? nullptr : &p)) {
      return Ref();
    }
    copy(encrypt ? w : c, p);
  }
  // The words packed big-endian by the `struct` global's pack.
  return pack_words(out);
}

}  // namespace qox
