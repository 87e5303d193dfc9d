// The class QOXStringCrypto: its docstring, constants and methods, in namespace order.
#include "container/functions.h"
#include "engine/layout/layout.h"
#include "module/global_names.h"

namespace qox::container {

using namespace layout;  // the container format's offsets and sizes

namespace {

Ref make_magic() noexcept { return Ref::steal(PyBytes_FromStringAndSize(kMagic, kMagicSize)); }
Ref make_version() noexcept { return Ref::steal(PyLong_FromLong(kVersion)); }
Ref make_block_size() noexcept { return Ref::steal(PyLong_FromLong(kBlockSize)); }
Ref make_hmac_size() noexcept { return Ref::steal(PyLong_FromLong(kHmacSize)); }
Ref make_header_size() noexcept { return Ref::steal(PyLong_FromLong(kHeaderSize)); }

}  // namespace

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
        {&kStringCryptoInit, false},
        {&kStringCryptoEncrypt, false},
        {&kStringCryptoDecrypt, false},
        {&kStringCryptoLoadJson, false},
        {&kStringCryptoEncryptDict, false},
        {&kStringCryptoDecryptToDict, false},
        {&kStringCryptoEncryptDictToFile, false},
        {&kStringCryptoDecryptFileToDict, false},
    },
};

}  // namespace qox::container
