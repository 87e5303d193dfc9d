// Drives a CNG implementation through the calls the native backend makes, in
// its order and with its argument shapes, plus the edge cases the backend
// relies on, and prints one line per step: statuses, produced bytes, the IV
// buffer afterwards. Built for Linux against the test stand-in and for
// Windows against bcrypt.dll (run under Wine), so the two transcripts can be
// compared line by line.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "cng_api.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes from_hex(const char* text) {
  Bytes bytes;
  for (size_t i = 0; text[i] != '\0' && text[i + 1] != '\0'; i += 2) {
    unsigned value = 0;
    std::sscanf(text + i, "%2x", &value);
    bytes.push_back(static_cast<unsigned char>(value));
  }
  return bytes;
}

Bytes counting(size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(i);
  return bytes;
}

// One transcript line: "step: field=value ...", printed when it goes out of
// scope. Statuses show as unsigned 32-bit NTSTATUS codes on both builds.
class Line {
 public:
  explicit Line(const char* step) : text_(step) { text_ += ':'; }
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;
  ~Line() { std::printf("%s\n", text_.c_str()); }

  Line& status(const char* label, Status status) {
    char field[32];
    std::snprintf(field, sizeof(field), " %s=0x%08X", label,
                  static_cast<unsigned>(static_cast<uint32_t>(status)));
    text_ += field;
    return *this;
  }
  Line& number(const char* label, unsigned long long value) {
    return word(label, std::to_string(value).c_str());
  }
  Line& bytes(const char* label, const unsigned char* data, size_t length) {
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
      char pair[3];
      std::snprintf(pair, sizeof(pair), "%02x", data[i]);
      hex += pair;
    }
    return word(label, length ? hex.c_str() : "-");
  }
  Line& word(const char* label, const char* value) {
    text_ += std::string(" ") + label + "=" + value;
    return *this;
  }

 private:
  std::string text_;
};

// The algorithm provider, opened and configured as _NativeAES.__init__ does.
struct Provider {
  Handle alg = nullptr;
  Ulong obj_len = 0;
};

Provider open_provider(const char* name, bool select_cbc) {
  Provider provider;
  Status status = BCryptOpenAlgorithmProvider(&provider.alg, L"AES", nullptr, 0);
  Line(name).status("open", status).word("handle", provider.alg ? "set" : "null");
  Ulong got = 0;
  status =
      BCryptGetProperty(provider.alg, L"ObjectLength", reinterpret_cast<PUCHAR>(&provider.obj_len),
                        sizeof(provider.obj_len), &got, 0);
  // The written size is sizeof(ULONG) of the platform: 4 on Windows, 8 for
  // the stand-in, whose ULONG is ctypes' c_ulong on Linux.
  Line("get ObjectLength")
      .status("status", status)
      .number("value", provider.obj_len)
      .word("written", got == sizeof(Ulong) ? "sizeof(ULONG)" : std::to_string(got).c_str());
  if (select_cbc) {
    // A NUL-terminated wide string and its UTF-16 byte count with the NUL:
    // (15 + 1) * 2 = 32, as the backend computes it on every platform.
    static wchar_t mode[] = L"ChainingModeCBC";
    const auto bytes = static_cast<Ulong>((std::wcslen(mode) + 1) * 2);
    status =
        BCryptSetProperty(provider.alg, L"ChainingMode", reinterpret_cast<PUCHAR>(mode), bytes, 0);
    Line("set ChainingMode CBC").status("status", status).number("bytes", bytes);
  }
  return provider;
}

// One call of _NativeAES.crypt: a key object of ObjectLength bytes in a
// zeroed caller buffer, one encrypt or decrypt over all of `data` with a
// private 16-byte IV copy, the key destroyed. The fields after `data` bend
// one argument at a time for the edge cases.
struct Crypt {
  Bytes key;
  Bytes iv;
  Bytes data;
  bool encrypt = true;
  const char* expected_hex = nullptr;  // a published answer to check against
  long out_len = -1;                   // -1: the data length
  Ulong iv_len = 16;
  Ulong flags = 0;
  long key_object_len = -1;  // -1: ObjectLength; 0: no buffer at all
};

