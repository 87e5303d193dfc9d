// The native backend's part of the import-time sequence, in the module body's order.
#include "module/global_names.h"
#include "module/sequence.h"
#include "native/functions.h"

namespace qox {

// clang-format off
bool bind_native_backend() noexcept {
  return define_class(native::kNativeAesClass) &&
         define(native::kInitNativeBackendFunction) &&
         bind_call_value(kInitNativeBackend, kNativeAes);
}
// clang-format on

}  // namespace qox
