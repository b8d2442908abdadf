#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the board's own C library toolchain, from Debian's packages only: uClibc-ng (from
# uclibc-source) for 32-bit ARM, EABI, little-endian, soft float, NPTL threads with TLS, System
# V IPC, UNIX98 ptys, realtime and large files, no IPv6, compiled by Debian's
# arm-linux-gnueabi-gcc-12 against the kernel headers of linux-libc-dev-armel-cross; and a C++
# runtime, libstdc++ from gcc-12-source, configured against it (the cross compiler's libgcc is
# used as it is). The result is a sysroot and two compiler wrappers, arm-uclibc-gcc and
# arm-uclibc-g++, that cmake/arm-linux-uclibcgnueabi.cmake uses.
#
#   scripts/uclibc-toolchain.sh          prints the toolchain's folder, building it if needed
#
# The toolchain lives outside the work tree, in HDDPOWER_UCLIBC_CACHE (default
# /var/cache/hddpower-uclibc), in a folder named after the versions of its inputs (and of this
# script); a build with the same inputs is reused. "current" there points at the last one.
# About 10 minutes on two cores. A build is made under another name and renamed once whole;
# runs at once wait for each other (a lock per toolchain), and a cache that holds the finished
# toolchain is used even when it cannot be written. Interrupted, it stops its whole build.
# HDDPOWER_UCLIBC_BUILDER names a command that stands in for the build, given the folder to
# fill (for the script's own checks, with a cache of their own).
set -euo pipefail
# shellcheck source=scripts/apt.sh
. "$(dirname "$0")/apt.sh"
cd "$(dirname "$0")/.."
inputs=(uclibc-source gcc-12-source gcc-12-arm-linux-gnueabi g++-12-arm-linux-gnueabi
        binutils-arm-linux-gnueabi linux-libc-dev-armel-cross)
missing=()
for p in "${inputs[@]}" xz-utils make; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt_get update -qq
  apt_get install -y -qq "${missing[@]}" >/dev/null
fi
key=$( { for p in "${inputs[@]}"; do dpkg-query -W -f='${Package} ${Version}\n' "$p"; done
         cat "$0"; } | sha256sum | cut -c1-16)
cache=${HDDPOWER_UCLIBC_CACHE:-/var/cache/hddpower-uclibc}
root=$cache/$key
finished() {  # prints the toolchain's folder when it is there; points "current" at it if it can
  [ -f "$root/ready" ] || return 1
  ln -sfn "$key" "$cache/current" 2>/dev/null || true
  echo "$root"
}
finished && exit 0
mkdir -p "$cache"
exec 9>"$cache/$key.lock"
if ! flock -n 9; then
  echo "uclibc toolchain: another run is building it; waiting for that one" >&2
  flock 9
fi
finished && exit 0
staging=""

