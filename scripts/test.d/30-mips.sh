# Cross build for the 32-bit big-endian MIPS target; all tests under qemu.
set -euo pipefail
cmake --preset mips >/dev/null
cmake --build --preset mips
ctest --preset mips
