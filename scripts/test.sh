#!/usr/bin/env bash
# Builds QvSrvKit for i686 and x86_64 and runs the whole test suite under Wine for both.
# Installs what is missing first (Debian). Usage: scripts/test.sh [i686|x86_64 ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"
archs=("$@")
[ ${#archs[@]} -eq 0 ] && archs=(i686 x86_64)
jobs=$(nproc 2>/dev/null || echo 2)
status=0
for arch in "${archs[@]}"; do
  b="$root/build-$arch"
  echo "== $arch: build"
  cmake -S "$root" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" -DQV_CHECK_LOCKS=ON >/dev/null
  cmake --build "$b" -j"$jobs"
  echo "== $arch: test"
  # A test that fails or hangs is run once more: the client suite hangs now and then under
  # Wine (a few times in many runs, at different tests; cause not found yet). A real fault
  # fails both times, and the log shows the first attempt.
  (cd "$b" && ctest --output-on-failure --timeout 900 --repeat until-pass:2) || status=1
done
exit $status
