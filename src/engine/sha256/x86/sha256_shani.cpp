// SHA-256 compression on the SHA-NI instructions (x86-64).
#include "engine/cpu/features.h"
#include "engine/cpu/portable.h"
#include "engine/sha256/paths.h"

#if defined(QOX_ARCH_X86_64)

#include "engine/sha256/x86/shani_steps.h"

namespace qox::aes {

bool shani_available() { return (cpu_features() & kCpuShaNi) != 0; }

QOX_TARGET_SHANI void sha256_blocks_shani(Sha256State& state, const uint8_t* data, size_t blocks) {
  hw::ShaNiState s = hw::load_sha_state(state);
  for (; blocks > 0; --blocks, data += kSha256BlockSize) hw::sha_block(s, data);
  hw::store_sha_state(state, s);
}

}  // namespace qox::aes

#else  // not x86-64: no SHA-NI; the entry point stays total.

namespace qox::aes {

bool shani_available() { return false; }

void sha256_blocks_shani(Sha256State& state, const uint8_t* data, size_t blocks) {
  sha256_blocks_portable(state, data, blocks);
}

}  // namespace qox::aes

#endif
