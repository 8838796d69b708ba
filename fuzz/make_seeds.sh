#!/bin/sh
# make_seeds.sh SEEDS SOURCE CORPUS CAB_SEEDS ARJ_SEEDS COMMON_SEEDS NXSIG NXPACK
#
# Writes the project's own fuzz seeds into SEEDS/<folder> (one folder per kind
# of input; fuzz/CMakeLists.txt says which target reads which). Files of the
# shared corpus that a target takes whole are not copied: the targets read
# them where they lie. Only inputs that are not whole files (a decoder's
# blocks, a file behind a selector byte) are derived from the corpus here,
# and only into SEEDS, which is in the build folder. A missing corpus leaves
# the project's own seeds.
set -eu
seeds=$1 src=$2 corpus=$3 cab_seeds=$4 arj_seeds=$5 common_seeds=$6 nxsig=$7 nxpack=$8

rm -rf "$seeds"
for d in scan_type pe_image cab_stored cab_mszip cab_quantum cab_lzx cab_reader arj_decoder arj_reader \
         exescan_pe_signatures exescan_poly_names exescan_category sigaif epoc_table \
         options_file report_index report_text quarantine_db server_files update_sources screen_journal work; do
  mkdir -p "$seeds/$d"
done
work=$seeds/work

# prefix OUT BYTE FILE: OUT is BYTE (0-255) followed by FILE.
prefix() {
  printf "\\$(printf '%03o' "$2")" >"$1"
  cat "$3" >>"$1"
}

