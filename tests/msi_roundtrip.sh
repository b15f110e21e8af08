#!/usr/bin/env bash
# The redistributable under Wine's msiexec, in a prefix of its own: install, qvopc finds the
# test host through the installed browser and reaches it; an upgrade in place; a failed upgrade
# leaves the old version working; uninstall leaves no file or key of ours; installed over
# another product's browser and proxy (in our registry view or the other one, with its AppID
# service), it leaves them; the x64 and x86 packages in one prefix removed in either order; the
# C example host's own package (qvsrvkit_add_msi) installed, listed, read and removed.
# Usage: msi_roundtrip.sh PREFIX BINDIR MSI WXS ARCH VERSION X86MSI|- HOSTMSI
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
prefix=$1 bin=$2 msi=$3 wxs=$4 arch=$5 version=$6 msi86=${7:--} hostmsi=${8:-}
regs=$(dirname "$wxs")/redist-regs.txt
t_start=$(date +%s)
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
snapshot() { # every key and value under the classes and the uninstall list (every view), one per line
  local v
  for v in "${views[@]}"; do
    w reg export 'HKLM\Software\Classes' 'C:\classes.reg' /y $v >/dev/null
    w reg export 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 'C:\uninstall.reg' /y $v >/dev/null
    # Windows Installer's own (empty) bookkeeping keys stay once it has run; nothing under them does.
    # One line per key and per value (a value prefixed with its key, continued lines joined).
    cat "$prefix/drive_c/classes.reg" "$prefix/drive_c/uninstall.reg" | iconv -f UTF-16LE -t UTF-8 | tr -d '\r' |
      awk '/^\[/ { key = $0; print; next } /^$|^Windows Registry/ { next }
           { l = $0; while (l ~ /\\$/ && (getline n) > 0) { sub(/\\$/, "", l); sub(/^ +/, "", n); l = l n }; print key " " l }' |
      grep -vE '^\[HKEY_LOCAL_MACHINE\\Software\\Classes\\Installer(\\(Features|Products|UpgradeCodes))?\]$'
  done | sort
}
fail() { echo "FAIL: $1"; fails=$((fails + 1)); }
same_as_before() { # same_as_before "what": the registry as before the first install
  snapshot >"$work/after.txt"
  if diff "$work/before.txt" "$work/after.txt" >"$work/diff.txt"; then echo "ok: $1"
  else fail "$1: registry differs"; head -40 "$work/diff.txt"; fi
}
build_msi() { # build_msi OUT VERSION [BROKEN]: the redistributable at another version (BROKEN: its
  # proxy/stub registration fails)
  (cd "$(dirname "$msi")" && wixl -a "$arch" -D Version="$2" -o "$1" "$wxs" 2>/dev/null &&
    cmake -DMSI="$1" -DREGS="$regs" -DFILE_VERSION="$version.0" -P "$here/cmake/QvSrvKitMsiActions.cmake") ||
    fail "building $(basename "$1")"
  local a q
  [ -z "${3:-}" ] && return
  for a in QvRegisterProxyStub QvRegisterProxyStub32; do
    q="UPDATE \`CustomAction\` SET \`Target\` = '\"[SystemFolder]regsvr32.exe\" /s C:\\none.dll' WHERE \`Action\` = '$a'"
    msibuild "$1" -q "$q" || fail "breaking $(basename "$1")"
  done
}
products() { snapshot | grep -c '"DisplayName"="QvSrvKit Redistributable'; }

