// The library's publisher callbacks, reached directly: the benchmark
// executables define PS_SubscriberInit, which the library resolves to
// first; it keeps the callbacks and hands the registration on to the
// platform. Calling them measures the library without the platform's
// threads.
#pragma once

#include "platform/ps.h"

namespace bench {

// The callbacks of the library's latest PS_SubscriberInit (all null before).
const PS_SUB_CALLBACKS &libraryCallbacks();

}  // namespace bench
