// The management object's registration with the platform's management
// framework, for the subscription that owns it.
#pragma once

#include <cstdint>

namespace ipam {

// Registers (unregisters) the management handler under the library's module
// number: 0, or -1 after an error line.
int32_t mgmtRegister();
int32_t mgmtUnregister();

}  // namespace ipam
