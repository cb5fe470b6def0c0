// The care-mask expansion, kept apart from the subscription it serves so the
// unit tests can check its rules directly.
#pragma once

#include <cstdint>

namespace ipam {

// The host's care mask with the message codes and events its events are
// made from. The four rules run once, in order, each on the mask as the
// earlier ones left it, so the validity rules never add batch start/end.
uint32_t careMaskExpand(uint32_t careMask);

}  // namespace ipam
