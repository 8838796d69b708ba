#!/usr/bin/env python3
"""What bounds `nxscan -jN`: measured on this machine, modelled for more cores.

usage: bench/scan_scaling.py [BUILD_DIR] [--files N] [--rounds R]

Scans the peer benchmark corpus (../shared/bench/make_corpus.py, seed 1,
kept in $NX_BENCH_DIR, default /tmp/nx-bench) with the signatures equivalent
to the peer's database, and reports:

- the wall time of -j1 and -j2 (best of R rounds, taking turns) and the ratio;
- per file, from NX_CE_LOCK_STATS counters of every scanning process: how
  often the device-wide locks are taken, waited for, and how long they are
  held ("kernel": the device segment's lock; "kobj": the others together);
- per file, from strace: the directory operations (mkdir, rmdir, unlink,
  rename) every process makes;
- a model of -j8 and -j16 on a machine with that many cores: the jobs are
  threads of one process; each job is taken to keep the efficiency measured
  at -j2 (what the process's own locks and folders cost two jobs), and the
  rate is capped by 1 / (hold time per file) of the most held device-wide
  lock, where every job queues. The process's own locks are not counted.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(here)


def run(cmd, env=None, err=subprocess.DEVNULL):
    t0 = time.monotonic()
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=err, env=env)
    return time.monotonic() - t0, p


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default=os.path.join(root, "out/release"))
    ap.add_argument("--files", type=int, default=4000)
    ap.add_argument("--rounds", type=int, default=5)
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    shared = os.environ.get("NX_SHARED_DIR", os.path.join(os.path.dirname(root), "shared"))
    work = os.environ.get("NX_BENCH_DIR", "/tmp/nx-bench")
    corpus = os.path.join(work, "corpus-%d" % a.files)
    os.makedirs(work, exist_ok=True)
    if not os.path.isdir(corpus):
        subprocess.run([sys.executable, os.path.join(shared, "bench/make_corpus.py"), corpus, "--files",
                        str(a.files), "--seed", "1"], check=True, stdout=subprocess.DEVNULL)
    files = sum(len(f) for _, _, f in os.walk(corpus))
    device = os.path.join(work, "scaling-device")
    shutil.rmtree(device, ignore_errors=True)
    subprocess.run([build + "/bin/nxdevice", "--device-root", device, "install", build + "/image"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([build + "/bin/nxsig", "build", os.path.join(shared, "bench/nx-equivalent.json"), "-o",
                    os.path.join(device, "Program Files/Nyxel/Nyxel AntiVirus")], check=True,
                   stdout=subprocess.DEVNULL)
    nxscan = lambda j: [build + "/bin/nxscan", "--device-root", device, "--no-summary", "-j%d" % j, corpus]
    subprocess.run(["sh", "-c", "find '%s' -type f -print0 | xargs -0 cat >/dev/null" % corpus])

    best = {1: None, 2: None}
    for _ in range(a.rounds):
        for j in (1, 2):
            t, _ = run(nxscan(j))
            best[j] = t if best[j] is None else min(best[j], t)
    print("corpus: %d files; load average %.2f" % (files, os.getloadavg()[0]))
    print("nxscan -j1 %.3f s, -j2 %.3f s: -j2 / -j1 = %.2fx" % (best[1], best[2], best[1] / best[2]))

    # Lock counters of every scanning process of one -j2 run.
    env = dict(os.environ, NX_CE_LOCK_STATS="1")
    with tempfile.TemporaryFile("w+") as err:
        run(nxscan(2), env=env, err=err)
        err.seek(0)
        locks = {}
        for line in err:
            m = re.match(r"nx-lock-stats pid=\d+ lock=(\w+) taken=(\d+) contended=(\d+) wait_ns=(\d+) hold_ns=(\d+)",
                         line)
            if m:
                c = locks.setdefault(m.group(1), [0, 0, 0, 0])
                for i in range(4):
                    c[i] += int(m.group(i + 2))
    print("%-8s %12s %12s %14s %14s" % ("lock", "taken/file", "waited/file", "wait us/file", "hold us/file"))
    for name, (taken, contended, wait, hold) in sorted(locks.items()):
        print("%-8s %12.1f %12.2f %14.2f %14.2f" % (name, taken / files, contended / files, wait / files / 1e3,
                                                     hold / files / 1e3))

    # Directory operations of every process of one -j2 run.
    if shutil.which("strace"):
        with tempfile.NamedTemporaryFile("r") as out:
            subprocess.run(["strace", "-f", "-c", "-o", out.name, "-e",
                            "trace=mkdir,mkdirat,rmdir,unlink,unlinkat,rename,renameat,renameat2"] + nxscan(2),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            ops = {}
            for line in out.read().splitlines():
                parts = line.split()
                if len(parts) >= 5 and parts[-1].isidentifier() and parts[-1] != "total" and parts[3].isdigit():
                    ops[parts[-1]] = int(parts[3])
        print("directory operations per file: " + (", ".join("%s %.2f" % (k, v / files) for k, v in sorted(ops.items()))
                                                  or "none"))
    else:
        print("directory operations: strace missing (scripts/bootstrap installs it)")

    per_file = best[1] / files
    efficiency = best[1] / best[2] / 2
    hold = max((h for _, _, _, h in locks.values()), default=0) / files / 1e9
    cap = 1 / hold if hold else float("inf")
    print("model (one job per core, each at the -j2 efficiency of %.2f, capped by the most held device-wide lock):"
          % efficiency)
    for n in (2, 8, 16):
        rate = min(n * efficiency / per_file, cap)
        print("  -j%-2d %9.0f files/s  %5.2fx -j1%s" % (n, rate, rate * per_file,
                                                     "  (bound by the lock)" if rate == cap else ""))

if __name__ == "__main__":
    main()
