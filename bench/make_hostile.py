#!/usr/bin/env python3
"""Builds the hostile archive constructions the scan limits and the readers'
linear walks are measured against, each at a small size and at the largest
size its format allows (or the largest that is still practical to write).

usage: bench/make_hostile.py OUTDIR [--small]

Files written (the size in the name where there are two):
  headers.cab              40 false headers of 65,535 folders and files each, over 1.5 MB
                           of zeros that parse as entries until the file ends
  hidden.cab               three false "MSCF" headers (folder and file counts
                           0xFFFF/0xFFFF, 0xFFFF/0xFFFF, 2/2, a previous-cabinet
                           name that never ends) before a cabinet with the test file
  restarts-20.cab          one MSZIP folder of 2,000 blocks, 20 one-byte members at
                           decreasing folder offsets (every member goes back)
  restarts-65535.cab       65,535 such members over 65,535 blocks
  members-65535.cab        65,535 one-byte members in stored order in one stored folder
  alternate-2000.cab       two MSZIP folders of 1,000 blocks, 2,000 members taking
                           turns between them in stored order
  bomb-200.sis             200 file records pointing at one zlib stream of 10 MiB
  bomb-65535.sis           65,535 such records
  bomb-300.sisx            300 file-data elements, each a zlib stream of 10 MiB
  members-2000.arj         2,000 stored one-byte members
  members-20000.arj        20,000 of them
  stub.arj                 499 KB of header-like bytes before an archive of 200 members
  onesymbol-100m.arj       one member of 100 MiB coded with one-symbol tables (157 bytes)
  onesymbol-2g.arj         the same for 2 GiB - 1, the largest size the header allows
  split-1.cab ... split-5.cab  a five-cabinet set whose three members are listed in
                           every part (continued to the next, both ways, from the
                           previous), next names spelled as the files

The test file is the EICAR string, so that a scan that reaches it says so.
"""
import os
import struct
import sys
import zlib

EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


# ---- Cabinets -------------------------------------------------------------------

def cab_checksum(data, seed=0):
    s = seed
    n = len(data) // 4
    for i in range(n):
        s ^= struct.unpack_from("<I", data, 4 * i)[0]
    tail = data[4 * n:]
    last = 0
    for b in tail:
        last = (last << 8) | b
    return s ^ last


def mszip_block(plain):
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    return b"CK" + z.compress(plain) + z.flush()


def cabinet(folders, files, flags=0, prev=(b"", b""), nxt=(b"", b""), index=0, checksums=False):
    """folders: [(type, [(packed, unpacked)])]; files: [(name, length, offset, folder index)]."""
    head = bytearray(b"MSCF" + b"\0" * 32)
    struct.pack_into("<HHHHHH", head, 24, 0x0103, len(folders), len(files), flags, 1234, index)
    if flags & 1:
        head += prev[0] + b"\0" + prev[1] + b"\0"
    if flags & 2:
        head += nxt[0] + b"\0" + nxt[1] + b"\0"
    folder_table = len(head)
    head += b"\0" * (8 * len(folders))
    struct.pack_into("<I", head, 16, len(head))
    for name, length, offset, folder in files:
        head += struct.pack("<IIHHHH", length, offset, folder, 0x3A21, 0x5C42, 0x20) + name + b"\0"
    for i, (ftype, blocks) in enumerate(folders):
        struct.pack_into("<IHH", head, folder_table + 8 * i, len(head), len(blocks), ftype)
        for packed, unpacked in blocks:
            lens = struct.pack("<HH", len(packed), unpacked)
            sum_ = cab_checksum(lens, cab_checksum(packed)) if checksums else 0
            head += struct.pack("<I", sum_) + lens + packed
    struct.pack_into("<I", head, 8, len(head))
    return bytes(head)


def hidden_cab():
    real = cabinet([(0, [(EICAR, len(EICAR))])], [(b"eicar.com", len(EICAR), 0, 0)])
    out = b""
    for folders, files in ((0xFFFF, 0xFFFF), (0xFFFF, 0xFFFF), (2, 2)):
        fake = bytearray(b"MSCF" + b"\0" * 32)
        # Plausible sizes so that the search tries the header.
        struct.pack_into("<I", fake, 8, 1200)
        struct.pack_into("<I", fake, 16, 40)
        struct.pack_into("<HHHH", fake, 24, 0x0103, folders, files, 1)
        out += bytes(fake) + b"A" * 1200  # the previous-cabinet name never ends
    return out + real


