#!/usr/bin/env bash
# Times nxscan and nxarc on the hostile archive constructions of
# make_hostile.py (a cabinet behind false headers, false headers costing
# their reading, folder restarts, members taking turns between folders,
# 65,535 members, SIS and SISX bombs, ARJ archives of many members, behind a
# stub, and of one-symbol tables), with this build and, when given, an older
# one in the same run, and prints what each answered and how long it took.
#
# usage: bench/hostile_bench.sh [BUILD_DIR] [BEFORE_DIR] [--small]
#   BUILD_DIR   a Release build (default out/release): bin/nxscan,
#               bin/nxarc, bin/nxdevice and image/
#   BEFORE_DIR  the same layout from an older build (bin/ and image/), to
#               compare with; omitted: this build only
#   --small     only the small sizes (no 65,535-member or 2 GiB files)
# Times are elapsed seconds with the processor seconds in brackets. Every run
# is cut at NX_BENCH_TIMEOUT seconds (default 300), shown as ">300"; each of this build's runs is repeated NX_BENCH_RUNS times (default
# 3) and the best time kept (the machine is shared). Files are written to
# $NX_BENCH_DIR/hostile (default /tmp/nx-bench).
# The machine's load is printed first: figures taken above a load of about
# 1.5 are rough.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-out/release}" && pwd)
before=""
small=""
for a in "${@:2}"; do
  case "$a" in
    --small) small=--small ;;
    *) before=$(cd "$a" && pwd) ;;
  esac
done
limit=${NX_BENCH_TIMEOUT:-300}
work=${NX_BENCH_DIR:-/tmp/nx-bench}/hostile
mkdir -p "$work"
python3 bench/make_hostile.py "$work/files" $small

echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
devices=()
for b in "$build" $before; do
  d="$work/device-$(echo "$b" | md5sum | cut -c1-8)"
  rm -rf "$d"
  "$b/bin/nxdevice" --device-root "$d" install "$b/image" >/dev/null
  devices+=("$d")
done

# run SECONDS-VAR ANSWER-VAR CMD...: the elapsed time with the processor time
# (user and system) after it in brackets, the processor time being the
# figure that holds on a loaded machine; and the last line of standard error
# (a reason), else of standard output.
run() {
  local out rc real cpu
  local TIMEFORMAT='%R %U %S'
  set +e
  { time timeout "$limit" "${@:3}" >"$work/out" 2>"$work/err"; } 2>"$work/time"
  rc=$?
  set -e
  read -r real user sys <"$work/time"
  out=$(tail -n 1 "$work/err")
  [ -n "$out" ] || out=$(tail -n 1 "$work/out")
  if [ "$rc" = 124 ]; then
    printf -v "$1" '>%s' "$limit"
    printf -v "$2" 'cut off'
  else
    cpu=$(echo "$user + $sys" | bc -l)
    printf -v "$1" '%.2f(%.2f)' "$real" "$cpu"
    out=${out##*/}
    printf -v "$2" '%s' "${out:0:60}"
  fi
}

printf '%-22s %-6s %14s %14s  %s\n' file tool before after "answer (this build)"
for f in "$work"/files/*; do
  name=$(basename "$f")
  case "$name" in split-[2-5].cab) continue ;; esac
  tools="nxarc"
  case "$name" in *.cab|*.sis|*.sisx) tools="nxscan nxarc" ;; esac
  for tool in $tools; do
    i=0
    after="" answer="" old="-"
    for b in "$build" $before; do
      if [ "$tool" = nxscan ]; then
        cmd=("$b/bin/nxscan" --device-root "${devices[$i]}" --no-summary -v "$f")
      else
        cmd=("$b/bin/nxarc" test "$f")
      fi
      if [ "$i" = 0 ]; then
        # a run that was cut off is not repeated: it would only be cut again
        for ((k = 0; k < ${NX_BENCH_RUNS:-3}; k++)); do
          run t answer "${cmd[@]}"
          if [ -z "$after" ] || [ "$(echo "${t%%(*} < ${after%%(*}" | bc -l)" = 1 ]; then after=$t; fi
          [[ "$t" != ">"* ]] || break
        done
      else
        run old ignored "${cmd[@]}"
      fi
      i=$((i + 1))
    done
    printf '%-22s %-6s %14s %14s  %s\n' "$name" "$tool" "$old" "$after" "$answer"
  done
done
