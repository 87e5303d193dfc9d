// QOXStringCrypto.__init__, encrypt and decrypt: writing and reading one .qox container.
//
// Every step goes through the object it names (os.urandom, _get_key,
// _pkcs7_pad, _aes_cbc, hmac, hashlib), looked up when the method runs, and
// every class constant is read from the instance, so rebinding a global or
// shadowing a constant changes what the next call does. The fast paths below
// only skip work whose outcome is already known (exact bytes, exact ints, the
// module's own _pkcs7_unpad). On _aes_cbc's fast road (AesCbcFastRoad, with
// the module's own _pkcs7_pad for encrypt), encrypt builds the container in
// one allocation and encrypts inside it, and decrypt reads the ciphertext where
// it lies. The tag steps (tag_steps.h) compute the standard HMAC on the engine,
// for large inputs in one pass with the CBC blocks.
#include "aes/aes_cbc.h"
#include "container/container_size.h"
#include "container/functions.h"
#include "engine/layout/layout.h"
#include "container/padding.h"
#include "container/tag_steps.h"
#include "module/call.h"
#include "module/global_names.h"
#include "module/py_operators.h"
#include "module/unpack.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace qox::container {

using namespace layout;  // the container format's offsets and sizes

namespace {

const Name kUrandom("urandom");

constexpr Py_ssize_t kIvSize = 16;

// The longest bytes object the host makes: its size less the object's header.
constexpr size_t kLargestBytes = PY_SSIZE_T_MAX - (offsetof(PyBytesObject, ob_sval) + 1);

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
  if (is_function_of(unpad.get(), kPkcs7UnpadFunction) && PyBytes_CheckExact(padded)) {
    const Py_ssize_t length = pkcs7_unpadded_length(
        reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(padded)), PyBytes_GET_SIZE(padded));
    if (length < 0) return nullptr;
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(padded), length, nullptr);
  }
  Ref plain = call(unpad.get(), {padded});
  return plain ? decode_utf8(plain.get()) : nullptr;
}

// The tag and the header around a ciphertext that sits at offset 53 of
// `container`, whose blocks `cbc` may still have to encrypt, as encrypt's last
// steps: the tag when use_hmac is true, then magic and version read from the
// instance. Constants of other sizes or types take the general road's
// concatenation instead.
Ref finish_container(PyObject* self, Ref container, PyObject* iv, Py_ssize_t ciphertext_size,
                     PreparedCbc* cbc) {
  auto* ciphertext = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(container.get())) + kTagEnd;
  Tag tag;
  const int with_tag = attribute_truth(self, kUseHmac);
  if (with_tag < 0) return Ref();
  if (with_tag) {
    if (!encrypt_tag_step(self, cbc, container.get(), kTagEnd, &tag)) return Ref();
  } else {
    cbc->run(ciphertext);
  }
  Ref magic = get_attr(self, kMagicNumber);
  if (!magic) return Ref();
  Ref version = get_attr(self, kVersionName);
  if (!version) return Ref();
  Ref version_byte = single_byte(version.get());
  if (!version_byte) return Ref();

  const Py_ssize_t tag_size = with_tag ? kTagEnd - kTagOffset : 0;
  const bool tag_fits =
      !tag.present || tag.computed ||
      (PyBytes_CheckExact(tag.object.get()) && PyBytes_GET_SIZE(tag.object.get()) == tag_size);
  const bool fits = PyBytes_CheckExact(magic.get()) &&
                    PyBytes_GET_SIZE(magic.get()) == kMagicSize && tag_fits &&
                    is_uniquely_referenced(container.get());
  char* out = PyBytes_AS_STRING(container.get());
  if (!fits) {
    Ref ciphertext_bytes = Ref::steal(PyBytes_FromStringAndSize(out + kTagEnd, ciphertext_size));
    Ref tag_bytes = tag.as_object();
    if (!ciphertext_bytes || !tag_bytes) return Ref();
    return concatenate(
        {magic.get(), version_byte.get(), iv, tag_bytes.get(), ciphertext_bytes.get()});
  }
  std::memcpy(out, PyBytes_AS_STRING(magic.get()), kMagicSize);
  out[kVersionOffset] = PyBytes_AS_STRING(version_byte.get())[0];
  std::memcpy(out + kIvOffset, PyBytes_AS_STRING(iv), kIvSize);
  if (with_tag) {
    std::memcpy(out + kTagOffset,
                tag.computed ? reinterpret_cast<const char*>(tag.bytes)
                             : PyBytes_AS_STRING(tag.object.get()),
                static_cast<size_t>(tag_size));
    return container;
  }
  // Without a tag the ciphertext moves up to offset 21.
  std::memmove(out + kTagOffset, out + kTagEnd, static_cast<size_t>(ciphertext_size));
  PyObject* resized = container.release();
  if (_PyBytes_Resize(&resized, kTagOffset + ciphertext_size) < 0) return Ref();
  return Ref::steal(resized);
}

