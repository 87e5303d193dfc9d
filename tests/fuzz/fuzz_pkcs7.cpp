// Fuzz target: the PKCS#7 byte logic behind _pkcs7_pad and _pkcs7_unpad.
//
// Input: the data. Unpadding must agree with the rule written out longhand
// (length, then the pad byte's range, then every pad byte); what it accepts
// must pad back to the input; padding any data must unpad to that data.
#include <vector>

#include "container/pkcs7.h"

namespace {

using qox::container::UnpadStatus;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

UnpadStatus model_status(const std::vector<uint8_t>& data) {
  if (data.empty() || data.size() % 16 != 0) return UnpadStatus::bad_length;
  const unsigned pad = data.back();
  if (pad < 1 || pad > 16) return UnpadStatus::bad_padding;
  for (size_t i = data.size() - pad; i < data.size(); ++i)
    if (data[i] != pad) return UnpadStatus::bad_padding;
  return UnpadStatus::ok;
}

std::vector<uint8_t> padded(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out(data, data + size);
  const size_t pad = qox::container::pkcs7_pad_length(size);
  check(pad >= 1 && pad <= 16 && (size + pad) % 16 == 0);
  out.insert(out.end(), pad, static_cast<uint8_t>(pad));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);
  const auto result = qox::container::pkcs7_unpad(data, size);
  check(result.status == model_status(input));
  if (result.status == UnpadStatus::ok) {
    check(result.length < size && size - result.length <= 16);
    check(padded(data, result.length) == input);
  }
  const std::vector<uint8_t> sealed = padded(data, size);
  const auto round_trip = qox::container::pkcs7_unpad(sealed.data(), sealed.size());
  check(round_trip.status == UnpadStatus::ok && round_trip.length == size);
  return 0;
}
