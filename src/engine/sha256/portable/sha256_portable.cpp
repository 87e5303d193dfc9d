// SHA-256 compression in plain C++ (FIPS 180-4, 6.2.2), the path on any CPU.
#include "engine/sha256/paths.h"

namespace qox::sha256 {

namespace {

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint32_t big_sigma0(uint32_t x) { return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22); }
inline uint32_t big_sigma1(uint32_t x) { return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25); }
inline uint32_t small_sigma0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
inline uint32_t small_sigma1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }

// One round with the working variables named in their rotated roles, so that
// eight calls per step leave every variable where it started: no moves.
inline void round(uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e, uint32_t f,
                  uint32_t g, uint32_t& h, uint32_t k_plus_w) {
  const uint32_t t1 = h + big_sigma1(e) + ((e & f) ^ (~e & g)) + k_plus_w;
  const uint32_t t2 = big_sigma0(a) + ((a & b) ^ (a & c) ^ (b & c));
  d += t1;
  h = t1 + t2;
}

}  // namespace

void sha256_blocks_portable(Sha256State& state, const uint8_t* data, size_t blocks) {
  for (; blocks > 0; --blocks, data += kSha256BlockSize) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = load_be32(data + 4 * t);
    for (int t = 16; t < 64; ++t) {
      w[t] = small_sigma1(w[t - 2]) + w[t - 7] + small_sigma0(w[t - 15]) + w[t - 16];
    }
    uint32_t a = state.h[0], b = state.h[1], c = state.h[2], d = state.h[3];
    uint32_t e = state.h[4], f = state.h[5], g = state.h[6], h = state.h[7];
    const uint32_t* k = kSha256RoundConstants;
    for (int t = 0; t < 64; t += 8) {
      round(a, b, c, d, e, f, g, h, k[t] + w[t]);
      round(h, a, b, c, d, e, f, g, k[t + 1] + w[t + 1]);
      round(g, h, a, b, c, d, e, f, k[t + 2] + w[t + 2]);
      round(f, g, h, a, b, c, d, e, k[t + 3] + w[t + 3]);
      round(e, f, g, h, a, b, c, d, k[t + 4] + w[t + 4]);
      round(d, e, f, g, h, a, b, c, k[t + 5] + w[t + 5]);
      round(c, d, e, f, g, h, a, b, k[t + 6] + w[t + 6]);
      round(b, c, d, e, f, g, h, a, k[t + 7] + w[t + 7]);
    }
    state.h[0] += a, state.h[1] += b, state.h[2] += c, state.h[3] += d;
    state.h[4] += e, state.h[5] += f, state.h[6] += g, state.h[7] += h;
  }
}

}  // namespace qox::sha256
