// SHA-256 (FIPS 180-4): whole-block compression on the best path this CPU
// has (SHA-NI, ARMv8 SHA2, else portable C++) and a streaming hash over it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qox::sha256 {

constexpr size_t kSha256BlockSize = 64;
constexpr size_t kSha256DigestSize = 32;

// The chaining value H0..H7.
struct Sha256State {
  uint32_t h[8];
};

// FIPS 180-4, 5.3.3.
constexpr Sha256State kSha256Initial = {{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f,
                                         0x9b05688c, 0x1f83d9ab, 0x5be0cd19}};

// Compresses `blocks` whole 64-byte blocks at `data` into `state`: the best
// path, chosen once per call (portable whenever QOX_AES_PATH names a software AES path).
void sha256_blocks(Sha256State& state, const uint8_t* data, size_t blocks);

// The path sha256_blocks takes: "shani", "armv8" or "portable".
const char* sha256_provider();

// Streaming SHA-256. The buffered tail and the chaining value are wiped when
// the object goes.
class Sha256 {
 public:
  Sha256() : state_(kSha256Initial) {}
  // Resumes from `state` after `length` bytes, a multiple of the block size
  // (HMAC starts from its precompressed key blocks this way).
  Sha256(const Sha256State& state, uint64_t length) : state_(state), length_(length) {}
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  void update(const uint8_t* data, size_t size);
  // Pads, writes the digest; the object must not be used afterwards.
  void finish(uint8_t digest[kSha256DigestSize]);

 private:
  Sha256State state_;
  uint64_t length_ = 0;  // bytes hashed so far, the buffered ones included
  uint8_t buffer_[kSha256BlockSize] = {};
};

// One-shot digest.
void sha256(const uint8_t* data, size_t size, uint8_t digest[kSha256DigestSize]);

}  // namespace qox::sha256
