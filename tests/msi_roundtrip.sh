#!/usr/bin/env bash
# The redistributable under Wine's msiexec, in a prefix of its own: install, qvopc finds the
# test host through the installed browser and reaches it; an upgrade in place; uninstall leaves
# no file or key of ours; installed over another product's browser and proxy, it leaves both.
# Usage: msi_roundtrip.sh PREFIX BINDIR MSI WXS ARCH VERSION
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
prefix=$1 bin=$2 msi=$3 wxs=$4 arch=$5 version=$6
work=$(dirname "$prefix")/msi-test
fails=0
expect() { # expect "what" "pattern" text
  if grep -qE "$2" <<<"$3"; then echo "ok: $1"; else echo "FAIL: $1 (wanted /$2/)"; echo "$3" | sed 's/^/    /'; fails=$((fails + 1)); fi
}
# Output through a file: a server COM launches keeps a pipe open after the command ends.
out_file=$work/out.txt
w() { timeout 300 "$here/scripts/wine-run.sh" "$prefix" "$@" </dev/null >"$out_file" 2>&1; local rc=$?; cat "$out_file"; return $rc; }
qvopc() { # qvopc EXE ARGS: a client call, bounded (about 2 s normally, far more on a loaded machine)
  local exe=$1; shift
  timeout 60 "$here/scripts/wine-run.sh" "$prefix" "$exe" "$@" </dev/null >"$out_file" 2>&1
  local rc=$?; cat "$out_file"
  if [ $rc -eq 124 ]; then # for the log: which of our programs still run (in any prefix)
    echo "(timed out; still running:)"; ps -eo pid,etime,args | grep -E 'QvOpcEnum|qvopc|qvtesthost' | grep -vE 'grep|timeout'
  fi
  return $rc
}
winpath() { echo "Z:$1" | sed 's|/|\\|g'; }
msiexec() { # msiexec ACTION FILE: the time it took goes to the log
  local t0 t1
  t0=$(date +%s.%N)
  w msiexec "$1" "$(winpath "$2")" /qn >/dev/null; local rc=$?
  t1=$(date +%s.%N)
  echo "msiexec $1 $(basename "$2"): exit $rc, $(awk "BEGIN{printf \"%.1f\", $t1 - $t0}") s"
  return $rc
}
snapshot() { # every key and value under the classes and the uninstall list, one per line
  w reg export 'HKLM\Software\Classes' 'C:\classes.reg' /y "${view[@]}" >/dev/null
  w reg export 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 'C:\uninstall.reg' /y "${view[@]}" >/dev/null
  # Windows Installer's own (empty) bookkeeping keys stay once it has run; nothing under them does.
  cat "$prefix/drive_c/classes.reg" "$prefix/drive_c/uninstall.reg" | iconv -f UTF-16LE -t UTF-8 | tr -d '\r' |
    grep -vE '^$|^\[HKEY_LOCAL_MACHINE\\Software\\Classes\\Installer(\\(Features|Products|UpgradeCodes))?\]$' | sort
}

