// SHA-256 compression on the SHA-NI instructions (x86-64).
#include "engine/cpu/features.h"
#include "engine/cpu/portable.h"
#include "engine/sha256/paths.h"

#if defined(QOX_ARCH_X86_64)

#include "engine/sha256/x86/shani_steps.h"

namespace qox::sha256 {

bool shani_available() { return (cpu::cpu_features() & cpu::kCpuShaNi) != 0; }

QOX_TARGET_SHANI void sha256_blocks_shani(Sha256State& state, const uint8_t* data, size_t blocks) {
  x86::ShaNiState s = x86::load_sha_state(state);
  for (; blocks > 0; --blocks, data += kSha256BlockSize) x86::sha_block(s, data);
  x86::store_sha_state(state, s);
}

}  // namespace qox::sha256

#else  // not x86-64: no SHA-NI; the entry point stays total.

namespace qox::sha256 {

bool shani_available() { return false; }

void sha256_blocks_shani(Sha256State& state, const uint8_t* data, size_t blocks) {
  sha256_blocks_portable(state, data, blocks);
}

}  // namespace qox::sha256

#endif
