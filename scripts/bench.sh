#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine (Release) and prints their figures, then one table
# of ratios against the baselines measured in the same run (min/median/max over the rounds).
# Not a pass/fail test.
# Usage: scripts/bench.sh [i686|x86_64] [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-i686}
rounds=${2:-5}
"$root/scripts/bootstrap.sh"
# A tree of its own: Release, without the lock checks the test build makes.
b="$root/build-bench-$arch"
cmake -S "$root" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DQV_CHECK_LOCKS=OFF >/dev/null
cmake --build "$b" -j"$(nproc 2>/dev/null || echo 2)"
prefix="$b/bench-prefix"
[ -f "$prefix.arch" ] || cp "$b/wineprefix.arch" "$prefix.arch"
run() { "$root/scripts/wine-run.sh" "$prefix" "$@" </dev/null; }
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null || true' EXIT
run regsvr32 /s "$b/bin/QvSrvKitPS.dll"
run regsvr32 /s "$b/bin/QvRawBenchPS.dll"
out=$(mktemp)
for exe in store_bench dataio_update_bench browse_bench groups_bench; do
  [ -f "$b/bin/$exe.exe" ] || continue
  echo "== $exe"
  run "$b/bin/$exe.exe"
done
echo "== update_ratio_bench"
run "$b/bin/update_ratio_bench.exe" "$rounds" | tee -a "$out"
# Out of process, each against the raw server of bench/rawbench.idl, in alternation.
# The host ends its update cycles (QV_EndUpdateCycle); "timer" shows a host that does not.
for args in "r8 10000 10" "constant 10000 10" "r8 1000 10" "r8 100 10" "r8 100 10 timer" "bstr 1000 10" "bstr 100 10" "additems 100000"; do
  echo "== dataio_delivery_bench $args"
  set -- $args
  run "$b/bin/dataio_delivery_bench.exe" "$1" "$2" "${3:-10}" 3 "$rounds" "${4:-host}" | tee -a "$out"
  sleep 4 # the previous hosts leave 2 s after their last client; a new run must not reach them
done
if [ -f "$b/bin/ae_alarm_bench.exe" ]; then
  echo "== ae_alarm_bench (out of process, against the test host)"
  run "$b/bin/qvtesthost.exe" --regserver >/dev/null
  run "$b/bin/ae_alarm_bench.exe" "$rounds" | tee -a "$out"
  sleep 4
fi
echo
echo "Ratios against baselines of the same run ($rounds rounds):"
printf '%-64s %8s %8s %8s  %s\n' measure min median max target
grep '^ratio|' "$out" | while IFS='|' read -r _ m lo med hi target; do
  printf '%-64s %8s %8s %8s  %s\n' "$m" "$lo" "$med" "$hi" "$target"
done
rm -f "$out"
if [ -f "$b/bin/isolation_bench.exe" ]; then
  echo "== isolation_bench (out of process, against the test host)"
  run "$b/bin/qvtesthost.exe" --regserver >/dev/null
  run "$b/bin/isolation_bench.exe" "${QV_BENCH_AFTER_KILL:-60}"
  sleep 4
  echo "== reclaim_bench (killed clients holding every kind of object; QV_BENCH_RECLAIM_CLIENTS=200 as in the issue)"
  run "$b/bin/reclaim_bench.exe" "${QV_BENCH_RECLAIM_CLIENTS:-20}"
fi