# The whole build, into the folder given; the compiler wrappers find the sysroot beside them,
# so the folder may be renamed once done.
build_into() {
root=$1
jobs=$(nproc)
mkdir -p "$root/bin" "$root/work"
work=$root/work
sysroot=$root/sysroot

# The kernel's user-space headers alone, without the glibc headers beside them.
kernel=$work/kernel-headers
dpkg -L linux-libc-dev-armel-cross | sed -n 's|^/usr/arm-linux-gnueabi/include/||p' |
  while read -r f; do
    src=/usr/arm-linux-gnueabi/include/$f
    if [ -f "$src" ]; then
      mkdir -p "$kernel/$(dirname "$f")"
      cp "$src" "$kernel/$f"
    fi
  done

# uClibc-ng: the ARM defaults, then the board's choices.
tar xf /usr/src/uClibc-ng-*.tar.xz -C "$work"
cd "$work"/uClibc-ng-*
make ARCH=arm defconfig >>"$log" 2>&1
set_option() {  # NAME VALUE, or NAME n to leave it out
  sed -i -e "/^$1=/d" -e "/^# $1 is not set/d" .config
  if [ "$2" = n ]; then echo "# $1 is not set" >>.config; else echo "$1=$2" >>.config; fi
}
while read -r name value; do
  set_option "$name" "$value"
done <<OPTIONS
CONFIG_ARM_EABI y
ARCH_BIG_ENDIAN n
ARCH_WANTS_BIG_ENDIAN n
ARCH_LITTLE_ENDIAN y
ARCH_WANTS_LITTLE_ENDIAN y
UCLIBC_HAS_FPU n
HAS_NO_THREADS n
UCLIBC_HAS_THREADS y
UCLIBC_HAS_THREADS_NATIVE y
UCLIBC_HAS_TLS y
UCLIBC_HAS_LFS y
UCLIBC_HAS_REALTIME y
UCLIBC_HAS_ADVANCED_REALTIME y
UNIX98PTY_ONLY y
UCLIBC_HAS_IPV6 n
DO_C99_MATH y
UCLIBC_HAS_LONG_DOUBLE_MATH y
UCLIBC_HAS_FENV y
UCLIBC_HAS_WCHAR y
UCLIBC_HAS_LOCALE n
UCLIBC_SUSV3_LEGACY y
UCLIBC_SUSV4_LEGACY y
UCLIBC_HAS_REGEX y
UCLIBC_LINUX_SPECIFIC y
UCLIBC_HAS_GNU_GETOPT y
UCLIBC_HAS_ERRNO_MESSAGES y
UCLIBC_HAS_SIGNUM_MESSAGES y
DOSTRIP n
KERNEL_HEADERS "$kernel"
CROSS_COMPILER_PREFIX "arm-linux-gnueabi-"
RUNTIME_PREFIX "/"
DEVEL_PREFIX "/usr/"
OPTIONS
{ yes "" || true; } | make ARCH=arm oldconfig >>"$log" 2>&1  # yes ends by SIGPIPE
make -j"$jobs" >>"$log" 2>&1
make install DESTDIR="$sysroot" >>"$log" 2>&1
cp -r "$kernel"/. "$sysroot/usr/include/"

# The wrappers: Debian's cross compiler with the sysroot's headers and libraries first, and
# nothing of the cross compiler's glibc.
gccinc=$(arm-linux-gnueabi-gcc-12 -print-file-name=include)
cat >"$root/bin/arm-uclibc-gcc" <<WRAPPER
#!/bin/sh
sysroot=\$(dirname "\$0")/../sysroot
exec arm-linux-gnueabi-gcc-12 -nostdinc -isystem "\$sysroot/usr/include" -isystem "$gccinc" \\
  -B"\$sysroot/usr/lib/" -L"\$sysroot/usr/lib" -static "\$@"
WRAPPER
cat >"$root/bin/arm-uclibc-g++" <<WRAPPER
#!/bin/sh
sysroot=\$(dirname "\$0")/../sysroot
cxx=\$sysroot/usr/include/c++/12
exec arm-linux-gnueabi-g++-12 -nostdinc -isystem "\$cxx" -isystem "\$cxx/arm-linux-uclibcgnueabi" \\
  -isystem "\$cxx/backward" -isystem "\$sysroot/usr/include" -isystem "$gccinc" \\
  -D_GLIBCXX_GTHREAD_USE_WEAK=0 -pthread -B"\$sysroot/usr/lib/" -L"\$sysroot/usr/lib" -static "\$@"
WRAPPER
chmod 755 "$root/bin/arm-uclibc-gcc" "$root/bin/arm-uclibc-g++"

# libstdc++ alone, from the compiler's sources (whatever release gcc-12-source holds), against
# the new C library.
gcctar=$(ls /usr/src/gcc-12/gcc-12.*.tar.xz | head -1)
gcc=$(basename "$gcctar" | sed 's/-dfsg.*//; s/\.tar\.xz$//')
tar xf "$gcctar" -C "$work" --wildcards --no-wildcards-match-slash \
  "$gcc/libstdc++-v3" "$gcc/libiberty" "$gcc/include" "$gcc/config" "$gcc/libgcc" \
  "$gcc/gcc/BASE-VER" "$gcc/gcc/DATESTAMP" "$gcc/gcc/DEV-PHASE" "$gcc/config.*" \
  "$gcc/config-ml.in" "$gcc/install-sh" "$gcc/ltmain.sh" "$gcc/move-if-change" \
  "$gcc/mkinstalldirs" "$gcc/missing" "$gcc/*.m4"
# Built alone, libstdc++ finds no gthr-default.h, which a whole compiler build makes from the
# POSIX one; without it the library would have no threads. Thread calls are strong references
# (the wrapper's _GLIBCXX_GTHREAD_USE_WEAK=0): in a static program, weak ones would stay null.
cp "$work/$gcc/libgcc/gthr-posix.h" "$work/$gcc/libgcc/gthr-default.h"
mkdir -p "$work/libstdc++"
cd "$work/libstdc++"
CC="$root/bin/arm-uclibc-gcc" CXX="$root/bin/arm-uclibc-g++" AR=arm-linux-gnueabi-ar \
  RANLIB=arm-linux-gnueabi-ranlib NM=arm-linux-gnueabi-nm OBJDUMP=arm-linux-gnueabi-objdump \
  STRIP=arm-linux-gnueabi-strip CFLAGS=-O2 CXXFLAGS=-O2 \
  "$work/$gcc/libstdc++-v3/configure" --host=arm-linux-uclibcgnueabi \
  --build="$(gcc -dumpmachine)" --prefix=/usr --disable-shared --enable-static \
  --disable-multilib --disable-nls --disable-libstdcxx-pch --enable-clocale=generic \
  --with-gxx-include-dir=/usr/include/c++/12 >>"$log" 2>&1
make -j"$jobs" >>"$log" 2>&1
make install DESTDIR="$sysroot" >>"$log" 2>&1

rm -rf "$work"
}

# The build runs in a process group of its own (job control on), so that an interrupt stops
# all of it, make's children included, and leaves no half-built folder.
builder=""
stop() {
  [ -z "$builder" ] || kill -TERM -- "-$builder" 2>/dev/null || true
  [ -z "$builder" ] || wait "$builder" 2>/dev/null || true
  [ -z "$staging" ] || rm -rf "$staging"
  echo "uclibc toolchain: interrupted; nothing was kept" >&2
  exit $((128 + $1))
}
trap 'stop 2' INT
trap 'stop 15' TERM
trap 'stop 1' HUP
staging=$(mktemp -d "$cache/.build.$key.XXXXXX")
log=$staging/work/build.log
echo "uclibc toolchain: building $root (log: $log)" >&2
mkdir -p "$staging/work"
set -m
(
  set -euo pipefail
  if [ -n "${HDDPOWER_UCLIBC_BUILDER:-}" ]; then
    $HDDPOWER_UCLIBC_BUILDER "$staging"
  else
    build_into "$staging"
  fi
) &
builder=$!
set +m
set +e
wait "$builder"
built=$?
set -e
trap - INT TERM HUP
if [ "$built" -ne 0 ]; then
  kept=$cache/$key.failed.log
  cp "$log" "$kept" 2>/dev/null || true
  rm -rf "$staging"
  echo "uclibc toolchain: the build failed (status $built); its log is $kept" >&2
  exit 1
fi
touch "$staging/ready"
rm -rf "$root"
mv "$staging" "$root"
finished
