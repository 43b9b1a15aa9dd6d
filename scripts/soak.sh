#!/usr/bin/env bash
# Fault soak: two emulated USB units and two emulated PCIe cards, one sending process per mirror, random unplugs,
# replugs, stalls and SIGKILL-and-restart for the given time (default 60 s), then a check of every frame from the
# emulators' own records. Prints the counts and ends with "N passed, M failed"; exits non-zero on any failure.
# Usage: scripts/soak.sh [seconds]    (KRV_SOAK names the krv_soak program; default build/tests/krv_soak)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
case "$seconds" in
  ''|*[!0-9]*) echo "usage: scripts/soak.sh [seconds]" >&2; exit 2 ;;
esac
soak=${KRV_SOAK:-$here/build/tests/krv_soak}
if [ ! -x "$soak" ]; then
  echo "soak.sh: $soak not built (cmake --build build --target krv_soak)" >&2
  exit 2
fi
# The emulated bed keeps a couple of descriptors per replug (the old unit's pipe and its umockdev socket) until it
# ends: a long run needs more than the usual soft limit of 1024, so take what the hard limit allows.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
# The bed and the senders share two processors with everything else: they run at a lower priority.
exec nice -n 5 umockdev-wrapper "$soak" run "$seconds"
