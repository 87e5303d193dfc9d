// One pool for the names of the module's globals and the texts more than one file uses.
#pragma once

#include "module/names.h"

namespace qox {

// The module globals, in the order the import binds them.

// The standard modules and typing names the import binds.
extern const Name kOs;
extern const Name kJson;
extern const Name kHmac;
extern const Name kStruct;
extern const Name kHashlib;
extern const Name kTyping;
extern const Name kUnion;
extern const Name kDict;
extern const Name kAny;
extern const Name kList;
extern const Name kTuple;

// Field arithmetic, S-boxes and round tables.
extern const Name kXtime;
extern const Name kMul;
extern const Name kBuildSbox;
extern const Name kSbox;
extern const Name kInvSbox;
extern const Name kRor8;
extern const Name kBuildTables;
extern const Name kTe0;
extern const Name kTe1;
extern const Name kTe2;
extern const Name kTe3;
extern const Name kTf0;
extern const Name kTf1;
extern const Name kTf2;
extern const Name kTf3;
extern const Name kTd0;
extern const Name kTd1;
extern const Name kTd2;
extern const Name kTd3;
extern const Name kTg0;
extern const Name kTg1;
extern const Name kTg2;
extern const Name kTg3;

// Key schedule, key cache and the CBC loops.
extern const Name kInvMixWord;
extern const Name kToRounds;
extern const Name kExpandKey;
extern const Name kKeyCache;
extern const Name kGetKey;
extern const Name kCbcEncrypt;
extern const Name kCbcDecrypt;

// The native backend and the unified CBC entry.
extern const Name kNativeAesName;  // _NativeAES
extern const Name kInitNativeBackend;
extern const Name kNativeAes;  // _NATIVE_AES
extern const Name kAesCbc;

// The container.
extern const Name kPkcs7Pad;
extern const Name kPkcs7Unpad;
extern const Name kTest;  // __test__

// The module's name, the class constants and instance attributes of QOXStringCrypto,
// and method and codec names used by more than one file.
extern const Name kModuleName;
extern const Name kMagicNumber;
extern const Name kVersionName;
extern const Name kBlockSizeName;
extern const Name kHmacSizeName;
extern const Name kHeaderSizeName;
extern const Name kKey;
extern const Name kUseHmac;
extern const Name kCrypt;
extern const Name kDecode;
extern const Name kUtf8;
extern const Name kCompareDigest;  // hmac.compare_digest

}  // namespace qox
