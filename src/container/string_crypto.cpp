// QOXStringCrypto.__init__, encrypt and decrypt: writing and reading one .qox container.
//
// Every step goes through the object it names (os.urandom, _get_key,
// _pkcs7_pad, _aes_cbc, hmac, hashlib), looked up when the method runs, and
// every class constant is read from the instance, so rebinding a global or
// shadowing a constant changes what the next call does. The fast paths below
// only skip work whose outcome is already known (exact bytes, exact ints, the
// module's own _pkcs7_unpad). When the whole road is the module's own code,
// encrypt builds the container in one allocation and encrypts inside it, and
// decrypt reads the ciphertext where it lies; the HMAC reads a view.
#include "aes/python/cbc_into.h"
#include "aes/python/pristine.h"
#include "container/layout.h"
#include "container/own_road.h"
#include "module/call.h"
#include "module/unpack.h"

#include <algorithm>
#include <cstring>

namespace qox::container {

namespace {

const Name kKey("key");
const Name kUseHmac("use_hmac");
const Name kMagicNumber("MAGIC_NUMBER");
const Name kVersionName("VERSION");
const Name kBlockSizeName("BLOCK_SIZE");
const Name kHeaderSizeName("HEADER_SIZE");
const Name kOs("os");
const Name kUrandom("urandom");
const Name kHmac("hmac");
const Name kNew("new");
const Name kDigest("digest");
const Name kCompareDigest("compare_digest");
const Name kHashlib("hashlib");
const Name kSha256("sha256");
const Name kGetKey("_get_key");
const Name kAesCbc("_aes_cbc");
const Name kPkcs7Pad("_pkcs7_pad");
const Name kPkcs7Unpad("_pkcs7_unpad");
const Name kDecode("decode");
const Name kUtf8("utf-8");

constexpr Py_ssize_t kIvSize = 16;

PyObject* raise_value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return nullptr;
}

// Truth value of self.<name>: 1, 0, or -1 with an exception set.
int attribute_truth(PyObject* self, const Name& name) {
  Ref value = get_attr(self, name);
  return value ? PyObject_IsTrue(value.get()) : -1;
}

// `_get_key(self.key)[index]`, unpacked as a pair: the encryption schedule
// (index 0) or the decryption schedule (index 1).
Ref schedule_for(PyObject* self, int index) {
  Ref get_key = lookup_global(kGetKey);
  if (!get_key) return Ref();
  Ref key = get_attr(self, kKey);
  if (!key) return Ref();
  Ref pair = call(get_key.get(), {key.get()});
  if (!pair) return Ref();
  Ref schedules[2];
  if (!unpack_exact(pair.get(), schedules, 2)) return Ref();
  return std::move(schedules[index]);
}

// `hmac.new(self.key, message, hashlib.sha256).digest()`
Ref hmac_sha256(PyObject* self, PyObject* message) {
  Ref hmac_new = global_attr(kHmac, kNew);
  if (!hmac_new) return Ref();
  Ref key = get_attr(self, kKey);
  if (!key) return Ref();
  Ref sha256 = global_attr(kHashlib, kSha256);
  if (!sha256) return Ref();
  Ref mac = call(hmac_new.get(), {key.get(), message, sha256.get()});
  if (!mac) return Ref();
  return call_method(mac.get(), kDigest, {});
}

// `bytes([value])`: one byte for an int in 0..255, the host's error otherwise.
Ref single_byte(PyObject* value) {
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow == 0 && number >= 0 && number <= 255) {
      const char byte = static_cast<char>(number);
      return Ref::steal(PyBytes_FromStringAndSize(&byte, 1));
    }
  }
  Ref list = Ref::steal(PyList_New(1));
  if (!list) return Ref();
  PyList_SET_ITEM(list.get(), 0, Ref::borrow(value).release());
  return Ref::steal(PyBytes_FromObject(list.get()));
}

