// Whether encrypt's container can exist near the largest bytes object, with
// the figures of a 32-bit and of a 64-bit host: the padding's overflow first,
// then lack of room, and no sum that wraps.
#include <gtest/gtest.h>

#include <cstdint>

#include "container/container_size.h"

namespace qox::container {
namespace {

TEST(ContainerSize, NearTheLargestBytesObject) {
  constexpr uint64_t k32 = 2147483630u;                    // 2**31 - 1 less a 17-byte header
  constexpr uint64_t k64 = UINT64_C(9223372036854775774);  // 2**63 - 1 less 33
  const struct {
    uint64_t size, largest;
    ContainerFit fit;
  } cases[] = {
      {2147483567u, k32, ContainerFit::fits},              // padded 2147483568: just fits
      {2147483568u, k32, ContainerFit::no_room},           // a whole block of padding
      {2147483615u, k32, ContainerFit::no_room},           // padded 2147483616
      {2147483616u, k32, ContainerFit::padded_too_large},  // padded 2147483632
      {k32, k32, ContainerFit::padded_too_large},
      {0, k64, ContainerFit::fits},
      {k64 - 40, k64, ContainerFit::no_room},  // padded k64 - 30
      {k64, k64, ContainerFit::padded_too_large},
      {UINT64_MAX, k64, ContainerFit::padded_too_large},
  };
  for (const auto& c : cases) {
    if (c.largest > SIZE_MAX) continue;  // a 64-bit host's figures on a 32-bit one
    EXPECT_EQ(container_fit(static_cast<size_t>(c.size), 53, static_cast<size_t>(c.largest)), c.fit)
        << c.size;
  }
}

}  // namespace
}  // namespace qox::container
