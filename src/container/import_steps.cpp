// The container's part of the import-time sequence, in the module body's order.
#include "container/functions.h"
#include "container/hmac_tag.h"
#include "module/sequence.h"

namespace qox {

// clang-format off
bool bind_container_globals() noexcept {
  return container::remember_standard_hmac() &&
         define(container::kPkcs7PadFunction) &&
         define(container::kPkcs7UnpadFunction) &&
         define_class(container::kStringCryptoClass);
}
// clang-format on

}  // namespace qox
