// The eight BCrypt functions of the CNG AES path, with CNG's contract, over
// OpenSSL's AES: a test-only stand-in for bcrypt.dll on Linux.
//
// Deliberately stricter than CNG where that exposes a caller's mistake:
// - A new AES provider chains in ECB until "ChainingMode" is set (CNG starts
//   in CBC), so a caller that forgets to select CBC gets visibly wrong bytes.
// - Only the property, flags and modes the native backend uses are known.
// tests/cng/known_differences.txt lists where it and Wine's bcrypt.dll part.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>

#include "cng_standin.h"

namespace cng_standin {
namespace {

constexpr Ulong kBlockSize = 16;
// What "ObjectLength" reports: odd and not round, so a caller that sizes the
// key object by anything but the property is caught.
constexpr Ulong kObjectLength = 654;
constexpr Ulong kBlockPaddingFlag = 0x1;
constexpr uint64_t kKeyMagic = 0x4B45594F424A3031;  // "KEYOBJ01"

enum class Mode { ecb, cbc };

struct Provider {
  std::atomic<Mode> mode{Mode::ecb};
};

// The key state, placed inside the caller's key-object buffer as CNG does.
struct KeyState {
  uint64_t magic;
  Mode mode;  // the provider's chaining mode when the key was made
  size_t key_len;
  unsigned char key[32];
};
static_assert(sizeof(KeyState) + alignof(KeyState) <= kObjectLength,
              "ObjectLength must hold a key");

// Handles the stand-in gave out, so a stale or made-up handle is refused
// without reading through it.
std::mutex g_handles_mutex;
std::unordered_set<const void*> g_providers;
std::unordered_set<const void*> g_keys;
// Key objects the stand-in allocated because the caller passed none.
std::unordered_set<const void*> g_owned_key_objects;

// Where a key's state sits in its key-object buffer (the handle).
KeyState* state_at(void* handle) {
  const auto address = reinterpret_cast<uintptr_t>(handle);
  const uintptr_t aligned = (address + alignof(KeyState) - 1) & ~uintptr_t(alignof(KeyState) - 1);
  return reinterpret_cast<KeyState*>(aligned);
}

Provider* find_provider(void* handle) {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  return g_providers.count(handle) ? static_cast<Provider*>(handle) : nullptr;
}

// A stack copy of a key's state, wiped on every way out of the call.
struct KeyCopy {
  KeyState key;
  KeyCopy() = default;
  KeyCopy(const KeyCopy&) = delete;
  KeyCopy& operator=(const KeyCopy&) = delete;
  ~KeyCopy() { OPENSSL_cleanse(&key, sizeof(key)); }
};

// Copies the state of a live key; false for a handle that is not one, or
// whose buffer was overwritten since the key was made.
bool load_key(void* handle, KeyState* key) {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  if (!g_keys.count(handle)) return false;
  std::memcpy(key, state_at(handle), sizeof(KeyState));
  return key->magic == kKeyMagic;
}

// Compares a NUL-terminated wide string with an expected one without reading
// past the first difference, so a short or foreign buffer is never overrun.
bool wide_equals(const wchar_t* text, const wchar_t* expected) {
  if (text == nullptr) return false;
  for (size_t i = 0;; ++i) {
    if (text[i] != expected[i]) return false;
    if (expected[i] == L'\0') return true;
  }
}

// Byte size of a wide string with its NUL, counted as UTF-16 (the caller
// computes it for Windows) and as this platform's wchar_t (UTF-32 here,
// which is what ctypes actually passes). Both are accepted.
bool wide_size_matches(const wchar_t* value, Ulong size) {
  const Ulong units = std::wcslen(value) + 1;
  return size == units * 2 || size == units * sizeof(wchar_t);
}

const EVP_CIPHER* cipher_for(const KeyState& key) {
  const bool cbc = key.mode == Mode::cbc;
  switch (key.key_len) {
    case 16:
      return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    case 24:
      return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    default:
      return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
  }
}

// Runs AES over `len` bytes, with PKCS#7 padding added or checked when `pad`
// is set, and stores the produced length; in == out is allowed. False when
// the padding found on decryption is not valid (or OpenSSL fails).
bool run_cipher(const KeyState& key, bool encrypt, bool pad, const unsigned char* iv,
                const unsigned char* in, unsigned char* out, Ulong len, Ulong* produced) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  if (!ctx ||
      EVP_CipherInit_ex(ctx.get(), cipher_for(key), nullptr, key.key, iv, encrypt ? 1 : 0) != 1) {
    return false;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), pad ? 1 : 0);
  // EVP counts in int; chunks of whole blocks keep the chaining intact. It
  // never writes more than it was given before the final step.
  constexpr Ulong kChunk = Ulong(1) << 30;
  Ulong total = 0;
  for (Ulong done = 0; done < len; done += kChunk) {
    const Ulong part = len - done < kChunk ? len - done : kChunk;
    int written = 0;
    if (EVP_CipherUpdate(ctx.get(), out + total, &written, in + done, static_cast<int>(part)) !=
        1) {
      return false;
    }
    total += Ulong(written);
  }
  int last = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out + total, &last) != 1) return false;
  *produced = total + Ulong(last);
  return true;
}

