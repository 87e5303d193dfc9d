// HMAC-SHA256 (RFC 2104): H(K ^ opad || H(K ^ ipad || message)).
#include "engine/hmac/hmac_sha256.h"

#include <cstring>

#include "engine/cpu/wipe.h"

namespace qox::hmac {

namespace {

constexpr uint8_t kInnerPad = 0x36;
constexpr uint8_t kOuterPad = 0x5c;

// The chaining value after one block of `key_block` ^ pad.
sha256::Sha256State pad_state(const uint8_t (&key_block)[sha256::kSha256BlockSize], uint8_t pad) {
  uint8_t padded[sha256::kSha256BlockSize];
  for (size_t i = 0; i < sha256::kSha256BlockSize; ++i) padded[i] = key_block[i] ^ pad;
  sha256::Sha256State state = sha256::kSha256Initial;
  sha256::sha256_blocks(state, padded, 1);
  cpu::wipe_bytes(padded, sizeof padded);
  return state;
}

}  // namespace

HmacSha256Key::HmacSha256Key(const uint8_t* key, size_t size) {
  // The key zero-filled to a block, or its digest when it is longer.
  uint8_t key_block[sha256::kSha256BlockSize] = {};
  if (size > sha256::kSha256BlockSize) {
    sha256::sha256(key, size, key_block);
  } else if (size > 0) {
    std::memcpy(key_block, key, size);
  }
  inner_ = pad_state(key_block, kInnerPad);
  outer_ = pad_state(key_block, kOuterPad);
  cpu::wipe_bytes(key_block, sizeof key_block);
}

HmacSha256Key::~HmacSha256Key() {
  cpu::wipe_bytes(&inner_, sizeof inner_);
  cpu::wipe_bytes(&outer_, sizeof outer_);
}

void HmacSha256Key::finish(const uint8_t inner_digest[sha256::kSha256DigestSize],
                           uint8_t tag[sha256::kSha256DigestSize]) const {
  sha256::Sha256 outer(outer_, sha256::kSha256BlockSize);
  outer.update(inner_digest, sha256::kSha256DigestSize);
  outer.finish(tag);
}

void hmac_sha256(const HmacSha256Key& key, const uint8_t* message, size_t size,
                 uint8_t tag[sha256::kSha256DigestSize]) {
  uint8_t inner_digest[sha256::kSha256DigestSize];
  sha256::Sha256 inner(key.inner(), sha256::kSha256BlockSize);
  inner.update(message, size);
  inner.finish(inner_digest);
  key.finish(inner_digest, tag);
}

void hmac_sha256(const uint8_t* key, size_t key_size, const uint8_t* message, size_t size,
                 uint8_t tag[sha256::kSha256DigestSize]) {
  hmac_sha256(HmacSha256Key(key, key_size), message, size, tag);
}

bool equal_in_constant_time(const uint8_t* a, const uint8_t* b, size_t size) {
  // No early exit: every byte is folded in, and the result leaves through a
  // volatile so that the comparison is not turned into a branchy one.
  uint8_t differences = 0;
  for (size_t i = 0; i < size; ++i) differences |= static_cast<uint8_t>(a[i] ^ b[i]);
  volatile uint8_t result = differences;
  return result == 0;
}

}  // namespace qox::hmac