// `a + b + c + ...`: one allocation of the final size when every part is
// exactly bytes, the host's `+` from left to right otherwise.
Ref concatenate(std::initializer_list<PyObject*> parts) {
  Py_ssize_t total = 0;
  bool all_bytes = true;
  for (PyObject* part : parts) {
    if (!PyBytes_CheckExact(part)) {
      all_bytes = false;
      break;
    }
    if (PyBytes_GET_SIZE(part) > PY_SSIZE_T_MAX - total) {
      PyErr_NoMemory();
      return Ref();
    }
    total += PyBytes_GET_SIZE(part);
  }
  if (all_bytes) {
    Ref joined = Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
    if (!joined) return Ref();
    char* out = PyBytes_AS_STRING(joined.get());
    for (PyObject* part : parts) {
      const auto size = static_cast<size_t>(PyBytes_GET_SIZE(part));
      std::memcpy(out, PyBytes_AS_STRING(part), size);
      out += size;
    }
    return joined;
  }
  Ref sum = Ref::borrow(*parts.begin());
  for (auto part = parts.begin() + 1; part != parts.end() && sum; ++part) {
    sum = Ref::steal(PyNumber_Add(sum.get(), *part));
  }
  return sum;
}

// `data[start:stop]` for exact bytes and non-negative bounds.
Ref slice(PyObject* data, Py_ssize_t start, Py_ssize_t stop) {
  const Py_ssize_t size = PyBytes_GET_SIZE(data);
  start = std::min(start, size);
  stop = std::max(start, std::min(stop, size));
  return Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data) + start, stop - start));
}

// `length < limit`: 1, 0, or -1 with an exception set.
int less_than(Py_ssize_t length, PyObject* limit) {
  if (PyLong_CheckExact(limit)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(limit, &overflow);
    if (overflow != 0) return overflow > 0;
    return length < value;
  }
  Ref length_obj = Ref::steal(PyLong_FromSsize_t(length));
  return length_obj ? PyObject_RichCompareBool(length_obj.get(), limit, Py_LT) : -1;
}

// `data[:4] != expected`: 1, 0, or -1 with an exception set.
int magic_differs(PyObject* data, PyObject* expected) {
  const Py_ssize_t size = std::min(PyBytes_GET_SIZE(data), kMagicSize);
  if (PyBytes_CheckExact(expected)) {
    return PyBytes_GET_SIZE(expected) != size ||
           std::memcmp(PyBytes_AS_STRING(expected), PyBytes_AS_STRING(data),
                       static_cast<size_t>(size)) != 0;
  }
  Ref magic = slice(data, 0, kMagicSize);
  return magic ? PyObject_RichCompareBool(magic.get(), expected, Py_NE) : -1;
}

// `value != expected` for a small int value: 1, 0, or -1 with an exception set.
int int_differs(long value, PyObject* expected) {
  if (PyLong_CheckExact(expected)) {
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(expected, &overflow);
    return overflow != 0 || number != value;
  }
  Ref value_obj = Ref::steal(PyLong_FromLong(value));
  return value_obj ? PyObject_RichCompareBool(value_obj.get(), expected, Py_NE) : -1;
}

// `length % block != 0`: 1, 0, or -1 with an exception set.
int not_a_multiple(Py_ssize_t length, PyObject* block) {
  if (PyLong_CheckExact(block)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(block, &overflow);
    if (overflow == 0 && value > 0) return length % value != 0;
  }
  // Zero, negative, huge or non-int divisors: the host's `%` and `!=`.
  Ref length_obj = Ref::steal(PyLong_FromSsize_t(length));
  Ref remainder = length_obj ? Ref::steal(PyNumber_Remainder(length_obj.get(), block)) : Ref();
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!remainder || !zero) return -1;
  return PyObject_RichCompareBool(remainder.get(), zero.get(), Py_NE);
}

// `value.decode("utf-8")`, strict.
PyObject* decode_utf8(PyObject* value) {
  if (PyBytes_CheckExact(value)) {
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr);
  }
  return call_method(value, kDecode, {kUtf8.get()}).release();
}

// `_pkcs7_unpad(padded).decode("utf-8")`. With the module's own _pkcs7_unpad
// in place the text is decoded straight from the padded buffer.
PyObject* unpad_and_decode(PyObject* padded) {
  Ref unpad = lookup_global(kPkcs7Unpad);
  if (!unpad) return nullptr;
  if (is_function_of(unpad.get(), pkcs7_unpad_description()) && PyBytes_CheckExact(padded)) {
    const Py_ssize_t length = pkcs7_unpadded_length(
        reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(padded)), PyBytes_GET_SIZE(padded));
    if (length < 0) return nullptr;
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(padded), length, nullptr);
  }
  Ref plain = call(unpad.get(), {padded});
  return plain ? decode_utf8(plain.get()) : nullptr;
}

