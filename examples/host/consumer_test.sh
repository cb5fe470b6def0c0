#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds this host program
# against it twice, with find_package and with pkg-config; both must run as
# built, without LD_LIBRARY_PATH: the prefix is no system library directory,
# so each build has to record where the libraries are (CMake does so by
# itself, the pkg-config build through -rpath).
# Usage: consumer_test.sh BUILD_DIR HOST_SOURCE_DIR SCRATCH_DIR C_COMPILER
set -euo pipefail
build=$1 src=$2 scratch=$3 cc=$4
prefix=$scratch/prefix
rm -rf "$scratch"
mkdir -p "$scratch"
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log"

for f in lib/libipam.so lib/libipam.so.1 lib/libipam-platform.so include/ipam/ipam.h \
         include/ipam/ipam_db.h include/ipam/ipam_platform.h include/ipam/platform/ps.h \
         lib/cmake/ipam/ipamConfig.cmake lib/pkgconfig/ipam.pc bin/ipam-sim \
         share/man/man1/ipam-sim.1.gz share/man/man3/libipam.3.gz \
         share/bash-completion/completions/ipam-sim; do
  [[ -e $prefix/$f ]] || { echo "not installed: $f"; find "$prefix" | sort; exit 1; }
done
[[ -L $prefix/lib/libipam.so ]] || { echo "libipam.so is not a link to the SONAME file"; exit 1; }

# After the restart the primary address is the new one: the host's care mask
# tracks validity, so the moved IPAM4_ATTR_PRIMARY is seen.
expect_output() {
  grep -q "primary IPv4 of interface 3: 10.0.0.2" "$1" &&
    grep -q "IPv6 source for 2001:db8::99: 2001:db8::1" "$1" &&
    grep -q "event 0x8 10.0.0.1 on eth0" "$1" || { echo "unexpected output:"; cat "$1"; exit 1; }
}

# find_package
cmake -S "$src" -B "$scratch/fp" -G Ninja -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/fp.log"
cmake --build "$scratch/fp" >>"$scratch/fp.log"
unset LD_LIBRARY_PATH
IPAM_PLATFORM_QUIET=1 "$scratch/fp/ipam-host" >"$scratch/fp.out"
expect_output "$scratch/fp.out"

# pkg-config, as the README shows it
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Wextra -Werror -o "$scratch/pc-host" "$src/main.c" \
  $(pkg-config --cflags --libs ipam ipam-platform) \
  -Wl,-rpath,"$(pkg-config --variable=libdir ipam)"
IPAM_PLATFORM_QUIET=1 "$scratch/pc-host" >"$scratch/pc.out"
expect_output "$scratch/pc.out"

# One version everywhere: the header (which ipam-sim prints) and pkg-config.
version=$("$prefix/bin/ipam-sim" --version)
[[ $version == "ipam-sim $(pkg-config --modversion ipam)" ]] ||
  { echo "version mismatch: '$version' vs pkg-config $(pkg-config --modversion ipam)"; exit 1; }

# The installed simulator finds its libraries by itself.
"$prefix/bin/ipam-sim" run "$src/../quickstart.scn" >/dev/null
echo "installed package: find_package and pkg-config builds both run"
