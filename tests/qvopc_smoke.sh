#!/usr/bin/env bash
# qvopc against the test host through COM: each command's output carries what it must.
# Usage: qvopc_smoke.sh PREFIX BINDIR
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
prefix=$1 bin=$2
fails=0
logdir=${QV_TEST_LOGDIR:?}
mkdir -p "$logdir"
# Start the host ourselves, quietly: a host that COM launches for qvopc would inherit the
# captured output and keep each command substitution open until it exits.
rm -f "$logdir/qvtesthost.stop"
# A fresh Wine session: a host left by an earlier attempt that no longer answers would take
# this run's calls (and a killed one stays registered with Wine's RPC service).
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
lines=$(wc -l <"$logdir/qvtesthost.log" 2>/dev/null || echo 0)
"$here/scripts/wine-run.sh" "$prefix" "$bin/qvtesthost.exe" </dev/null >/dev/null 2>&1 &
for _ in $(seq 1 120); do tail -n +"$((lines + 1))" "$logdir/qvtesthost.log" 2>/dev/null | grep -q serving && break; sleep 0.5; done
trap 'touch "$logdir/qvtesthost.stop"' EXIT
# Output goes through a file, not a pipe: a server process that COM launches would hold a pipe
# open after qvopc ends. Every command has a time limit.
out_file=$(mktemp)
q() { timeout 120 "$here/scripts/wine-run.sh" "$prefix" "$bin/qvopc.exe" --server QvSrvKit.TestHost "$@" </dev/null >"$out_file" 2>&1; cat "$out_file"; }
expect() { # expect "what" "pattern" output
  if grep -qE -e "$2" <<<"$3"; then echo "ok: $1"; else echo "FAIL: $1 (wanted /$2/)"; echo "$3" | sed 's/^/    /'; fails=$((fails + 1)); fi
}
expect_rc() { # expect_rc "what" wanted-code qvopc-args...: the exit code qvopc gives
  local what=$1 want=$2; shift 2
  timeout 120 "$here/scripts/wine-run.sh" "$prefix" "$bin/qvopc.exe" --server QvSrvKit.TestHost "$@" </dev/null >"$out_file" 2>&1
  local rc=$?
  if [ "$rc" = "$want" ]; then echo "ok: $what (exit $rc)"; else echo "FAIL: $what: exit $rc, wanted $want"; cat "$out_file" | sed 's/^/    /'; fails=$((fails + 1)); fi
}
out=$(q status); expect status "vendor: +QvSrvKit test host" "$out"
out=$(q browse Plant.Line); expect browse "^  Flow" "$out"
out=$(q browse --flat --filter '*Count'); expect "flat browse with filter" "^Plant\.Line\.Count" "$out"
out=$(q browse Plant.Line --da2); expect "browse (DA 2.0)" "^  Flow" "$out"
out=$(q read Plant.Line.Flow --max-age 0); expect "read max-age 0 (device)" "local override" "$out"
out=$(q read Plant.Line.Flow --max-age 0xFFFFFFFF); expect "read max-age cache" "Flow = 1.5 +\[good\]" "$out"
out=$(q write Plant.Line.Count 40 --quality 0x40); expect "write with quality, no host callback" "OPC_E_NOTSUPPORTED" "$out"
out=$(q watch Plant.Line.Level --rate 100 --seconds 2 --keepalive 300); expect "watch keep-alive" "Z  keep-alive" "$out"
out=$(q props Plant.Line.Flow); expect props "100 +EU Units +litres per minute" "$out"
expect "props: the type by name" "1 +Item Canonical Data Type +VT_R8 \(double\)" "$out"
expect "props: rights by name" "5 +Item Access Rights +read/write[[:space:]]*$" "$out"
expect "props: time stamp with milliseconds" "4 +Item Timestamp +[0-9-]{10}T[0-9:]{8}\.[0-9]{3}Z" "$out"
expect "props: the scan rate is the update period" "6 +Server Scan Rate +100[[:space:]]*$" "$out"
out=$(q write Plant.Line.Count 41); expect write "Plant.Line.Count <- 41: ok" "$out"
out=$(q read Plant.Line.Count); expect read "Plant.Line.Count = 41 +\[good\]" "$out"
out=$(q read Plant.Line.Count --device); expect "device read" "local override" "$out"
out=$(q write Plant.Refuse 1); expect "refused write" "0x80070005" "$out"
out=$(q read No.Such.Item); expect "unknown item" "0xC0040007 OPC_E_UNKNOWNITEMID" "$out"
out=$(q watch Sim.Ramp --rate 100 --seconds 2); expect watch "Sim.Ramp = [0-9]+ +\[good\]" "$out"
out=$(q watch Sim.Ramp --rate 100 --seconds 1 --deadband 50); expect "watch --deadband" "every 100 ms, deadband 50% for 1 s" "$out"
# The DA 1.0 stream holds 16-byte values on every architecture: the last item and strings too.
out=$(q watch Plant.Line.Count Plant.Line.Status --da1 --rate 100 --seconds 2)
expect "DA 1.0 watch, last item" "Plant.Line.Status = ok +\[good\]" "$out"
expect "DA 1.0 watch, first item" "Plant.Line.Count = 41 +\[good\]" "$out"
# Alarms: a level alarm that needs acknowledgement, seen through a refresh, then acknowledged.
for c in "create Q.Alarm r8 10 rw" "limits Q.Alarm -1000 -999 50 1000" "ackreq Q.Alarm on" "update Q.Alarm r8 60"; do
  q write Ctl.Command "$c" >/dev/null
