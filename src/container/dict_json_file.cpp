// QOXStringCrypto's dictionary, JSON and file methods, built on encrypt and decrypt.
//
// These methods reach the container only through self.encrypt / self.decrypt
// (and each other), looked up on the instance at each call, so subclasses
// can override any of them. json, os and the exception class
// json.JSONDecodeError are module globals read when they are needed.
#include "container/functions.h"
#include "module/call.h"
#include "module/global_names.h"
#include "module/handled.h"
#include "module/with_block.h"

namespace qox::container {

namespace {

const Name kDumps("dumps");
const Name kLoads("loads");
const Name kJsonDecodeError("JSONDecodeError");
const Name kEnsureAscii("ensure_ascii");
const Name kIndent("indent");
const Name kPath("path");
const Name kExists("exists");
const Name kEncrypt("encrypt");
const Name kDecrypt("decrypt");
const Name kEncryptDict("encrypt_dict");
const Name kDecryptToDict("decrypt_to_dict");
const Name kQoxData("qox_data");
const Name kRead("read");
const Name kWrite("write");
const Name kWriteBinary("wb");
const Name kReadBinary("rb");

// `json.loads(raw.decode("utf-8"))`; json.loads is looked up first, as the
// expression evaluates it.
Ref parse_plain_json(PyObject* raw) {
  Ref loads = global_attr(kJson, kLoads);
  if (!loads) return Ref();
  Ref text =
      PyBytes_CheckExact(raw)
          ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw), nullptr))
          : call_method(raw, kDecode, {kUtf8.get()});
  if (!text) return Ref();
  return call(loads.get(), {text.get()});
}

// `except json.JSONDecodeError:` for the exception being handled: 1, 0, or -1
// with an exception set (chained to the handled one).
int is_json_decode_error(const HandledException& handled) {
  Ref error_class = global_attr(kJson, kJsonDecodeError);
  return error_class ? handled.matches(error_class.get()) : -1;
}

PyObject* load_json_impl(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  if (args[1] == Py_None) {
    PyErr_SetString(PyExc_ValueError, "内容为空，无法解析");
    return nullptr;
  }
  Ref raw =
      PyUnicode_Check(args[1]) ? Ref::steal(PyUnicode_AsUTF8String(args[1])) : Ref::borrow(args[1]);
  if (!raw) return nullptr;

  // First attempt: plain JSON.
  Ref parsed = parse_plain_json(raw.get());
  if (parsed) return parsed.release();

  // Only a decoding or JSON error leads to the second attempt; while it runs
  // the first error is the one being handled, so it becomes the context of
  // whatever the container path raises.
  HandledException first_error;
  Ref json_error = global_attr(kJson, kJsonDecodeError);
  if (!json_error) return nullptr;
  Ref retry_on = Ref::steal(PyTuple_Pack(2, PyExc_UnicodeDecodeError, json_error.get()));
  const int retry = retry_on ? first_error.matches(retry_on.get()) : -1;
  if (retry < 0) return nullptr;
  if (retry == 0) return first_error.reraise();

  // Second attempt: json.loads(self.decrypt(qox_data=raw)).
  Ref loads = global_attr(kJson, kLoads);
  if (!loads) return nullptr;
  Ref decrypt = get_attr(self, kDecrypt);
  Ref kwnames = Ref::steal(PyTuple_Pack(1, kQoxData.get()));
  if (!decrypt || !kwnames) return nullptr;
  Ref text = call(decrypt.get(), {raw.get()}, kwnames.get());
  if (!text) return nullptr;
  return call(loads.get(), {text.get()}).release();
}

PyObject* encrypt_dict_impl(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  PyObject* data_dict = args[1];  // exactly dict
  Ref dumps = global_attr(kJson, kDumps);
  Ref kwnames = Ref::steal(PyTuple_Pack(2, kEnsureAscii.get(), kIndent.get()));
  Ref json_text =
      dumps && kwnames ? call(dumps.get(), {data_dict, Py_False, Py_None}, kwnames.get()) : Ref();
  if (!json_text) {
    // Only TypeError (a value or key JSON cannot represent) is reworded;
    // e.g. the ValueError of a circular reference passes unchanged.
    HandledException error;
    const int unserialisable = error.matches(PyExc_TypeError);
    if (unserialisable < 0) return nullptr;
    if (unserialisable == 0) return error.reraise();
    return raise_with(PyExc_ValueError, text_with_value("字典无法序列化为JSON: ", error.get()));
  }
  return call_method(self, kEncrypt, {json_text.get()}).release();
}

PyObject* decrypt_to_dict_impl(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  Ref json_text = call_method(self, kDecrypt, {args[1]});
  if (!json_text) return nullptr;
  Ref loads = global_attr(kJson, kLoads);
  Ref data = loads ? call(loads.get(), {json_text.get()}) : Ref();
  if (!data) {
    HandledException error;
    const int not_json = is_json_decode_error(error);
    if (not_json < 0) return nullptr;
    if (not_json == 0) return error.reraise();
    return raise_with(PyExc_ValueError,
                      text_with_value("解密后的数据不是有效JSON格式: ", error.get()));
  }
  if (!PyDict_Check(data.get())) {
    PyErr_SetString(PyExc_ValueError, "解密后的数据不是字典类型");
    return nullptr;
  }
  return data.release();
}

