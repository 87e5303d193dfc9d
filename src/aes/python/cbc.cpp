// Python face of the CBC loops: _cbc_encrypt and _cbc_decrypt.
//
// The checks run in the Python definition's order (schedule, tables, first and
// last, IV, data). When every round-key word is an exact int in 0..2**32-1 and
// every table is the one bound at import or a list of such ints, the loop of
// the Python definition can raise nothing and the whole input goes to the
// engine in one call that writes straight into the result bytes. Anything else
// runs that loop on the objects as found, through the host's own operators
// (cbc_general.h).
#include "aes/cbc.h"
#include "aes/cbc_dispatch.h"
#include "aes/python/cbc.h"
#include "aes/python/cbc_inputs.h"
#include "aes/python/cbc_general.h"
#include "aes/python/functions.h"
#include "aes/python/round_tables.h"
#include "module/errors.h"
#include "module/global_names.h"
#include "module/state.h"
#include "module/unpack.h"

#include <cstring>

namespace qox {

namespace {

constexpr size_t kBlockSize = 16;

// From this many bytes on, the engine runs with the GIL released: above it
// the release costs well under 1% of the work, and threads encrypting large
// inputs run in parallel. The engine then touches only immutable bytes
// objects held by the caller, the new result that nobody else sees yet, and
// C++ copies of the keys and tables.
constexpr size_t kReleaseGilFrom = 32 * 1024;

// The round keys and tables of one call as the engine reads them.
struct EngineInputs {
  ScheduleWords keys;
  TableWords tables;
  // False, with no exception set, when the general loop must run instead.
  bool read(Direction direction, const ScheduleParts& parts, const TableGlobals& found) noexcept {
    return keys.read(parts) && tables.resolve(direction, found);
  }
};

void run_engine(Direction direction, const EngineInputs& inputs, const uint8_t* iv,
                const uint8_t* in, uint8_t* out, size_t blocks) {
  const bool release_gil = blocks * kBlockSize >= kReleaseGilFrom;
  PyThreadState* saved = release_gil ? PyEval_SaveThread() : nullptr;
  if (inputs.tables.all_pristine()) {
    // The module's own tables: the engine may pick its hardware path.
    (direction == Direction::encrypt ? aes::cbc_encrypt_auto : aes::cbc_decrypt_auto)(
        inputs.keys.round_keys(), iv, in, out, blocks);
  } else {
    (direction == Direction::encrypt ? aes::cbc_encrypt : aes::cbc_decrypt)(
        inputs.tables.set(), inputs.keys.round_keys(), iv, in, out, blocks);
  }
  if (release_gil) PyEval_RestoreThread(saved);
}

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
  PyObject* sched = args[0];
  PyObject* iv = args[1];
  PyObject* data = args[2];
  TableGlobals tables;
  ScheduleParts parts;
  if (!begin_cbc(direction, sched, &tables, &parts)) return nullptr;
  // The lengths of the IV and the data.
  if (!check_iv_length(iv) || !check_data_length(data)) return nullptr;
  const auto size = static_cast<size_t>(PyBytes_GET_SIZE(data));
  const size_t blocks = size / kBlockSize;
  EngineInputs inputs;
  // With no blocks nothing past the unpacking is looked at.
  if (blocks > 0 && !inputs.read(direction, parts, tables)) {
    return cbc_general(direction, parts, tables, bytes_of(iv), bytes_of(data), blocks).release();
  }
  Ref result = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!result) return nullptr;
  if (blocks > 0) {
    run_engine(direction, inputs, bytes_of(iv), bytes_of(data),
               reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result.get())), blocks);
  }
  // The `struct` global that the Python definition packs the result with.
  if (!lookup_global(kStruct)) return nullptr;
  return result.release();
}

PyObject* cbc_encrypt_impl(PyObject* const* args) noexcept {
  return run_cbc(Direction::encrypt, args);
}

PyObject* cbc_decrypt_impl(PyObject* const* args) noexcept {
  return run_cbc(Direction::decrypt, args);
}

}  // namespace

const FnSpec kCbcEncryptFunction = {
    "_cbc_encrypt",
    "_cbc_encrypt",
    "AES-CBC 加密（data 长度必须是 16 的倍数）",
    {Param("sched"), Param("iv", "bytes"), Param("data", "bytes")},
    "bytes",
    cbc_encrypt_impl,
};
const FnSpec kCbcDecryptFunction = {
    "_cbc_decrypt",
    "_cbc_decrypt",
    "AES-CBC 解密（data 长度必须是 16 的倍数）",
    {Param("sched"), Param("iv", "bytes"), Param("data", "bytes")},
    "bytes",
    cbc_decrypt_impl,
};

bool cbc_into(Direction direction, PyObject* sched, PyObject* iv, const uint8_t* in, uint8_t* out,
              size_t size) noexcept {
  TableGlobals tables;
  ScheduleParts parts;
  if (!begin_cbc(direction, sched, &tables, &parts) || !check_iv_length(iv)) return false;
  const size_t blocks = size / kBlockSize;
  EngineInputs inputs;
  if (blocks > 0 && !inputs.read(direction, parts, tables)) {
    Ref packed = cbc_general(direction, parts, tables, bytes_of(iv), in, blocks);
    if (!packed) return false;
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
  if (blocks > 0) run_engine(direction, inputs, bytes_of(iv), in, out, blocks);
  return bool(lookup_global(kStruct));
}

}  // namespace qox
