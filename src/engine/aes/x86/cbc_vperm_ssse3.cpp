// The vector-permute CBC loops on SSSE3 (x86-64 and 32-bit x86).
#include "engine/aes/cbc_paths.h"

#include "engine/cpu/features.h"
#include "engine/cpu/portable.h"

#if defined(QOX_ARCH_X86_64) || defined(QOX_ARCH_X86_32)

#include <tmmintrin.h>

#if defined(QOX_ARCH_X86_32) && defined(__GNUC__) && !defined(__clang__)
// 32-bit x86 passes vectors in memory unless SSE is on, so GCC warns that the
// driver's templates (built without a target) return them differently. They
// are force-inlined into the SSSE3 entry points below: no such call remains.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#define QOX_VPERM_INLINE QOX_FORCE_INLINE QOX_TARGET("ssse3")
#define QOX_VPERM_ISA QOX_ISA_INLINE("ssse3")
#include "engine/aes/cbc_driver.h"
#include "engine/aes/vperm_rounds.h"

namespace qox::aes {

namespace {

struct Ssse3 {
  using V = __m128i;
  static QOX_VPERM_INLINE V load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static QOX_VPERM_INLINE void store(uint8_t* p, V v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  }
  static QOX_VPERM_INLINE V table(const uint8_t* t) { return load(t); }
  static QOX_VPERM_INLINE V splat(uint8_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
  static QOX_VPERM_INLINE V x(V a, V b) { return _mm_xor_si128(a, b); }
  static QOX_VPERM_INLINE V shuffle(V t, V i) { return _mm_shuffle_epi8(t, i); }
  static QOX_VPERM_INLINE V lo(V v) { return _mm_and_si128(v, _mm_set1_epi8(0x0F)); }
  static QOX_VPERM_INLINE V hi(V v) {
    return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
  }
};

// Four blocks in flight hide the shuffle latency within the sixteen xmm
// registers' reach.
constexpr size_t kDecryptWidth = 4;

}  // namespace

bool vperm_available() { return (cpu::cpu_features() & cpu::kCpuVperm) != 0; }
const char* vperm_name() { return "ssse3"; }

QOX_TARGET("ssse3")
QOX_FLATTEN void cbc_encrypt_vperm(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                   uint8_t* out, size_t blocks) {
  cbc_encrypt_with(vperm::Encrypt<Ssse3>{}, k, iv, in, out, blocks);
}

QOX_TARGET("ssse3")
QOX_FLATTEN void cbc_decrypt_vperm(const RoundKeys& k, const uint8_t iv[16], const uint8_t* in,
                                   uint8_t* out, size_t blocks) {
  cbc_decrypt_with(vperm::Decrypt<Ssse3, kDecryptWidth>{}, k, iv, in, out, blocks);
}

}  // namespace qox::aes

#endif
