#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer in a build directory of their own (build-fuzz) and runs each
# for a given time, one after another. Crashes and hangs are saved under build-fuzz/fuzz/artifacts/<target>/;
# once mended, copy each into fuzz/regressions/<target>/, where the ordinary test suite replays it.
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target ...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

seconds=${1:-60}
[ $# -gt 0 ] && shift
all=(profile map registry krvctl_roundtrip mat calibration_continuous calibration_segmented)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")
build=${KRV_FUZZ_BUILD:-build-fuzz}

if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DKRV_FUZZ=ON -DKRV_BUILD_TESTS=OFF -DKRV_BUILD_BENCHMARKS=OFF "${launcher[@]}"
fi
cmake --build "$build" -j"$(nproc)" --target krv_fuzz_all

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:new_delete_type_mismatch=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for t in "${targets[@]}"; do
  exe="$build/bin/fuzz_$t"
  [ -x "$exe" ] || { echo "fuzz.sh: no fuzz target $t (known: ${all[*]})" >&2; exit 2; }
  work="$build/fuzz/found/$t"
  artifacts="$build/fuzz/artifacts/$t"
  log="$build/fuzz/logs/$t.log"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  inputs=("fuzz/corpus/$t")
  [ -d "fuzz/regressions/$t" ] && inputs+=("fuzz/regressions/$t")
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  case "$t" in mat|calibration_*) options+=(-dict=fuzz/mat.dict) ;; esac
  echo "== fuzz_$t for ${seconds}s (log: $log)"
  if "$exe" "${options[@]}" "$work" "${inputs[@]}" >"$log" 2>&1; then
    grep -E '^#[0-9]+ +DONE' "$log" | tail -1 || true
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" || true
  else
    failed+=("$t")
    grep -E 'ERROR:|runtime error|broken promise|SUMMARY|Test unit written' "$log" | head -8 || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: faults found by: ${failed[*]} (inputs in $build/fuzz/artifacts/)" >&2
  exit 1
fi
echo "fuzz.sh: no faults found"
