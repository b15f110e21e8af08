#!/usr/bin/env bash
# test-fixture.sh setup|cleanup PREFIX BINDIR
# setup: creates the Wine prefix, registers the proxy/stub DLL, the test host and the server browser.
# cleanup: unregisters them and ends this prefix's Wine session (only this prefix's).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
action=$1 prefix=$2 bin=$3
run() { "$here/wine-run.sh" "$prefix" "$@" </dev/null; }

case "$action" in
setup)
  mkdir -p "$(dirname "$prefix")/logs"
  # A fresh trace per run: the trace rotates at 4 MB, and a test looks for the host's first lines.
  rm -f "$(dirname "$prefix")/logs/qvtesthost.trace" "$(dirname "$prefix")/logs/qvtesthost.trace.1"
  run "$bin/qvtesthost.exe" --unregserver >/dev/null 2>&1 || true
  run regsvr32 /s "$bin/QvSrvKitPS.dll" || { echo "registering QvSrvKitPS.dll failed"; exit 1; }
  # A 64-bit build's 32-bit proxy/stub, for 32-bit clients of the 64-bit host.
  if [ -f "$bin/x86/QvSrvKitPS.dll" ]; then
    run 'C:\windows\syswow64\regsvr32.exe' /s "$bin/x86/QvSrvKitPS.dll" || { echo "registering the 32-bit QvSrvKitPS.dll failed"; exit 1; }
  fi
  run "$bin/qvtesthost.exe" --regserver || { echo "registering the test host failed"; exit 1; }
  run "$bin/QvOpcEnum.exe" --regserver >/dev/null || { echo "registering the server browser failed"; exit 1; }
  echo "prefix ready: $prefix"
  ;;
cleanup)
  run "$bin/qvtesthost.exe" --unregserver >/dev/null 2>&1 || true
  run "$bin/QvOpcEnum.exe" --unregserver >/dev/null 2>&1 || true
  run regsvr32 /s /u "$bin/QvSrvKitPS.dll" >/dev/null 2>&1 || true
  [ -f "$bin/x86/QvSrvKitPS.dll" ] && { run 'C:\windows\syswow64\regsvr32.exe' /s /u "$bin/x86/QvSrvKitPS.dll" >/dev/null 2>&1 || true; }
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  ;;
*) echo "usage: $0 setup|cleanup PREFIX BINDIR"; exit 2 ;;
esac
