#!/usr/bin/env bash
# Starts ShapeDesk on the demo install tree without touching the system: the tree, the registry store, the
# log and the program's settings all live in <build>/shapedesk-demo. Mirrors added to the demo's own:
#   DEMODM00952  dummy, 952 actuators, with a calibration table (opened first)
#   DEMOSG00111  dummy, segmented, 111 actuators (37 segments), with a calibration table
# Usage: scripts/shapedesk-demo.sh <build dir> [--no-start]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: scripts/shapedesk-demo.sh <build dir>}" && pwd)
tree="$build/shapedesk-demo"
tables="$build/testdata/calibration"

# The demo's PCIe mirror sits on an emulated card, served by libpexemu beside libpexlink.
[ -e "$build/lib/libpexemu.so.1" ] ||
  echo "no $build/lib/libpexemu.so.1 (target pexemu): the demo's PCIe mirror will not open" >&2
"$build/bin/krvctl" demo --dir "$tree" > "$tree.log" 2>&1 || {
  echo "krvctl demo reported unexpected results; see $tree.log" >&2
}

identity_map() { seq 0 $(($1 - 1)) > "$tree/Map/$2"; }
identity_map 952 demo952.map
identity_map 111 demo111.map
cp "$tables/cdm_952_z.mat" "$tree/Calibration/demo952.mat"
cp "$tables/hex_111_z.mat" "$tree/Calibration/demo111.mat"
"$build/bin/krvctl" profile write "$tree/Profiles/DEMODM00952.dm" type=2 size=952 maxv=100 vlim=100 \
  map=demo952.map calibration=demo952.mat > /dev/null
"$build/bin/krvctl" profile write "$tree/Profiles/DEMOSG00111.dm" type=2 size=111 maxv=100 vlim=100 \
  map=demo111.map calibration=demo111.mat > /dev/null

# Two shapes to load from the toolbar: a tilt as an actuator list, a defocus phase map in nanometres.
/usr/bin/python3 - "$tree/Shapes" <<'PY'
import math, sys
out = sys.argv[1]
with open(out + "/tilt952.txt", "w") as f:
    for i in range(952):
        f.write("%.4f\n" % (0.2 + 0.6 * (i % 34) / 33.0))
n = 64
with open(out + "/defocus.csv", "w") as f:
    for y in range(n):
        row = []
        for x in range(n):
            r2 = ((x - 31.5) ** 2 + (y - 31.5) ** 2) / 31.5 ** 2
            row.append("%.3f" % (200.0 * (2 * r2 - 1)))
        f.write(",".join(row) + "\n")
PY

mkdir -p "$tree/config/Velmira"
printf '[General]\nSerialNumber=DEMODM00952\nenableGrid=false\n' > "$tree/config/Velmira/ShapeDesk.conf"

export KRV_REGISTRY_FILE="$tree/registry.reg"
export LOCALAPPDATA="$tree"
export XDG_CONFIG_HOME="$tree/config"
export PEXLINK_DEVICE_DIR="$tree/pcie-cards"
export PEXLINK_LOCK_NAME=shapedesk-demo
echo "ShapeDesk demo tree: $tree (mirrors DEMODM00952, DEMOSG00111; File > Open DM for the others)"
[ "${2:-}" = "--no-start" ] && exit 0
exec "$build/bin/ShapeDesk"
