#!/usr/bin/env bash
# Installs the packages with dpkg as a lab would, uses the kit as the README says, then removes and purges it,
# on a private copy of the system: run inside a mount namespace of its own (unshare --mount), it lays a
# writable layer held in memory over /usr, /etc and /var, so the machine's own files never change.
# Usage: unshare --mount --propagation private bash installed_test.sh <work dir> <mirrorkit.deb>
#        <mirrorkit-dev.deb> <python3-mirrorkit.deb> <mirrorkit-emulators.deb>
set -euo pipefail
work=$1
runtime=$2
dev=$3
python=$4
emulators=$5

fail() { echo "FAILED: $*" >&2; exit 1; }

layers="$work/layers"
mkdir -p "$layers"
mount -t tmpfs tmpfs "$layers"
for d in usr etc var; do
    mkdir -p "$layers/$d/upper" "$layers/$d/work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$layers/$d/upper,workdir=$layers/$d/work" "/$d"
done

export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME="$work/home" LOCALAPPDATA="$work/home" PEXLINK_LOCK_NAME="krv-installed-$$" PYTHONDONTWRITEBYTECODE=1
unset KRV_REGISTRY_FILE KRV PEXLINK_DEVICE_DIR PYTHONPATH LD_LIBRARY_PATH PKG_CONFIG_PATH
trap 'rm -f "/dev/shm/$PEXLINK_LOCK_NAME"' EXIT
mkdir -p "$HOME"
site=/usr/lib/python3/dist-packages

dpkg -i "$runtime" "$dev" "$python" >"$work/dpkg-install.log" 2>&1 || { cat "$work/dpkg-install.log"; fail "dpkg -i"; }
echo "installed: $(dpkg-query -W -f '${Package} ' mirrorkit mirrorkit-dev python3-mirrorkit)"

# Byte-compiled on installation, as Debian's Python packages are.
ls "$site"/mirrorkit/__pycache__/__init__.cpython-3*.pyc >/dev/null 2>&1 || fail "mirrorkit was not byte-compiled"
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c 'import mirrorkit' || fail "import mirrorkit after installation"
echo "python3-mirrorkit: byte-compiled"

# The README's steps, and the examples of /usr/share/doc as they are.
krvctl profile write /var/lib/velmira/Profiles/MYMIRROR001.dm type=2 size=140 maxv=100 vlim=100 >/dev/null
krvctl doctor >"$work/doctor.log" || { cat "$work/doctor.log"; fail "krvctl doctor"; }
cp -r /usr/share/doc/mirrorkit-dev/examples "$work/examples"
cd "$work/examples"
expected="MYMIRROR001, 140 actuators, first and last commands read back 0.0036 0.9964"
# The kit's log goes to the console too, so the programs' own line is looked for among the others.
ran() {
    local what=$1 line=$2
    shift 2
    "$@" >"$work/example.out" 2>&1 || { cat "$work/example.out"; fail "examples: $what"; }
    grep -qxF "$line" "$work/example.out" || { cat "$work/example.out"; fail "examples: $what printed no '$line'"; }
}
cmake -S . -B build >/dev/null && cmake --build build >/dev/null || fail "examples: CMake build"
ran "mymirror built with CMake" "mymirror: $expected" ./build/mymirror
sh build-with-pkg-config.sh || fail "examples: pkg-config build"
ran "mymirror built with pkg-config" "mymirror: $expected" ./mymirror
ran "mirror.py" "mirror.py: $expected" /usr/bin/python3 mirror.py
[ "$(echo $(pkg-config --cflags mirrorkit))" = "-I/usr/include/mirrorkit" ] || fail "pkg-config --cflags: $(pkg-config --cflags mirrorkit)"
echo "examples: built and ran"

krvctl demo --dir "$work/demo" >"$work/demo.log" 2>&1 || { cat "$work/demo.log"; fail "krvctl demo"; }
grep -A3 '== USB mirror on emulated drive units ==' "$work/demo.log" | grep -q 'skipped: the USB step drives drive units emulated with umockdev' \
    || { cat "$work/demo.log"; fail "the installed demo does not say that the USB step is skipped"; }
echo "demo: USB step skipped with its reason"
grep -q 'install the package mirrorkit-emulators to run this step' "$work/demo.log" \
    || { cat "$work/demo.log"; fail "the demo without emulated cards does not say what its PCIe step needs"; }

# Emulated cards come with their own package; the installed libpexlink then serves the demo's card.
dpkg -i "$emulators" >"$work/dpkg-emulators.log" 2>&1 || { cat "$work/dpkg-emulators.log"; fail "dpkg -i emulators"; }
krvctl demo --dir "$work/demo-pcie" >"$work/demo-pcie.log" 2>&1 || { cat "$work/demo-pcie.log"; fail "krvctl demo"; }
grep -q 'frame on the card: 70 of 70 words as expected' "$work/demo-pcie.log" \
    || { cat "$work/demo-pcie.log"; fail "the demo's PCIe mirror with mirrorkit-emulators"; }
pexcard regs "$work/demo-pcie/pcie-cards/PEXIO1" >/dev/null || fail "pexcard regs"
echo "demo: PCIe step on an emulated card with mirrorkit-emulators"

# Removal leaves nothing of the Python package behind: importing it fails as for any module that is not there.
dpkg -r python3-mirrorkit >"$work/dpkg-remove.log" 2>&1 || { cat "$work/dpkg-remove.log"; fail "dpkg -r"; }
[ ! -e "$site/mirrorkit" ] || fail "left behind: $(find "$site/mirrorkit")"
if err=$(/usr/bin/python3 -c 'import mirrorkit' 2>&1); then fail "mirrorkit still imports after removal"; fi
echo "$err" | grep -q "ModuleNotFoundError: No module named 'mirrorkit'" || fail "after removal: $err"
echo "python3-mirrorkit: removed cleanly"

# Purge keeps the data folder with the users' files.
dpkg --purge mirrorkit-emulators mirrorkit-dev mirrorkit >"$work/dpkg-purge.log" 2>&1 || { cat "$work/dpkg-purge.log"; fail "dpkg --purge"; }
[ -f /var/lib/velmira/Profiles/MYMIRROR001.dm ] || fail "purge removed the users' profiles"
[ ! -e /etc/velmira/registry.reg ] || fail "purge kept the registry store"
echo "purge: /var/lib/velmira kept"