// encrypt with the module's own _pkcs7_pad, _aes_cbc and CBC loop: the
// padded plaintext is written once, into the container, and encrypted there
// (in one pass with the tag when that is the standard HMAC).
Ref encrypt_in_place(PyObject* self, const AesCbcFastRoad& aes_cbc, const char* data,
                     Py_ssize_t size, PyObject* schedule, PyObject* iv) {
  const Py_ssize_t pad = kBlockSize - size % kBlockSize;
  switch (container_fit(static_cast<size_t>(size), kTagEnd, kLargestBytes)) {
    case ContainerFit::fits:
      break;
    case ContainerFit::padded_too_large:
      // _pkcs7_pad's own error: the host refuses that size before allocating.
      if (Ref padded = Ref::steal(PyBytes_FromStringAndSize(nullptr, size + pad))) {
        return Ref::steal(PyErr_NoMemory());
      }
      return Ref();
    case ContainerFit::no_room:
      return Ref::steal(PyErr_NoMemory());
  }
  const Py_ssize_t ciphertext_size = size + pad;
  Ref container = Ref::steal(PyBytes_FromStringAndSize(nullptr, kTagEnd + ciphertext_size));
  if (!container) return Ref();
  auto* ciphertext = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(container.get())) + kTagEnd;
  std::memcpy(ciphertext, data, static_cast<size_t>(size));
  std::memset(ciphertext + size, static_cast<int>(pad), static_cast<size_t>(pad));
  PreparedCbc cbc;
  if (!aes_cbc.prepare(schedule, ciphertext, ciphertext, static_cast<size_t>(ciphertext_size),
                       &cbc)) {
    return Ref();
  }
  return finish_container(self, std::move(container), iv, ciphertext_size, &cbc);
}

// An ASCII str is its own UTF-8 encoding, so encrypt can read its characters
// where they are and make the bytes object only when a general road needs it.
bool is_ascii_str(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return false;
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(obj) < 0) {
    PyErr_Clear();  // the encoding below meets the same failure and raises it
    return false;
  }
