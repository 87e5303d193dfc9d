// Streaming SHA-256 and the run-time choice of its compression path.
#include "engine/sha256/sha256.h"

#include <cstring>

#include "engine/sha256/paths.h"
#include "engine/cpu/wipe.h"

namespace qox::sha256 {

void sha256_blocks(Sha256State& state, const uint8_t* data, size_t blocks) {
  if (shani_available()) return sha256_blocks_shani(state, data, blocks);
  if (armv8_sha2_available()) return sha256_blocks_armv8(state, data, blocks);
  sha256_blocks_portable(state, data, blocks);
}

const char* sha256_provider() {
  if (shani_available()) return "shani";
  if (armv8_sha2_available()) return "armv8";
  return "portable";
}

Sha256::~Sha256() {
  cpu::wipe_bytes(&state_, sizeof state_);
  cpu::wipe_bytes(buffer_, sizeof buffer_);
}

void Sha256::update(const uint8_t* data, size_t size) {
  if (size == 0) return;
  size_t buffered = static_cast<size_t>(length_ % kSha256BlockSize);
  length_ += size;
  if (buffered != 0) {
    const size_t take = size < kSha256BlockSize - buffered ? size : kSha256BlockSize - buffered;
    std::memcpy(buffer_ + buffered, data, take);
    data += take, size -= take, buffered += take;
    if (buffered < kSha256BlockSize) return;
    sha256_blocks(state_, buffer_, 1);
  }
  const size_t whole = size / kSha256BlockSize;
  if (whole != 0) sha256_blocks(state_, data, whole);
  std::memcpy(buffer_, data + whole * kSha256BlockSize, size % kSha256BlockSize);
}

// FIPS 180-4, 5.1.1: a one bit, zeros to 56 bytes past a block boundary, and
// the message length in bits as a big-endian 64-bit number.
void Sha256::finish(uint8_t digest[kSha256DigestSize]) {
  const uint64_t bit_length = length_ * 8;
  size_t buffered = static_cast<size_t>(length_ % kSha256BlockSize);
  buffer_[buffered++] = 0x80;
  if (buffered > kSha256BlockSize - 8) {
    std::memset(buffer_ + buffered, 0, kSha256BlockSize - buffered);
    sha256_blocks(state_, buffer_, 1);
    buffered = 0;
  }
  std::memset(buffer_ + buffered, 0, kSha256BlockSize - 8 - buffered);
  for (int i = 0; i < 8; ++i) {
    buffer_[kSha256BlockSize - 1 - i] = static_cast<uint8_t>(bit_length >> (8 * i));
  }
  sha256_blocks(state_, buffer_, 1);
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<uint8_t>(state_.h[i] >> (24 - 8 * j));
    }
  }
}

void sha256(const uint8_t* data, size_t size, uint8_t digest[kSha256DigestSize]) {
  Sha256 hash;
  hash.update(data, size);
  hash.finish(digest);
}

}  // namespace qox::sha256
