#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages the build and the gates need, when any is missing.
#   scripts/install-deps.sh [base|all]   base: build and host tests; all (default): every gate
set -euo pipefail
# shellcheck source=scripts/apt.sh
. "$(dirname "$0")/apt.sh"
base=(cmake g++ make libgtest-dev googletest libgmock-dev sigrok-cli libclang-rt-14-dev help2man
      python3 python3-pytest python3-setuptools python3-pip python3-venv libyaml-cpp-dev)
gates=(clang clang-tidy clang-format cppcheck g++-arm-linux-gnueabi qemu-user qemu-system-arm
       python3 groff-base lintian pkg-config libbenchmark-dev valgrind time python3-labgrid ser2net)
packages=("${base[@]}")
[ "${1:-all}" = all ] && packages+=("${gates[@]}")
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  apt_get update -qq
  apt_get install -y -qq "${missing[@]}" >/dev/null
fi