// BCryptEncrypt and BCryptDecrypt share everything but the direction.
Status crypt(Fn fn, void* key_handle, const unsigned char* input, Ulong input_len,
             void* padding_info, unsigned char* iv, Ulong iv_len, unsigned char* output,
             Ulong output_len, Ulong* result_len, Ulong flags) {
  Status injected;
  if (intercept_call(fn, &injected)) return injected;
  KeyCopy copy;
  if (!load_key(key_handle, &copy.key)) return kInvalidHandle;
  const KeyState& key = copy.key;
  if ((flags & ~kBlockPaddingFlag) != 0 || padding_info != nullptr || result_len == nullptr)
    return kInvalidParameter;
  if (input == nullptr && input_len != 0) return kInvalidParameter;
  const bool encrypt = fn == Fn::encrypt;
  const bool pad = flags == kBlockPaddingFlag;
  // Whole blocks only, except for plaintext that is to be padded; padded
  // ciphertext holds at least the padding block.
  if (!(pad && encrypt) && input_len % kBlockSize != 0) return kInvalidBufferSize;
  if (pad && !encrypt && input_len == 0) return kInvalidBufferSize;
  const bool cbc = key.mode == Mode::cbc;
  if (cbc && (iv == nullptr || iv_len != kBlockSize)) return kInvalidParameter;
  // Padding adds 1 to 16 bytes; unpadding needs room for all the input.
  const Ulong needed = pad && encrypt ? (input_len / kBlockSize + 1) * kBlockSize : input_len;
  if (output == nullptr) {  // size query
    *result_len = needed;
    return kSuccess;
  }
  if (output_len < needed) return kBufferTooSmall;

  // CNG leaves the last ciphertext block in the IV buffer so that a next
  // call continues the chain. Decryption may run in place: save it first.
  unsigned char next_iv[kBlockSize] = {};
  if (cbc && !encrypt && input_len > 0)
    std::memcpy(next_iv, input + input_len - kBlockSize, kBlockSize);
  Ulong produced = 0;
  if (!run_cipher(key, encrypt, pad, cbc ? iv : nullptr, input, output, input_len, &produced))
    return kUnsuccessful;  // also bad padding, as Wine reports it
  if (cbc && encrypt && produced > 0)
    std::memcpy(next_iv, output + produced - kBlockSize, kBlockSize);
  if (cbc && (encrypt ? produced : input_len) > 0) std::memcpy(iv, next_iv, kBlockSize);
  if (output_corruption_on() && produced > 0) output[0] ^= 1;
  *result_len = produced;
  return kSuccess;
}

}  // namespace
}  // namespace cng_standin

using namespace cng_standin;

STANDIN_EXPORT Status BCryptOpenAlgorithmProvider(void** algorithm, const wchar_t* algorithm_id,
                                                  const wchar_t* implementation, Ulong flags) {
  Status injected;
  if (intercept_call(Fn::open_algorithm_provider, &injected)) return injected;
  if (algorithm == nullptr || flags != 0) return kInvalidParameter;
  if (!wide_equals(algorithm_id, L"AES") || implementation != nullptr) return kNotFound;
  auto* provider = new (std::nothrow) Provider;
  if (provider == nullptr) return kUnsuccessful;
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  g_providers.insert(provider);
  *algorithm = provider;
  return kSuccess;
}

STANDIN_EXPORT Status BCryptGetProperty(void* object, const wchar_t* property,
                                        unsigned char* output, Ulong output_len, Ulong* result_len,
                                        Ulong flags) {
  Status injected;
  if (intercept_call(Fn::get_property, &injected)) return injected;
  if (find_provider(object) == nullptr) return kInvalidHandle;
  if (property == nullptr || result_len == nullptr || flags != 0) return kInvalidParameter;
  if (!wide_equals(property, L"ObjectLength")) return kNotSupported;
  *result_len = sizeof(Ulong);
  if (output == nullptr) return kSuccess;  // size query
  if (output_len < sizeof(Ulong)) return kBufferTooSmall;
  std::memcpy(output, &kObjectLength, sizeof(Ulong));
  return kSuccess;
}

