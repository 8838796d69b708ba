#!/bin/sh
# make_seeds.sh SEEDTOOL CORPUS SEEDS: reader seeds are the corpus cabinets
# (the 2.7 MB one left out), decoder seeds the folders' blocks.
set -e
tool=$1 corpus=$2 seeds=$3
mkdir -p "$seeds/reader" "$seeds/stored" "$seeds/mszip" "$seeds/quantum" "$seeds/lzx"
for f in "$corpus"/cab/* "$corpus"/cab-broken/*; do
  case "$f" in *huge-lzx15*) continue ;; esac
  cp "$f" "$seeds/reader/"
done
"$tool" "$seeds" "$corpus"/cab/* "$corpus"/cab-broken/*