# A session left from an earlier run would serve the new prefix from the deleted one.
[ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null
rm -rf "$prefix" "$prefix.lock" "$work"
mkdir -p "$work"
export QV_TEST_LOGDIR=$work  # where the test host COM starts logs and looks for its stop file
view=() views=('')
if [ "$arch" = x64 ]; then echo win64 >"$prefix.arch"; view=(/reg:64); views=(/reg:64 /reg:32); else echo win32 >"$prefix.arch"; fi
dir="$prefix/drive_c/Program Files/QvSrvKit Redistributable"
dir32="$prefix/drive_c/Program Files (x86)/QvSrvKit Redistributable"
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

# 2. Upgrade in place: a higher version replaces it (one product listed, still registered); a
# build of the same version replaces it too. A next upgrade whose registration fails rolls back
# and leaves this one installed and working.
next=$(awk -F. '{print $1"."$2"."$3+1}' <<<"$version")
build_msi "$work/upgrade.msi" "$next"
msiexec /i "$work/upgrade.msi" || fail "upgrade"
build_msi "$work/rebuild.msi" "$next"
msiexec /i "$work/rebuild.msi" || fail "reinstall of the same version"
n=$(products); [ "$n" -eq 1 ] && echo "ok: one product after the upgrade and a rebuild" || fail "$n products after the upgrade"
expect "upgrade keeps the browser registered" 'QvOpcEnum\.exe' "$(w reg query "$BROWSER" "${view[@]}")"
expect "upgrade keeps the proxy/stub registered" '\{4EB6B35D' "$(w reg query "$IOPCSERVER" "${view[@]}")"
build_msi "$work/broken.msi" "$(awk -F. '{print $1"."$2"."$3+2}' <<<"$version")" broken
msiexec /i "$work/broken.msi" && fail "an upgrade whose registration fails succeeded"
out=$(snapshot)
expect "after the failed upgrade the previous version is installed" "\"DisplayVersion\"=\"$next\"" "$out"
n=$(products); [ "$n" -eq 1 ] && echo "ok: one product after the failed upgrade" || fail "$n products after the failed upgrade"
expect "after the failed upgrade the browser is registered" 'QvOpcEnum\.exe' "$(w reg query "$BROWSER" "${view[@]}")"
expect "after the failed upgrade the proxy/stub is registered" '\{4EB6B35D' "$(w reg query "$IOPCSERVER" "${view[@]}")"
# Wine's rollback deletes the files the failed version shared with the installed one, where
# Windows restores them (and Wine's repair cannot run): put them back as Windows would.
stripped=$(dirname "$wxs")/stripped
restore=("$stripped/QvSrvKitPS.dll:$dir/QvSrvKitPS.dll" "$stripped/QvOpcEnum.exe:$dir/QvOpcEnum.exe")
[ "$arch" = x64 ] && restore+=("$stripped/x86/QvSrvKitPS.dll:$dir32/QvSrvKitPS.dll")
for pair in "${restore[@]}"; do # (a file in use stays)
  [ -f "${pair#*:}" ] && continue
  echo "(Wine: the rollback took $(basename "${pair#*:}"); restoring it)"
  mkdir -p "$(dirname "${pair#*:}")" && cp "${pair%%:*}" "${pair#*:}"
done
expect "after the failed upgrade qvopc reaches the server" "vendor: +QvSrvKit test host" \
  "$(qvopc "$bin/qvopc.exe" --server QvSrvKit.TestHost status)"

# 3. Uninstall: nothing of ours left (the test host's own keys go with its unregistration). The
# host COM started holds the proxy/stub loaded: every host started must have stopped first (it
# also stops on its own a few seconds after its last client).
hosts_running() { # the log has CRLF line ends
  local log; log=$(tr -d '\r' <"$work/qvtesthost.log" 2>/dev/null)
  [ "$(grep -c ' start:' <<<"$log")" != "$(grep -c ' stopped$' <<<"$log")" ]
}
stop_test_host() {
  touch "$work/qvtesthost.stop"
  for _ in $(seq 1 60); do hosts_running || break; sleep 0.5; done
  hosts_running && { fail "the test host did not stop"; cat "$work/qvtesthost.log"; }
  rm -f "$work/qvtesthost.stop"
  w "$bin/qvtesthost.exe" --unregserver >/dev/null
}
stop_test_host
msiexec /x "$work/rebuild.msi" || fail "uninstall"
[ -e "$dir" ] || [ -e "$dir32" ] && { fail "files left"; ls -R "$dir" "$dir32"; } || echo "ok: no file left"
same_as_before "registry as before the install"

# 4. The x64 and x86 packages in one prefix, removed in either order: the shared 32-bit
# proxy/stub stays registered while either package is there, and goes with the last.
if [ "$arch" = x64 ] && [ "$msi86" != - ]; then
  IOPCSERVER32=(reg query "$IOPCSERVER" /reg:32)
  msiexec /i "$msi" || fail "install x64"
  msiexec /i "$msi86" || fail "install x86 beside x64"
  w "$bin/qvtesthost.exe" --regserver >/dev/null
  msiexec /x "$msi86" || fail "uninstall x86 first"
  expect "x86 removed first: the 32-bit proxy/stub stays for the x64 package" '\{4EB6B35D' "$(w "${IOPCSERVER32[@]}")"
  expect "x86 removed first: 32-bit qvopc still reaches the server" "vendor: +QvSrvKit test host" \
    "$(qvopc "$bin/x86/qvopc.exe" --server QvSrvKit.TestHost status)"
  stop_test_host
  msiexec /x "$msi" || fail "uninstall x64 last"
  same_as_before "x86 then x64 removed: registry as before"
  msiexec /i "$msi86" || fail "install x86"
  msiexec /i "$msi" || fail "install x64 beside x86"
  msiexec /x "$msi" || fail "uninstall x64 first"
  expect "x64 removed first: the 32-bit proxy/stub stays for the x86 package" '\{4EB6B35D' "$(w "${IOPCSERVER32[@]}")"
  expect "x64 removed first: the x86 browser stays registered" 'QvOpcEnum\.exe' "$(w reg query "$BROWSER" /reg:32)"
  expect "x64 removed first: the browser's AppID stays" 'AuthenticationLevel' "$(w reg query 'HKCR\AppID\{13486D44-4821-11D2-A494-3CB306C10000}')"
  # The x86 browser lists the servers of the 64-bit view too.
  w "$bin/qvtesthost.exe" --regserver >/dev/null
  expect "the x86 browser lists a 64-bit server" "QvSrvKit\.TestHost +\{6A0B7E52-3C1D-4F8A-9B21-5E4D3C2B1A01\}" \
    "$(qvopc "$bin/qvopc.exe" servers)"
  w "$bin/qvtesthost.exe" --unregserver >/dev/null
  msiexec /x "$msi86" || fail "uninstall x86 last"
  same_as_before "x64 then x86 removed: registry as before"

  # Another product's browser in the 32-bit view, with its AppID run as a service: our install
  # registers ours in the 64-bit view and neither install nor removal touches its keys.
  APPID='HKCR\AppID\{13486D44-4821-11D2-A494-3CB306C10000}'
  w reg add "$BROWSER" /ve /d 'C:\windows\syswow64\notepad.exe' /f /reg:32 >/dev/null
  w reg add "$APPID" /v LocalService /d OtherEnum /f >/dev/null
  w sc create OtherEnum binpath= 'C:\windows\syswow64\notepad.exe' >/dev/null
  other_kept() {
    expect "another browser in the other view kept at $1" 'syswow64\\notepad\.exe' "$(w reg query "$BROWSER" /reg:32)"
    expect "its AppID service kept at $1" 'LocalService +REG_SZ +OtherEnum' "$(w reg query "$APPID")"
    expect "its service kept at $1" 'ImagePath.*notepad' "$(w reg query 'HKLM\System\CurrentControlSet\Services\OtherEnum')"
  }
  msiexec /i "$msi" || fail "install beside another browser"
  expect "ours registered in the 64-bit view" 'Program Files.*QvOpcEnum\.exe' "$(w reg query "$BROWSER" /reg:64)"
  other_kept install
  msiexec /x "$msi" || fail "uninstall beside another browser"
  other_kept removal
  w reg query "$BROWSER" /reg:64 >/dev/null && fail "our browser left in the 64-bit view"
  w sc delete OtherEnum >/dev/null
  w reg delete 'HKCR\CLSID\{13486D51-4821-11D2-A494-3CB306C10000}' /f /reg:32 >/dev/null
  w reg delete "$APPID" /f >/dev/null
  # A stale browser entry in the 32-bit view (its file gone) keeps nothing of ours.
  w reg add "$BROWSER" /ve /d 'C:\gone\OtherEnum.exe' /f /reg:32 >/dev/null
  msiexec /i "$msi" || fail "install beside a stale browser entry"
  msiexec /x "$msi" || fail "uninstall beside a stale browser entry"
  w reg delete 'HKCR\CLSID\{13486D51-4821-11D2-A494-3CB306C10000}' /f /reg:32 >/dev/null
  same_as_before "a stale browser entry in the other view kept nothing of ours"
fi

# 5. The C example host's own package (qvsrvkit_add_msi): refused without the redistributable,
# then installed, listed through the browser, read, and removed without a trace.
if [ -n "$hostmsi" ]; then
  # An unversioned QvSrvKit.dll in the package would not replace an installed versioned one.
  expect "the host package gives QvSrvKit.dll its version" 'QvSrvKit\.dll\s+[0-9]+\s+[0-9]+(\.[0-9]+){3}\s' "$(msiinfo export "$hostmsi" File)"
  [ "$arch" = x86 ] && expect "a 32-bit host's package also accepts the x64 redistributable" \
    'E080E097-59FE-4700-9D0A-94B2D5EC3D5D.*QVSRVKIT_REDIST' "$(msiinfo export "$hostmsi" Upgrade)"
  msiexec /i "$hostmsi" && fail "the host package installed without the redistributable" ||
    echo "ok: the host package refuses to install without the redistributable"
  msiexec /i "$msi" || fail "install the redistributable for the host"
  msiexec /i "$hostmsi" || fail "install the host package"
  out=$(qvopc "$bin/qvopc.exe" servers)
  expect "qvopc servers lists the installed host" "QvSrvKit\.ExampleC +\{6A1C52B0-3E0B-4F55-9C7A-2E8D0F4B1C01\}" "$out"
  expect "qvopc reads the installed host" "Tank\.Level = [0-9]+ +\[good\]" \
    "$(qvopc "$bin/qvopc.exe" --server QvSrvKit.ExampleC read Tank.Level)"
  # COM started the host; it ends a few seconds after its last client.
  for _ in $(seq 1 60); do pgrep -f 'QvSrvKit Example Host C' >/dev/null || break; sleep 0.5; done
  msiexec /x "$hostmsi" || fail "uninstall the host package"
  msiexec /x "$msi" || fail "uninstall the redistributable after the host"
  [ -e "$prefix/drive_c/Program Files/QvSrvKit Example Host C" ] && fail "host files left"
  same_as_before "host package removed: registry as before"
fi

# 6. Another product's browser and proxy (both with live files), and our proxy/stub registered
# by a vendor from the SDK folder (here the build's), are left as they are.
PSFILE='HKCR\CLSID\{4EB6B35D-96D9-4C4D-9C02-CC44743726EB}\InprocServer32'
w regsvr32 /s "$(winpath "$bin/QvSrvKitPS.dll")" >/dev/null
w reg add "$BROWSER" /ve /d 'C:\windows\system32\notepad.exe' /f "${view[@]}" >/dev/null
w reg add 'HKCR\CLSID\{11111111-2222-3333-4444-555555555555}\InprocServer32' /ve /d 'C:\windows\system32\ole32.dll' /f "${view[@]}" >/dev/null
w reg add "$IOPCSERVER" /ve /d '{11111111-2222-3333-4444-555555555555}' /f "${view[@]}" >/dev/null
msiexec /i "$msi" || { echo "FAIL: install over another browser"; fails=$((fails + 1)); }
expect "another browser kept at install" 'notepad\.exe' "$(w reg query "$BROWSER" "${view[@]}")"
expect "another proxy kept at install" '\{11111111-' "$(w reg query "$IOPCSERVER" "${view[@]}")"
expect "the SDK folder's proxy/stub registration kept at install" 'bin\\QvSrvKitPS\.dll' "$(w reg query "$PSFILE" "${view[@]}")"
msiexec /x "$msi" || { echo "FAIL: uninstall over another browser"; fails=$((fails + 1)); }
expect "another browser kept at uninstall" 'notepad\.exe' "$(w reg query "$BROWSER" "${view[@]}")"
expect "another proxy kept at uninstall" '\{11111111-' "$(w reg query "$IOPCSERVER" "${view[@]}")"
expect "the SDK folder's proxy/stub registration kept at uninstall" 'bin\\QvSrvKitPS\.dll' "$(w reg query "$PSFILE" "${view[@]}")"

echo "msi test: $(( $(date +%s) - t_start )) s"
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
exit $((fails > 0))
