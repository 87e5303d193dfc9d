// Round keys read into words, and the IV and data length checks with the host's errors.
#include "aes/cbc_inputs.h"

#include "aes/words.h"
#include "module/global_names.h"
#include "module/state.h"

#include <algorithm>
#include <new>

namespace qox {

namespace {

const Name kUnpack("unpack");
const Name kIvFormat(">4I");

constexpr Py_ssize_t kBlockSize = 16;

using cpu::wipe;

// struct.unpack(format, buffer) on an input of the wrong length. The host
// raises struct.error; a `struct` global rebound to something that accepts
// the input still leaves a length the engine cannot take.
bool raise_from_unpack(PyObject* struct_module, PyObject* format, PyObject* buffer,
                       const char* fallback) {
  Ref unpack = Ref::steal(PyObject_GetAttr(struct_module, kUnpack.get()));
  if (!unpack) return false;
  PyObject* call_args[] = {format, buffer};
  Ref result = Ref::steal(PyObject_Vectorcall(unpack.get(), call_args, 2, nullptr));
  if (result) PyErr_SetString(PyExc_ValueError, fallback);
  return false;
}

// Four exact words from the items of `first`, `last` or one middle round key.
bool read_round_key(PyObject* const* items, uint32_t* out) {
  for (int j = 0; j < 4; ++j) {
    if (!exact_word(items[j], &out[j])) return false;
  }
  return true;
}

bool read_round_key(const Ref (&items)[4], uint32_t* out) {
  PyObject* const objects[4] = {items[0].get(), items[1].get(), items[2].get(), items[3].get()};
  return read_round_key(objects, out);
}

}  // namespace

ScheduleWords::~ScheduleWords() {
  cpu::wipe(first_, 4);
  cpu::wipe(last_, 4);
  cpu::wipe(inline_mid_, kInlineWords);
  cpu::wipe(spilled_mid_.data(), spilled_mid_.size());
}

uint32_t* ScheduleWords::next_round_slot() noexcept {
  const size_t used = 4 * mid_rounds_;
  if (spilled_mid_.empty() && used + 4 <= kInlineWords) {
    ++mid_rounds_;
    return &inline_mid_[used];
  }
  try {
    if (spilled_mid_.empty()) spilled_mid_.assign(inline_mid_, inline_mid_ + used);
    spilled_mid_.resize(used + 4);
  } catch (const std::bad_alloc&) {
    return nullptr;  // the general loop takes over
  }
  ++mid_rounds_;
  return &spilled_mid_[used];
}

bool ScheduleWords::read(const ScheduleParts& parts) noexcept {
  if (!read_round_key(parts.first, first_) || !read_round_key(parts.last, last_)) return false;
  PyObject* mid = parts.mid.get();
  if (!PyList_CheckExact(mid) && !PyTuple_CheckExact(mid)) return false;
  // Reading exact ints runs no Python code, so the item arrays stay valid.
  for (Py_ssize_t r = 0; r < PySequence_Fast_GET_SIZE(mid); ++r) {
    PyObject* round_key = PySequence_Fast_ITEMS(mid)[r];
    if ((!PyList_CheckExact(round_key) && !PyTuple_CheckExact(round_key)) ||
        PySequence_Fast_GET_SIZE(round_key) != 4) {
      return false;
    }
    uint32_t* slot = next_round_slot();
    if (slot == nullptr || !read_round_key(PySequence_Fast_ITEMS(round_key), slot)) return false;
  }
  return true;
}

void ScheduleWords::copy_from(const ScheduleWords& other) noexcept {
  std::copy(other.first_, other.first_ + 4, first_);
  std::copy(other.last_, other.last_ + 4, last_);
  std::copy(other.inline_mid_, other.inline_mid_ + kInlineWords, inline_mid_);
  cpu::wipe(spilled_mid_.data(), spilled_mid_.size());
  spilled_mid_.clear();
  mid_rounds_ = other.mid_rounds_;
}

aes::RoundKeys ScheduleWords::round_keys() const noexcept {
  const uint32_t* mid = spilled_mid_.empty() ? inline_mid_ : spilled_mid_.data();
  return {first_, mid, mid_rounds_, last_};
}

bool check_iv_length(PyObject* iv) noexcept {
  Ref struct_module = lookup_global(kStruct);
  if (!struct_module) return false;
  if (PyBytes_GET_SIZE(iv) == kBlockSize) return true;
  return raise_from_unpack(struct_module.get(), kIvFormat.get(), iv, "the IV must be 16 bytes");
}

bool check_data_length(PyObject* data) noexcept {
  Ref struct_module = lookup_global(kStruct);
  if (!struct_module) return false;
  const Py_ssize_t size = PyBytes_GET_SIZE(data);
  if (size % kBlockSize == 0) return true;
  // The format names the words of the whole blocks: ">%dI" % (4 * n).
  Ref format = Ref::steal(PyUnicode_FromFormat(">%zdI", 4 * (size / kBlockSize)));
  if (!format) return false;
  return raise_from_unpack(struct_module.get(), format.get(), data,
                           "the data length must be a multiple of 16");
}

}  // namespace qox