def headers_cab(count):
    """False headers claiming 65,535 folders and files each, over zeros that
    parse as entries until the file ends, each found inside the one before."""
    out = b""
    for _ in range(count):
        fake = bytearray(b"MSCF" + b"\0" * 32)
        struct.pack_into("<I", fake, 8, 1000000)
        struct.pack_into("<I", fake, 16, 40)
        struct.pack_into("<HHHH", fake, 24, 0x0103, 0xFFFF, 0xFFFF, 0)
        out += bytes(fake) + b"\0" * 4
    return out + b"\0" * 1500000


def restarts_cab(members, blocks):
    zero = mszip_block(b"\0" * 32768)
    total = 32768 * blocks
    step = total // (members + 1)
    files = [(b"m%05d" % i, 1, total - step * (i + 1), 0) for i in range(members)]
    return cabinet([(1, [(zero, 32768)] * blocks)], files)


def members_cab(members):
    """One stored folder, one-byte members in stored order: linear for the
    reader, but every member costs the engine a file and its scanners."""
    data = bytes(i & 0xFF for i in range(members))
    blocks = [(data[i:i + 32768], len(data[i:i + 32768])) for i in range(0, len(data), 32768)]
    files = [(b"m%05d.txt" % i, 1, i, 0) for i in range(members)]
    return cabinet([(0, blocks)], files)


