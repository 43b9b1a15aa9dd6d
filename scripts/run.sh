#!/usr/bin/env bash
# Installs what is missing, builds the kit, then runs the demo or every test.
# Usage: scripts/run.sh demo|test|shapedesk [--sanitize|--sanitize=thread]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

job=${1:-}
sanitize=OFF
build=build
if [ "${2:-}" = "--sanitize" ]; then
  sanitize=ON
  build=build-sanitize
elif [ "${2:-}" = "--sanitize=thread" ]; then
  sanitize=thread
  build=build-tsan
fi
case "$job" in
  demo|test|shapedesk) ;;
  *) echo "usage: scripts/run.sh demo|test|shapedesk [--sanitize|--sanitize=thread]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRV_SANITIZE="$sanitize"
if [ "$job" = shapedesk ]; then
  cmake --build "$build" -j"$(nproc)" --target ShapeDesk krvctl krv_testdata
  exec bash scripts/shapedesk-demo.sh "$build"
fi
cmake --build "$build" -j"$(nproc)"

if [ "$job" = demo ]; then
  exec "$build/bin/krvctl" demo
fi
# A skipped test is not a passed one: on a machine set up by install-deps.sh every test can run.
log="$build/ctest-last.log"
status=0
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" 2>&1 | tee "$log" || status=$?
if grep -q 'tests did not run' "$log"; then
  echo "run.sh: some tests were skipped (listed above); failing" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
