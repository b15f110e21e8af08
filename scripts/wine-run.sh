#!/usr/bin/env bash
# wine-run.sh PREFIX PROGRAM [ARGS...]
# Runs a Windows program under Wine in a private prefix, creating the prefix on first use.
# The Wine session is started with stdio on /dev/null: Wine's background processes keep the
# stdio of the command that started them, and a pipe held open by them would hang ctest.
# For the same reason they must not inherit the lock file's descriptor (9>&-).
set -euo pipefail
prefix=$1; shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
# The build writes PREFIX.arch (win32 for i686, win64 for x86_64): a 32-bit server in a 64-bit
# prefix would register its classes in the 32-bit registry view.
arch=win32
[ -f "$prefix.arch" ] && arch=$(cat "$prefix.arch")
export WINEARCH=$arch

# COM activation needs the RPC service. In a new session it may fail to start while the
# service manager is still busy (it then stays stopped, and the first out-of-process
# CoCreateInstance hangs or fails), so start it explicitly and wait until it runs.
ensure_rpcss() {
  local i state
  for i in $(seq 1 60); do
    state=$(timeout 30 wine sc query RpcSs </dev/null 2>/dev/null 9>&- | grep STATE || true)
    case "$state" in *RUNNING*) return 0 ;; esac
    timeout 30 wine net start RpcSs </dev/null >/dev/null 2>&1 9>&- || true
    sleep 1
  done
  echo "wine-run: the RPC service did not start in $prefix" >&2
}

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.qv-ready" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
    # Let wineboot start the server itself: a server started first breaks a win32 prefix.
    wine wineboot -i </dev/null >/dev/null 2>&1 9>&-
    # A crash exits at once (code 5) instead of waiting on a dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1 9>&-
    ensure_rpcss
    touch "$prefix/.qv-ready"
  fi
  # (Re)start the session quietly if none runs for this prefix: "wineserver -p" exits 0 only
  # when it had to start a new server.
  if wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
    wine wineboot </dev/null >/dev/null 2>&1 9>&- || true
    ensure_rpcss
  fi
) 9>"$prefix.lock"

prog=$1; shift
case "$prog" in
  *.exe|*.EXE) ;;
  *) [ -f "$prog.exe" ] && prog="$prog.exe" ;;
esac
exec wine "$prog" "$@"
