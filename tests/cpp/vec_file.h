// Reader for the Key/IV/In/Out hex vector files under tests/data.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace qox::aes::test {

using Bytes = std::vector<uint8_t>;

struct CbcVector {
  std::string section;  // e.g. "AES-128"
  Bytes key, iv, in, out;
};

// Short label so parametrized test names stay readable.
inline void PrintTo(const CbcVector& v, std::ostream* os) {
  *os << v.section << " key " << v.key.size() << "B, " << v.in.size() / 16 << " blocks";
}

// Decodes a hex string; throws std::invalid_argument on bad input.
Bytes from_hex(const std::string& hex);

// Parses <QOX_TEST_DATA_DIR>/<name>; throws std::runtime_error on I/O or
// format problems. A record ends when its Out line is read.
std::vector<CbcVector> load_vectors(const std::string& name);

}  // namespace qox::aes::test