#endif
  return PyUnicode_IS_ASCII(obj);
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
  PyObject* text = args[1];
  // data = data.encode("utf-8") for a str (deferred for ASCII, which cannot fail).
  const bool ascii = is_ascii_str(text);
  Ref data = ascii                   ? Ref()
             : PyUnicode_Check(text) ? Ref::steal(PyUnicode_AsUTF8String(text))
                                     : Ref::borrow(text);
  if (!ascii && !data) return nullptr;

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
  if ((ascii || PyBytes_CheckExact(data.get())) && is_function_of(pad.get(), kPkcs7PadFunction)) {
    const AesCbcFastRoad fast(aes_cbc.get(), key.get(), iv.get(), Direction::encrypt);
    if (fast.applies()) {
      const char* bytes =
          ascii ? static_cast<const char*>(PyUnicode_DATA(text)) : PyBytes_AS_STRING(data.get());
      const Py_ssize_t size = ascii ? PyUnicode_GET_LENGTH(text) : PyBytes_GET_SIZE(data.get());
      return encrypt_in_place(self, fast, bytes, size, encrypt_schedule.get(), iv.get()).release();
    }
  }
  if (ascii) {
    data = Ref::steal(PyBytes_FromStringAndSize(static_cast<const char*>(PyUnicode_DATA(text)),
                                                PyUnicode_GET_LENGTH(text)));
    if (!data) return nullptr;
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
    tag = hmac_digest(self, ciphertext.get());
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
  const int wrong_magic = prefix_differs(container, kMagicSize, magic.get());
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

  Ref iv = bytes_slice(container, kIvOffset, kTagOffset);
  if (!iv) return nullptr;
  const int with_tag = attribute_truth(self, kUseHmac);
  if (with_tag < 0) return nullptr;
  const Py_ssize_t ciphertext_offset = std::min(with_tag ? kTagEnd : kTagOffset, size);
  const Py_ssize_t ciphertext_size = size - ciphertext_offset;
  DecryptTagCheck tag_check;
  if (with_tag) {
    // The tag is checked before the ciphertext length and before anything
    // is decrypted (a result decrypted ahead stays unseen until then); a
    // short tag simply fails the comparison.
    const int tag_matches = tag_check.run(self, container, ciphertext_offset);
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
  const AesCbcFastRoad fast(aes_cbc.get(), key.get(), iv.get(), Direction::decrypt);
  if (fast.applies()) {
    // The module's own loop reads the ciphertext where it lies, into the
    // result decrypted ahead if there is one.
    padded = tag_check.take_ahead_buffer();
    const bool ahead = bool(padded);
    if (!ahead) padded = Ref::steal(PyBytes_FromStringAndSize(nullptr, ciphertext_size));
    if (!padded) return nullptr;
    auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(padded.get()));
    PreparedCbc cbc;
    if (!fast.prepare(decrypt_schedule.get(), bytes + ciphertext_offset, out,
                      static_cast<size_t>(ciphertext_size), &cbc)) {
      return nullptr;
    }
    if (!ahead || !tag_check.ahead_is_result(decrypt_schedule.get(), cbc)) cbc.run(out);
    tag_check.remember_schedule(decrypt_schedule.get(), static_cast<size_t>(ciphertext_size));
  } else {
    Ref ciphertext = bytes_slice(container, ciphertext_offset, size);
    if (!ciphertext) return nullptr;
    padded = call(aes_cbc.get(),
                  {decrypt_schedule.get(), key.get(), iv.get(), ciphertext.get(), Py_False});
    if (!padded) return nullptr;
  }
  return unpad_and_decode(padded.get());
}

}  // namespace

const FunctionDescription kStringCryptoInit = {
    "__init__",
    "QOXStringCrypto.__init__",
    "\n"
    "        初始化加密器\n"
    "        :param key: 32字节加密密钥（AES-256）\n"
    "        :param use_hmac: 是否启用HMAC校验（默认True）\n"
    "        ",
    {Param("self"), Param("key", "bytes"), Param("use_hmac", "bool", Default::true_value)},
    nullptr,
    init_impl,
};
const FunctionDescription kStringCryptoEncrypt = {
    "encrypt",
    "QOXStringCrypto.encrypt",
    "加密字符串或字节数据，返回.qox格式的字节流",
    {Param("self"), Param("data", "Union[str, bytes]")},
    "bytes",
    encrypt_impl,
};
const FunctionDescription kStringCryptoDecrypt = {
    "decrypt",
    "QOXStringCrypto.decrypt",
    "解密.qox格式数据，返回原始字符串",
    {Param("self"), Param("qox_data", "bytes")},
    "str",
    decrypt_impl,
};

}  // namespace qox::container
