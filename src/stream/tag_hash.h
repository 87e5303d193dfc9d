// The HMAC-SHA256 of a byte stream fed in pieces of any size: whole SHA-256
// blocks are compressed as they come, the rest waits in a block buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/cpu/wipe.h"
#include "engine/hmac/hmac_sha256.h"

namespace qox::stream {

class TagHash {
 public:
  static constexpr size_t kBlock = sha256::kSha256BlockSize;

  TagHash(const uint8_t* key, size_t size) : mac_(key, size), hash_(mac_.inner()) {}
  ~TagHash() {
    cpu::wipe_bytes(&hash_, sizeof hash_);
    cpu::wipe(buffer_);
  }
  TagHash(const TagHash&) = delete;
  TagHash& operator=(const TagHash&) = delete;

  // Bytes waiting for a whole block; a caller hashing whole blocks itself
  // (hash_chunks) hands over only when this is 0.
  size_t buffered() const { return buffered_; }
  sha256::Sha256State& state_for_chunks() { return hash_; }
  void chunks_hashed(size_t chunks) { hashed_ += chunks * kBlock; }

  void update(const uint8_t* data, size_t size) {
    if (buffered_ > 0) {
      const size_t take = size < kBlock - buffered_ ? size : kBlock - buffered_;
      std::memcpy(buffer_ + buffered_, data, take);
      buffered_ += take, data += take, size -= take;
      if (buffered_ < kBlock) return;
      sha256::sha256_blocks(hash_, buffer_, 1);
      hashed_ += kBlock, buffered_ = 0;
    }
    sha256::sha256_blocks(hash_, data, size / kBlock);
    hashed_ += size - size % kBlock;
    buffered_ = size % kBlock;
    std::memcpy(buffer_, data + size - buffered_, buffered_);
  }

  // The tag of everything so far; more may follow.
  void digest(uint8_t tag[sha256::kSha256DigestSize]) const {
    sha256::Sha256 inner(hash_, kBlock + hashed_);  // the key block came first
    inner.update(buffer_, buffered_);
    uint8_t inner_digest[sha256::kSha256DigestSize];
    inner.finish(inner_digest);
    mac_.finish(inner_digest, tag);
    cpu::wipe(inner_digest);
  }

 private:
  hmac::HmacSha256Key mac_;  // wiped by its destructor
  sha256::Sha256State hash_;
  uint64_t hashed_ = 0;  // message bytes compressed into hash_
  uint8_t buffer_[kBlock] = {};
  size_t buffered_ = 0;
};

}  // namespace qox::stream
