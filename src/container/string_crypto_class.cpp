// The class QOXStringCrypto: its docstring, constants and methods, in namespace order.
#include "container/layout.h"
#include "module/classes.h"

namespace qox::container {

namespace {

const Name kMagicNumber("MAGIC_NUMBER");
const Name kVersionName("VERSION");
const Name kBlockSizeName("BLOCK_SIZE");
const Name kHmacSizeName("HMAC_SIZE");
const Name kHeaderSizeName("HEADER_SIZE");

Ref make_magic() noexcept { return Ref::steal(PyBytes_FromStringAndSize(kMagic, kMagicSize)); }
Ref make_version() noexcept { return Ref::steal(PyLong_FromLong(kVersion)); }
Ref make_block_size() noexcept { return Ref::steal(PyLong_FromLong(kBlockSize)); }
Ref make_hmac_size() noexcept { return Ref::steal(PyLong_FromLong(kHmacSize)); }
Ref make_header_size() noexcept { return Ref::steal(PyLong_FromLong(kHeaderSize)); }

const ClassDescription kStringCryptoClass = {
    "QOXStringCrypto",
    "自定义.qox格式的字符串加密/解密（纯标准库实现，无第三方依赖）",
    {
        {&kMagicNumber, make_magic},
        {&kVersionName, make_version},
        {&kBlockSizeName, make_block_size},
        {&kHmacSizeName, make_hmac_size},
        {&kHeaderSizeName, make_header_size},
    },
    {
        {"QOXStringCrypto.__init__", false},
        {"QOXStringCrypto.encrypt", false},
        {"QOXStringCrypto.decrypt", false},
        {"QOXStringCrypto.load_json", false},
        {"QOXStringCrypto.encrypt_dict", false},
        {"QOXStringCrypto.decrypt_to_dict", false},
        {"QOXStringCrypto.encrypt_dict_to_file", false},
        {"QOXStringCrypto.decrypt_file_to_dict", false},
    },
};
const ClassRegistration kStringCryptoRegistration(kStringCryptoClass);

}  // namespace

}  // namespace qox::container
