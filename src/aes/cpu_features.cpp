// CPUID/XGETBV probe (x86-64) or the kernel's hardware capabilities (aarch64
// Linux) behind cpu_features(); empty elsewhere.
#include "aes/cpu_features.h"

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#elif defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace qox::aes {

namespace {

bool forced_to_table() {
  const char* v = std::getenv(kForceTableEnv);
  return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

#if defined(__x86_64__)

// CPUID leaf 1, ECX.
constexpr uint32_t kLeaf1Ssse3 = 1u << 9;
constexpr uint32_t kLeaf1Sse41 = 1u << 19;
constexpr uint32_t kLeaf1Aes = 1u << 25;
constexpr uint32_t kLeaf1Osxsave = 1u << 27;  // XGETBV usable
// CPUID leaf 7 subleaf 0, EBX and ECX.
constexpr uint32_t kLeaf7EbxAvx512f = 1u << 16;
constexpr uint32_t kLeaf7EbxSha = 1u << 29;
constexpr uint32_t kLeaf7EcxVaes = 1u << 9;
// XCR0: SSE (1), AVX (2), opmask (5), upper zmm0-15 (6), zmm16-31 (7).
constexpr uint64_t kXcr0Zmm = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);

// Read through asm so that no target attribute is needed for XGETBV.
uint64_t read_xcr0() {
  uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

uint32_t probe() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  const uint32_t leaf1_ecx = c;
  uint32_t out = 0;
  const uint32_t aesni_bits = kLeaf1Aes | kLeaf1Ssse3 | kLeaf1Sse41;
  if ((leaf1_ecx & aesni_bits) == aesni_bits) out |= kCpuAesNi;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return out;
  const uint32_t shuffle_bits = kLeaf1Ssse3 | kLeaf1Sse41;
  if ((b & kLeaf7EbxSha) && (leaf1_ecx & shuffle_bits) == shuffle_bits) out |= kCpuShaNi;

  // The zmm kernel also needs the OS to save zmm state, and AES-NI for tails.
  if (!(out & kCpuAesNi) || !(leaf1_ecx & kLeaf1Osxsave)) return out;
  if ((b & kLeaf7EbxAvx512f) && (c & kLeaf7EcxVaes) && (read_xcr0() & kXcr0Zmm) == kXcr0Zmm) {
    out |= kCpuVaes512;
  }
  return out;
}

#elif defined(__aarch64__) && defined(__linux__)

// AT_HWCAP bit of the SHA-256 instructions (asm/hwcap.h: HWCAP_SHA2).
constexpr unsigned long kHwcapSha2 = 1ul << 6;

uint32_t probe() { return (getauxval(AT_HWCAP) & kHwcapSha2) ? uint32_t{kCpuArmSha2} : 0u; }

#else

uint32_t probe() { return 0; }

#endif

}  // namespace

uint32_t detect_cpu_features() { return forced_to_table() ? 0 : probe(); }

uint32_t cpu_features() {
  static const uint32_t features = detect_cpu_features();
  return features;
}

}  // namespace qox::aes
