// The module globals that the native backend defines, by description.
#pragma once

#include "module/classes.h"
#include "module/function.h"

namespace qox::native {

extern const ClassDescription kNativeAesClass;                // native_aes.cpp
extern const FunctionDescription kInitNativeBackendFunction;  // probe.cpp

}  // namespace qox::native