void run_crypt(const char* step, const Provider& provider, const Crypt& c) {
  const Ulong object_len =
      c.key_object_len < 0 ? provider.obj_len : static_cast<Ulong>(c.key_object_len);
  Bytes key_object(object_len + 1);  // never empty, so .data() is a real buffer
  Bytes secret = c.key;
  Handle key = nullptr;
  Line line(step);
  Status status =
      BCryptGenerateSymmetricKey(provider.alg, &key, object_len ? key_object.data() : nullptr,
                                 object_len, secret.data(), static_cast<Ulong>(secret.size()), 0);
  line.status("key", status);
  if (status < 0) return;

  Bytes input = c.data;
  Bytes out(c.out_len < 0 ? input.size() : static_cast<size_t>(c.out_len));
  unsigned char iv[16] = {};
  std::memcpy(iv, c.iv.data(), c.iv.size() < 16 ? c.iv.size() : 16);
  Ulong written = 0;
  auto* const function = c.encrypt ? BCryptEncrypt : BCryptDecrypt;
  status = function(key, input.empty() ? nullptr : input.data(), static_cast<Ulong>(input.size()),
                    nullptr, iv, c.iv_len, out.empty() ? nullptr : out.data(),
                    static_cast<Ulong>(out.size()), &written, c.flags);
  line.status(c.encrypt ? "encrypt" : "decrypt", status);
  // What a failed call leaves in the produced length is not part of the
  // contract (Wine stores the input length, the stand-in nothing), and the
  // backend reads it only after success.
  if (status >= 0) {
    line.number("written", written);
    line.bytes("out", out.data(), written < out.size() ? written : out.size());
  }
  line.bytes("iv", iv, sizeof(iv));
  if (c.expected_hex != nullptr) {
    const size_t produced = written < out.size() ? written : out.size();
    const bool right =
        status >= 0 && from_hex(c.expected_hex) == Bytes(out.begin(), out.begin() + produced);
    line.word("vector", right ? "ok" : "WRONG");
  }
  line.status("destroy", BCryptDestroyKey(key));
}

// A made-up handle: readable memory that no implementation gave out.
unsigned char g_fake_object[256];

void run_with_key_handle(const char* step, Handle key) {
  unsigned char input[16] = {}, iv[16] = {}, out[16] = {};
  Ulong written = 0;
  Line(step).status("status", BCryptEncrypt(key, input, 16, nullptr, iv, 16, out, 16, &written, 0));
}

