#!/usr/bin/env python3
"""Writes the harmless demonstration files of samples/ (they are checked in;
run this to make them again):

  nyxel-demo.exe  a minimal Windows CE PE image (ARM, subsystem 9) whose entry
                  point holds the pattern of the project's own signature
                  "Nyxel.Demo.EntryPoint" (signatures/nyxel.json); it is never run
  demo.cab        an MSZIP cabinet holding a copy of nyxel-demo.exe and a text file
                  (needs gcab)
  eicar.com       the anti-virus test file
  readme.txt      a clean file
"""
import os
import struct
import subprocess
import sys
import tempfile

PATTERN = bytes.fromhex("0dc0a0e100d82de904b04ce24e5958454c44454d4f")
EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


def pe_image():
    e_lfanew, text_raw, headers = 0x80, 0x200, 0x200
    dos = bytearray(headers)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 60, e_lfanew)
    entry_va, text_va = 0x1000, 0x1000
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x1C0, 1, 0x45000000, 0, 0, 224, 0x010F)
    opt = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII",
                      0x10B, 8, 0, text_raw, 0, 0, entry_va, text_va, text_va,
                      0x10000, 0x1000, 0x200, 4, 0, 0, 0, 4, 20, 0,
                      0x2000, headers, 0, 9, 0, 0x10000, 0x1000, 0x100000, 0x1000, 0, 16)
    opt += bytes(16 * 8)
    sect = struct.pack("<8sIIIIIIHHI", b".text", text_raw, text_va, text_raw, headers, 0, 0, 0, 0, 0x60000020)
    hdr = coff + opt + sect
    dos[e_lfanew:e_lfanew + len(hdr)] = hdr
    # ARM "mov r0, #0; bx lr" after the planted bytes, the rest zero.
    text = bytearray(text_raw)
    text[0:len(PATTERN)] = PATTERN
    text[24:32] = bytes.fromhex("0000a0e31eff2fe1")
    return bytes(dos) + bytes(text)


def main():
    out = os.path.dirname(os.path.abspath(__file__)) if len(sys.argv) < 2 else sys.argv[1]
    exe = pe_image()
    with open(os.path.join(out, "nyxel-demo.exe"), "wb") as f:
        f.write(exe)
    with open(os.path.join(out, "eicar.com"), "wb") as f:
        f.write(EICAR)
    with open(os.path.join(out, "readme.txt"), "w") as f:
        f.write("A clean file: nxscan reports it as OK with -v.\n")
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "setup.exe"), "wb") as f:
            f.write(exe)
        with open(os.path.join(tmp, "notes.txt"), "w") as f:
            f.write("installation notes\n")
        cab = os.path.join(out, "demo.cab")
        if os.path.exists(cab):
            os.remove(cab)
        subprocess.run(["gcab", "-c", "-z", "-n", cab, "setup.exe", "notes.txt"], cwd=tmp, check=True)


if __name__ == "__main__":
    main()
