#!/usr/bin/env bash
# End to end: the demo host serving its simulated plant, driven with qvopc through COM.
# Usage: demo_e2e.sh PREFIX BINDIR LOGDIR
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
prefix=$1 bin=$2 logdir=$3
mkdir -p "$logdir"
# Output goes through a file, not a pipe: a server process that COM launches would hold a pipe
# open after the command ends. Every command has a time limit.
out_file=$(mktemp)
run() { timeout 120 "$here/scripts/wine-run.sh" "$prefix" "$@" </dev/null >"$out_file" 2>&1; cat "$out_file"; }
fails=0
expect() {
  if grep -qE "$2" <<<"$3"; then echo "ok: $1"; else echo "FAIL: $1 (wanted /$2/)"; echo "$3" | sed 's/^/    /'; fails=$((fails + 1)); fi
}
stop="$logdir/demo-e2e.stop"
rm -f "$stop"
run "$bin/demo-host.exe" --regserver >/dev/null
# The demo host sets no trace of its own here: it takes the one named in its AppID.
trace="$logdir/demo-e2e.trace"
rm -f "$trace"
view=; [ "$(cat "$prefix.arch" 2>/dev/null)" = win64 ] && view=/reg:64 # the 64-bit host's view
run reg add 'HKCR\AppID\{B7F3E0A2-5C4D-4E8F-A1B2-C3D4E5F60718}' /v TraceFile /t REG_SZ \
  /d "Z:$(echo "$trace" | sed 's|/|\\|g')" /f $view >/dev/null
# Started quietly by us, so no qvopc makes COM launch a host that inherits its output.
"$here/scripts/wine-run.sh" "$prefix" "$bin/demo-host.exe" --tags 120 --rate 100 \
  --stop-file "Z:$(echo "$stop" | sed 's|/|\\|g')" </dev/null >"$logdir/demo-e2e.log" 2>&1 &
host=$!
for _ in $(seq 1 120); do grep -q serving "$logdir/demo-e2e.log" 2>/dev/null && break; sleep 0.5; done
q() { run "$bin/qvopc.exe" "$@"; }
L=Plant.Area1.Line001
out=$(q browse $L); expect browse "^  Setpoint" "$out"
out=$(q read $L.Level); expect read "$L.Level = [0-9.]+ +\[good\]" "$out"
out=$(q write $L.Setpoint 42.5); expect "write setpoint" "<- 42.5: ok" "$out"
out=$(q read $L.Setpoint); expect "read it back" "$L.Setpoint = 42.5 " "$out"
out=$(q write $L.Setpoint 5000); expect "out-of-range setpoint refused" "OPC_E_RANGE" "$out"
out=$(q watch $L.Ramp --rate 100 --seconds 2); expect "watch sees changes" "$L.Ramp = [0-9]+.*" "$out"
n=$(grep -c "$L.Ramp = " <<<"$out")
[ "$n" -ge 3 ] && echo "ok: $n changes in 2 s" || { echo "FAIL: only $n changes in 2 s"; fails=$((fails + 1)); }
out=$(q events --refresh --seconds 1); expect "alarm refresh" "\(refresh complete\)" "$out"
touch "$stop"
for _ in $(seq 1 60); do kill -0 $host 2>/dev/null || break; sleep 0.5; done
if kill -0 $host 2>/dev/null; then echo "FAIL: demo host did not stop"; fails=$((fails + 1)); else echo "ok: demo host stopped"; fi
expect "trace settings from the registry" "CALL IOPCItemMgt::AddItems" "$(cat "$trace" 2>/dev/null)"
run "$bin/demo-host.exe" --unregserver >/dev/null
exit $((fails > 0))
