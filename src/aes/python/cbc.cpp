// Python face of the CBC loops: _cbc_encrypt and _cbc_decrypt.
//
// The checks run in the written order (schedule, tables, first and last, IV,
// data); then the whole input goes to the engine in one call that writes
// straight into the result bytes. Round keys are converted from the Python
// objects unless the schedule cache still holds them (schedule_cache.h);
// tables only when a global no longer holds the list bound at import.
#include "aes/cbc.h"
#include "aes/cbc_dispatch.h"
#include "aes/python/cbc_inputs.h"
#include "aes/python/cbc_into.h"
#include "aes/python/round_tables.h"
#include "aes/python/schedule_cache.h"
#include "module/function.h"
#include "module/state.h"
#include "module/unpack.h"

namespace qox {

namespace {

const Name kStruct("struct");

constexpr size_t kBlockSize = 16;

using EngineLoop = void (*)(const aes::TableSet&, const aes::RoundKeys&, const uint8_t*,
                            const uint8_t*, uint8_t*, size_t);

EngineLoop table_loop(Direction direction) {
  return direction == Direction::encrypt ? aes::cbc_encrypt : aes::cbc_decrypt;
}

// Any other `mid` is iterated again for every block, as the loops do; the
// chaining block is the previous output (encryption) or input (decryption).
bool run_blocks_one_by_one(Direction direction, PyObject* mid, ScheduleWords* keys,
                           const TableWords& table_words, const uint8_t* iv, const uint8_t* in,
                           uint8_t* out, size_t blocks) {
  for (size_t block = 0; block < blocks; ++block) {
    if (!keys->gather_mid(mid)) return false;
    const size_t offset = block * kBlockSize;
    const uint8_t* chain = block == 0                        ? iv
                           : direction == Direction::encrypt ? out + offset - kBlockSize
                                                             : in + offset - kBlockSize;
    table_loop(direction)(table_words.set(), keys->round_keys(), chain, in + offset, out + offset,
                          1);
  }
  return true;
}

PyObject* run_cbc(Direction direction, PyObject* const* args) {
  PyObject* data = args[2];
  PreparedCbc cbc;
  if (!cbc.begin(direction, args[0], args[1], data)) return nullptr;
  const auto size = static_cast<size_t>(PyBytes_GET_SIZE(data));
  Ref result = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!result || !cbc.read(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
                           reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result.get())), size)) {
    return nullptr;
  }
  cbc.run();
  return result.release();
}

PyObject* cbc_encrypt_impl(PyObject* const* args) noexcept {
  return run_cbc(Direction::encrypt, args);
}

PyObject* cbc_decrypt_impl(PyObject* const* args) noexcept {
  return run_cbc(Direction::decrypt, args);
}

const FnSpec kCbcFunctions[] = {
    {"_cbc_encrypt",
     "_cbc_encrypt",
     "AES-CBC 加密（data 长度必须是 16 的倍数）",
     {Param("sched"), Param("iv", "bytes"), Param("data", "bytes")},
     "bytes",
     cbc_encrypt_impl},
    {"_cbc_decrypt",
     "_cbc_decrypt",
     "AES-CBC 解密（data 长度必须是 16 的倍数）",
     {Param("sched"), Param("iv", "bytes"), Param("data", "bytes")},
     "bytes",
     cbc_decrypt_impl},
};
const FunctionTable kCbcTable(kCbcFunctions);

}  // namespace

bool PreparedCbc::begin(Direction direction, PyObject* sched, PyObject* iv,
                        PyObject* data) noexcept {
  direction_ = direction;
  sched_ = sched;
  // 1. nr, first, mid, last = sched
  Ref items[4];
  if (!unpack_exact(sched, items, 4)) return false;
  // 2. The eight tables, read once per call.
  if (!lookup_table_globals(direction, &tables_)) return false;
  // 3. The outer round keys, four items each.
  mid_ = std::move(items[2]);
  if (!unpack_exact(items[1].get(), first_, 4) || !unpack_exact(items[3].get(), last_, 4)) {
    return false;
  }
  // 4. and 5. Lengths of the IV and the data.
  if (!check_iv_length(iv) || (data != nullptr && !check_data_length(data))) return false;
  iv_ = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(iv));
  return true;
}

bool PreparedCbc::read(const uint8_t* in, uint8_t* out, size_t size) noexcept {
  in_ = in;
  out_ = out;
  blocks_ = 0;
  // 6. and 7. The blocks; with none, nothing past the unpacking is looked at.
  if (size > 0) {
    const bool fixed_mid = mid_is_fixed(mid_.get());
    if (!read_words(fixed_mid)) return false;
    if (fixed_mid) {
      blocks_ = size / kBlockSize;
    } else if (!run_blocks_one_by_one(direction_, mid_.get(), &keys_, table_words_, iv_, in, out,
                                      size / kBlockSize)) {
      return false;
    }
  }
  // 8. The `struct` global that the written steps pack the result with.
  return bool(lookup_global(kStruct));
}

// The words of the round keys and tables, read as the loops read them: first,
// mid (only when it is fixed; see mid_is_fixed), the tables, last.
bool PreparedCbc::read_words(bool fixed_mid) noexcept {
  // A hit stands for reading first, mid and last, which cannot fail then.
  if (fixed_mid && find_cached_round_keys(sched_, &keys_)) {
    return table_words_.resolve(direction_, tables_);
  }
  if (!keys_.read_first(first_)) return false;
  if (fixed_mid && !keys_.gather_mid(mid_.get())) return false;
  if (!table_words_.resolve(direction_, tables_) || !keys_.read_last(last_)) return false;
  if (fixed_mid) remember_round_keys(sched_, keys_);
  return true;
}

void PreparedCbc::run() noexcept {
  if (blocks_ == 0) return;
  engine_work(blocks_ * kBlockSize, [this] {
    if (table_words_.all_pristine()) {
      // The module's own tables: the engine may pick its hardware path.
      (direction_ == Direction::encrypt ? aes::cbc_encrypt_auto : aes::cbc_decrypt_auto)(
          keys_.round_keys(), iv_, in_, out_, blocks_);
    } else {
      table_loop(direction_)(table_words_.set(), keys_.round_keys(), iv_, in_, out_, blocks_);
    }
  });
  blocks_ = 0;
}

bool cbc_into(Direction direction, PyObject* sched, PyObject* iv, const uint8_t* in, uint8_t* out,
              size_t size) noexcept {
  PreparedCbc cbc;
  if (!cbc.begin(direction, sched, iv) || !cbc.read(in, out, size)) return false;
  cbc.run();
  return true;
}

}  // namespace qox
