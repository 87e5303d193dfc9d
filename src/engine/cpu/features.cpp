// CPUID/XGETBV probe on x86-64, the operating system's word on aarch64,
// behind cpu_features(); empty on other architectures.
#include "engine/cpu/features.h"

#include <cstdlib>
#include <cstring>

#include "engine/cpu/portable.h"

#if defined(QOX_ARCH_X86_64) || defined(QOX_ARCH_X86_32)
#if defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>  // _xgetbv
#include <intrin.h>     // __cpuid, __cpuidex
#else
#include <cpuid.h>
#endif
#endif

#if defined(__APPLE__)
#include <sys/sysctl.h>
#endif

#if defined(QOX_ARCH_ARM32) && defined(__linux__)
#include <sys/auxv.h>
#ifndef HWCAP_NEON
#define HWCAP_NEON (1 << 12)
#endif
#endif

#if defined(QOX_ARCH_AARCH64)
#if defined(__linux__)
#include <sys/auxv.h>
#ifndef HWCAP_AES
#define HWCAP_AES (1 << 3)  // the kernel's bits; older C libraries lack the names
#endif
#ifndef HWCAP_SHA2
#define HWCAP_SHA2 (1 << 6)
#endif
#elif defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#ifndef PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE
#define PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE 30
#endif
#endif
#endif

