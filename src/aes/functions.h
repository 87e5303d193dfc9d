// The module functions that the engine's Python side defines, by description.
#pragma once

#include "module/function.h"

namespace qox {

// Field arithmetic and the S-boxes (field.cpp).
extern const FunctionDescription kXtimeFunction;
extern const FunctionDescription kMulFunction;
extern const FunctionDescription kBuildSboxFunction;
extern const FunctionDescription kRor8Function;
// The round tables (tables.cpp).
extern const FunctionDescription kBuildTablesFunction;
// The key schedule and its cache (key_schedule.cpp, key_cache.cpp).
extern const FunctionDescription kInvMixWordFunction;
extern const FunctionDescription kToRoundsFunction;
extern const FunctionDescription kExpandKeyFunction;
extern const FunctionDescription kGetKeyFunction;
// The CBC loops and their entry (cbc.cpp, aes_cbc.cpp).
extern const FunctionDescription kCbcEncryptFunction;
extern const FunctionDescription kCbcDecryptFunction;
extern const FunctionDescription kAesCbcFunction;

}  // namespace qox