done
out=$(q events --refresh --seconds 1)
expect "events --refresh" "^\(refresh\) .*Q\.Alarm  Level Alarm / Hi  severity 300  High Limit Exceeded  \[active, unacknowledged\]" "$out"
out=$(q events --refresh --seconds 1 --source 'Q.*' --severity 200-300)
expect "events filtered in" "Q\.Alarm  Level Alarm / Hi" "$out"
out=$(q events --refresh --seconds 1 --severity 400-1000)
if grep -q "Q\.Alarm" <<<"$out"; then echo "FAIL: a severity filter let Q.Alarm through"; fails=$((fails + 1)); else echo "ok: severity filter"; fi
out=$(q areas); expect "areas" "^area +Q\b" "$out"
out=$(q areas Q); expect "sources of an area" "^source +Alarm\b" "$out"
out=$(q ack Q.Nothing "Level Alarm"); expect "ack of an unknown source" "knows no source Q.Nothing" "$out"
out=$(q ack Q.Alarm "Bogus"); expect "ack of an unknown condition" "Q.Alarm has no condition \"Bogus\" \(it has \"Level Alarm\"" "$out"
out=$(q ack Q.Alarm "Level Alarm" --comment checked --user tester); expect ack "Q.Alarm / Level Alarm: acknowledged" "$out"
expect "host heard the acknowledgement" "Level Alarm by tester: checked" "$(tail -n +"$((lines + 1))" "$logdir/qvtesthost.log")"
out=$(q ack Q.Alarm "Level Alarm"); expect "ack again" "OPC_S_ALREADYACKED|0x00040200" "$out"
q write Ctl.Command "remove Q.Alarm" >/dev/null
trace_file="$logdir/qvopc.trace"; rm -f "$trace_file"
q --trace "$trace_file" status >/dev/null
q --trace "$trace_file" read Plant.Line.Count No.Such.Item >/dev/null
trace=$(cat "$trace_file" 2>/dev/null)
expect "client trace" "Z CALL IOPCServer::GetStatus -> 0x00000000 S_OK" "$trace"
expect "client trace names S_FALSE" "CALL IOPCItemMgt::AddItems -> 0x00000001 S_FALSE" "$trace"
# Arrays: written typed by the item's canonical type (r8 elements), read back element by element.
out=$(q write Ctl.Command "create Plant.Recipe r8[] 1,2,3 rw"); expect "array tag created" "<- create" "$out"
out=$(q write Plant.Recipe 4,5.5,-6); expect "array write" "Plant.Recipe <- 4,5.5,-6: ok" "$out"
out=$(q read Plant.Recipe); expect "array read back" "Z  Plant.Recipe = \[4, 5.5, -6\] +\[good\]" "$out"
out=$(q watch Plant.Recipe --da1 --seconds 1); expect "array in the DA 1.0 stream" "Plant.Recipe = \[4, 5.5, -6\] +\[good\]" "$out"
out=$(q write Plant.Recipe 1,x,3); expect "array element that is no number" "cannot make \"x\"" "$out"
# Quality by name, through WriteVQT once the host takes it; a name qvopc does not know is refused.
q write Ctl.Command "vqt on" >/dev/null
out=$(q write Tank1 3.5 --quality uncertain-sub-normal --time 2024-05-02T10:14:07.5Z); expect "quality name" "Tank1 <- 3.5: ok" "$out"
out=$(q read Tank1); expect "quality name read back" "2024-05-02T10:14:07.500Z  Tank1 = 3.5 +\[uncertain \(sub normal\)\]" "$out"
q write Tank1 3.5 --quality 010 >/dev/null
out=$(q read Tank1); expect "quality numbers are decimal (010 is 10)" "Tank1 = 3.5 +\[bad \(not connected\), high limited\]" "$out"
out=$(q write Tank1 1 --quality goodish); expect "unknown quality name" "--quality takes a number or a quality name" "$out"
out=$(q watch Tank1 --da1 --keepalive 300); expect "option that does not apply" "--da1 and --keepalive do not go together" "$out"
out=$(q read Tank1 --rate 100); expect "option of another command" "--rate does not apply to read" "$out"
# Exit codes: 0 all succeeded, 1 some items failed, 3 a wrong command line (2: no server, below).
expect_rc "read of a known and an unknown item" 1 read Plant.Line.Count No.Such.Item
expect_rc "read that succeeds" 0 read Plant.Line.Count
expect_rc "refused write" 1 write Plant.Refuse 1
expect_rc "option of another command" 3 read Tank1 --rate 100
# A write the host clamps says so and tells what the server kept.
q write Ctl.Command "create Plant.Limit r8 0 rw" >/dev/null
out=$(q write Plant.Limit 500); expect "clamp reported" "Plant.Limit <- 500: clamped \(OPC_S_CLAMP\); the server keeps 100" "$out"
# Asynchronous read and write through IOPCAsyncIO2; a cancel is either taken or too late.
out=$(q read Plant.Line.Count Plant.Limit --async); expect "read --async" "Plant.Limit = 100 +\[good" "$out"
out=$(q write Plant.Limit 50 --async); expect "write --async" "Plant.Limit <- 50: ok; the server keeps 50" "$out"
out=$(q write Plant.Limit 60 --async --cancel); expect "write --async --cancel" "^cancel: (accepted|too late)" "$out"
expect "the host's audit names qvopc" "audit: item Plant.Limit value 500 stored 100 result 0x0004000E client [0-9]+ name \"qvopc [0-9]+\"" \
  "$(tail -n +"$((lines + 1))" "$logdir/qvtesthost.log")"