// The value arrives through a void* parameter: ctypes converts the str to a
// NUL-terminated wchar_t string, UTF-32 on Linux, while the byte count the
// caller passes is the UTF-16 one ((15 + 1) * 2 = 32 for "ChainingModeCBC").
// The string is therefore read up to its NUL, and the count checked against
// either encoding.
STANDIN_EXPORT Status BCryptSetProperty(void* object, const wchar_t* property, unsigned char* input,
                                        Ulong input_len, Ulong flags) {
  Status injected;
  if (intercept_call(Fn::set_property, &injected)) return injected;
  Provider* provider = find_provider(object);
  if (provider == nullptr) return kInvalidHandle;
  if (property == nullptr || input == nullptr || flags != 0) return kInvalidParameter;
  if (!wide_equals(property, L"ChainingMode")) return kNotSupported;
  const auto* value = reinterpret_cast<const wchar_t*>(input);
  Mode mode;
  if (wide_equals(value, L"ChainingModeCBC")) {
    mode = Mode::cbc;
  } else if (wide_equals(value, L"ChainingModeECB")) {
    mode = Mode::ecb;
  } else {
    return kInvalidParameter;
  }
  if (!wide_size_matches(value, input_len)) return kInvalidParameter;
  provider->mode.store(mode);
  return kSuccess;
}

STANDIN_EXPORT Status BCryptGenerateSymmetricKey(void* algorithm, void** key_handle,
                                                 unsigned char* key_object, Ulong key_object_len,
                                                 const unsigned char* secret, Ulong secret_len,
                                                 Ulong flags) {
  Status injected;
  if (intercept_call(Fn::generate_symmetric_key, &injected)) return injected;
  Provider* provider = find_provider(algorithm);
  if (provider == nullptr) return kInvalidHandle;
  if (key_handle == nullptr || flags != 0) return kInvalidParameter;
  // No buffer and a size of 0: CNG allocates the key object itself.
  const bool owned = key_object == nullptr;
  if (owned ? key_object_len != 0 : key_object_len < kObjectLength) {
    return owned ? kInvalidParameter : kBufferTooSmall;
  }
  if (secret == nullptr || (secret_len != 16 && secret_len != 24 && secret_len != 32))
    return kInvalidParameter;
  if (owned) {
    key_object = new (std::nothrow) unsigned char[kObjectLength];
    if (key_object == nullptr) return kUnsuccessful;
  }

  KeyState* state =
      new (state_at(key_object)) KeyState{kKeyMagic, provider->mode.load(), secret_len, {}};
  std::memcpy(state->key, secret, secret_len);
  {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    // An address already present means its earlier key was never
    // destroyed before the buffer was reused; that key stays counted.
    g_keys.insert(key_object);
    if (owned) g_owned_key_objects.insert(key_object);
  }
  note_key_created();
  *key_handle = key_object;
  return kSuccess;
}

STANDIN_EXPORT Status BCryptEncrypt(void* key, const unsigned char* input, Ulong input_len,
                                    void* padding_info, unsigned char* iv, Ulong iv_len,
                                    unsigned char* output, Ulong output_len, Ulong* result_len,
                                    Ulong flags) {
  return crypt(Fn::encrypt, key, input, input_len, padding_info, iv, iv_len, output, output_len,
               result_len, flags);
}

STANDIN_EXPORT Status BCryptDecrypt(void* key, const unsigned char* input, Ulong input_len,
                                    void* padding_info, unsigned char* iv, Ulong iv_len,
                                    unsigned char* output, Ulong output_len, Ulong* result_len,
                                    Ulong flags) {
  return crypt(Fn::decrypt, key, input, input_len, padding_info, iv, iv_len, output, output_len,
               result_len, flags);
}

STANDIN_EXPORT Status BCryptDestroyKey(void* key) {
  Status injected;
  if (intercept_call(Fn::destroy_key, &injected)) return injected;
  {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    if (!g_keys.erase(key)) return kInvalidHandle;
    // The caller may free the buffer right after: leave no key bytes.
    OPENSSL_cleanse(state_at(key), sizeof(KeyState));
    if (g_owned_key_objects.erase(key)) delete[] static_cast<unsigned char*>(key);
  }
  note_key_destroyed();
  return kSuccess;
}

// Keys already made keep working: they copied the provider's mode.
STANDIN_EXPORT Status BCryptCloseAlgorithmProvider(void* algorithm, Ulong flags) {
  Status injected;
  if (intercept_call(Fn::close_algorithm_provider, &injected)) return injected;
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  if (!g_providers.count(algorithm)) return kInvalidHandle;
  if (flags != 0) return kInvalidParameter;
  g_providers.erase(algorithm);
  delete static_cast<Provider*>(algorithm);
  return kSuccess;
}
