// Python face of the CBC loops: _cbc_encrypt and _cbc_decrypt.
//
// The checks run in the Python definition's order (schedule, tables, first and
// last, IV, data). When every round-key word is an exact int in 0..2**32-1 and
// every table is the one bound at import or a list of such ints, the loop of
// the Python definition can raise nothing and the whole input goes to the
// engine in one call that writes straight into the result bytes. Anything else
// runs that loop on the objects as found, through the host's own operators
// (cbc_general.h). Round keys the schedule cache still holds are not read
// again (schedule_cache.h).
#include "engine/aes/portable/cbc_table.h"
#include "engine/aes/cbc.h"
#include "aes/prepared_cbc.h"
#include "aes/cbc_inputs.h"
#include "aes/cbc_general.h"
#include "aes/functions.h"
#include "aes/round_tables.h"
#include "aes/schedule_cache.h"
#include "module/errors.h"
#include "module/global_names.h"
#include "module/state.h"
#include "module/unpack.h"

#include <cstring>

namespace qox {

namespace {

constexpr size_t kBlockSize = 16;

// The start of both loops: the schedule, the eight tables, first and last.
bool begin_cbc(Direction direction, PyObject* sched, TableGlobals* tables, ScheduleParts* parts) {
  // nr, first, mid, last = sched
  Ref items[4];
  if (!unpack_exact(sched, items, 4)) return false;
  // The eight tables, read once per call.
  if (!lookup_table_globals(direction, tables)) return false;
  // The outer round keys, four items each.
  parts->mid = std::move(items[2]);
  return unpack_exact(items[1].get(), parts->first, 4) &&
         unpack_exact(items[3].get(), parts->last, 4);
}

const uint8_t* bytes_of(PyObject* bytes) {
  return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes));
}

PyObject* run_cbc(Direction direction, PyObject* const* args) {
  PyObject* data = args[2];
  PreparedCbc cbc;
  const auto size = static_cast<size_t>(PyBytes_GET_SIZE(data));
  if (!cbc.begin(direction, args[0], args[1], data) || !cbc.read(bytes_of(data), size)) {
    return nullptr;
  }
  if (Ref general = cbc.general_result()) return general.release();
  Ref result = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!result) return nullptr;
  cbc.run(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result.get())));
  return result.release();
}

PyObject* cbc_encrypt_impl(PyObject* const* args) noexcept {
  return run_cbc(Direction::encrypt, args);
}

PyObject* cbc_decrypt_impl(PyObject* const* args) noexcept {
  return run_cbc(Direction::decrypt, args);
}

}  // namespace

const FunctionDescription kCbcEncryptFunction = {
    "_cbc_encrypt",
    "_cbc_encrypt",
    "AES-CBC 加密（data 长度必须是 16 的倍数）",
    {Param("sched"), Param("iv", "bytes"), Param("data", "bytes")},
    "bytes",
    cbc_encrypt_impl,
};
const FunctionDescription kCbcDecryptFunction = {
    "_cbc_decrypt",
    "_cbc_decrypt",
    "AES-CBC 解密（data 长度必须是 16 的倍数）",
    {Param("sched"), Param("iv", "bytes"), Param("data", "bytes")},
    "bytes",
    cbc_decrypt_impl,
};

bool PreparedCbc::begin(Direction direction, PyObject* sched, PyObject* iv,
                        PyObject* data) noexcept {
  direction_ = direction;
  sched_ = sched;
  if (!begin_cbc(direction, sched, &tables_, &parts_)) return false;
  // The lengths of the IV and the data.
  if (!check_iv_length(iv) || (data != nullptr && !check_data_length(data))) return false;
  iv_ = bytes_of(iv);
  return true;
}

bool PreparedCbc::read_inputs() noexcept {
  // A cache hit stands for reading first, mid and last, which cannot fail then.
  if (find_cached_round_keys(sched_, &inputs_.keys)) {
    return inputs_.tables.resolve(direction_, tables_);
  }
  if (!inputs_.keys.read(parts_) || !inputs_.tables.resolve(direction_, tables_)) return false;
  remember_round_keys(sched_, inputs_.keys);
  return true;
}

// The loop converts the data as a whole before its first block, so a partial
// block fails there with the host's error and nothing is written. Callers that
// hand a buffer instead of the data object get the same check on a copy.
bool fail_on_partial_block(const uint8_t* in, size_t size) {
  Ref data = Ref::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(in), static_cast<Py_ssize_t>(size)));
  if (data && check_data_length(data.get())) {
    PyErr_SetString(PyExc_SystemError, "a partial block passed the length check");
  }
  return false;
}

bool PreparedCbc::read(const uint8_t* in, size_t size) noexcept {
  in_ = in;
  blocks_ = 0;
  if (size % kBlockSize != 0) return fail_on_partial_block(in, size);
  const size_t blocks = size / kBlockSize;
  // With no blocks nothing past the unpacking is looked at.
  if (blocks > 0 && !read_inputs()) {
    general_ = cbc_general(direction_, parts_, tables_, iv_, in, blocks);
    return bool(general_);
  }
  blocks_ = blocks;
  // The `struct` global that the Python definition packs the result with.
  return bool(lookup_global(kStruct));
}

bool PreparedCbc::read_into(const uint8_t* in, uint8_t* out, size_t size) noexcept {
  if (!read(in, size)) return false;
  Ref packed = general_result();
  if (!packed) return true;
  // Only a `struct` global rebound to another packer gives anything but
  // `size` bytes, which the caller's buffer cannot take.
  if (!PyBytes_CheckExact(packed.get())) {
    raise_result_type(&PyBytes_Type, packed.get());
    return false;
  }
  if (static_cast<size_t>(PyBytes_GET_SIZE(packed.get())) != size) {
    PyErr_SetString(PyExc_ValueError, "the packed result must be as long as the data");
    return false;
  }
  std::memcpy(out, PyBytes_AS_STRING(packed.get()), size);
  return true;
}

void PreparedCbc::run(uint8_t* out) noexcept {
  if (blocks_ == 0) return;
  engine_work(blocks_ * kBlockSize, [&] {
    if (inputs_.tables.all_pristine()) {
      // The module's own tables: the engine may pick its hardware path.
      (direction_ == Direction::encrypt ? aes::cbc_encrypt_auto : aes::cbc_decrypt_auto)(
          inputs_.keys.round_keys(), iv_, in_, out, blocks_);
    } else {
      (direction_ == Direction::encrypt ? aes::cbc_encrypt : aes::cbc_decrypt)(
          inputs_.tables.set(), inputs_.keys.round_keys(), iv_, in_, out, blocks_);
    }
  });
  blocks_ = 0;
}

bool cbc_into(Direction direction, PyObject* sched, PyObject* iv, const uint8_t* in, uint8_t* out,
              size_t size) noexcept {
  PreparedCbc cbc;
  if (!cbc.begin(direction, sched, iv) || !cbc.read_into(in, out, size)) return false;
  cbc.run(out);
  return true;
}

}  // namespace qox
