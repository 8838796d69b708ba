#!/usr/bin/env bash
# scripts/demo builds what the demo runs and nothing of the tests: the target
# it builds must bring the engine's image and the tools the demo calls, and
# none of the test programs (on a fresh machine they take minutes).
# usage: demo_targets.sh SOURCE_DIR BUILD_DIR NINJA
set -euo pipefail
src=$1 build=$2 ninja=$3
fail() { echo "demo_targets: $*" >&2; exit 1; }

grep -Eq '^ninja -C out/release nx_demo$' "$src/scripts/demo" ||
  fail "scripts/demo does not build exactly the target nx_demo"
# Every command the target needs from nothing, order-only steps included.
commands=$("$ninja" -C "$build" -t commands nx_demo) || fail "the build has no target nx_demo"
for need in '-o bin/nxscan' '-o bin/nxdevice' 'image/avapi.dll' 'image/scancore.dll' 'image/scan.dll' \
            'image/scanner.exe' 'image/scanver.cnf' 'nxsig build'; do
  grep -Fq -- "$need" <<<"$commands" || fail "nx_demo does not make $need"
done
if grep -Eq '(^| |/)tests/' <<<"$commands"; then
  fail "nx_demo builds test programs: $(grep -Eo '(^| |/)tests/[^ ]*' <<<"$commands" | sort -u | head -5 | tr '\n' ' ')"
fi
echo "nx_demo: $(wc -l <<<"$commands") commands, none of the tests"
