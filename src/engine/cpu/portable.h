// What the engine needs from the compiler and the target, for GCC and clang
// (Linux, macOS, MinGW) and for MSVC, in one place. Anything the engine
// cannot tell about its target stops the build here rather than guessing.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <stdlib.h>  // _byteswap_ulong
#endif

// Byte order of the target. Every Windows target is little-endian; elsewhere
// the compiler says so.
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define QOX_LITTLE_ENDIAN 1
#elif defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && \
    __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define QOX_LITTLE_ENDIAN 0
#elif defined(_WIN32)
#define QOX_LITTLE_ENDIAN 1
#else
#error "unknown byte order: define __BYTE_ORDER__ or extend aes/portable.h"
#endif

// Architectures with a hardware AES path.
#if defined(__x86_64__) || defined(_M_X64)
#define QOX_ARCH_X86_64 1
#endif
#if defined(__aarch64__) || defined(_M_ARM64)
#define QOX_ARCH_AARCH64 1
#endif
// Architectures with only a vector-permute path (SSSE3, NEON).
#if defined(__i386__) || defined(_M_IX86)
#define QOX_ARCH_X86_32 1
#endif
#if defined(__arm__) || defined(_M_ARM)
#define QOX_ARCH_ARM32 1
#endif

// QOX_FORCE_INLINE: inline even where the optimiser would not (vector
// helpers must be compiled with their caller's instruction set).
// QOX_TARGET(features): per-function instruction sets for GCC and clang, so
// the rest of the build needs no -maes; MSVC offers every intrinsic without.
//
// The CBC driver is one template over an instruction-set traits type, and a
// template cannot carry a per-instruction-set target. So the traits' helpers
// are QOX_ISA_INLINE(features): inline with their target, but not forced
// (GCC and clang refuse to force an instruction-set helper into a caller
// without that set); each path's entry point is QOX_FLATTEN, which inlines
// the driver and then the helpers, all into a caller that has the set.
// QOX_NOINLINE: a function that stays out of line even there, so that a
// large loop body is compiled (and register-allocated) once on its own.
#if defined(__GNUC__) || defined(__clang__)
#define QOX_FORCE_INLINE inline __attribute__((always_inline))
#define QOX_TARGET(features) __attribute__((target(features)))
#define QOX_ISA_INLINE(features) inline __attribute__((target(features)))
#define QOX_FLATTEN __attribute__((flatten))
#define QOX_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define QOX_FORCE_INLINE __forceinline
#define QOX_TARGET(features)
#define QOX_ISA_INLINE(features) __forceinline
#define QOX_FLATTEN
#define QOX_NOINLINE __declspec(noinline)
#else
#error "unknown compiler: extend aes/portable.h"
#endif

namespace qox::cpu {

constexpr bool kLittleEndian = QOX_LITTLE_ENDIAN != 0;

inline uint32_t byte_swap32(uint32_t v) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap32(v);
#else
  return _byteswap_ulong(v);  // unsigned long is 32 bits on Windows
#endif
}

}  // namespace qox::cpu
