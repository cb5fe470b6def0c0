# The Debian packages, from the release and MIPS build trees the earlier
# steps made (CPack over them: nothing is compiled twice): lintian, their
# contents, and a throwaway root of each unpacked with dpkg -x, against which
# the example hosts build with CMake and with pkg-config and run, the native
# ones against the installed `ipam-sim serve`, the MIPS ones under qemu.
set -euo pipefail
src=$PWD
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  exec 3>&- 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.log; do echo "== $f"; tail -20 "$f"; done >&2; exit 1; }

# pack PRESET: the build tree (built here if an earlier step did not), its
# packages in $work/PRESET/debs, unpacked into $work/PRESET/root.
pack() {
  local preset=$1 out=$work/$1
  if [[ ! -f build/$preset/CPackConfig.cmake ]]; then
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
  fi
  cmake --build --preset "$preset" >/dev/null   # the man pages and libipam.3 are targets
  cpack --config "build/$preset/CPackConfig.cmake" -B "$out/debs" >"$work/cpack-$preset.log" ||
    fail "cpack $preset"
  rm -rf "$out/debs/_CPack_Packages"
  lintian --fail-on error,warning "$out"/debs/*.deb ||
    fail "lintian found the $preset packages wanting"
  for deb in "$out"/debs/*.deb; do dpkg -x "$deb" "$out/root"; done
  # What each package must hold (dpkg -c), and that the library runtime
  # packages track the exports.
  local arch=$2
  has() {
    dpkg -c "$out/debs/$1_$(pkg_version)_$arch.deb" | awk '{ print $6 }' >"$out/$1.files"
    grep -qx "\./$2" "$out/$1.files" || fail "$1 lacks $2"
  }
  has libipam1 usr/lib/libipam.so.1.0.0
  has libipam-dev usr/include/ipam/ipam.h
  has libipam-dev usr/lib/pkgconfig/ipam.pc
  has libipam-dev usr/lib/cmake/ipam/ipamConfig.cmake
  has libipam-dev usr/share/man/man3/libipam.3.gz
  has libipam-platform1 usr/lib/libipam-platform.so.1.0.0
  has libipam-platform-dev usr/include/ipam/ipam_platform.h
  has ipam-tools usr/bin/ipam-sim
  has ipam-tools usr/share/man/man1/ipam-sim.1.gz
  has ipam-tools usr/share/bash-completion/completions/ipam-sim
  has ipam-tools usr/share/doc/ipam-tools/examples/ipam-sim.service
  dpkg-deb --ctrl-tarfile "$out/debs/libipam1_$(pkg_version)_$arch.deb" | tar -xO ./symbols >"$out/symbols"
  diff <(grep -E '^[A-Za-z_]' src/exports.txt | sort) \
       <(awk 'NR > 1 { sub(/@Base/, "", $1); print $1 }' "$out/symbols" | sort) ||
    fail "$preset: libipam1's symbols file is not the export list"
}
pkg_version() { sed -n 's/^#define IPAM_VERSION_STRING "\(.*\)"/\1/p' include/ipam.h; }

# consumers ROOT RUN CMAKE_ARGS...: examples/host and live-host built against
# ROOT's development packages with CMake and with pkg-config.
consumers() {
  local root=$1 tag=$2 out=$work/$2; shift 2
  mkdir -p "$out/live-src"
  cp examples/live-host/main.c "$out/live-src/"
  cat >"$out/live-src/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(live_host LANGUAGES C)
find_package(ipam 1 REQUIRED)
add_executable(live-host main.c)
target_link_libraries(live-host PRIVATE ipam::ipam ipam::platform)
CM
  for project in "$src/examples/host" "$out/live-src"; do
    local b=$out/cmake-$(basename "$project")
    cmake -S "$project" -B "$b" -G Ninja -Dipam_DIR="$root/usr/lib/cmake/ipam" "$@" \
      >"$work/consumer.log" 2>&1 && cmake --build "$b" >>"$work/consumer.log" 2>&1 ||
      fail "CMake build of $project against the $tag packages"
  done
  export PKG_CONFIG_PATH=$root/usr/lib/pkgconfig
  # shellcheck disable=SC2046
  "$CC" -std=c11 -Wall -Wextra -Werror -o "$out/pc-host" examples/host/main.c \
    $(pkg-config --cflags --libs ipam ipam-platform) || fail "pkg-config build against the $tag packages"
  # shellcheck disable=SC2046
  "$CC" -std=c11 -Wall -Wextra -Werror -o "$out/pc-live-host" examples/live-host/main.c \
    $(pkg-config --cflags --libs ipam ipam-platform) || fail "pkg-config live-host against the $tag packages"
  unset PKG_CONFIG_PATH
}

expect_host() {  # the in-process example's output, as in examples/host/consumer_test.sh
  grep -q "primary IPv4 of interface 3: 10.0.0.2" "$1" &&
    grep -q "IPv6 source for 2001:db8::99: 2001:db8::1" "$1" || fail "unexpected output of $1"
}

# live ROOT RUNNER... : live-host (both builds) subscribes to ROOT's installed
# `ipam-sim serve`, gets its table, and `ipam-sim ctl` reads the host's replica.
live() {
  local root=$1 tag=$2 out=$work/$2; shift 2
  local sim=("$@" "$root/usr/bin/ipam-sim")
  export IPAM_PLATFORM_RUNDIR=$out/run IPAM_PLATFORM_QUIET=1
  printf 'add4 if=3 name=eth0 addr=10.0.0.1/24 attr=PRIMARY|IF_VALID|VALID\n' >"$out/table"
  mkfifo "$out/serve.in"
  "${sim[@]}" serve --table "$out/table" <"$out/serve.in" >"$work/serve-$tag.log" 2>&1 &
  pids+=($!)
  exec 3>"$out/serve.in"
  wait_for "$work/serve-$tag.log" "^# serving"
  for host in "$out/cmake-live-src/live-host" "$out/pc-live-host"; do
    "$@" "$host" >"$work/live-$tag.log" 2>&1 &
    local hp=$!
    pids+=("$hp")
    wait_for "$work/live-$tag.log" "event BATCH_END"
    "${sim[@]}" ctl --wait 10 "$hp" export4 >"$work/ctl-$tag.log" 2>&1 || fail "ctl $hp export4"
    # The installed completion offers the running host's pid after `ctl`.
    (
      # shellcheck source=/dev/null
      source "$root/usr/share/bash-completion/completions/ipam-sim"
      COMP_WORDS=(ipam-sim ctl "") COMP_CWORD=2
      # A cross-built tool runs under the emulator: the completion asks a native one.
      COMP_WORDS[0]=$work/release/root/usr/bin/ipam-sim
      _ipam_sim
      [[ " ${COMPREPLY[*]} " == *" $hp "* ]]
    ) || fail "completion of ctl does not offer pid $hp"
    grep -q "addr=10.0.0.1/24" "$work/ctl-$tag.log" || fail "ctl export4 of $host"
    kill -INT "$hp"
    wait "$hp" || true
  done
  exec 3>&-
  unset IPAM_PLATFORM_RUNDIR IPAM_PLATFORM_QUIET
}
wait_for() {
  for _ in $(seq 200); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  fail "$1: nothing matching '$2'"
}

# Native.
pack release "$(dpkg --print-architecture)"
root=$work/release/root
CC=cc consumers "$root" release -DCMAKE_C_COMPILER=cc
LD_LIBRARY_PATH=$root/usr/lib IPAM_PLATFORM_QUIET=1 "$work/release/pc-host" >"$work/release/pc.out"
expect_host "$work/release/pc.out"
IPAM_PLATFORM_QUIET=1 "$work/release/cmake-host/ipam-host" >"$work/release/cmake.out"
expect_host "$work/release/cmake.out"
LD_LIBRARY_PATH=$root/usr/lib live "$root" release env
# The installed manual pages are found by man, and the tool's own version is the package's.
MANPATH=$root/usr/share/man man -w ipam-sim >/dev/null || fail "man ipam-sim"
MANPATH=$root/usr/share/man man -w 3 libipam >/dev/null || fail "man 3 libipam"
[[ $("$root/usr/bin/ipam-sim" --version) == "ipam-sim $(pkg_version)" ]] || fail "ipam-sim --version"
echo "native packages: lintian clean, installed, hosts built both ways ran against ipam-sim serve"

# MIPS: the same, cross-built, run under qemu.
pack mips mips
root=$work/mips/root
qemu=(qemu-mips -L /usr/mips-linux-gnu -E "LD_LIBRARY_PATH=$root/usr/lib")
file -L "$root/usr/bin/ipam-sim" | grep -q "MSB.*MIPS" || fail "ipam-sim is not a MIPS binary"
CC=mips-linux-gnu-gcc consumers "$root" mips -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/mips-linux-gnu.cmake"
[[ $("${qemu[@]}" "$root/usr/bin/ipam-sim" --version) == "ipam-sim $(pkg_version)" ]] ||
  fail "MIPS ipam-sim --version"
"${qemu[@]}" "$root/usr/bin/ipam-sim" run examples/quickstart.scn >"$work/mips/quickstart.out" 2>&1 ||
  fail "MIPS ipam-sim run"
diff examples/quickstart.out "$work/mips/quickstart.out" || fail "MIPS quickstart differs"
"${qemu[@]}" "$work/mips/pc-host" >"$work/mips/pc.out" 2>&1
expect_host "$work/mips/pc.out"
"${qemu[@]}" "$work/mips/cmake-host/ipam-host" >"$work/mips/cmake.out" 2>&1
expect_host "$work/mips/cmake.out"
live "$root" mips "${qemu[@]}"
# The manual the MIPS tool wrote of itself (under qemu, at build time) is the native one.
cmp <(zcat "$root/usr/share/man/man1/ipam-sim.1.gz") \
    <(zcat "$work/release/root/usr/share/man/man1/ipam-sim.1.gz") || fail "MIPS ipam-sim(1) differs"
echo "MIPS packages: lintian clean, unpacked, hosts built both ways ran under qemu against ipam-sim serve"
