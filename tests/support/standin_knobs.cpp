// Test knobs of the CNG stand-in: call counters, injected failures, output
// corruption and the count of live keys. Lock-free, since many Python threads
// call into the stand-in at once with the GIL released.
#include <array>
#include <atomic>
#include <cstring>

#include "cng_standin.h"

namespace cng_standin {
namespace {

constexpr size_t kFunctionCount = static_cast<size_t>(Fn::count);

constexpr std::array<const char*, kFunctionCount> kFunctionNames = {
    "BCryptOpenAlgorithmProvider",
    "BCryptGetProperty",
    "BCryptSetProperty",
    "BCryptGenerateSymmetricKey",
    "BCryptEncrypt",
    "BCryptDecrypt",
    "BCryptDestroyKey",
    "BCryptCloseAlgorithmProvider",
};

// One injected failure per function: `remaining` calls still to fail with
// `status`; negative means every call from now on.
struct Injection {
  std::atomic<Status> status{kSuccess};
  std::atomic<int> remaining{0};
};

std::array<std::atomic<int>, kFunctionCount> g_calls{};
std::array<Injection, kFunctionCount> g_injections;
std::atomic<bool> g_corrupt_output{false};
std::atomic<int> g_live_keys{0};

// Index of a function by its exported name; -1 when it is none of them.
int function_index(const char* name) {
  if (name == nullptr) return -1;
  for (size_t i = 0; i < kFunctionCount; ++i) {
    if (std::strcmp(name, kFunctionNames[i]) == 0) return static_cast<int>(i);
  }
  return -1;
}

void clear_injections() {
  for (Injection& injection : g_injections) injection.remaining.store(0);
}

}  // namespace

bool intercept_call(Fn fn, Status* status) {
  const auto index = static_cast<size_t>(fn);
  g_calls[index].fetch_add(1);
  Injection& injection = g_injections[index];
  // Claim one pending failure; racing threads each take a distinct one.
  int left = injection.remaining.load(std::memory_order_acquire);
  while (left != 0) {
    if (left < 0 ||
        injection.remaining.compare_exchange_weak(left, left - 1, std::memory_order_acq_rel)) {
      *status = injection.status.load();
      return true;
    }
  }
  return false;
}

bool output_corruption_on() { return g_corrupt_output.load(); }

void note_key_created() { g_live_keys.fetch_add(1); }
void note_key_destroyed() { g_live_keys.fetch_sub(1); }

}  // namespace cng_standin

using namespace cng_standin;

// Keys generated and not yet destroyed, over the life of the process.
STANDIN_EXPORT int StandinLiveKeys(void) { return g_live_keys.load(); }

// The next `count` calls of the named function return `status` and do
// nothing else; count -1 means all of them, 0 cancels. An empty name cancels
// every injection. Returns 0, or -1 for a name the stand-in does not export.
STANDIN_EXPORT int StandinFailNext(const char* function_name, int32_t status, int count) {
  if (function_name != nullptr && function_name[0] == '\0') {
    clear_injections();
    return 0;
  }
  const int index = function_index(function_name);
  if (index < 0) return -1;
  Injection& injection = g_injections[static_cast<size_t>(index)];
  injection.status.store(status);
  injection.remaining.store(count < 0 ? -1 : count, std::memory_order_release);
  return 0;
}

// While on, every successful encryption or decryption flips the lowest bit of
// its first output byte: a backend that answers with wrong bytes.
STANDIN_EXPORT void StandinCorruptOutput(int on) { g_corrupt_output.store(on != 0); }

// Calls of the named function so far, failed ones included; -1 for an
// unknown name.
STANDIN_EXPORT int StandinCalls(const char* function_name) {
  const int index = function_index(function_name);
  return index < 0 ? -1 : g_calls[static_cast<size_t>(index)].load();
}

// Cancels injections and corruption and zeroes the call counters. Live keys
// are a fact about the process and stay counted.
STANDIN_EXPORT void StandinReset(void) {
  clear_injections();
  g_corrupt_output.store(false);
  for (std::atomic<int>& calls : g_calls) calls.store(0);
}
