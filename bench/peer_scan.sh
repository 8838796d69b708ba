#!/usr/bin/env bash
# nxscan against clamscan (Debian's clamav with the equivalent tiny database
# of ../shared/bench/peer_db) on the same generated corpus in the same run,
# with the time of `cat` reading every file (the read floor).
#
# usage: bench/peer_scan.sh [BUILD_DIR] [FILES]
#   BUILD_DIR  a Release build (default out/release); needs bin/nxscan,
#              bin/nxdevice, bin/nxsig and image/
#   FILES      corpus size (default 4000; the corpus is kept in
#              $NX_BENCH_DIR, default /tmp/nx-bench, and reused)
# nxscan and cat are timed as the best of NX_BENCH_RUNS rounds (default 5),
# taking turns within each round.
# Prints files per second of each tool, the ratios against the targets
# (nxscan -j1 >= 10x clamscan, -j2 >= 1.7x -j1, -j2 within 2x of cat) and
# whether both tools found the same files (ARJ archives excepted: the engine
# opens ARJ only for updates).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-out/release}" && pwd)
files=${2:-4000}
shared=${NX_SHARED_DIR:-$(cd .. && pwd)/shared}
work=${NX_BENCH_DIR:-/tmp/nx-bench}
corpus=$work/corpus-$files
mkdir -p "$work"

command -v clamscan >/dev/null || { echo "peer_scan: clamscan missing (scripts/bootstrap installs clamav)"; exit 2; }
if [ ! -d "$corpus" ]; then
  python3 "$shared/bench/make_corpus.py" "$corpus" --files "$files" --seed 1 >/dev/null
fi
count=$(find "$corpus" -type f | wc -l)
bytes=$(du -sb "$corpus" | cut -f1)

# A device with the image and the signatures equivalent to the peer's database.
device=$work/device
rm -rf "$device"
"$build/bin/nxdevice" --device-root "$device" install "$build/image" >/dev/null
"$build/bin/nxsig" build "$shared/bench/nx-equivalent.json" -o "$device/Program Files/Nyxel/Nyxel AntiVirus"

now() { date +%s.%N; }
timed() {  # timed OUTFILE CMD... -> seconds on stdout
  local t0 t1
  t0=$(now)
  "${@:2}" >"$1" 2>/dev/null || true
  t1=$(now)
  echo "$t1 - $t0" | bc -l
}

min() { if [ -z "$1" ] || [ "$(echo "$2 < $1" | bc -l)" = 1 ]; then echo "$2"; else echo "$1"; fi; }
runs=${NX_BENCH_RUNS:-5}

find "$corpus" -type f -print0 | xargs -0 cat >/dev/null   # warm the page cache
# The machine is shared: the tools take turns within each round, so a slow
# spell of the host hits all of them alike, and each keeps its best round.
t_cat="" t_nx1="" t_nx2=""
for _ in $(seq "$runs"); do
  t_cat=$(min "$t_cat" "$(timed /dev/null sh -c "find '$corpus' -type f -print0 | xargs -0 cat")")
  t_nx1=$(min "$t_nx1" "$(timed "$work/nx-j1.txt" "$build/bin/nxscan" --device-root "$device" --no-summary -j1 "$corpus")")
  t_nx2=$(min "$t_nx2" "$(timed "$work/nx-j2.txt" "$build/bin/nxscan" --device-root "$device" --no-summary -j2 "$corpus")")
done
# clamscan takes many seconds; once is enough for a ratio of this size.
t_clam=$(timed "$work/clam.txt" clamscan -r --no-summary -d "$shared/bench/peer_db" "$corpus")

python3 - "$corpus" "$work" "$count" "$bytes" "$t_cat" "$t_nx1" "$t_nx2" "$t_clam" <<'PY'
import os, re, sys
corpus, work, count, size = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
t_cat, t1, t2, tc = (float(x) for x in sys.argv[5:9])
found = re.compile(r"^(.*): (.+) FOUND")

def files(path):
    out = set()
    for line in open(path, errors="replace"):
        m = found.match(line.rstrip("\n"))
        if not m:
            continue
        p = m.group(1)
        # An archive member's line names ARCHIVE/MEMBER: count the archive.
        while p and not os.path.isfile(p):
            p = p.rsplit("/", 1)[0]
        out.add(p)
    return out

nx, nx2, clam = files(work + "/nx-j1.txt"), files(work + "/nx-j2.txt"), files(work + "/clam.txt")
clam_cmp = {p for p in clam if not p.endswith(".arj")}
fps = lambda t: count / t if t > 0 else float("inf")
print("corpus: %d files, %.1f MB" % (count, size / 1e6))
print("%-16s %9s %11s" % ("tool", "seconds", "files/s"))
for name, t in (("cat", t_cat), ("nxscan -j1", t1), ("nxscan -j2", t2), ("clamscan", tc)):
    print("%-16s %9.3f %11.0f" % (name, t, fps(t)))
print("nxscan -j1 / clamscan: %.1fx (target 10x)" % (fps(t1) / fps(tc)))
print("nxscan -j2 / -j1:      %.2fx (target 1.7x)" % (fps(t2) / fps(t1)))
print("nxscan -j2 / cat time: %.2fx (target within 2x)" % (t2 / t_cat))
print("detections: nxscan %d files, clamscan %d (%d without ARJ)" % (len(nx), len(clam), len(clam_cmp)))
print("same files: %s" % ("yes" if nx == clam_cmp and nx == nx2 else "NO"))
for p in sorted(clam_cmp - nx)[:10]:
    print("  only clamscan: " + p)
for p in sorted(nx - clam_cmp)[:10]:
    print("  only nxscan:   " + p)
PY
