#!/usr/bin/env python3
"""A signature update of about 5 MB over loopback HTTP while nxscan -j2 scans a
corpus in a loop, against the peer tools on the same files in the same run.

Each round packs a new signature table (a category table of the Windows CE
scanner, compiled by nxsig, about 5 MB) with nxpack into one server folder
served by Python's http.server, then:

  nxupdate now        the device fetches index.bin, index.dat and the package,
                      unpacks, replaces, lets the scanners reload, reports
  curl + arj x        curl fetches the same three files, Debian's arj extracts
                      the same ARJ body (the package without its head,
                      unscrambled) into a folder

and, while nxupdate runs, nxscan -j2 -v scans the corpus again and again on a
pseudo-terminal; every verdict line is time-stamped, and the longest gap
between two verdicts of one nxscan run while the engine reloads is the scan
stall (compared with the longest gap of the runs before the update).

usage: bench/update_bench.py [BUILD_DIR] [--rounds N] [--files N] [--speed S]

Prints, per round and as medians: nxupdate's wall time, the part up to
"replacing files" (fetch, unpack and version check: the work curl + arj x
also do), curl + arj x, the ratios, and the stall. The device clock runs at
--speed (default 1): the update report's fixed 800 ms name wait and the
replacement's 20 ms polls are device time.
"""
import argparse
import json
import os
import pty
import random
import select
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def run(args, **kw):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)


def table_source(path, records, seed):
    """A category table source of about 5 MB compiled: records with three regions."""
    rnd = random.Random(seed)
    recs = []
    for i in range(records):
        key = rnd.randrange(0x200, 0x7FFFFFFF)
        recs.append({"table": "sigwtrjn.inx", "name": "Trojan.WinCE.Bench%06d" % i, "key": key,
                     "section": ".text", "flags": 1,
                     "regions": [{"offset": key, "length": 30, "crc": "0x%08X" % rnd.getrandbits(32)},
                                 {"offset": 128, "length": 255, "crc": "0x%08X" % rnd.getrandbits(32)},
                                 {"offset": key + 30, "length": 255, "crc": "0x%08X" % rnd.getrandbits(32)}]})
    with open(path, "w") as f:
        json.dump({"wince": recs}, f)


def scanver(path, day):
    with open(path, "wb") as f:
        f.write(struct.pack("<10H", 1, 0, 2026, 12, 0, day, 0, 0, 0, 0))


def arj_body(package, out):
    data = bytearray(open(package, "rb").read()[51:])
    for i in range(min(90, len(data))):
        data[i] ^= 0x6D
    open(out, "wb").write(data)


