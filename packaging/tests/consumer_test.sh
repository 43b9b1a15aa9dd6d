#!/usr/bin/env bash
# Installs the kit from a build tree into a temporary prefix with DESTDIR, then builds and runs a C and a C++
# program against it twice: with find_package(MirrorKit) and with pkg-config. Both open a dummy mirror through
# a registry store and install directory of their own.
# Usage: consumer_test.sh <build dir> <work dir>
set -euo pipefail
build=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"

# Installed under /opt/mirrorkit, then used from where DESTDIR put it: the tree must not depend on its prefix.
DESTDIR="$work/root" cmake --install "$build" --prefix /opt/mirrorkit >"$work/install.log"
prefix="$work/root/opt/mirrorkit"
libdir=$(ls -d "$prefix"/lib/*/pkgconfig | head -n1 | xargs dirname)
for f in "$libdir"/libKRV4.so "$libdir"/libKRV4.so.4 "$prefix/include/mirrorkit/KRV.h" "$prefix/bin/krvctl"; do
    [ -e "$f" ] || { echo "missing after install: $f" >&2; exit 1; }
done
if find "$prefix" -name '*test*' -o -name '*bench*' -o -name 'libkrv_*' | grep .; then
    echo "tests, benchmarks or internal libraries were installed" >&2
    exit 1
fi

# A kit installation of its own: registry store, install directory and a dummy mirror's profile.
export KRV_REGISTRY_FILE="$work/registry.reg"
export LOCALAPPDATA="$work/log"
data="$work/data"
mkdir -p "$data/Profiles" "$data/Map" "$data/Calibration"
"$prefix/bin/krvctl" install-path --set "$data"
"$prefix/bin/krvctl" profile write "$data/Profiles/CONSUMER140.dm" type=2 size=140 maxv=100 vlim=100

run_both() {
    local how=$1 c=$2 cxx=$3
    "$c" CONSUMER140
    "$cxx" CONSUMER140
    echo "$how: C and C++ programs ran"
}

# 1. CMake package.
cmake -S "$here/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
    >"$work/cmake-configure.log"
cmake --build "$work/cmake-build" >"$work/cmake-build.log"
run_both "find_package(MirrorKit)" "$work/cmake-build/mirror_c" "$work/cmake-build/mirror_cxx"

# Every exported target is MirrorKit::<name> without "lib" or "KRV_" in front.
if grep -ho 'MirrorKit::[A-Za-z0-9_]*' "$libdir"/cmake/MirrorKit/MirrorKitTargets*.cmake | grep -E '::(lib|KRV_)'; then
    echo "exported target names with lib or KRV_ in front" >&2
    exit 1
fi
grep -q 'MirrorKit::KRVMatlabIF4' "$libdir/cmake/MirrorKit/MirrorKitTargets.cmake"

# 2. pkg-config, on the staged tree as on any other: the files name the real prefix, the sysroot adds DESTDIR.
export PKG_CONFIG_PATH="$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$work/root"
[ "$(pkg-config --modversion mirrorkit)" = "$(pkg-config --modversion mirrorkit-openloop)" ]
cflags=$(echo $(pkg-config --cflags mirrorkit))  # without the trailing blank
[ "$cflags" = "-I$work/root/opt/mirrorkit/include/mirrorkit" ] || { echo "pkg-config --cflags: $cflags" >&2; exit 1; }
grep -qx 'prefix=/opt/mirrorkit' "$libdir/pkgconfig/mirrorkit.pc"
rpath="-Wl,-rpath,$(pkg-config --variable=libdir mirrorkit)"
cc -o "$work/pc_mirror_c" "$here/consumer/mirror_c.c" $(pkg-config --cflags --libs mirrorkit) "$rpath"
c++ -std=c++17 -o "$work/pc_mirror_cxx" "$here/consumer/mirror_cxx.cpp" \
    $(pkg-config --cflags --libs mirrorkit-openloop mirrorkit-zernike) "$rpath"
run_both "pkg-config" "$work/pc_mirror_c" "$work/pc_mirror_cxx"

# 3. The examples shipped in the documentation, built and run as they are (defaults: mirror MYMIRROR001).
"$prefix/bin/krvctl" profile write "$data/Profiles/MYMIRROR001.dm" type=2 size=140 maxv=100 vlim=100
examples="$work/examples"
cp -r "$prefix/share/doc/mirrorkit-dev/examples" "$examples"
expected="MYMIRROR001, 140 actuators, first and last commands read back 0.0036 0.9964"
# The kit's log goes to the console too, so the programs' own line is looked for among the others.
ran() {
    local what=$1 line=$2
    shift 2
    "$@" >"$work/example.out" 2>&1 || { cat "$work/example.out" >&2; echo "examples, $what: failed" >&2; exit 1; }
    grep -qxF "$line" "$work/example.out" || { cat "$work/example.out" >&2; echo "examples, $what" >&2; exit 1; }
}
cmake -S "$examples" -B "$examples/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/examples-configure.log"
cmake --build "$examples/build" >"$work/examples-build.log"
ran "CMake build" "mymirror: $expected" "$examples/build/mymirror"
(cd "$examples" && sh build-with-pkg-config.sh)
ran "pkg-config build" "mymirror: $expected" env LD_LIBRARY_PATH="$libdir" "$examples/mymirror"
site=$(ls -d "$prefix"/lib/python3*/dist-packages)
ran "Python" "mirror.py: $expected" env -C "$examples" PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 mirror.py
echo "examples: C with CMake and with pkg-config, and Python ran"
