#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds everything and runs every gate:
#   host    GCC build, all tests, and a short soak of the link under every fault mode
#   clang   Clang build (warnings are errors), benchmarks built, all tests
#   asan    all tests with AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan    the concurrent tests with ThreadSanitizer
#   arm     32-bit ARM static build against glibc, all tests under qemu-user
#   uclibc  the same against the board's own C library, uClibc-ng, from a toolchain that
#           scripts/uclibc-toolchain.sh builds from Debian's sources once and caches
#   board   the ARM programs, glibc's and uClibc's, on an emulated board: Debian's armhf
#           kernel and its PL011 UART driver at /dev/ttyAMA2, mcusim as the MCU on the far end:
#           the board suite on labgrid (board/lab.sh), the same suite through the real board's
#           environment files on a stand-in, and the one-command harness (board/check-harness.sh)
#   fuzz    each fuzzer for FUZZ_SECONDS (default 60)
#   static  the gate runner's, the toolchain script's and the package lock wait's own checks,
#           the include layering, clang-format, clang-tidy, cppcheck
#   package the packages (scripts/package.sh), the installed tree, the example built against
#           it with CMake and pkg-config and run under the simulator, the manual pages
# ./test.sh runs them all; ./test.sh host asan runs just those. Each gate runs in a shell of its
# own where any failing step, in any position, fails the gate and the run (scripts/gate-runner.sh,
# itself checked by the static gate). The run ends with a line per gate and a total.
set -euo pipefail
cd "$(dirname "$0")"
all_gates=(host clang asan tsan arm uclibc board fuzz static package)
gates=("$@")
[ ${#gates[@]} -gt 0 ] || gates=("${all_gates[@]}")
# Every name is checked before anything runs: a misspelt one fails at once, not after the others.
for gate in "${gates[@]}"; do
  if ! printf '%s\n' "${all_gates[@]}" | grep -qx -- "$gate"; then
    echo "test.sh: no gate named '$gate' (gates: ${all_gates[*]})" >&2
    exit 2
  fi
done
if [ "${gates[*]}" = host ]; then scripts/install-deps.sh base; else scripts/install-deps.sh all; fi
jobs=$(nproc)

# shellcheck source=scripts/gate-runner.sh
. scripts/gate-runner.sh

build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DHDDPOWER_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

gate_host() {
  build build
  ctest --test-dir build --output-on-failure -j"$jobs"
  echo "soak, short"
  scripts/soak.sh --short build
}

gate_clang() {
  # The benchmarks are built here too (not run: their numbers belong in bench/RESULTS.md).
  CC=clang CXX=clang++ build build-clang -DHDDPOWER_BENCH=ON
  ctest --test-dir build-clang --output-on-failure -j"$jobs"
}

gate_asan() {
  build build-asan -DHDDPOWER_SANITIZE=address,undefined
  ctest --test-dir build-asan --output-on-failure -j"$jobs"
}

gate_tsan() {
  build build-tsan -DHDDPOWER_SANITIZE=thread
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" \
    -R '^(module_test|capi_test)$'
}

gate_arm() {
  build build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake
  ctest --test-dir build-arm --output-on-failure -j"$jobs"
  echo "a board program cross-built against the module installed in a staging tree"
  build build  # its simulator
  local stage=build-arm/stage
  rm -rf "$stage" build-arm/daemon
  DESTDIR=$PWD/$stage cmake --install build-arm --prefix /usr >/dev/null
  cmake -S examples/daemon -B build-arm/daemon -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/arm-linux-gnueabi.cmake" \
    -DCMAKE_FIND_ROOT_PATH="$PWD/$stage" >/dev/null
  cmake --build build-arm/daemon
  build/mcusim --unasked 0x0019 -- qemu-arm build-arm/daemon/mcudaemon --commands 5 |
    grep -x "mcudaemon: 5 commands, 5 answered, 0 failed; events: .*"
}

build_uclibc() {  # the uClibc build, its toolchain built first when missing
  local root
  root=$(scripts/uclibc-toolchain.sh)
  HDDPOWER_UCLIBC_ROOT=$root build build-uclibc -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-uclibcgnueabi.cmake
}

gate_uclibc() {
  build_uclibc
  ctest --test-dir build-uclibc --output-on-failure -j"$jobs"
}

gate_board() {
  build build
  build build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake
  build_uclibc
  echo "the harness"
  board/check-harness.sh build-arm build
  echo "the board suite on labgrid: glibc programs"
  board/lab.sh --arm-build build-arm -q -rs
  # The hung-command cases check the suite's own harness, not the programs: once is enough.
  echo "the board suite on labgrid: uClibc programs"
  board/lab.sh --arm-build build-uclibc -q -rs -k "not hung_command"
  # A board booted outside labgrid stands in for a real one, reached through the real board's
  # environment files: what needs the simulated MCU or a tap of the line is skipped, the rest
  # must pass (the module's tests, which do not touch the console's path, are left out).
  # Through a serial device the stand-in's MCU line has a tap, so the checks of the bytes the
  # board sends run too; through ser2net it has none, and they are skipped.
  standin serial "7 passed, 6 skipped, 1 deselected"
  standin ser2net "5 passed, 8 skipped, 1 deselected"
}

standin() {  # standin CONSOLE COUNTS: the suite on a stand-in, and the counts it must end with
  echo "the board suite on labgrid: a stand-in for a real board, its console through $1"
  board/lab.sh --arm-build build-arm --standin "$1" -q -rs -k "not modules_tests" |
    tee build-arm/standin.log
  grep -q "^$2 in " build-arm/standin.log
}

gate_fuzz() {
  CC=clang CXX=clang++ build build-fuzz -DHDDPOWER_FUZZ=ON -DHDDPOWER_TESTS=OFF
  local seconds=${FUZZ_SECONDS:-60}
  for fuzzer in frame_queue_fuzz stream_scanner_fuzz packet_list_fuzz; do
    local work=build-fuzz/corpus-run/$fuzzer
    rm -rf "$work" && mkdir -p "$work" build-fuzz/artifacts
    echo "$fuzzer: ${seconds} s"
    # New inputs go to the scratch corpus; the seeds in the repo are only read.
    if ! build-fuzz/fuzz/$fuzzer -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build-fuzz/artifacts/$fuzzer-" "$work" "fuzz/corpus/$fuzzer" \
        >"build-fuzz/$fuzzer.log" 2>&1; then
      tail -40 "build-fuzz/$fuzzer.log"
      echo "$fuzzer found a failure; the input is in build-fuzz/artifacts/" >&2
      return 1
    fi
    grep -E '^stat::number_of_executed_units' "build-fuzz/$fuzzer.log" || true
  done
}

gate_static() {
  [ -f build/compile_commands.json ] || build build
  echo "gate runner"
  scripts/check-gate-runner.sh
  echo "uclibc toolchain script"
  scripts/check-uclibc-script.sh
  echo "waits for another install's package lock"
  scripts/check-apt.sh
  echo "layers"
  scripts/check-layers.sh
  echo "clang-format"
  clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.h')
  echo "clang-tidy"
  clang-tidy -p build --quiet $(git ls-files 'common/*.cpp' 'serial/*.cpp' 'ack/*.cpp' \
    'receiver/*.cpp' 'link/*.cpp' 'tool/*.cpp' 'capi/*.cpp' 'programs/*.cpp' 'sim/*.cpp' \
    'bringup/*.cpp')
  echo "cppcheck"
  cppcheck --enable=warning,performance,portability --std=c++11 --error-exitcode=1 \
    --inline-suppr --quiet -I . common serial ack receiver link tool capi programs sim bringup
}

gate_package() {
  [ -f build/CMakeCache.txt ] || build build
  cmake --build build -j"$jobs" >/dev/null
  scripts/package.sh build-dist
  scripts/check-install.sh build build-dist
}

run_gates "${gates[@]}"
