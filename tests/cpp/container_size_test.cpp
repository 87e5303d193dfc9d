// Whether encrypt's container can exist near the largest bytes object, with
// the figures of a 32-bit and of a 64-bit host: the padding's overflow first,
// then lack of room, and no sum that wraps.
#include <gtest/gtest.h>

#include <cstdint>

#include "container/container_size.h"

namespace qox::container {
namespace {

constexpr size_t kTagged = 53;  // magic, version, IV and tag before the ciphertext

struct Case {
  uint64_t size;
  ContainerFit fit;
};

// PY_SSIZE_T_MAX less a 17-byte bytes header: 2**31 - 18.
constexpr uint64_t kLargest32 = 2147483630u;

TEST(ContainerSize, ThirtyTwoBitHost) {
  const Case cases[] = {
      {2147483567u, ContainerFit::fits},     // padded 2147483568, container just fits
      {2147483568u, ContainerFit::no_room},  // a whole block of padding: one too many
      {2147483614u, ContainerFit::no_room},  // padded 2147483616 is a bytes object
      {2147483615u, ContainerFit::no_room},
      {2147483616u, ContainerFit::padded_too_large},  // padded 2147483632
      {kLargest32, ContainerFit::padded_too_large},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(container_fit(c.size, kTagged, kLargest32), c.fit) << c.size;
  }
}

TEST(ContainerSize, SixtyFourBitHost) {
  if (sizeof(size_t) < 8) GTEST_SKIP() << "a 64-bit host's sizes";
  constexpr uint64_t largest = UINT64_C(9223372036854775774);  // 2**63 - 34
  const Case cases[] = {
      {0, ContainerFit::fits},
      {UINT64_C(1) << 40, ContainerFit::fits},
      {largest - 40, ContainerFit::no_room},  // padded largest - 30
      {largest, ContainerFit::padded_too_large},
      {UINT64_MAX, ContainerFit::padded_too_large},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(container_fit(static_cast<size_t>(c.size), kTagged, static_cast<size_t>(largest)),
              c.fit)
        << c.size;
  }
}

}  // namespace
}  // namespace qox::container
