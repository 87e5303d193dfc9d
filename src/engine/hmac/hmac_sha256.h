// HMAC-SHA256 (RFC 2104) over the engine's SHA-256, and a constant-time
// comparison for its tags.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/sha256/sha256.h"

namespace qox::hmac {

// A key with its two pad blocks already compressed: what every message under
// that key starts from. Any key length; a key longer than a block is hashed
// first (RFC 2104, section 2). Wiped when it goes.
class HmacSha256Key {
 public:
  HmacSha256Key(const uint8_t* key, size_t size);
  HmacSha256Key(const HmacSha256Key&) = default;
  HmacSha256Key& operator=(const HmacSha256Key&) = default;
  ~HmacSha256Key();

  // The inner hash after the block K ^ ipad, ready for the message.
  const sha256::Sha256State& inner() const { return inner_; }
  // Hashes the inner digest under K ^ opad into the tag.
  void finish(const uint8_t inner_digest[sha256::kSha256DigestSize],
              uint8_t tag[sha256::kSha256DigestSize]) const;

 private:
  sha256::Sha256State inner_;
  sha256::Sha256State outer_;
};

void hmac_sha256(const HmacSha256Key& key, const uint8_t* message, size_t size,
                 uint8_t tag[sha256::kSha256DigestSize]);
void hmac_sha256(const uint8_t* key, size_t key_size, const uint8_t* message, size_t size,
                 uint8_t tag[sha256::kSha256DigestSize]);

// a[0..size) == b[0..size) in a time that depends only on size.
bool equal_in_constant_time(const uint8_t* a, const uint8_t* b, size_t size);

}  // namespace qox::hmac