corpus_files() {
  for d in "$@"; do
    [ -d "$corpus/$d" ] || continue
    for f in "$corpus/$d"/*; do
      case "$f" in *.md) continue ;; esac
      [ -f "$f" ] && echo "$f"
    done
  done
  return 0
}

# Type detection: the first byte picks the file's name (fuzz/scan_type_fuzz.cpp
# has 15); the samples under every name, corpus files under the first.
for f in "$src"/samples/*; do
  case "$f" in *.py) continue ;; esac
  b=$(basename "$f")
  i=0
  while [ $i -lt 15 ]; do
    prefix "$seeds/scan_type/$b-$i" $i "$f"
    i=$((i + 1))
  done
done
for f in $(corpus_files arj cab cab-broken epoc-exe sis sisx wince-pe); do
  prefix "$seeds/scan_type/$(basename "$(dirname "$f")")-$(basename "$f")" 0 "$f"
done

# PE headers and the cabinet reader: the project's own samples (the corpus's
# images and cabinets are read where they lie).
cp "$src/samples/nyxel-demo.exe" "$seeds/pe_image/"
cp "$src/samples/demo.cab" "$seeds/cab_reader/"

# The cabinet decoders: every folder's blocks, from the sample and the corpus.
"$cab_seeds" "$seeds" "$src/samples/demo.cab" $(corpus_files cab cab-broken)

# ARJ: the member decoders take one member each (the archives are read where
# they lie by the reader target).
arj_archives=$(corpus_files arj)
[ -z "$arj_archives" ] || "$arj_seeds" "$seeds/arj_decoder" $arj_archives

# Signature files: a set with records of every family, compiled by nxsig.
"$nxsig" build "$src/fuzz/seed_signatures.json" -o "$work/signatures" >/dev/null
cp "$work/signatures/sig32ce.inx" "$seeds/exescan_pe_signatures/"
cp "$work/signatures/sigmpoly.inx" "$seeds/exescan_poly_names/"
# The category target repairs the header of inputs whose first byte is odd
# after dropping that byte: the same table is given both ways.
for f in "$work"/signatures/sigw*.inx; do
  cp "$f" "$seeds/exescan_category/"
  prefix "$seeds/exescan_category/repair-$(basename "$f")" 1 "$f"
done
for f in "$work"/signatures/sigm*.inx; do
  [ "$(basename "$f")" = sigmpoly.inx ] && continue
  cp "$f" "$seeds/epoc_table/"
done
# "sigaif.inx" and a text to search, split by a 16-bit length in front.
store=$work/signatures/sigaif.inx
n=$(wc -c <"$store")
for text in "$src/samples/eicar.com" "$src/samples/readme.txt"; do
  out="$seeds/sigaif/$(basename "$text")"
  printf "\\$(printf '%03o' $((n % 256)))\\$(printf '%03o' $((n / 256)))" >"$out"
  cat "$store" "$text" >>"$out"
done

# Options files, the report index, report texts, the quarantine database.
"$common_seeds" "$seeds"

# The update server's files: a folder built by nxpack from the signature set,
# each file behind the selector byte of fuzz/server_files_fuzz.cpp.
python3 "$src/signatures/make_scanver.py" "$work/signatures/scanver.cnf" 1.0 2026-12-10T00:00:00
"$nxpack" keygen -o "$work/keys" >/dev/null
"$nxpack" build "$work/signatures" -o "$work/server" --url http://updates.example/nyxel/ \
  --sign "$work/keys/update.key" >/dev/null
# A later, stored package of the same files beside the compressed one.
cp -r "$work/signatures" "$work/later"
python3 "$src/signatures/make_scanver.py" "$work/later/scanver.cnf" 1.0 2026-12-11T00:00:00
"$nxpack" build "$work/later" -o "$work/server" --store --sign "$work/keys/update.key" >/dev/null
"$nxpack" sources --url http://updates.example/nyxel/ --url https://mirror.example/nx/ -o "$work/httpdn.dat" >/dev/null
prefix "$seeds/server_files/sources" 0 "$work/httpdn.dat"
[ -f "$work/server/index.dat" ] && prefix "$seeds/server_files/index" 1 "$work/server/index.dat"
[ -f "$work/server/index.bin" ] && prefix "$seeds/server_files/index_bin" 2 "$work/server/index.bin"
[ -f "$work/server/index.sig" ] && prefix "$seeds/server_files/signature" 3 "$work/server/index.sig"
for f in "$work"/server/*; do
  case "$(basename "$f")" in index.* | httpdn.dat | scanver.cnf) continue ;; esac
  prefix "$seeds/server_files/archive-$(basename "$f")" 4 "$f"
  prefix "$seeds/server_files/package-$(basename "$f")" 5 "$f"
  cp "$f" "$seeds/arj_reader/package-$(basename "$f")"
done
for f in $arj_archives; do
  prefix "$seeds/server_files/archive-corpus-$(basename "$f")" 4 "$f"
done
# The same files behind the selector byte of fuzz/update_sources_fuzz.cpp
# (0 source list, 1 index, 2 index without the head tests, 3 signature file).
u=$seeds/update_sources
prefix "$u/sources" 0 "$work/httpdn.dat"
for i in index.bin index.dat; do
  [ -f "$work/server/$i" ] || continue
  prefix "$u/$i" 1 "$work/server/$i"
  prefix "$u/$i-no-head-tests" 2 "$work/server/$i"
done
[ -f "$work/server/index.sig" ] && prefix "$u/signature" 3 "$work/server/index.sig"

# The screen journal: lines as the device writes them, one without its end,
# one that is not an object.
j=$seeds/screen_journal
printf '%s\n' '{"time":"2026-12-10T08:30:00.250","tick":1250,"event":"show","kind":"dialog","pid":42,"hwnd":"0x00010001","caption":"Nyxel AntiVirus","controls":[{"id":1,"kind":"button","text":"OK"}]}' \
  '{"time":"2026-12-10T08:30:01.000","tick":2000,"event":"destroy","kind":"dialog","pid":42,"hwnd":"0x00010001"}' >"$j/two_windows"
printf '%s\n%s\n%s' '{"event":"rotate","orientation":"landscape"}' '[1,2,3]' '{"event":"show","caption":"unfin' >"$j/partial"

rm -rf "$work"
