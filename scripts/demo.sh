#!/usr/bin/env bash
# The main job: builds QvSrvKit, registers and starts the demo host under Wine, and watches a
# few of its simulated tags with qvopc for about ten seconds.
# Usage: scripts/demo.sh [i686|x86_64]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-i686}
"$root/scripts/bootstrap.sh"
b="$root/build-$arch"
cmake -S "$root" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" >/dev/null
cmake --build "$b" -j"$(nproc 2>/dev/null || echo 2)" --target QvSrvKit QvSrvKitPS demo-host qvopc
prefix="$b/demo-prefix"
[ -f "$prefix.arch" ] || cp "$b/wineprefix.arch" "$prefix.arch"
run() { "$root/scripts/wine-run.sh" "$prefix" "$@" </dev/null; }
winpath() { echo "Z:$1" | sed 's|/|\\|g'; }

mkdir -p "$b/logs"
stop="$b/logs/demo-host.stop"
rm -f "$stop"
cleanup() {
  touch "$stop"
  sleep 2
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

run regsvr32 /s "$b/bin/QvSrvKitPS.dll"
run "$b/bin/demo-host.exe" --regserver
run "$b/bin/demo-host.exe" --tags 1000 --rate 250 --stop-file "$(winpath "$stop")" >"$b/logs/demo-host.log" 2>&1 &
# Wait until the host serves, so that qvopc does not make COM launch a second one.
for _ in $(seq 1 120); do grep -q serving "$b/logs/demo-host.log" 2>/dev/null && break; sleep 0.5; done
cat "$b/logs/demo-host.log"
echo "== qvopc status"
run "$b/bin/qvopc.exe" status
echo "== qvopc browse Plant.Area1.Line001"
run "$b/bin/qvopc.exe" browse Plant.Area1.Line001
echo "== qvopc props Plant.Area1.Line001.Level"
run "$b/bin/qvopc.exe" props Plant.Area1.Line001.Level
echo "== qvopc watch (10 s)"
run "$b/bin/qvopc.exe" watch Plant.Area1.Line001.Sine Plant.Area1.Line001.Ramp Plant.Area1.Line001.Level \
  Plant.Area1.Line001.Status --rate 500 --seconds 10
