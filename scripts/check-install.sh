#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what the project installs and packages, as a firmware team would use it:
#   - the installed tree, under a temporary prefix and under DESTDIR: every file in its place;
#   - examples/consumer (C++, the fixed interface) and examples/daemon (C, the C interface)
#     built against that tree with CMake (find_package) and with pkg-config, each run against
#     the simulated MCU: acknowledged, and the daemon told of the MCU's own frames;
#   - the manual pages render without warnings; --version gives the project's version;
#   - the shared library exports the C and the fixed interface and nothing else of the module;
#   - the Python package imports from the installed tree and from pip install;
#   - the packages of scripts/package.sh: the tools' and the development .debs for the host
#     and for armel (ARM binaries, no simulator, the tools without dependencies), the host's
#     shared library (libmcucom1) and Python package (python3-mcucom), each clean under
#     lintian, the host's installed with dpkg, used (python3 -c 'import mcucom') and purged;
#     and the board's .tar.gz.
#   scripts/check-install.sh BUILD_DIR PACKAGE_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
packages=$2
repo=$(pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
failures=0
fail() { echo "check-install: $*" >&2; failures=$((failures + 1)); }

expect_tree() {  # ROOT WITH_SIMULATOR
  local root=$1 files=(bin/hddpower bin/mcusend lib/libmcucom.a include/mcucom/tool/HddPower.h
    include/mcucom/mcucom.h share/man/man3/mcucom_open.3.gz share/man/man3/mcucom_command.3.gz
    include/mcucom/common/ComFrame.h include/mcucom/serial/SerialFun.h
    include/mcucom/ack/DataPackList.h lib/cmake/mcucom/mcucomConfig.cmake
    lib/cmake/mcucom/mcucomConfigVersion.cmake lib/cmake/mcucom/mcucomTargets.cmake
    lib/pkgconfig/mcucom.pc share/man/man1/hddpower.1.gz share/man/man1/mcusend.1.gz
    share/man/man7/mcucom-commands.7.gz lib/cmake/mcucom/toolchains/arm-linux-gnueabi.cmake
    lib/cmake/mcucom/toolchains/arm-linux-uclibcgnueabi.cmake)
  [ "$2" = yes ] && files+=(bin/mcusim share/man/man1/mcusim.1.gz share/man/man5/mcusim-scenario.5.gz
    share/doc/hddpower/examples/scenarios/power.yaml share/doc/hddpower/examples/scenarios/status.yaml
    share/doc/hddpower/examples/scenarios/lost-line.yaml
    share/doc/hddpower/examples/scenarios/recorded.yaml
    share/libsigrokdecode/decoders/mculine/pd.py share/libsigrokdecode/decoders/mculine/__init__.py
    lib/libmcucom.so.1 lib/pkgconfig/mcucom-shared.pc lib/python3/dist-packages/mcucom/__init__.py)
  for f in "${files[@]}"; do
    [ -f "$root/$f" ] || fail "$root/$f is missing"
  done
  if [ "$2" = no ] && [ -e "$root/bin/mcusim" ]; then
    fail "$root/bin/mcusim is installed for the board"
  fi
}

echo "installed tree"
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
expect_tree "$prefix" yes
DESTDIR=$tmp/stage cmake --install "$build" --prefix /usr >/dev/null
expect_tree "$tmp/stage/usr" yes
# A plain install holds what a target needs; the packages' own files are the packages'.
for root in "$prefix" "$tmp/stage/usr"; do
  [ ! -e "$root/share/lintian" ] || fail "$root/share/lintian: the packages' overrides, installed"
done

echo "manual pages"
for page in "$prefix"/share/man/man1/*.1.gz "$prefix"/share/man/man3/*.3.gz \
    "$prefix"/share/man/man5/*.5.gz "$prefix"/share/man/man7/*.7.gz; do
  # A page that only points at another (".so man3/page.3") is right when that one is there.
  target=$(zcat "$page" | sed -n 's/^\.so //p')
  if [ -n "$target" ]; then
    [ -f "$prefix/share/man/$target.gz" ] || fail "$page points at $target, which is missing"
    continue
  fi
  warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
  [ -z "$warnings" ] || fail "$page: $warnings"
done

echo "the example scenarios, as installed"
# Each is read and served on a pseudo-terminal until the time-out ends it (status 124); a
# scenario refused would end at once with status 2.
for scenario in "$prefix"/share/doc/hddpower/examples/scenarios/*.yaml; do
  status=0
  timeout 2 "$prefix/bin/mcusim" --quiet --scenario "$scenario" --serve pty >/dev/null 2>&1 ||
    status=$?
  [ "$status" -eq 124 ] || fail "$scenario is not served as a scenario (status $status)"
done
echo "versions"
for program in mcusend mcusim; do
  said=$("$prefix/bin/$program" --version)
  [ "$said" = "$program $version" ] || fail "$program --version says '$said', not '$program $version'"
done

echo "protocol decoder"
decoders=$(SIGROKDECODE_DIR=$prefix/share/libsigrokdecode/decoders sigrok-cli -L 2>&1)
grep -q '^ *mculine ' <<<"$decoders" || fail "sigrok-cli does not find the installed mculine decoder"

# Each example three ways, as the README gives them: CMake's mcucom::mcucom and pkg-config's
# mcucom (the static library), and pkg-config's mcucom-shared with the rpath its Makefile adds;
# built out of the source tree, and run from the prefix with nothing set for the dynamic linker.
build_example() {  # NAME: prints the programs built
  local name=$1
  cmake -S "examples/$name" -B "$tmp/cmake-$name" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$tmp/cmake-$name" >/dev/null
  mkdir -p "$tmp/pc-$name" "$tmp/pc-shared-$name"
  PKG_CONFIG_PATH=$prefix/lib/pkgconfig make -s -C "$tmp/pc-$name" \
    -f "$repo/examples/$name/Makefile" >/dev/null
  PKG_CONFIG_PATH=$prefix/lib/pkgconfig make -s -C "$tmp/pc-shared-$name" \
    -f "$repo/examples/$name/Makefile" PKG=mcucom-shared >/dev/null
  for way in cmake pc pc-shared; do
    echo "$tmp/$way-$name"
  done
}
echo "example, with CMake and with pkg-config, static and shared"
for dir in $(build_example consumer); do
  out=$("$prefix/bin/mcusim" "$dir/consumer" 2>/dev/null) || fail "$dir/consumer under mcusim failed"
  grep -q '^consumer: command 0303, serial [0-9]*, acknowledged with result 0x00$' <<<"$out" ||
    fail "$dir/consumer was not acknowledged: $out"
done
readelf -d "$tmp/pc-shared-consumer/consumer" | grep -q 'NEEDED.*libmcucom\.so\.1' ||
  fail "pkg-config's mcucom-shared did not link the shared library"

echo "the example daemon in C, with CMake and with pkg-config, static and shared"
for dir in $(build_example daemon); do
  out=$("$prefix/bin/mcusim" --unasked 0x0019 --unasked-ms 30 -- "$dir/mcudaemon" --commands 20 2>&1) ||
    fail "$dir/mcudaemon under mcusim failed: $out"
  grep -q '^mcudaemon: 20 commands, 20 answered, 0 failed; events: [1-9][0-9]* unasked, 0 late answers, 0 copies, 0 dropped$' <<<"$out" ||
    fail "$dir/mcudaemon did not get its answers and the MCU's frames: $out"
done
[ -z "$(git status --porcelain --ignored examples)" ] || fail "an example's build wrote into the source tree"

echo "the shared library exports the C and the fixed interface alone"
# Each exported name without its parameters, whose types may be the module's own.
exports=$(nm -DC --defined-only "$prefix/lib/libmcucom.so.1" | cut -d' ' -f3- | sed 's/(.*//')
for name in mcucom_open mcucom_command mcucom_command_start mcucom_frame_find sendCmdData WaitCmdList::WaitCmdFlag \
    'g_McuCom' DVRSystem; do
  grep -qF -- "$name" <<<"$exports" || fail "libmcucom.so.1 does not export $name"
done
for internal in FrameStreamScanner ParseInteger WorkerThread LinkLog ForkGuard \
    SemaphoreBell EventQueue RecentCommands McuLink ClaimedLine LockLine StopSignal; do
  ! grep -qF -- "$internal" <<<"$exports" || fail "libmcucom.so.1 exports $internal"
done
# Of the module's own namespace, only the port's settings and the receiver a program of the
# fixed interface runs (with the log the port is given, in a parameter's type).
others=$(grep -F 'mcucom::' <<<"$exports" | grep -v -e 'mcucom::McuPortSettings' \
  -e 'mcucom::McuReceiver' -e 'mcucom::ModuleReceiver' -e '^CComTransmit::SetLog' || true)
[ -z "$others" ] || fail "libmcucom.so.1 exports more of the module's own: $others"

echo "the Python package, installed and from pip"
py=/usr/bin/python3
# Installed, the package finds the library beside it: nothing is set for the dynamic linker.
said=$(PYTHONPATH=$prefix/lib/python3/dist-packages \
  "$py" -c 'import mcucom; print(mcucom.version(), mcucom.build_frame(1, 0x41, 2).hex())') ||
  fail "the installed Python package does not import"
[ "$said" = "$version 75aa0004014100024675aa" ] || fail "the installed Python package says: $said"
mkdir -p "$tmp/pip-source"
cp -r pyproject.toml python "$tmp/pip-source"
"$py" -m venv --system-site-packages "$tmp/venv"
"$tmp/venv/bin/pip" install -q --no-build-isolation --no-deps "$tmp/pip-source" >/dev/null ||
  fail "pip install of the Python package failed"
said=$(cd "$tmp" && LD_LIBRARY_PATH=$prefix/lib "$tmp/venv/bin/python" -c 'import mcucom; print(mcucom.version())') ||
  fail "the Python package from pip does not import"
[ "$said" = "$version" ] || fail "the Python package from pip says: $said"
# Installed by pip, the package's pytest plugin is found by its entry point alone.
options=$(cd "$tmp" && "$tmp/venv/bin/python" -m pytest --help 2>&1) || true
grep -q -- '--mcucom-line' <<<"$options" || fail "pytest does not find the package's plugin after pip install"

echo "packages"
arch=$(dpkg --print-architecture)
tgz=$packages/hddpower-${version}-Linux-armel.tar.gz
[ -f "$tgz" ] || fail "$tgz is missing"
for machine in "$arch" armel; do
  tools_deb=$packages/hddpower_${version}_${machine}.deb
  dev_deb=$packages/libmcucom-dev_${version}_${machine}.deb
  for deb in "$tools_deb" "$dev_deb"; do
    [ -f "$deb" ] || { fail "$deb is missing"; continue; }
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$machine" ] || fail "$deb is not for $machine"
    dpkg-deb -x "$deb" "$tmp/deb-$machine"
  done
  [ -z "$(dpkg-deb -f "$tools_deb" Depends)" ] || fail "$tools_deb depends on something; its tools are static"
  dpkg-deb -c "$dev_deb" | grep -q ' \./usr/bin/' && fail "$dev_deb holds programs"
  dpkg-deb -c "$tools_deb" | grep -q -E ' \./usr/(include|lib)/' && fail "$tools_deb holds the library"
  # Clean but for the overrides the packages carry, each with its reason.
  # lintian leaves scratch files in TMPDIR: the check's own folder, removed at the end.
  debs=("$tools_deb" "$dev_deb")
  if [ "$machine" = "$arch" ]; then
    debs+=("$packages/libmcucom1_${version}_${machine}.deb" "$packages/python3-mcucom_${version}_all.deb")
    for deb in "${debs[@]:2}"; do
      [ -f "$deb" ] || fail "$deb is missing"
    done
    dpkg-deb -x "$packages/libmcucom1_${version}_${machine}.deb" "$tmp/deb-$machine"
    dpkg-deb -x "$packages/python3-mcucom_${version}_all.deb" "$tmp/deb-$machine"
    [ "$(dpkg-deb -f "$dev_deb" Depends)" = "libmcucom1 (= $version)" ] ||
      fail "$dev_deb does not depend on libmcucom1 (= $version)"
  else
    [ -z "$(dpkg-deb -f "$dev_deb" Depends)" ] || fail "$dev_deb for the board depends on something"
  fi
  if ! findings=$(TMPDIR=$tmp lintian --fail-on error,warning "${debs[@]}" 2>&1); then
    fail "lintian finds fault with the $machine packages:"$'\n'"$findings"
  fi
done

echo "the host's packages, installed and used, then purged"
host_debs=("$packages/libmcucom1_${version}_${arch}.deb" "$packages/python3-mcucom_${version}_all.deb"
  "$packages/libmcucom-dev_${version}_${arch}.deb")
if dpkg -s libmcucom1 python3-mcucom libmcucom-dev >/dev/null 2>&1; then
  fail "the packages are installed already: this check would purge them"
elif dpkg -i "${host_debs[@]}" >"$tmp/dpkg.log" 2>&1; then
  said=$(cd / && /usr/bin/python3 -c 'import mcucom; print(mcucom.version())' 2>&1) ||
    fail "python3 -c 'import mcucom' fails once the packages are installed: $said"
  [ "$said" = "$version" ] || fail "the installed python3-mcucom says: $said"
  [ -f /usr/share/man/man3/mcucom_open.3.gz ] || fail "libmcucom-dev carries no manual pages"
  [ -f /usr/include/mcucom/mcucom.h ] || fail "libmcucom-dev carries no C header"
  dpkg --purge python3-mcucom libmcucom-dev libmcucom1 >>"$tmp/dpkg.log" 2>&1 ||
    fail "the packages do not purge: $(cat "$tmp/dpkg.log")"
else
  fail "the packages do not install: $(cat "$tmp/dpkg.log")"
  dpkg --purge python3-mcucom libmcucom-dev libmcucom1 >/dev/null 2>&1 || true
fi
[ "$arch" = armel ] || expect_tree "$tmp/deb-$arch/usr" yes
expect_tree "$tmp/deb-armel/usr" no
mkdir "$tmp/rootfs"
tar xzf "$tgz" -C "$tmp/rootfs"
expect_tree "$tmp/rootfs/usr" no
for binary in "$tmp"/deb-armel/usr/bin/* "$tmp"/rootfs/usr/bin/*; do
  readelf -h "$binary" | grep -q 'Machine: *ARM$' || fail "$binary is not an ARM program"
done

cd "$repo"
if [ "$failures" -ne 0 ]; then
  echo "check-install: $failures problem(s)" >&2
  exit 1
fi
echo "install and packages: all as expected"
