// The container's HMAC-SHA256 tag and its comparison, on the engine or through the objects found.
#include "container/hmac_tag.h"

#include "aes/schedule_cache.h"
#include "engine/cpu/wipe.h"
#include "module/call.h"
#include "module/global_names.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace qox::container {

namespace {

const Name kNew("new");
const Name kSha256("sha256");
const Name kDigest("digest");

// What the import found; strong references kept for the life of the process.
struct StandardHmac {
  PyObject* new_function = nullptr;
  PyObject* sha256 = nullptr;
  PyObject* compare_digest = nullptr;
};

StandardHmac& standard() {
  static StandardHmac remembered;
  return remembered;
}

// `module.name`. For the standard module itself (`standard`), whose type
// defines no attribute of these names, the generic lookup finds what its
// dict holds, so the dict is read directly; anything else goes through the
// host.
Ref module_attr(PyObject* module, bool standard, const Name& name) {
  if (standard && PyModule_CheckExact(module)) {
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), name.get());
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref();
  }
  return get_attr(module, name);
}

// Keys seen lately with their pads compressed, and the decryption schedule
// last used with each. Replaced in order; never destroyed (the references
// must not be dropped after the interpreter has finalized).
//
// Dropping a schedule can run Python code: its round-key list is an ordinary
// list that callers may fill with anything, finalizers included, and such
// code may encrypt under other keys and so reassign every entry. No schedule
// is therefore dropped while an entry is in use: entry_for hands the one it
// replaces to its caller, who drops it only after its last use of the entry.
constexpr size_t kMacKeys = 4;

struct MacEntry {
  std::vector<uint8_t, cpu::WipingAllocator<uint8_t>> key;
  hmac::HmacSha256Key mac{nullptr, 0};
  Ref decrypt_sched;
  bool used = false;
};

struct MacKeys {
  MacEntry entries[kMacKeys];
  size_t next = 0;
};

MacKeys& mac_keys() {
  static MacKeys* const instance = new MacKeys();
  return *instance;
}

// The entry of `key` (exactly bytes), made on a miss; the schedule of the
// key it replaced moves to `replaced`, for the caller to drop when done with
// the entry. Keys are compared in constant time, so a lookup tells nothing
// about how cached keys begin.
MacEntry& entry_for(PyObject* key, Ref* replaced) {
  const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(key));
  const auto size = static_cast<size_t>(PyBytes_GET_SIZE(key));
  MacKeys& keys = mac_keys();
  for (MacEntry& entry : keys.entries) {
    if (entry.used && entry.key.size() == size &&
        hmac::equal_in_constant_time(entry.key.data(), data, size)) {
      return entry;
    }
  }
  MacEntry& entry = keys.entries[keys.next];
  keys.next = (keys.next + 1) % kMacKeys;
  entry.key.assign(data, data + size);
  entry.mac = hmac::HmacSha256Key(data, size);
  entry.used = true;
  *replaced = std::move(entry.decrypt_sched);
  return entry;
}

}  // namespace

bool remember_standard_hmac() noexcept {
  PyObject* modules = process_state().imported_modules;
  // Held: an attribute lookup may run code that empties the dict.
  const Ref hmac = Ref::borrow(modules != nullptr ? PyDict_GetItem(modules, kHmac.get()) : nullptr);
  const Ref hashlib =
      Ref::borrow(modules != nullptr ? PyDict_GetItem(modules, kHashlib.get()) : nullptr);
  if (!hmac || !hashlib) return true;  // never the own road
  StandardHmac& s = standard();
  s.new_function = PyObject_GetAttr(hmac.get(), kNew.get());
  s.sha256 = PyObject_GetAttr(hashlib.get(), kSha256.get());
  s.compare_digest = PyObject_GetAttr(hmac.get(), kCompareDigest.get());
  if (s.new_function == nullptr || s.sha256 == nullptr || s.compare_digest == nullptr) {
    return false;
  }
  return true;
}

bool TagCall::fetch(PyObject* self) noexcept {
  if (!(hmac_ = lookup_global(kHmac))) return false;
  const bool standard_hmac = is_import_time_module(kHmac, hmac_.get());
  if (!(new_ = module_attr(hmac_.get(), standard_hmac, kNew)) || !(key_ = get_attr(self, kKey)) ||
      !(hashlib_ = lookup_global(kHashlib))) {
    return false;
  }
  const bool standard_hashlib = is_import_time_module(kHashlib, hashlib_.get());
  if (!(sha256_ = module_attr(hashlib_.get(), standard_hashlib, kSha256))) return false;
  const StandardHmac& s = standard();
  standard_ = standard_hmac && standard_hashlib && s.new_function != nullptr &&
              new_.get() == s.new_function && sha256_.get() == s.sha256 &&
              PyBytes_CheckExact(key_.get());
  return true;
}

hmac::HmacSha256Key TagCall::mac_key() const noexcept {
  Ref replaced;  // dropped after the copy
  return entry_for(key_.get(), &replaced).mac;
}

Ref TagCall::call(PyObject* message) const noexcept {
  Ref mac = qox::call(new_.get(), {key_.get(), message, sha256_.get()});
  if (!mac) return Ref();
  return call_method(mac.get(), kDigest, {});
}

int tags_match(const uint8_t expected[sha256::kSha256DigestSize], const uint8_t* stored,
               Py_ssize_t stored_size) noexcept {
  Ref hmac = lookup_global(kHmac);
  if (!hmac) return -1;
  const bool standard_hmac = is_import_time_module(kHmac, hmac.get());
  Ref compare = module_attr(hmac.get(), standard_hmac, kCompareDigest);
  if (!compare) return -1;
  if (standard_hmac && compare.get() == standard().compare_digest) {
    return stored_size == static_cast<Py_ssize_t>(sha256::kSha256DigestSize) &&
           hmac::equal_in_constant_time(expected, stored, sha256::kSha256DigestSize);
  }
  Ref expected_tag = Ref::steal(PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(expected), static_cast<Py_ssize_t>(sha256::kSha256DigestSize)));
  Ref stored_tag =
      Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stored), stored_size));
  if (!expected_tag || !stored_tag) return -1;
  Ref same = qox::call(compare.get(), {expected_tag.get(), stored_tag.get()});
  return same ? PyObject_IsTrue(same.get()) : -1;
}

Ref hmac_message(PyObject* data, Py_ssize_t start) noexcept {
  const Py_ssize_t size = PyBytes_GET_SIZE(data);
  start = std::min(start, size);
  return Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data) + start, size - start));
}

Ref last_decrypt_schedule(const TagCall& call) noexcept {
  Ref replaced;  // dropped once the schedule is held
  return Ref::borrow(entry_for(call.key(), &replaced).decrypt_sched.get());
}

void remember_decrypt_schedule(const TagCall& call, PyObject* sched) noexcept {
  if (!holds_schedule(sched)) return;
  Ref replaced;  // both dropped after the last use of the entry
  MacEntry& entry = entry_for(call.key(), &replaced);
  Ref previous = std::exchange(entry.decrypt_sched, Ref::borrow(sched));
}

}  // namespace qox::container