# A session left from an earlier run would serve the new prefix from the deleted one.
[ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null
rm -rf "$prefix" "$prefix.lock" "$work"
mkdir -p "$work"
export QV_TEST_LOGDIR=$work  # where the test host COM starts logs and looks for its stop file
view=()
if [ "$arch" = x64 ]; then echo win64 >"$prefix.arch"; view=(/reg:64); else echo win32 >"$prefix.arch"; fi
dir="$prefix/drive_c/Program Files/QvSrvKit Redistributable"
BROWSER='HKCR\CLSID\{13486D51-4821-11D2-A494-3CB306C10000}\LocalServer32'
IOPCSERVER='HKCR\Interface\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\ProxyStubClsid32'

# 1. Install, find the test host through the browser, reach it.
w wineboot >/dev/null
snapshot >"$work/before.txt"
msiexec /i "$msi" || { echo "FAIL: install"; fails=$((fails + 1)); }
[ -f "$dir/QvSrvKitPS.dll" ] && [ -f "$dir/QvOpcEnum.exe" ] && echo "ok: files installed" || { echo "FAIL: files not installed"; fails=$((fails + 1)); }
expect "browser registered from the package" 'Program Files.*QvOpcEnum\.exe' "$(w reg query "$BROWSER" "${view[@]}")"
w "$bin/qvtesthost.exe" --regserver >/dev/null
out=$(qvopc "$bin/qvopc.exe" servers)
expect "qvopc servers lists the test host through the browser" "through the server browser" "$out"
expect "qvopc servers lists the test host" "QvSrvKit\.TestHost +\{6A0B7E52-3C1D-4F8A-9B21-5E4D3C2B1A01\}.*\[DA1 DA2 DA3 AE\]" "$out"
progid=$(grep -oE 'QvSrvKit\.TestHost' <<<"$out" | head -1)
expect "qvopc reaches the listed server" "vendor: +QvSrvKit test host" "$(qvopc "$bin/qvopc.exe" --server "${progid:-none}" status)"
if [ "$arch" = x64 ]; then
  expect "32-bit qvopc reaches it through the installed 32-bit proxy/stub" "vendor: +QvSrvKit test host" \
    "$(qvopc "$bin/x86/qvopc.exe" --server QvSrvKit.TestHost status)"
fi

# 2. Upgrade in place: a higher version replaces it (one product listed, still registered).
next=$(awk -F. '{print $1"."$2"."$3+1}' <<<"$version")
(cd "$(dirname "$msi")" && wixl -a "$arch" -D Version="$next" -o "$work/upgrade.msi" "$wxs" 2>/dev/null &&
  cmake -DMSI="$work/upgrade.msi" -DARCH="$arch" -P "$here/installer/msi_actions.cmake") || { echo "FAIL: building the upgrade"; fails=$((fails + 1)); }
msiexec /i "$work/upgrade.msi" || { echo "FAIL: upgrade"; fails=$((fails + 1)); }
n=$(snapshot | grep -c '"DisplayName"="QvSrvKit Redistributable')
[ "$n" -eq 1 ] && echo "ok: one product after the upgrade" || { echo "FAIL: $n products after the upgrade"; fails=$((fails + 1)); }
expect "upgrade keeps the browser registered" 'QvOpcEnum\.exe' "$(w reg query "$BROWSER" "${view[@]}")"
expect "upgrade keeps the proxy/stub registered" '\{4EB6B35D' "$(w reg query "$IOPCSERVER" "${view[@]}")"

# 3. Uninstall: nothing of ours left (the test host's own keys go with its unregistration). The
# host COM started holds the proxy/stub loaded: every host started must have stopped first (it
# also stops on its own a few seconds after its last client).
touch "$work/qvtesthost.stop"
hosts_running() { # the log has CRLF line ends
  local log; log=$(tr -d '\r' <"$work/qvtesthost.log" 2>/dev/null)
  [ "$(grep -c ' start:' <<<"$log")" != "$(grep -c ' stopped$' <<<"$log")" ]
}
for _ in $(seq 1 60); do hosts_running || break; sleep 0.5; done
hosts_running && { echo "FAIL: the test host did not stop"; cat "$work/qvtesthost.log"; fails=$((fails + 1)); }
rm -f "$work/qvtesthost.stop"
w "$bin/qvtesthost.exe" --unregserver >/dev/null
msiexec /x "$work/upgrade.msi" || { echo "FAIL: uninstall"; fails=$((fails + 1)); }
[ -e "$dir" ] && { echo "FAIL: files left"; ls -R "$dir"; fails=$((fails + 1)); } || echo "ok: no file left"
snapshot >"$work/after.txt"
if diff "$work/before.txt" "$work/after.txt" >"$work/diff.txt"; then echo "ok: registry as before the install"
else echo "FAIL: registry differs after uninstall"; head -40 "$work/diff.txt"; fails=$((fails + 1)); fi

# 4. Another product's browser and proxy (both with live files) are left as they are.
w reg add "$BROWSER" /ve /d 'C:\windows\system32\notepad.exe' /f "${view[@]}" >/dev/null
w reg add 'HKCR\CLSID\{11111111-2222-3333-4444-555555555555}\InprocServer32' /ve /d 'C:\windows\system32\ole32.dll' /f "${view[@]}" >/dev/null
w reg add "$IOPCSERVER" /ve /d '{11111111-2222-3333-4444-555555555555}' /f "${view[@]}" >/dev/null
msiexec /i "$msi" || { echo "FAIL: install over another browser"; fails=$((fails + 1)); }
expect "another browser kept at install" 'notepad\.exe' "$(w reg query "$BROWSER" "${view[@]}")"
expect "another proxy kept at install" '\{11111111-' "$(w reg query "$IOPCSERVER" "${view[@]}")"
msiexec /x "$msi" || { echo "FAIL: uninstall over another browser"; fails=$((fails + 1)); }
expect "another browser kept at uninstall" 'notepad\.exe' "$(w reg query "$BROWSER" "${view[@]}")"
expect "another proxy kept at uninstall" '\{11111111-' "$(w reg query "$IOPCSERVER" "${view[@]}")"

WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
exit $((fails > 0))