namespace qox::cpu {

namespace {

// The features a named path leaves: every hardware AES path faster than it
// goes, and with the software paths the hardware SHA-256 paths too.
uint32_t features_allowed(AesPath path) {
  constexpr uint32_t kAll = ~0u;
  switch (path) {
    case AesPath::automatic:
    case AesPath::vaes:
    case AesPath::armv8:
      return kAll;
    case AesPath::aesni:
      return kAll & ~uint32_t{kCpuVaes512};
    case AesPath::vperm:
      return kCpuVperm;
    case AesPath::bitsliced:
    case AesPath::table:
      return 0;
  }
  return kAll;
}

#if defined(__APPLE__)
// A nonzero integer sysctl; false when it is zero or the name is unknown.
bool sysctl_flag(const char* name, bool if_unknown) {
  int value = 0;
  size_t size = sizeof value;
  if (sysctlbyname(name, &value, &size, nullptr, 0) != 0) return if_unknown;
  return value != 0;
}
#endif

#if defined(QOX_ARCH_X86_64) || defined(QOX_ARCH_X86_32)

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

struct CpuidRegs {
  uint32_t a, b, c, d;
};

// CPUID leaf/subleaf; false when the leaf is beyond what this CPU reports.
bool cpuid(uint32_t leaf, uint32_t subleaf, CpuidRegs& r) {
#if defined(_MSC_VER) && !defined(__clang__)
  int regs[4];
  __cpuid(regs, 0);
  if (static_cast<uint32_t>(regs[0]) < leaf) return false;
  __cpuidex(regs, static_cast<int>(leaf), static_cast<int>(subleaf));
  r = {static_cast<uint32_t>(regs[0]), static_cast<uint32_t>(regs[1]),
       static_cast<uint32_t>(regs[2]), static_cast<uint32_t>(regs[3])};
  return true;
#else
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid_count(leaf, subleaf, &a, &b, &c, &d)) return false;
  r = {a, b, c, d};
  return true;
#endif
}

// Whether the OS saves and restores the zmm registers for this process.
bool os_saves_zmm() {
#if defined(__APPLE__)
  // macOS enables AVX-512 state for a thread on its first AVX-512
  // instruction, so XCR0 lacks the zmm bits until then; the kernel reports
  // the support it will grant here instead.
  return sysctl_flag("hw.optional.avx512f", false);
#elif defined(_MSC_VER) && !defined(__clang__)
  return (_xgetbv(0) & kXcr0Zmm) == kXcr0Zmm;
#else
  // Read through asm so that no target attribute is needed for XGETBV.
  uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (((static_cast<uint64_t>(hi) << 32) | lo) & kXcr0Zmm) == kXcr0Zmm;
#endif
}

uint32_t probe() {
  CpuidRegs leaf1{}, leaf7{};
  if (!cpuid(1, 0, leaf1)) return 0;
  uint32_t out = (leaf1.c & kLeaf1Ssse3) ? uint32_t{kCpuVperm} : 0u;
#if defined(QOX_ARCH_X86_32)
  return out;  // the AES-NI, VAES and SHA-NI kernels are built for x86-64 only
#endif
  const uint32_t aesni_bits = kLeaf1Aes | kLeaf1Ssse3 | kLeaf1Sse41;
  if ((leaf1.c & aesni_bits) == aesni_bits) out |= kCpuAesNi;
  if (!cpuid(7, 0, leaf7)) return out;
  const uint32_t shuffle_bits = kLeaf1Ssse3 | kLeaf1Sse41;
  if ((leaf7.b & kLeaf7EbxSha) && (leaf1.c & shuffle_bits) == shuffle_bits) out |= kCpuShaNi;

  // The zmm kernel also needs the OS to save zmm state, and AES-NI for tails.
  if (!(out & kCpuAesNi) || !(leaf1.c & kLeaf1Osxsave)) return out;
  if ((leaf7.b & kLeaf7EbxAvx512f) && (leaf7.c & kLeaf7EcxVaes) && os_saves_zmm()) {
    out |= kCpuVaes512;
  }
  return out;
}

#elif defined(QOX_ARCH_AARCH64)

// The instructions are unprivileged but optional, and only the OS can say
// whether this CPU has them.
bool has_armv8_aes() {
#if defined(__linux__)
  return (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
#elif defined(__APPLE__)
  // Every Apple arm64 CPU has them; older systems lack the name.
  return sysctl_flag("hw.optional.arm.FEAT_AES", true);
#elif defined(_WIN32)
  return IsProcessorFeaturePresent(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE) != 0;
#else
  return false;
#endif
}

bool has_armv8_sha2() {
#if defined(__linux__)
  return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0;
#elif defined(__APPLE__)
  return sysctl_flag("hw.optional.arm.FEAT_SHA256", true);
#elif defined(_WIN32)
  return IsProcessorFeaturePresent(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE) != 0;
#else
  return false;
#endif
}

// Advanced SIMD is part of every aarch64 CPU.
uint32_t probe() {
  return kCpuVperm | (has_armv8_aes() ? uint32_t{kCpuArmv8Aes} : 0u) |
         (has_armv8_sha2() ? uint32_t{kCpuArmSha2} : 0u);
}

#elif defined(QOX_ARCH_ARM32)

// NEON is optional on 32-bit ARM (Windows requires it).
uint32_t probe() {
#if defined(__linux__)
  return (getauxval(AT_HWCAP) & HWCAP_NEON) ? uint32_t{kCpuVperm} : 0u;
#elif defined(_WIN32)
  return kCpuVperm;
#else
  return 0;
#endif
}

#else

uint32_t probe() { return 0; }

#endif

}  // namespace

AesPath named_aes_path() {
  static const struct {
    const char* name;
    AesPath path;
  } kNames[] = {{"vaes", AesPath::vaes},           {"aesni", AesPath::aesni},
                {"armv8", AesPath::armv8},         {"vperm", AesPath::vperm},
                {"ssse3", AesPath::vperm},         {"neon", AesPath::vperm},
                {"bitsliced", AesPath::bitsliced}, {"table", AesPath::table}};
  const char* v = std::getenv(kAesPathEnv);
  if (v == nullptr) return AesPath::automatic;
  for (const auto& n : kNames)
    if (std::strcmp(v, n.name) == 0) return n.path;
  return AesPath::automatic;
}

uint32_t detect_cpu_features() { return probe() & features_allowed(named_aes_path()); }

uint32_t cpu_features() {
  static const uint32_t features = detect_cpu_features();
  return features;
}

AesPath aes_path_switch() {
  static const AesPath path = named_aes_path();
  return path;
}

}  // namespace qox::cpu