timeout 120 "$here/scripts/wine-run.sh" "$prefix" "$bin/qvopc.exe" --server No.Such.Server --help </dev/null >"$out_file" 2>&1
expect "help without a server" "^usage: qvopc" "$(cat "$out_file")"
# A 64-bit build: the 32-bit qvopc reaches the 64-bit host through the 32-bit proxy/stub, and
# without that proxy/stub it says so instead of calling the server unregistered.
if [ -f "$bin/x86/qvopc.exe" ]; then
  q32() { timeout 120 "$here/scripts/wine-run.sh" "$prefix" "$bin/x86/qvopc.exe" --server QvSrvKit.TestHost "$@" </dev/null >"$out_file" 2>&1; cat "$out_file"; }
  out=$(q32 read Plant.Line.Count); expect "32-bit client, 64-bit host" "Plant.Line.Count = 41 +\[good\]" "$out"
  out=$(q32 watch Plant.Line.Count Plant.Line.Status --da1 --rate 100 --seconds 2)
  expect "32-bit client, DA 1.0 watch" "Plant.Line.Status = ok +\[good\]" "$out"
  "$here/scripts/wine-run.sh" "$prefix" 'C:\windows\syswow64\regsvr32.exe' /s /u "$bin/x86/QvSrvKitPS.dll" </dev/null >/dev/null 2>&1
  out=$(q32 status); expect "32-bit client, no 32-bit proxy/stub" "register the 32-bit proxy/stub" "$out"
  "$here/scripts/wine-run.sh" "$prefix" 'C:\windows\syswow64\regsvr32.exe' /s "$bin/x86/QvSrvKitPS.dll" </dev/null >/dev/null 2>&1
fi
# The server stops while watch runs: watch says so and ends with 2.
watch_file=$(mktemp)
timeout 120 "$here/scripts/wine-run.sh" "$prefix" "$bin/qvopc.exe" --server QvSrvKit.TestHost watch Sim.Ramp --rate 100 --seconds 60 \
  </dev/null >"$watch_file" 2>&1 &
watch_pid=$!
for _ in $(seq 1 120); do grep -q "^watching" "$watch_file" && break; sleep 0.5; done
touch "$logdir/qvtesthost.stop"
wait "$watch_pid"; rc=$?
expect "watch hears the shutdown" "the server is shutting down" "$(cat "$watch_file")"
if [ "$rc" = 2 ]; then echo "ok: watch ends with 2 at the shutdown"; else echo "FAIL: watch ended with $rc at the shutdown"; fails=$((fails + 1)); fi
rm -f "$watch_file"
timeout 120 "$here/scripts/wine-run.sh" "$prefix" "$bin/qvopc.exe" --server No.Such.Server status </dev/null >"$out_file" 2>&1
rc=$?
out=$(cat "$out_file")
expect "unregistered server" "not registered" "$out"
if [ "$rc" = 2 ]; then echo "ok: no server, exit 2"; else echo "FAIL: no server gave exit $rc"; fails=$((fails + 1)); fi
exit $((fails > 0))
