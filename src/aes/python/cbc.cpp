// Python face of the CBC loops: _cbc_encrypt and _cbc_decrypt.
//
// The checks run in the Python definition's order (schedule, tables, first and last, IV,
// data); then the whole input goes to the engine in one call that writes
// straight into the result bytes. Round keys are converted from the Python
// objects on every call; tables only when a global no longer holds the list
// bound at import.
#include "aes/cbc.h"
#include "aes/cbc_dispatch.h"
#include "aes/python/cbc.h"
#include "aes/python/cbc_inputs.h"
#include "aes/python/functions.h"
#include "aes/python/round_tables.h"
#include "module/global_names.h"
#include "module/state.h"
#include "module/unpack.h"

namespace qox {

namespace {

constexpr size_t kBlockSize = 16;

// From this many bytes on, the engine runs with the GIL released: above it
// the release costs well under 1% of the work, and threads encrypting large
// inputs run in parallel. The engine then touches only immutable bytes
// objects held by the caller, the new result that nobody else sees yet, and
// C++ copies of the keys and tables.
constexpr size_t kReleaseGilFrom = 32 * 1024;

using EngineLoop = void (*)(const aes::TableSet&, const aes::RoundKeys&, const uint8_t*,
                            const uint8_t*, uint8_t*, size_t);

// The unpacked schedule: nr (never read), first and last as four items each, mid.
struct ScheduleParts {
  Ref first[4];
  Ref mid;
  Ref last[4];
};

bool run_blocks(Direction direction, const ScheduleParts& sched, const TableGlobals& tables,
                const uint8_t* iv, const uint8_t* in, uint8_t* out, size_t blocks) {
  const EngineLoop loop = direction == Direction::encrypt ? aes::cbc_encrypt : aes::cbc_decrypt;
  ScheduleWords keys;
  if (!keys.read_first(sched.first)) return false;
  const bool fixed_mid = mid_is_fixed(sched.mid.get());
  if (fixed_mid && !keys.gather_mid(sched.mid.get())) return false;
  TableWords table_words;
  if (!table_words.resolve(direction, tables) || !keys.read_last(sched.last)) return false;
  if (fixed_mid) {
    const bool release_gil = blocks * kBlockSize >= kReleaseGilFrom;
    PyThreadState* saved = release_gil ? PyEval_SaveThread() : nullptr;
    if (table_words.all_pristine()) {
      // The module's own tables: the engine may pick its hardware path.
      (direction == Direction::encrypt ? aes::cbc_encrypt_auto : aes::cbc_decrypt_auto)(
          keys.round_keys(), iv, in, out, blocks);
    } else {
      loop(table_words.set(), keys.round_keys(), iv, in, out, blocks);
    }
    if (release_gil) PyEval_RestoreThread(saved);
    return true;
  }
  // Any other `mid` is iterated again for every block, as the loops do; the
  // chaining block is the previous output (encryption) or input (decryption).
  for (size_t block = 0; block < blocks; ++block) {
    if (!keys.gather_mid(sched.mid.get())) return false;
    const size_t offset = block * kBlockSize;
    const uint8_t* chain = block == 0                        ? iv
                           : direction == Direction::encrypt ? out + offset - kBlockSize
                                                             : in + offset - kBlockSize;
    loop(table_words.set(), keys.round_keys(), chain, in + offset, out + offset, 1);
  }
  return true;
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

// The end of both loops: the blocks (with none, nothing past the unpacking is
// looked at), then the `struct` global the Python definition packs the result with.
bool finish_cbc(Direction direction, const TableGlobals& tables, const ScheduleParts& parts,
                PyObject* iv, const uint8_t* in, uint8_t* out, size_t size) {
  if (size > 0 &&
      !run_blocks(direction, parts, tables, reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(iv)),
                  in, out, size / kBlockSize)) {
    return false;
  }
  return bool(lookup_global(kStruct));
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
  Ref result = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!result) return nullptr;
  if (!finish_cbc(direction, tables, parts, iv,
                  reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
                  reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result.get())), size)) {
    return nullptr;
  }
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
  return begin_cbc(direction, sched, &tables, &parts) && check_iv_length(iv) &&
         finish_cbc(direction, tables, parts, iv, in, out, size);
}

}  // namespace qox
