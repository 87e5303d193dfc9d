// The module globals that the container defines, by description.
#pragma once

#include "module/classes.h"
#include "module/function.h"

namespace qox::container {

// PKCS#7 (padding.cpp).
extern const FunctionDescription kPkcs7PadFunction;
extern const FunctionDescription kPkcs7UnpadFunction;

// QOXStringCrypto (string_crypto_class.cpp) and its methods: writing and
// reading one container (string_crypto.cpp), dictionaries, JSON and files
// (dict_json_file.cpp).
extern const ClassDescription kStringCryptoClass;
extern const FunctionDescription kStringCryptoInit;
extern const FunctionDescription kStringCryptoEncrypt;
extern const FunctionDescription kStringCryptoDecrypt;
extern const FunctionDescription kStringCryptoLoadJson;
extern const FunctionDescription kStringCryptoEncryptDict;
extern const FunctionDescription kStringCryptoDecryptToDict;
extern const FunctionDescription kStringCryptoEncryptDictToFile;
extern const FunctionDescription kStringCryptoDecryptFileToDict;

}  // namespace qox::container
