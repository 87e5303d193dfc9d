// The module globals that the container defines, by description.
#pragma once

#include "module/classes.h"
#include "module/function.h"

namespace qox::container {

// PKCS#7 (padding.cpp).
extern const FnSpec kPkcs7PadFunction;
extern const FnSpec kPkcs7UnpadFunction;

// QOXStringCrypto (string_crypto_class.cpp) and its methods: writing and
// reading one container (string_crypto.cpp), dictionaries, JSON and files
// (dict_json_file.cpp).
extern const ClassDescription kStringCryptoClass;
extern const FnSpec kStringCryptoInit;
extern const FnSpec kStringCryptoEncrypt;
extern const FnSpec kStringCryptoDecrypt;
extern const FnSpec kStringCryptoLoadJson;
extern const FnSpec kStringCryptoEncryptDict;
extern const FnSpec kStringCryptoDecryptToDict;
extern const FnSpec kStringCryptoEncryptDictToFile;
extern const FnSpec kStringCryptoDecryptFileToDict;

}  // namespace qox::container
