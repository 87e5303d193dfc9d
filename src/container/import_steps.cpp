// The container's part of the import-time sequence, in the module body's order.
#include "container/functions.h"
#include "module/sequence.h"

namespace qox {

// clang-format off
bool bind_container_globals() noexcept {
  return define(container::kPkcs7PadFunction) &&
         define(container::kPkcs7UnpadFunction) &&
         define_class(container::kStringCryptoClass);
}
// clang-format on

}  // namespace qox
