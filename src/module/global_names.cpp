// The pooled names, in the order of global_names.h.
#include "module/global_names.h"

namespace qox {

const Name kOs("os");
const Name kJson("json");
const Name kHmac("hmac");
const Name kStruct("struct");
const Name kHashlib("hashlib");
const Name kTyping("typing");
const Name kUnion("Union");
const Name kDict("Dict");
const Name kAny("Any");
const Name kList("List");
const Name kTuple("Tuple");

const Name kXtime("_xtime");
const Name kMul("_mul");
const Name kBuildSbox("_build_sbox");
const Name kSbox("_SBOX");
const Name kInvSbox("_INV_SBOX");
const Name kRor8("_ror8");
const Name kBuildTables("_build_tables");
const Name kTe0("_TE0");
const Name kTe1("_TE1");
const Name kTe2("_TE2");
const Name kTe3("_TE3");
const Name kTf0("_TF0");
const Name kTf1("_TF1");
const Name kTf2("_TF2");
const Name kTf3("_TF3");
const Name kTd0("_TD0");
const Name kTd1("_TD1");
const Name kTd2("_TD2");
const Name kTd3("_TD3");
const Name kTg0("_TG0");
const Name kTg1("_TG1");
const Name kTg2("_TG2");
const Name kTg3("_TG3");

const Name kInvMixWord("_inv_mix_word");
const Name kToRounds("_to_rounds");
const Name kExpandKey("_expand_key");
const Name kKeyCache("_KEY_CACHE");
const Name kGetKey("_get_key");
const Name kCbcEncrypt("_cbc_encrypt");
const Name kCbcDecrypt("_cbc_decrypt");

const Name kNativeAesName("_NativeAES");
const Name kInitNativeBackend("_init_native_backend");
const Name kNativeAes("_NATIVE_AES");
const Name kAesCbc("_aes_cbc");

const Name kPkcs7Pad("_pkcs7_pad");
const Name kPkcs7Unpad("_pkcs7_unpad");
const Name kTest("__test__");

const Name kModuleName("qoxcrypto.crypto");
const Name kMagicNumber("MAGIC_NUMBER");
const Name kVersionName("VERSION");
const Name kBlockSizeName("BLOCK_SIZE");
const Name kHmacSizeName("HMAC_SIZE");
const Name kHeaderSizeName("HEADER_SIZE");
const Name kKey("key");
const Name kUseHmac("use_hmac");
const Name kCrypt("crypt");
const Name kDecode("decode");
const Name kUtf8("utf-8");
const Name kCompareDigest("compare_digest");

}  // namespace qox
