# SPDX-License-Identifier: MIT
# apt_get ARGS...: apt-get, non-interactive, run again while another install holds the package
# manager's locks (a machine whose other jobs install packages too), for up to
# HDDPOWER_APT_WAIT seconds (default 1800), looking again every HDDPOWER_APT_RETRY seconds
# (default 5). Any other failure is final at once, with apt-get's own output. Sourced by the
# scripts that install packages. HDDPOWER_APT_GET names a command that stands in for apt-get
# (for this file's own check, scripts/check-apt.sh).
apt_get() {
  local waited=0 out status
  local patience=${HDDPOWER_APT_WAIT:-1800} pause=${HDDPOWER_APT_RETRY:-5}
  while :; do
    status=0
    out=$(DEBIAN_FRONTEND=noninteractive ${HDDPOWER_APT_GET:-apt-get} "$@" 2>&1) || status=$?
    if [ "$status" -eq 0 ]; then
      return 0
    fi
    if ! grep -qiE 'could not get lock|unable to acquire the dpkg frontend lock|unable to lock' \
        <<<"$out" || [ "$(awk -v w="$waited" -v p="$patience" 'BEGIN { print (w >= p) }')" = 1 ]; then
      printf '%s\n' "$out" >&2
      return "$status"
    fi
    [ "$waited" != 0 ] || echo "apt-get: another install holds the package manager; waiting" >&2
    sleep "$pause"
    waited=$(awk -v w="$waited" -v p="$pause" 'BEGIN { print w + p }')
  done
}