// `open(file_path, mode)` with the builtin captured at import.
Ref open_file(PyObject* file_path, const Name& mode) {
  return call(process_state().open_function, {file_path, mode.get()});
}

PyObject* encrypt_dict_to_file_impl(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  PyObject* file_path = args[2];  // exactly str
  // The whole container exists before the file is touched, so a dictionary
  // that cannot be serialised leaves an existing file as it was.
  Ref encrypted = call_method(self, kEncryptDict, {args[1]});
  if (!encrypted) return nullptr;
  Ref file = open_file(file_path, kWriteBinary);
  if (!file) return nullptr;
  Ref written = with_block(
      file.get(), [&](PyObject* target) { return call_method(target, kWrite, {encrypted.get()}); });
  if (!written) return nullptr;
  Py_RETURN_NONE;
}

PyObject* decrypt_file_to_dict_impl(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  PyObject* file_path = args[1];  // exactly str
  Ref os_path = global_attr(kOs, kPath);
  Ref exists = os_path ? get_attr(os_path.get(), kExists) : Ref();
  Ref found = exists ? call(exists.get(), {file_path}) : Ref();
  const int present = found ? PyObject_IsTrue(found.get()) : -1;
  if (present < 0) return nullptr;
  if (!present) {
    // One argument only: errno, strerror and filename stay None.
    return raise_with(PyExc_FileNotFoundError, text_with_value("文件不存在: ", file_path));
  }
  Ref file = open_file(file_path, kReadBinary);
  if (!file) return nullptr;
  Ref qox_data =
      with_block(file.get(), [](PyObject* target) { return call_method(target, kRead, {}); });
  if (!qox_data) return nullptr;
  return call_method(self, kDecryptToDict, {qox_data.get()}).release();
}

}  // namespace

const FunctionDescription kStringCryptoLoadJson = {
    "load_json",
    "QOXStringCrypto.load_json",
    "\n"
    "        读取「可能是明文 JSON、也可能是 .qox 加密」的字节/字符串，返回解析后的对象\n"
    "\n"
    "        历史原因，default.json 在部分账号里是被迁移逻辑**就地加密覆盖**过的\n"
    "        （明文 JSON 直接换成 .qox 二进制）。统一用本方法解析，调用方不必关心\n"
    "        读到的是哪种格式，也不会因为按 utf-8 解码二进制而抛 UnicodeDecodeError。\n"
    "\n"
    "        :param raw: 文件原始内容（str 或 bytes）\n"
    "        :return:    解析后的 Python 对象（通常是 dict）\n"
    "        :raises ValueError: 两种格式都解析失败时抛出\n"
    "        ",
    {Param("self"), Param("raw", "Union[str, bytes]")},
    "Any",
    load_json_impl,
};
const FunctionDescription kStringCryptoEncryptDict = {
    "encrypt_dict",
    "QOXStringCrypto.encrypt_dict",
    "\n"
    "        加密字典数据，返回.qox格式字节流\n"
    "        :param data_dict: 待加密的字典（支持所有JSON可序列化类型）\n"
    "        :return: .qox格式加密字节流\n"
    "        ",
    {Param("self"), Param("data_dict", "Dict[str, Any]")},
    "bytes",
    encrypt_dict_impl,
};
const FunctionDescription kStringCryptoDecryptToDict = {
    "decrypt_to_dict",
    "QOXStringCrypto.decrypt_to_dict",
    "\n"
    "        解密.qox格式数据并转换为字典\n"
    "        :param qox_data: .qox格式加密字节流\n"
    "        :return: 解密后的原始字典\n"
    "        ",
    {Param("self"), Param("qox_data", "bytes")},
    "Dict[str, Any]",
    decrypt_to_dict_impl,
};
const FunctionDescription kStringCryptoEncryptDictToFile = {
    "encrypt_dict_to_file",
    "QOXStringCrypto.encrypt_dict_to_file",
    "\n"
    "        加密字典并写入文件\n"
    "        :param data_dict: 待加密的字典\n"
    "        :param file_path: 输出文件路径（建议使用.qox后缀）\n"
    "        ",
    {Param("self"), Param("data_dict", "Dict[str, Any]"), Param("file_path", "str")},
    "None",
    encrypt_dict_to_file_impl,
};
const FunctionDescription kStringCryptoDecryptFileToDict = {
    "decrypt_file_to_dict",
    "QOXStringCrypto.decrypt_file_to_dict",
    "\n"
    "        从文件读取加密数据并解密为字典\n"
    "        :param file_path: 加密文件路径\n"
    "        :return: 解密后的字典\n"
    "        ",
    {Param("self"), Param("file_path", "str")},
    "Dict[str, Any]",
    decrypt_file_to_dict_impl,
};

}  // namespace qox::container
