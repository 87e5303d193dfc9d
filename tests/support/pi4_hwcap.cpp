// Preloaded into an aarch64 program under qemu-user -cpu cortex-a72, makes
// the kernel's feature word read as it does on a Raspberry Pi 4: its
// BCM2711 has Cortex-A72 cores built without the Crypto Extensions (no AES,
// PMULL, SHA-1 or SHA-2 instructions), while qemu's cortex-a72 model has
// them. The CPU model itself keeps the instruction set to ARMv8.0, so an
// instruction beyond that core still faults.
#include <dlfcn.h>
#include <sys/auxv.h>

#ifndef HWCAP_AES
#define HWCAP_AES (1 << 3)  // the kernel's bits; older C libraries lack the names
#endif
#ifndef HWCAP_PMULL
#define HWCAP_PMULL (1 << 4)
#endif
#ifndef HWCAP_SHA1
#define HWCAP_SHA1 (1 << 5)
#endif
#ifndef HWCAP_SHA2
#define HWCAP_SHA2 (1 << 6)
#endif

extern "C" __attribute__((visibility("default"))) unsigned long getauxval(unsigned long type) {
  using Getauxval = unsigned long (*)(unsigned long);
  static const auto real = reinterpret_cast<Getauxval>(dlsym(RTLD_NEXT, "getauxval"));
  const unsigned long value = real(type);
  if (type != AT_HWCAP) return value;
  return value & ~static_cast<unsigned long>(HWCAP_AES | HWCAP_PMULL | HWCAP_SHA1 | HWCAP_SHA2);
}