// The tag and the header around a ciphertext that already sits at offset 53
// of `container`, as encrypt's last steps: the tag when use_hmac is true, then
// magic and version read from the instance. Constants of other sizes or types
// take the written concatenation instead.
Ref finish_container(PyObject* self, Ref container, PyObject* iv, Py_ssize_t ciphertext_size) {
  Ref tag = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  const int with_tag = attribute_truth(self, kUseHmac);
  if (!tag || with_tag < 0) return Ref();
  if (with_tag) {
    Ref message = hmac_message(container.get(), kTagEnd);
    if (!message) return Ref();
    tag = hmac_sha256(self, message.get());
    if (!tag) return Ref();
  }
  Ref magic = get_attr(self, kMagicNumber);
  if (!magic) return Ref();
  Ref version = get_attr(self, kVersionName);
  if (!version) return Ref();
  Ref version_byte = single_byte(version.get());
  if (!version_byte) return Ref();

  const Py_ssize_t tag_size = with_tag ? kTagEnd - kTagOffset : 0;
  const bool fits = PyBytes_CheckExact(magic.get()) &&
                    PyBytes_GET_SIZE(magic.get()) == kMagicSize && PyBytes_CheckExact(tag.get()) &&
                    PyBytes_GET_SIZE(tag.get()) == tag_size &&
                    is_uniquely_referenced(container.get());
  char* out = PyBytes_AS_STRING(container.get());
  if (!fits) {
    Ref ciphertext = Ref::steal(PyBytes_FromStringAndSize(out + kTagEnd, ciphertext_size));
    if (!ciphertext) return Ref();
    return concatenate({magic.get(), version_byte.get(), iv, tag.get(), ciphertext.get()});
  }
  std::memcpy(out, PyBytes_AS_STRING(magic.get()), kMagicSize);
  out[kVersionOffset] = PyBytes_AS_STRING(version_byte.get())[0];
  std::memcpy(out + kIvOffset, PyBytes_AS_STRING(iv), kIvSize);
  if (with_tag) {
    std::memcpy(out + kTagOffset, PyBytes_AS_STRING(tag.get()), static_cast<size_t>(tag_size));
    return container;
  }
  // Without a tag the ciphertext moves up to offset 21.
  std::memmove(out + kTagOffset, out + kTagEnd, static_cast<size_t>(ciphertext_size));
  PyObject* resized = container.release();
  if (_PyBytes_Resize(&resized, kTagOffset + ciphertext_size) < 0) return Ref();
  return Ref::steal(resized);
}

// encrypt with the module's own _pkcs7_pad, _aes_cbc and CBC loop: the
// padded plaintext is written once, into the container, and encrypted there.
Ref encrypt_in_place(PyObject* self, PyObject* data, PyObject* schedule, PyObject* iv) {
  const Py_ssize_t size = PyBytes_GET_SIZE(data);
  const Py_ssize_t pad = kBlockSize - size % kBlockSize;
  if (size > PY_SSIZE_T_MAX - pad - kTagEnd) return Ref::steal(PyErr_NoMemory());
  const Py_ssize_t ciphertext_size = size + pad;
  Ref container = Ref::steal(PyBytes_FromStringAndSize(nullptr, kTagEnd + ciphertext_size));
  if (!container) return Ref();
  auto* ciphertext = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(container.get())) + kTagEnd;
  std::memcpy(ciphertext, PyBytes_AS_STRING(data), static_cast<size_t>(size));
  std::memset(ciphertext + size, static_cast<int>(pad), static_cast<size_t>(pad));
  if (!cbc_into(Direction::encrypt, schedule, iv, ciphertext, ciphertext,
                static_cast<size_t>(ciphertext_size))) {
    return Ref();
  }
  return finish_container(self, std::move(container), iv, ciphertext_size);
}

