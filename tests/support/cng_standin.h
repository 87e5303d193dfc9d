// Types, status codes and test-knob hooks shared by the CNG stand-in's files.
//
// The stand-in plays bcrypt.dll for ctypes on Linux. Its exported functions
// are driven through the Windows declarations of the native backend, which
// name ctypes.c_long and ctypes.c_ulong. Those are 64 bits wide on LP64
// Linux, so the stand-in's NTSTATUS and ULONG are the host's long and
// unsigned long: a 32-bit status would come back in a zero-extended register
// and a failure such as 0xC0000225 would read as a large positive c_long.
#pragma once

#include <cstdint>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace cng_standin {

using Status = long;
using Ulong = unsigned long;

// An NTSTATUS code as the signed value ctypes.c_long shows the caller.
constexpr Status status_of(uint32_t code) { return static_cast<int32_t>(code); }

constexpr Status kSuccess = 0;
constexpr Status kUnsuccessful = status_of(0xC0000001);
constexpr Status kInvalidHandle = status_of(0xC0000008);
constexpr Status kInvalidParameter = status_of(0xC000000D);
constexpr Status kBufferTooSmall = status_of(0xC0000023);
constexpr Status kNotSupported = status_of(0xC00000BB);
constexpr Status kInvalidBufferSize = status_of(0xC0000206);
constexpr Status kNotFound = status_of(0xC0000225);

// The exported BCrypt functions, in the order of kFunctionNames.
enum class Fn {
  open_algorithm_provider,
  get_property,
  set_property,
  generate_symmetric_key,
  encrypt,
  decrypt,
  destroy_key,
  close_algorithm_provider,
  count,
};

// Counts a call of fn. True when an injected failure is due: *status then
// holds what the call must return without doing anything else.
bool intercept_call(Fn fn, Status* status);

// True while the output of every encryption and decryption must be spoiled.
bool output_corruption_on();

void note_key_created();
void note_key_destroyed();

}  // namespace cng_standin
