#!/usr/bin/env python3
"""Writes the update schedule file "upgcnf.dat" in its stored form: the plain
image (marker, CRC-32 of bytes 8 to the end, minutes between internet
updates, minutes between local-folder updates, a carried u16; little-endian)
with the two 4-bit halves of every byte exchanged.

usage: make_upgcnf.py OUT [--internet MIN] [--local MIN] [--carried N]
                          [--marker TEXT] [--plain] [--damage]
--plain writes the image without the exchange; --damage flips a bit of the
last byte after the checksum was taken (fuzz seeds, tests)."""
import argparse
import struct
import zlib

p = argparse.ArgumentParser()
p.add_argument("out")
p.add_argument("--internet", type=int, default=1440)
p.add_argument("--local", type=int, default=60)
p.add_argument("--carried", type=int, default=0)
p.add_argument("--marker", default="UPGC")
p.add_argument("--plain", action="store_true")
p.add_argument("--damage", action="store_true")
a = p.parse_args()

marker = a.marker.encode("ascii")
if len(marker) != 4:
    raise SystemExit("the marker is four ASCII characters")
body = struct.pack("<3H", a.internet, a.local, a.carried)
image = bytearray(marker + struct.pack("<I", zlib.crc32(body) & 0xFFFFFFFF) + body)
if a.damage:
    image[-1] ^= 0x01
if not a.plain:
    image = bytes(((b << 4) | (b >> 4)) & 0xFF for b in image)
with open(a.out, "wb") as f:
    f.write(image)