// FIPS-197 Appendix C and NIST SP 800-38A Appendix F.2.
const char kFipsPlain[] = "00112233445566778899aabbccddeeff";
const char kSpIv[] = "000102030405060708090a0b0c0d0e0f";
const char kSpPlain[] =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
struct Vector {
  const char* name;
  const char* key_hex;  // nullptr: the counting key 00 01 02 ...
  size_t key_len;
  const char* iv_hex;
  const char* plain_hex;
  const char* cipher_hex;
};
const Vector kVectors[] = {
    {"FIPS-197 C.1 AES-128", nullptr, 16, nullptr, kFipsPlain, "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"FIPS-197 C.2 AES-192", nullptr, 24, nullptr, kFipsPlain, "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"FIPS-197 C.3 AES-256", nullptr, 32, nullptr, kFipsPlain, "8ea2b7ca516745bfeafc49904b496089"},
    {"SP800-38A F.2.1 CBC-AES128", "2b7e151628aed2a6abf7158809cf4f3c", 16, kSpIv, kSpPlain,
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
    {"SP800-38A F.2.3 CBC-AES192", "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", 24, kSpIv,
     kSpPlain,
     "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
     "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
    {"SP800-38A F.2.5 CBC-AES256",
     "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", 32, kSpIv, kSpPlain,
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
};
const char kEcbAes256FirstBlocks[] =  // SP 800-38A F.1.5, first two blocks
    "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870";

void known_answers(const Provider& provider) {
  for (const Vector& v : kVectors) {
    Crypt c;
    c.key = v.key_hex ? from_hex(v.key_hex) : counting(v.key_len);
    c.iv = v.iv_hex ? from_hex(v.iv_hex) : Bytes(16);
    for (const bool encrypt : {true, false}) {
      c.encrypt = encrypt;
      c.data = from_hex(encrypt ? v.plain_hex : v.cipher_hex);
      c.expected_hex = encrypt ? v.cipher_hex : v.plain_hex;
      run_crypt((std::string(v.name) + (encrypt ? " encrypt" : " decrypt")).c_str(), provider, c);
    }
  }
}

// 17 zero bytes, PKCS#7-padded, AES-256-CBC under the counting key, zero IV.
const char kPadded17Zeros[] = "f29000b62a499fd0a9f39a6add2e778096847076b73f5d57cf6b7b9efc6871c6";

// What the backend relies on CNG to refuse, and what it never asks for.
void rejections(const Provider& provider) {
  Crypt base;
  base.key = counting(32);
  base.iv = Bytes(16);
  base.data = Bytes(32);

  for (const bool encrypt : {true, false}) {
    Crypt c = base;
    c.encrypt = encrypt;
    c.data = Bytes(17);
    run_crypt(encrypt ? "encrypt 17 bytes" : "decrypt 17 bytes", provider, c);
  }
  {
    Crypt c = base;
    c.data.clear();
    run_crypt("encrypt 0 bytes", provider, c);
  }
  for (const size_t key_len : {0, 15, 17, 20, 33, 64}) {
    Crypt c = base;
    c.key = counting(key_len);
    run_crypt(("key of " + std::to_string(key_len) + " bytes").c_str(), provider, c);
  }
  for (const bool encrypt : {true, false}) {
    Crypt c = base;
    c.encrypt = encrypt;
    c.out_len = 16;
    run_crypt(encrypt ? "encrypt 32 bytes into 16" : "decrypt 32 bytes into 16", provider, c);
  }
  {
    Crypt c = base;
    c.out_len = 0;
    run_crypt("encrypt size query (no output buffer)", provider, c);
  }
  {
    Crypt c = base;
    c.iv_len = 8;
    run_crypt("encrypt with an 8-byte IV length", provider, c);
  }
  {
    // The backend pads by itself, but CNG documents the flag for block
    // ciphers: PKCS#7 padding up to the next whole block.
    Crypt c = base;
    c.flags = BCRYPT_BLOCK_PADDING;
    c.data = Bytes(17);
    c.out_len = 32;
    c.expected_hex = kPadded17Zeros;
    run_crypt("encrypt 17 bytes with BCRYPT_BLOCK_PADDING", provider, c);
    c.encrypt = false;
    c.data = from_hex(kPadded17Zeros);
    c.expected_hex = "0000000000000000000000000000000000";
    run_crypt("decrypt them with BCRYPT_BLOCK_PADDING", provider, c);
    c.data = Bytes(32);  // decrypts to a last byte of 09 after other bytes
    c.expected_hex = nullptr;
    run_crypt("decrypt bad padding with BCRYPT_BLOCK_PADDING", provider, c);
  }
  {
    Crypt c = base;
    c.key_object_len = static_cast<long>(provider.obj_len) - 1;
    run_crypt("key object one byte short", provider, c);
  }
  {
    Crypt c = base;
    c.key_object_len = 0;
    run_crypt("no key object buffer (NULL, 0)", provider, c);
  }
}

void invalid_handles(const Provider& provider) {
  run_with_key_handle("encrypt with a NULL key handle", nullptr);
  run_with_key_handle("encrypt with the provider handle as key", provider.alg);
  run_with_key_handle("encrypt with a made-up key handle", g_fake_object);
  Line("destroy a NULL key handle").status("status", BCryptDestroyKey(nullptr));
  Line("destroy a made-up key handle").status("status", BCryptDestroyKey(g_fake_object));
  Handle key = nullptr;
  unsigned char secret[16] = {};
  Line("generate a key on a NULL provider")
      .status("status",
              BCryptGenerateSymmetricKey(nullptr, &key, g_fake_object, 16, secret, 16, 0));
  Ulong value = 0, got = 0;
  Line("get ObjectLength of a NULL handle")
      .status("status",
              BCryptGetProperty(nullptr, L"ObjectLength", reinterpret_cast<PUCHAR>(&value),
                                sizeof(value), &got, 0));
}

void provider_edges(const Provider& provider) {
  Handle other = nullptr;
  Line("open an unknown algorithm")
      .status("status", BCryptOpenAlgorithmProvider(&other, L"QOX", nullptr, 0));
  Ulong value = 0, got = 0;
  Status status = BCryptGetProperty(provider.alg, L"ObjectLength", reinterpret_cast<PUCHAR>(&value),
                                    2, &got, 0);
  Line("get ObjectLength into 2 bytes")
      .status("status", status)
      .word("written", got == sizeof(Ulong) ? "sizeof(ULONG)" : std::to_string(got).c_str());
  got = 0;
  status = BCryptGetProperty(provider.alg, L"ObjectLength", nullptr, 0, &got, 0);
  Line("get ObjectLength size query")
      .status("status", status)
      .word("written", got == sizeof(Ulong) ? "sizeof(ULONG)" : std::to_string(got).c_str());
  static wchar_t cbc[] = L"ChainingModeCBC";
  static wchar_t unknown[] = L"ChainingModeQOX";
  Line("set ChainingMode CBC counting 30 bytes")
      .status("status", BCryptSetProperty(provider.alg, L"ChainingMode",
                                          reinterpret_cast<PUCHAR>(cbc), 30, 0));
  Line("set ChainingMode to an unknown mode")
      .status("status", BCryptSetProperty(provider.alg, L"ChainingMode",
                                          reinterpret_cast<PUCHAR>(unknown), 32, 0));
}

// A provider whose chaining mode was never set: which mode do its keys use?
// Two blocks of SP 800-38A's AES-256 example tell CBC (F.2.5) from ECB (F.1.5).
void default_mode() {
  const Provider provider = open_provider("open AES, mode left unset", false);
  const Vector& v = kVectors[5];
  Bytes secret = from_hex(v.key_hex), iv = from_hex(v.iv_hex), input = from_hex(v.plain_hex);
  input.resize(32);
  Bytes key_object(provider.obj_len + 1), out(32);
  Handle key = nullptr;
  Status status = BCryptGenerateSymmetricKey(provider.alg, &key, key_object.data(),
                                             provider.obj_len, secret.data(), 32, 0);
  Ulong written = 0;
  if (status >= 0) {
    status =
        BCryptEncrypt(key, input.data(), 32, nullptr, iv.data(), 16, out.data(), 32, &written, 0);
  }
  const char* chaining = "neither";
  if (out == from_hex(std::string(v.cipher_hex).substr(0, 64).c_str())) chaining = "CBC";
  if (out == from_hex(kEcbAes256FirstBlocks)) chaining = "ECB";
  Line("encrypt with the default mode").status("status", status).word("chains", chaining);
  if (key != nullptr) BCryptDestroyKey(key);
  Line("close the second provider").status("status", BCryptCloseAlgorithmProvider(provider.alg, 0));
}

}  // namespace

int main() {
  std::printf("# CNG scenario, %s build\n", CNG_PLATFORM);
  const Provider provider = open_provider("open AES", true);
  if (provider.alg == nullptr) return 1;
  known_answers(provider);
  rejections(provider);
  invalid_handles(provider);
  provider_edges(provider);
  default_mode();
  Line("close the provider").status("status", BCryptCloseAlgorithmProvider(provider.alg, 0));
  Line("close a NULL provider").status("status", BCryptCloseAlgorithmProvider(nullptr, 0));
  return 0;
}
