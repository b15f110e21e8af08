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

# Prints every test ctest ran more than once, with its first failure and the output of that
# attempt (the lines up to its next start), so no retry passes unseen.
retried() {
  awk -v arch="$2" '
    /^ *Start +[0-9]+: / { if (grab) grab = 0 }
    match($0, /Test +#[0-9]+: [^ ]+ /) && /\*\*\*/ {
      split(substr($0, RSTART, RLENGTH), f, " "); name = f[3]
      if (!(name in first)) { first[name] = $0; order[n++] = name; grab = 1; next }
    }
    grab && n > 0 { out[order[n - 1]] = out[order[n - 1]] $0 "\n" }
    END {
      for (i = 0; i < n; i++) {
        printf "RETRIED (%s): %s\n  first attempt: %s\n", arch, order[i], first[order[i]]
        m = split(out[order[i]], l, "\n"); from = m > 80 ? m - 80 : 1
        for (j = from; j <= m; j++) if (l[j] != "") print "  | " l[j]
      }
      if (n == 0) printf "no test was retried (%s)\n", arch
    }' "$1"
}

for arch in "${archs[@]}"; do
  b="$root/build-$arch"
  echo "== $arch: build"
  cmake -S "$root" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" -DQV_CHECK_LOCKS=ON -DQV_WERROR=ON >/dev/null
  cmake --build "$b" -j"$jobs"
  echo "== $arch: test"
  # A test that fails or hangs is run once more: the client suite hangs now and then under
  # Wine (a few times in many runs, at different tests; cause not found yet). A real fault
  # fails both times; a retry that passes is still printed below with its first failure.
  log="$b/ctest-last.log"
  if ! (cd "$b" && ctest --output-on-failure --timeout 900 --repeat until-pass:2) 2>&1 | tee "$log"; then status=1; fi
  retried "$log" "$arch"
done
exit $status
