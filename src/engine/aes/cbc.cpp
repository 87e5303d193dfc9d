// Ordered run-time checks: the hardware paths, then vector permute, then
// the bitsliced path; the table path only when the switch names it.
#include "engine/aes/cbc.h"

#include "engine/aes/cbc_paths.h"
#include "engine/aes/portable/cbc_table.h"
#include "engine/cpu/features.h"

namespace qox::aes {

namespace {

bool table_named() { return cpu::aes_path_switch() == cpu::AesPath::table; }

}  // namespace

void cbc_encrypt_auto(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                      size_t blocks) {
  if (aesni_available()) return cbc_encrypt_aesni(k, iv, in, out, blocks);
  if (armv8_available()) return cbc_encrypt_armv8(k, iv, in, out, blocks);
  if (vperm_available()) return cbc_encrypt_vperm(k, iv, in, out, blocks);
  if (table_named()) return cbc_encrypt_table(k, iv, in, out, blocks);
  cbc_encrypt_bitsliced(k, iv, in, out, blocks);
}

void cbc_decrypt_auto(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in, uint8_t* out,
                      size_t blocks) {
  if (vaes_available()) return cbc_decrypt_vaes(k, iv, in, out, blocks);
  if (aesni_available()) return cbc_decrypt_aesni(k, iv, in, out, blocks);
  if (armv8_available()) return cbc_decrypt_armv8(k, iv, in, out, blocks);
  if (vperm_available()) return cbc_decrypt_vperm(k, iv, in, out, blocks);
  if (table_named()) return cbc_decrypt_table(k, iv, in, out, blocks);
  cbc_decrypt_bitsliced(k, iv, in, out, blocks);
}

const char* provider() {
  if (vaes_available()) return "vaes";
  if (aesni_available()) return "aesni";
  if (armv8_available()) return "armv8";
  if (vperm_available()) return vperm_name();
  if (table_named()) return "table";
  return "bitsliced";
}

}  // namespace qox::aes
