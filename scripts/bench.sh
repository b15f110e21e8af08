#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine and prints their figures (not a pass/fail test).
# Usage: scripts/bench.sh [i686|x86_64]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-i686}
"$root/scripts/bootstrap.sh"
b="$root/build-$arch"
cmake -S "$root" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$b" -j"$(nproc 2>/dev/null || echo 2)"
prefix="$b/bench-prefix"
[ -f "$prefix.arch" ] || cp "$b/wineprefix.arch" "$prefix.arch"
run() { "$root/scripts/wine-run.sh" "$prefix" "$@" </dev/null; }
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null || true' EXIT
run regsvr32 /s "$b/bin/QvSrvKitPS.dll"
for exe in store_bench dataio_update_bench browse_bench groups_bench; do
  [ -f "$b/bin/$exe.exe" ] || continue
  echo "== $exe"
  run "$b/bin/$exe.exe"
done
if [ -f "$b/bin/dataio_delivery_bench.exe" ]; then
  echo "== dataio_delivery_bench (out of process)"
  run "$b/bin/dataio_delivery_host.exe" --regserver >/dev/null
  run "$b/bin/dataio_delivery_bench.exe"
fi
if [ -f "$b/bin/isolation_bench.exe" ]; then
  echo "== isolation_bench (out of process, against the test host)"
  run "$b/bin/qvtesthost.exe" --regserver >/dev/null
  run "$b/bin/isolation_bench.exe" "${QV_BENCH_AFTER_KILL:-60}"
fi