def alternate_cab(members, blocks):
    zero = mszip_block(b"\0" * 32768)
    per = 32768 * blocks // (members // 2 + 1)
    files = []
    for i in range(members):
        files.append((b"a%05d" % i, 1, per * (i // 2), i % 2))
    return cabinet([(1, [(zero, 32768)] * blocks), (1, [(zero, 32768)] * blocks)], files)


def split_set():
    """Five cabinets, one MSZIP folder across all of them, three members listed in
    every part."""
    data = b"A" * 60000 + b"B" * 60000 + EICAR
    members = [(b"one.txt", 60000, 0), (b"two.txt", 60000, 60000), (b"three.com", len(EICAR), 120000)]
    blocks = [mszip_block(data[i:i + 32768]) for i in range(0, len(data), 32768)]
    sizes = [min(32768, len(data) - i) for i in range(0, len(data), 32768)]
    # Every part boundary falls inside a block, as a cabinet writer closing a
    # full part leaves it: the block's first piece (unpacked length 0) ends
    # one part and its rest starts the next.
    cuts = [len(b) // 2 for b in blocks]
    parts = [[(blocks[0][:cuts[0]], 0)]]
    for k in range(1, 4):
        parts.append([(blocks[k - 1][cuts[k - 1]:], sizes[k - 1]), (blocks[k][:cuts[k]], 0)])
    parts.append([(blocks[3][cuts[3]:], sizes[3])])
    out = []
    for k in range(5):
        flags = (1 if k > 0 else 0) | (2 if k < 4 else 0)
        index = 0xFFFE if k == 0 else 0xFFFD if k == 4 else 0xFFFF
        files = [(n, l, o, index) for n, l, o in members]
        out.append(cabinet([(1, parts[k])], files, flags=flags,
                           prev=(b"split-%d.cab" % k, b"disk"), nxt=(b"split-%d.cab" % (k + 2), b"disk"),
                           index=k, checksums=True))
    return out


# ---- SIS and SISX ------------------------------------------------------------------

def sis_bomb(records):
    stream = zlib.compress(bytes(10 * 1024 * 1024), 9)
    name = "c:\\bomb.txt".encode("utf-16-le")
    header = bytearray(100)
    struct.pack_into("<IIII", header, 0, 0x10000001, 0x10003A12, 0x10000419, 0)
    struct.pack_into("<HHH", header, 16, 0, 1, records)
    struct.pack_into("<I", header, 52, 100)
    name_at = 100 + 48 * records
    data_at = name_at + len(name)
    body = bytearray()
    for _ in range(records):
        body += struct.pack("<IIIIIIIIIIII", 0, 0, 0, 0, 0, len(name), name_at, len(stream), data_at,
                            10 * 1024 * 1024, 0, 0)
    return bytes(header) + bytes(body) + name + stream


def sisx_field(ftype, content):
    pad = (-len(content)) % 4
    return struct.pack("<II", ftype, len(content)) + content + b"\0" * pad


def sisx_bomb(members):
    stream = zlib.compress(bytes(10 * 1024 * 1024), 9)
    # A controller with one installation block naming the members.
    descs = b""
    target = "!:\\sys\\bin\\bomb.txt".encode("utf-16-le")
    for _ in range(members):
        element = sisx_field(1, target)
        descs += struct.pack("<I", len(element)) + element
    files = sisx_field(2, struct.pack("<I", 24) + descs)
    controller = sisx_field(13, sisx_field(28, files))
    ctrl_block = sisx_field(3, struct.pack("<IQ", 0, len(controller)) + controller)
    elements = b""
    for _ in range(members):
        element = sisx_field(3, struct.pack("<IQ", 1, 10 * 1024 * 1024) + stream)
        elements += struct.pack("<I", len(element)) + element
    data = sisx_field(30, sisx_field(2, struct.pack("<I", 32) + elements))
    contents = b"\0" * 24 + ctrl_block + data
    return struct.pack("<IIII", 0x10201A7A, 0, 0, 0) + struct.pack("<II", 12, len(contents)) + contents


# ---- ARJ ------------------------------------------------------------------------------

def arj_header(basic_fields, name, comment=b""):
    basic = bytes(basic_fields) + name + b"\0" + comment + b"\0"
    return (struct.pack("<HH", 0xEA60, len(basic)) + basic + struct.pack("<I", zlib.crc32(basic)) +
            struct.pack("<H", 0))


def arj_main(name=b"hostile.arj"):
    return arj_header(bytes([30, 11, 1, 0, 0, 0, 2, 0]) + bytes(22), name)


def arj_local(name, method, packed, original, crc):
    fields = bytes([30, 11, 1, 0, 0, method, 0, 0]) + struct.pack("<IIII", 0, packed, original, crc) + bytes(6)
    return arj_header(fields, name)


ARJ_END = struct.pack("<HH", 0xEA60, 0)


def arj_members(n):
    out = [arj_main()]
    for i in range(n):
        data = bytes([i & 0xFF])
        out.append(arj_local(b"m%06d" % i, 0, 1, 1, zlib.crc32(data)) + data)
    return b"".join(out) + ARJ_END


def arj_stub():
    candidate = bytes([0x60, 0xEA, 0x28, 0x0A])  # a plausible basic size (2,600) whose CRC never matches
    stub = candidate * (499000 // 4)
    return stub + arj_members(200)


class Bits:
    def __init__(self):
        self.acc, self.n, self.out = 0, 0, bytearray()

    def put(self, value, width):
        self.acc = (self.acc << width) | value
        self.n += width
        while self.n >= 8:
            self.n -= 8
            self.out.append((self.acc >> self.n) & 0xFF)

    def done(self):
        if self.n:
            self.out.append((self.acc << (8 - self.n)) & 0xFF)
        return bytes(self.out)


def arj_onesymbol(original):
    # Each block: 65,536 symbols, all the match of 256 bytes at distance 1,
    # every table holding one symbol and so coded in no bits at all.
    blocks = (original + 65536 * 256 - 1) // (65536 * 256)
    bits = Bits()
    for _ in range(blocks):
        bits.put(0, 16)             # symbol count 0 stands for 65,536
        bits.put(0, 5), bits.put(0, 5)    # code-length code: one symbol
        bits.put(0, 9), bits.put(509, 9)  # literals and lengths: the match of 256
        bits.put(0, 5), bits.put(0, 5)    # positions: one symbol, distance 1
    packed = bits.done() + b"\0" * 8
    crc = 0
    chunk = bytes(1 << 24)
    left = original
    while left:
        n = min(left, len(chunk))
        crc = zlib.crc32(chunk[:n], crc)
        left -= n
    return arj_main() + arj_local(b"zeros.bin", 1, len(packed), original, crc) + packed + ARJ_END


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    out = sys.argv[1]
    small = "--small" in sys.argv[2:]
    os.makedirs(out, exist_ok=True)

    def write(name, data):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)

    write("hidden.cab", hidden_cab())
    write("headers.cab", headers_cab(40))
    write("restarts-20.cab", restarts_cab(20, 2000))
    write("alternate-2000.cab", alternate_cab(2000, 1000))
    write("bomb-200.sis", sis_bomb(200))
    write("bomb-300.sisx", sisx_bomb(300))
    write("members-2000.arj", arj_members(2000))
    write("stub.arj", arj_stub())
    write("onesymbol-100m.arj", arj_onesymbol(100 * 1024 * 1024))
    for k, part in enumerate(split_set()):
        write("split-%d.cab" % (k + 1), part)
    if not small:
        write("restarts-65535.cab", restarts_cab(65535, 65535))
        write("members-65535.cab", members_cab(65535))
        write("bomb-65535.sis", sis_bomb(65535))
        write("members-20000.arj", arj_members(20000))
        write("onesymbol-2g.arj", arj_onesymbol(0x7FFFFFFF))
    return 0


if __name__ == "__main__":
    sys.exit(main())