PyObject* init_impl(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  PyObject* key = args[1];       // exactly bytes
  PyObject* use_hmac = args[2];  // True or False: the binder truth-tested it first
  const Py_ssize_t size = PyBytes_GET_SIZE(key);
  // 16 and 24 bytes select AES-128 and AES-192; the message names the
  // documented AES-256 case.
  if (size != 16 && size != 24 && size != 32) {
    return raise_value_error("密钥必须是32字节（AES-256）");
  }
  if (PyObject_SetAttr(self, kKey.get(), key) < 0 ||
      PyObject_SetAttr(self, kUseHmac.get(), use_hmac) < 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* encrypt_impl(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  Ref data =
      PyUnicode_Check(args[1]) ? Ref::steal(PyUnicode_AsUTF8String(args[1])) : Ref::borrow(args[1]);
  if (!data) return nullptr;

  Ref urandom = global_attr(kOs, kUrandom);
  Ref iv_size = Ref::steal(PyLong_FromSsize_t(kIvSize));
  if (!urandom || !iv_size) return nullptr;
  Ref iv = call(urandom.get(), {iv_size.get()});
  if (!iv) return nullptr;
  Ref encrypt_schedule = schedule_for(self, 0);
  if (!encrypt_schedule) return nullptr;

  // _aes_cbc(enc, self.key, iv, _pkcs7_pad(data), True), evaluated in that
  // order: a data of the wrong type fails inside _pkcs7_pad, after the rest.
  Ref aes_cbc = lookup_global(kAesCbc);
  if (!aes_cbc) return nullptr;
  Ref key = get_attr(self, kKey);
  if (!key) return nullptr;
  Ref pad = lookup_global(kPkcs7Pad);
  if (!pad) return nullptr;
  if (PyBytes_CheckExact(data.get()) && is_own_function(pad.get(), "_pkcs7_pad") &&
      own_cbc_road(aes_cbc.get(), key.get(), iv.get(), Direction::encrypt)) {
    return encrypt_in_place(self, data.get(), encrypt_schedule.get(), iv.get()).release();
  }
  Ref padded = call(pad.get(), {data.get()});
  if (!padded) return nullptr;
  Ref ciphertext =
      call(aes_cbc.get(), {encrypt_schedule.get(), key.get(), iv.get(), padded.get(), Py_True});
  if (!ciphertext) return nullptr;

  Ref tag = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  const int with_tag = attribute_truth(self, kUseHmac);
  if (!tag || with_tag < 0) return nullptr;
  if (with_tag) {
    tag = hmac_sha256(self, ciphertext.get());
    if (!tag) return nullptr;
  }

  Ref magic = get_attr(self, kMagicNumber);
  if (!magic) return nullptr;
  Ref version = get_attr(self, kVersionName);
  if (!version) return nullptr;
  Ref version_byte = single_byte(version.get());
  if (!version_byte) return nullptr;
  return concatenate({magic.get(), version_byte.get(), iv.get(), tag.get(), ciphertext.get()})
      .release();
}

PyObject* decrypt_impl(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  PyObject* container = args[1];  // exactly bytes
  const Py_ssize_t size = PyBytes_GET_SIZE(container);
  const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(container));

  Ref header_size = get_attr(self, kHeaderSizeName);
  if (!header_size) return nullptr;
  const int too_short = less_than(size, header_size.get());
  if (too_short < 0) return nullptr;
  if (too_short) return raise_value_error("无效的.qox格式（数据长度不足）");

  Ref magic = get_attr(self, kMagicNumber);
  if (!magic) return nullptr;
  const int wrong_magic = magic_differs(container, magic.get());
  if (wrong_magic < 0) return nullptr;
  if (wrong_magic) return raise_value_error("无效的.qox格式（Magic不匹配）");

  // Only reachable with HEADER_SIZE shadowed below 5: qox_data[4] fails.
  if (size <= kVersionOffset) {
    PyErr_SetString(PyExc_IndexError, "index out of range");
    return nullptr;
  }
  const long version = bytes[kVersionOffset];
  Ref expected_version = get_attr(self, kVersionName);
  if (!expected_version) return nullptr;
  const int wrong_version = int_differs(version, expected_version.get());
  if (wrong_version < 0) return nullptr;
  if (wrong_version) {
    Ref version_obj = Ref::steal(PyLong_FromLong(version));
    if (!version_obj) return nullptr;
    return raise_with(PyExc_ValueError, text_with_value("不支持的版本: ", version_obj.get()));
  }

  Ref iv = slice(container, kIvOffset, kTagOffset);
  if (!iv) return nullptr;
  const int with_tag = attribute_truth(self, kUseHmac);
  if (with_tag < 0) return nullptr;
  const Py_ssize_t ciphertext_offset = std::min(with_tag ? kTagEnd : kTagOffset, size);
  const Py_ssize_t ciphertext_size = size - ciphertext_offset;
  if (with_tag) {
    // The tag is checked before the ciphertext length and before anything
    // is decrypted; a short tag simply fails the comparison.
    Ref stored_tag = slice(container, kTagOffset, kTagEnd);
    if (!stored_tag) return nullptr;
    Ref message = hmac_message(container, ciphertext_offset);
    if (!message) return nullptr;
    Ref expected_tag = hmac_sha256(self, message.get());
    if (!expected_tag) return nullptr;
    Ref compare = global_attr(kHmac, kCompareDigest);
    if (!compare) return nullptr;
    Ref same = call(compare.get(), {expected_tag.get(), stored_tag.get()});
    const int tag_matches = same ? PyObject_IsTrue(same.get()) : -1;
    if (tag_matches < 0) return nullptr;
    if (!tag_matches) return raise_value_error("HMAC校验失败，数据可能被篡改！");
  }

  int bad_length = ciphertext_size == 0;
  if (!bad_length) {
    Ref block_size = get_attr(self, kBlockSizeName);
    if (!block_size) return nullptr;
    bad_length = not_a_multiple(ciphertext_size, block_size.get());
    if (bad_length < 0) return nullptr;
  }
  if (bad_length) return raise_value_error("无效的.qox格式（密文长度非法）");

  Ref decrypt_schedule = schedule_for(self, 1);
  if (!decrypt_schedule) return nullptr;
  Ref aes_cbc = lookup_global(kAesCbc);
  if (!aes_cbc) return nullptr;
  Ref key = get_attr(self, kKey);
  if (!key) return nullptr;
  Ref padded;
  if (own_cbc_road(aes_cbc.get(), key.get(), iv.get(), Direction::decrypt)) {
    // The module's own loop reads the ciphertext where it lies.
    padded = Ref::steal(PyBytes_FromStringAndSize(nullptr, ciphertext_size));
    if (!padded ||
        !cbc_into(Direction::decrypt, decrypt_schedule.get(), iv.get(), bytes + ciphertext_offset,
                  reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(padded.get())),
                  static_cast<size_t>(ciphertext_size))) {
      return nullptr;
    }
  } else {
    Ref ciphertext = slice(container, ciphertext_offset, size);
    if (!ciphertext) return nullptr;
    padded = call(aes_cbc.get(),
                  {decrypt_schedule.get(), key.get(), iv.get(), ciphertext.get(), Py_False});
    if (!padded) return nullptr;
  }
  return unpad_and_decode(padded.get());
}

const FnSpec kStringCryptoMethods[] = {
    {"__init__",
     "QOXStringCrypto.__init__",
     "\n"
     "        初始化加密器\n"
     "        :param key: 32字节加密密钥（AES-256）\n"
     "        :param use_hmac: 是否启用HMAC校验（默认True）\n"
     "        ",
     {Param("self"), Param("key", "bytes"), Param("use_hmac", "bool", Default::true_value)},
     nullptr,
     init_impl},
    {"encrypt",
     "QOXStringCrypto.encrypt",
     "加密字符串或字节数据，返回.qox格式的字节流",
     {Param("self"), Param("data", "Union[str, bytes]")},
     "bytes",
     encrypt_impl},
    {"decrypt",
     "QOXStringCrypto.decrypt",
     "解密.qox格式数据，返回原始字符串",
     {Param("self"), Param("qox_data", "bytes")},
     "str",
     decrypt_impl},
};
const FunctionTable kStringCryptoTable(kStringCryptoMethods);

}  // namespace

}  // namespace qox::container
