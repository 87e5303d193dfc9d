// Run-time CPU feature probe for the hardware AES and SHA-256 paths.
#pragma once

#include <cstdint>

namespace qox::cpu {

// Feature bits as this engine uses them; each stands for everything its
// kernels execute, so a set bit means "this path may run here".
enum CpuFeature : uint32_t {
  kCpuAesNi = 1u << 0,     // AESENC/AESDEC on xmm plus SSSE3/SSE4.1 shuffles
  kCpuVaes512 = 1u << 1,   // VAES on zmm with AVX-512F, zmm state enabled by the OS
  kCpuArmv8Aes = 1u << 2,  // AESE/AESD/AESMC/AESIMC of the ARMv8 Crypto Extensions
  kCpuShaNi = 1u << 3,     // SHA256RNDS2/MSG1/MSG2 on xmm plus SSSE3/SSE4.1 shuffles
  kCpuArmSha2 = 1u << 4,   // SHA256H/H2/SU0/SU1 of the ARMv8 Crypto Extensions
  kCpuVperm = 1u << 5,     // 16-byte shuffles: SSSE3 PSHUFB on x86, NEON TBL on ARM
};

// The AES paths, fastest first; `automatic` takes the first this CPU has.
enum class AesPath { automatic, vaes, aesni, armv8, vperm, bitsliced, table };

// Environment variable naming the AES path to take, for tests and
// benchmarks: "vaes", "aesni", "armv8", "vperm" (also "ssse3", "neon"),
// "bitsliced" or "table". A named path removes every faster one, so when
// this CPU lacks it the next slower path it has runs; naming a software path
// also takes SHA-256 off its hardware paths. Unset, "" or an unknown name:
// automatic. "table" is the reference model, never chosen otherwise: its
// lookups are indexed by key and data.
constexpr const char kAesPathEnv[] = "QOX_AES_PATH";

// The path the switch names, read from the environment now.
AesPath named_aes_path();

// Features of this CPU less those the switch removes, probed and the
// switch read once per process.
uint32_t cpu_features();

// The switch as cpu_features() read it.
AesPath aes_path_switch();

// Probes again and re-reads the switch without touching the cached values
// (lets tests check the switch in a running process).
uint32_t detect_cpu_features();

}  // namespace qox::cpu
