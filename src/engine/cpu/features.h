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
};

// Environment variable that, when set to anything but "" or "0", clears
// every feature so the whole engine runs on its portable paths: AES on the
// tables, SHA-256 in plain C++.
constexpr const char kForceTableEnv[] = "QOX_AES_FORCE_TABLE";

// Features of this CPU, probed and the switch read once per process.
uint32_t cpu_features();

// Probes again and re-reads the switch without touching the cached value
// (lets tests check the switch in a running process).
uint32_t detect_cpu_features();

}  // namespace qox::cpu
