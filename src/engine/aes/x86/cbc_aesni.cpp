// The CBC driver on AES-NI: serial encryption, eight-wide decryption.
#include "engine/aes/cbc_paths.h"
#include "engine/cpu/features.h"
#include "engine/cpu/portable.h"

#if defined(QOX_ARCH_X86_64)

#include "engine/aes/cbc_driver.h"
#include "engine/aes/x86/aesni.h"

namespace qox::aes {

bool aesni_available() { return (cpu::cpu_features() & cpu::kCpuAesNi) != 0; }

QOX_TARGET_AESNI QOX_FLATTEN void cbc_encrypt_aesni(const RoundKeys& k, const uint8_t iv[16],
                                                    const uint8_t* in, uint8_t* out,
                                                    size_t blocks) {
  cbc_encrypt_with(x86::AesNi{}, k, iv, in, out, blocks);
}

QOX_TARGET_AESNI QOX_FLATTEN void cbc_decrypt_aesni(const RoundKeys& k, const uint8_t iv[16],
                                                    const uint8_t* in, uint8_t* out,
                                                    size_t blocks) {
  cbc_decrypt_with(x86::AesNi{}, k, iv, in, out, blocks);
}

}  // namespace qox::aes

#else  // not x86-64: no AES-NI; the entry points stay total through the bitsliced loops.

namespace qox::aes {

bool aesni_available() { return false; }

void cbc_encrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_encrypt_bitsliced(k, iv, in, out, blocks);
}

void cbc_decrypt_aesni(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                       size_t blocks) {
  cbc_decrypt_bitsliced(k, iv, in, out, blocks);
}

}  // namespace qox::aes

#endif
