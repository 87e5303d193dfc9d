// The engine's part of the import-time sequence: the globals it defines, in the module body's
// order.
#include "aes/functions.h"
#include "aes/round_tables.h"
#include "module/global_names.h"
#include "module/sequence.h"

namespace qox {

namespace {

// The sixteen round tables, remembered so that the CBC loops can tell them
// from lists rebound later.
bool bind_round_tables() {
  return bind_call_result(kBuildTables, kRoundTableNames, kRoundTableCount) &&
         remember_round_tables();
}

}  // namespace

// One statement of the module body per line.
// clang-format off
bool bind_engine_globals() noexcept {
  return define(kXtimeFunction) &&
         define(kMulFunction) &&
         define(kBuildSboxFunction) &&
         bind_call_result(kBuildSbox, {&kSbox, &kInvSbox}) &&
         define(kRor8Function) &&
         define(kBuildTablesFunction) &&
         bind_round_tables() &&
         define(kInvMixWordFunction) &&
         define(kToRoundsFunction) &&
         define(kExpandKeyFunction) &&
         bind_new_dict(kKeyCache) &&
         define(kGetKeyFunction) &&
         define(kCbcEncryptFunction) &&
         define(kCbcDecryptFunction);
}
// clang-format on

bool bind_engine_entry() noexcept { return define(kAesCbcFunction); }

}  // namespace qox