class ScanLoop(threading.Thread):
    """nxscan -j2 -v over the corpus, run after run, each verdict time-stamped."""

    def __init__(self, nxscan, device, corpus):
        super().__init__(daemon=True)
        self.args = [nxscan, "--device-root", device, "-v", "-j2", "--no-summary", corpus]
        self.stamps = []  # (run, time)
        self.stop = False
        self.runs = 0

    def run(self):
        while not self.stop:
            parent, child = pty.openpty()
            p = subprocess.Popen(self.args, stdout=child, stderr=subprocess.DEVNULL)
            os.close(child)
            buf = b""
            while True:
                r, _, _ = select.select([parent], [], [], 0.5)
                if not r:
                    if p.poll() is not None:
                        break
                    continue
                try:
                    chunk = os.read(parent, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                now = time.monotonic()
                buf += chunk
                while b"\n" in buf:
                    _, buf = buf.split(b"\n", 1)
                    self.stamps.append((self.runs, now))
            p.wait()
            os.close(parent)
            self.runs += 1


def longest_gap(stamps, start, end):
    gap, last = 0.0, {}
    for run_id, t in stamps:
        if run_id in last and start <= t <= end:
            gap = max(gap, t - last[run_id])
        last[run_id] = t
    return gap


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default=os.path.join(ROOT, "out/release"))
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--files", type=int, default=2000)
    ap.add_argument("--speed", type=float, default=1.0)
    ap.add_argument("--records", type=int, default=110000)
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    bin_ = os.path.join(build, "bin")
    shared = os.environ.get("NX_SHARED_DIR", os.path.join(os.path.dirname(ROOT), "shared"))
    work = os.environ.get("NX_BENCH_DIR", "/tmp/nx-update-bench")
    for tool in ("curl", "arj"):
        if not shutil.which(tool):
            sys.exit(f"update_bench: {tool} missing (scripts/bootstrap installs it)")
    os.makedirs(work, exist_ok=True)
    corpus = os.path.join(work, f"corpus-{a.files}")
    if not os.path.isdir(corpus):
        run([sys.executable, os.path.join(shared, "bench/make_corpus.py"), corpus, "--files", str(a.files), "--seed", "1"])
    device = os.path.join(work, "device")
    server = os.path.join(work, "server")
    shutil.rmtree(device, ignore_errors=True)
    shutil.rmtree(server, ignore_errors=True)
    run([os.path.join(bin_, "nxdevice"), "--device-root", device, "install", os.path.join(build, "image")])
    run([os.path.join(bin_, "nxdevice"), "--device-root", device, "clock", str(a.speed)])
    install = os.path.join(device, "Program Files/Nyxel/Nyxel AntiVirus")
    port = free_port()
    run([os.path.join(bin_, "nxpack"), "sources", "--url", f"http://127.0.0.1:{port}/", "-o",
         os.path.join(install, "httpdn.dat")])
    os.makedirs(server)
    http = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1"], cwd=server,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    rows = []
    try:
        for k in range(a.rounds):
            files = os.path.join(work, f"files{k}")
            shutil.rmtree(files, ignore_errors=True)
            src = os.path.join(work, f"table{k}.json")
            table_source(src, a.records, k)
            run([os.path.join(bin_, "nxsig"), "build", os.path.join(ROOT, "signatures/nyxel.json"), src, "-o", files])
            for extra in ("sig32ce.inx", "sigaif.inx", "sigmpoly.inx"):
                if os.path.exists(os.path.join(files, extra)):
                    os.remove(os.path.join(files, extra))  # the update brings the one new table
            scanver(os.path.join(files, "scanver.cnf"), 11 + k)
            out = run([os.path.join(bin_, "nxpack"), "build", files, "-o", server]).stdout.decode()
            pkg = sorted(f for f in os.listdir(server) if f.endswith(".pkg"))[-1]
            size = os.path.getsize(os.path.join(server, pkg))

            scan = ScanLoop(os.path.join(bin_, "nxscan"), device, corpus)
            scan.start()
            time.sleep(1.5)  # a few runs before the update: the usual gaps
            before_end = time.monotonic()
            t0 = time.monotonic()
            p = subprocess.Popen([os.path.join(bin_, "nxupdate"), "--device-root", device, "now"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            marks = {}
            for line in p.stdout:
                code = line[:4].decode(errors="replace")
                marks.setdefault(code, time.monotonic())
            rc = p.wait()
            t1 = time.monotonic()
            time.sleep(0.5)
            scan.stop = True
            scan.join()
            if rc != 0 or "1008" not in marks:
                sys.exit(f"update_bench: round {k}: nxupdate failed ({rc})")
            stall = longest_gap(scan.stamps, marks.get("1007", t0), t1 + 0.5)
            usual = longest_gap(scan.stamps, 0, before_end)

            # The peer: the same three files by curl, the same body by arj x.
            body = os.path.join(work, "files.arj")
            arj_body(os.path.join(server, pkg), body)
            out_dir = os.path.join(work, "arj-out")
            shutil.rmtree(out_dir, ignore_errors=True)
            os.makedirs(out_dir)
            c0 = time.monotonic()
            for f in ("index.bin", "index.dat", pkg):
                run(["curl", "-s", "-f", "-o", os.path.join(out_dir, f + ".dl"), f"http://127.0.0.1:{port}/{f}"])
            run(["arj", "x", "-y", body, out_dir + "/"])
            c1 = time.monotonic()
            rows.append((t1 - t0, marks["1007"] - t0, c1 - c0, stall, usual, size))
            print(f"round {k}: package {size} bytes; nxupdate {t1 - t0:.3f} s (to replacing {marks['1007'] - t0:.3f} s);"
                  f" curl + arj x {c1 - c0:.3f} s; scan stall {stall * 1000:.0f} ms (usual longest gap"
                  f" {usual * 1000:.0f} ms); {scan.runs} nxscan runs", flush=True)
    finally:
        http.terminate()
        http.wait()

    def med(i):
        return statistics.median(r[i] for r in rows)

    total, fetch, peer, stall, usual = med(0), med(1), med(2), med(3), med(4)
    print(f"\nmedian of {len(rows)} rounds, device clock x{a.speed:g}, load {os.getloadavg()[0]:.1f}:")
    print(f"  nxupdate now            {total:.3f} s   ratio to curl + arj x {total / peer:.2f} (target 1.5)")
    print(f"  fetch, unpack, version  {fetch:.3f} s   ratio {fetch / peer:.2f}")
    print(f"  curl + arj x            {peer:.3f} s")
    print(f"  longest scan stall during the reload {stall * 1000:.0f} ms (target 250); longest gap before"
          f" {usual * 1000:.0f} ms")


if __name__ == "__main__":
    main()
