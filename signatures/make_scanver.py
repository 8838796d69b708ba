#!/usr/bin/env python3
"""Writes scanver.cnf (20 bytes): engine version major and minor, then the
signature database's date and time as eight 16-bit fields (year, month, day
of week, day, hour, minute, second, milliseconds).

usage: make_scanver.py OUT MAJOR.MINOR YYYY-MM-DDTHH:MM:SS"""
import datetime
import struct
import sys

out, version, stamp = sys.argv[1:4]
major, minor = (int(v) for v in version.split("."))
t = datetime.datetime.fromisoformat(stamp)
weekday = (t.weekday() + 1) % 7  # Sunday is 0
with open(out, "wb") as f:
    f.write(struct.pack("<10H", major, minor, t.year, t.month, weekday, t.day, t.hour, t.minute, t.second, 0))
