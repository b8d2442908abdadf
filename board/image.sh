# SPDX-License-Identifier: MIT
# The emulated board's files, for the scripts that boot it (sourced by board/run.sh and
# board/lab.sh, from the project's top folder):
#   fetch_board   sets $cache to a folder holding the board's kernel (vmlinuz), its device tree
#                 (board.dtb) and busybox, fetched once from Debian's armhf packages
#   make_image    writes the board's initramfs with the init and the programs given
#   serve_mcu     starts mcusim serving the board's MCU line on a unix socket
#   wait_for_socket  waits for a program to listen on a unix socket
#   board_qemu    the emulated board's qemu command, for the caller to add its ports to
#   from_caller   a path from the command line, taken from the folder the script was run from
# The kernel and busybox are cached (HDDPOWER_BOARD_CACHE, default /var/cache/hddpower-board)
# keyed by their versions, and checked whole before the cache counts as ready.
# shellcheck source=scripts/apt.sh
. scripts/apt.sh

# A path given on the command line is the caller's: relative to the folder the script was run
# from, which the script keeps in $caller.
from_caller() {
  case $1 in /*) printf '%s\n' "$1" ;; *) printf '%s\n' "$caller/$1" ;; esac
}

# Whole files, as a boot needs them: an ARM zImage as long as its header says, a device tree
# as long as its header says, an ARM executable.
# A field of a file as od reads it: field FILE TYPE OFFSET SIZE (TYPE as od's -t takes it).
field() { od -An -v -t"$2" -j "$3" -N "$4" "$1" | tr -d ' '; }
whole_zimage() {
  local start end
  start=$(field "$1" u4 40 4)
  end=$(field "$1" u4 44 4)
  [ "$(field "$1" x4 36 4)" = 016f2818 ] && [ "$(stat -c %s "$1")" -ge $((end - start)) ]
}
whole_dtb() {
  [ "$(field "$1" x1 0 4)" = d00dfeed ] &&
    [ "$(stat -c %s "$1")" -eq "$((16#$(field "$1" x1 4 4)))" ]
}
arm_executable() {
  [ "$(field "$1" x1 0 4)" = 7f454c46 ] && [ "$(field "$1" u2 18 2)" = 40 ]
}

# The kernel package is whatever linux-image-armmp depends on today. A cache folder counts
# only once it holds the three files whole: it is filled under another name and renamed.
# HDDPOWER_BOARD_DOWNLOAD names a command that stands in for apt-get download (for the
# harness's own checks): run in an empty folder with the two package names.
kernel_package() {
  apt-cache depends linux-image-armmp:armhf | sed -n 's/ *Depends: \(linux-image-[^:]*\).*/\1/p' | head -1
}
fetch_board() {
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "board: adding armhf to dpkg's architectures, to fetch the board's kernel and busybox" >&2
    dpkg --add-architecture armhf
    apt_get update -qq
  fi
  local kernel
  kernel=$(kernel_package)
  if [ -z "$kernel" ]; then
    apt_get update -qq
    kernel=$(kernel_package)
  fi
  [ -n "$kernel" ] || { echo "board: linux-image-armmp:armhf is not known to apt" >&2; return 1; }
  local kversion bversion
  kversion=$(apt-cache policy "$kernel:armhf" | sed -n 's/ *Candidate: //p')
  bversion=$(apt-cache policy busybox-static:armhf | sed -n 's/ *Candidate: //p')
  local root=${HDDPOWER_BOARD_CACHE:-/var/cache/hddpower-board}
  local key=$kernel-$kversion-busybox-$bversion
  cache=$root/$key
  [ -f "$cache/ready" ] && return 0
  mkdir -p "$root"
  local work
  work=$(mktemp -d "$root/.fetch.XXXXXX")
  # shellcheck disable=SC2064  # the folder is known now
  trap "rm -rf '$work'" EXIT
  local download=${HDDPOWER_BOARD_DOWNLOAD:-apt-get download -q}
  # shellcheck disable=SC2086  # the command is words
  if ! (cd "$work" && $download "$kernel:armhf" busybox-static:armhf >"$work/download.log" 2>&1); then
    cat "$work/download.log" >&2
    echo "board: cannot download $kernel:armhf and busybox-static:armhf" >&2
    return 1
  fi
  local fill=$work/files
  mkdir -p "$fill"
  dpkg-deb -x "$work"/linux-image-*.deb "$work/kernel"
  dpkg-deb -x "$work"/busybox-static_*.deb "$work/busybox"
  cp "$work"/kernel/boot/vmlinuz-* "$fill/vmlinuz"
  cp "$work"/kernel/usr/lib/linux-image-*/vexpress-v2p-ca9.dtb "$fill/board.dtb"
  cp "$work/busybox/bin/busybox" "$fill/busybox"
  whole_zimage "$fill/vmlinuz" || { echo "board: the kernel $kernel is not a whole ARM zImage" >&2; return 1; }
  whole_dtb "$fill/board.dtb" || { echo "board: the board's device tree is not whole" >&2; return 1; }
  arm_executable "$fill/busybox" || { echo "board: busybox is not a whole ARM program" >&2; return 1; }
  touch "$fill/ready"
  rm -rf "$cache"
  mv "$fill" "$cache"
}

# make_image INITRD WORK COMMAND FILE...: an initramfs at INITRD (assembled under the folder
# WORK) of busybox, board/init and the FILEs in /opt/bin. The init runs COMMAND and powers off;
# with an empty COMMAND it gives a shell on the console instead.
make_image() {
  local initrd=$1 root=$2/root command=$3
  shift 3
  mkdir -p "$root"/{bin,dev,proc,sys,tmp,opt/bin}
  cp "$cache/busybox" "$root/bin/busybox"
  cp board/init "$root/init"
  chmod 755 "$root/init"
  cp "$@" "$root/opt/bin/"
  [ -z "$command" ] || printf '%s\n' "$command" >"$root/opt/command"
  python3 board/make_initramfs.py "$initrd" "$root"
}

# wait_for_socket PATH: returns once a program listens on the unix socket PATH, or fails after
# five seconds.
wait_for_socket() {
  for _ in $(seq 100); do
    [ -S "$1" ] && return 0
    sleep 0.05
  done
  return 1
}

# serve_mcu HOST_BUILD SOCKET LOG [MCUSIM OPTIONS...]: mcusim serving the board's MCU line on a
# unix socket for qemu, its report to LOG; sets mcusim_pid, and returns once it listens.
serve_mcu() {
  local host_build=$1 socket=$2 log=$3
  shift 3
  "$host_build/mcusim" "$@" --serve "unix:$socket" >"$log" 2>&1 &
  mcusim_pid=$!
  wait_for_socket "$socket" && return 0
  cat "$log" >&2
  echo "board: mcusim did not listen" >&2
  return 1
}

# board_qemu INITRD: sets the array qemu_command to the emulated board's qemu command with its
# console on the first UART; the caller adds the ports (-serial) and runs it.
board_qemu() {
  qemu_command=(qemu-system-arm -M vexpress-a9 -smp 2 -m 256M
    -kernel "$cache/vmlinuz" -dtb "$cache/board.dtb" -initrd "$1"
    -append "console=ttyAMA0 rdinit=/init quiet loglevel=0 panic=-1"
    -display none -monitor none -no-reboot -net none)
}
