// The module functions that the engine's Python side defines, by description.
#pragma once

#include "module/function.h"

namespace qox {

// Field arithmetic and the S-boxes (field.cpp).
extern const FnSpec kXtimeFunction;
extern const FnSpec kMulFunction;
extern const FnSpec kBuildSboxFunction;
extern const FnSpec kRor8Function;
// The round tables (tables.cpp).
extern const FnSpec kBuildTablesFunction;
// The key schedule and its cache (key_schedule.cpp, key_cache.cpp).
extern const FnSpec kInvMixWordFunction;
extern const FnSpec kToRoundsFunction;
extern const FnSpec kExpandKeyFunction;
extern const FnSpec kGetKeyFunction;
// The CBC loops and their entry (cbc.cpp, aes_cbc.cpp).
extern const FnSpec kCbcEncryptFunction;
extern const FnSpec kCbcDecryptFunction;
extern const FnSpec kAesCbcFunction;

}  // namespace qox
