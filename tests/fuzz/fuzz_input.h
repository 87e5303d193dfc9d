// Reading a fuzzer's bytes as fields; a field past the end reads as zeros.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qox::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t word() {
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w = w << 8 | byte();
    return w;
  }
  // Up to `count` bytes: fewer when the input ends first.
  std::vector<uint8_t> bytes(size_t count) {
    const size_t taken = std::min(count, size_ - pos_);
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + taken);
    pos_ += taken;
    return out;
  }
  std::vector<uint8_t> rest() { return bytes(size_ - pos_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace qox::fuzz
