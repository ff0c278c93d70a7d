#!/usr/bin/env python3
"""Whole runs of `quorv upscale`: wall time, cores kept busy and peak memory.

Runs one or two builds of the tool in alternation on the same jobs (the
sample photograph enlarged to 2048 x 2048 and 4096 x 4096, each enlarged x2),
for the processors `identity` and `demo`, fusion `none` and `v1`, and 512 and
1024 pixel tiles, and prints per job and build:
  - wall seconds (median of --repeat runs) and, with two builds, base/new;
  - tile work over the enlargement: (total - enlarge - write) / enlarge;
  - processor time over wall time (all threads together);
  - peak RSS above the process base (a run on an 8 x 8 picture), in output
    canvases (width x height x 3 floats).
Standard library only.

    bench/throughput.py --quorv build/tools/quorv/quorv [--base OTHER/quorv]
                        [--sizes 2048 4096] [--repeat 3] [--quick]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "data" / "astronaut.png"


def run(quorv, args):
    """(wall seconds, cpu seconds, peak RSS bytes, report) of one run of the tool."""
    with tempfile.TemporaryDirectory() as tmp:
        report = Path(tmp) / "report.json"
        started = time.monotonic()
        child = subprocess.Popen([quorv, "upscale", *args, "--report", str(report), "-q", "--overwrite"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - started
        err = child.stderr.read().decode()
        child.stderr.close()
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            sys.exit(f"{quorv} {' '.join(args)} failed with {code}:\n{err}")
        return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024, json.loads(report.read_text())


def make_input(quorv, size, folder):
    """The sample photograph enlarged to size x size, written once."""
    path = Path(folder) / f"input_{size}.png"
    if not path.exists():
        scale = size / 512
        subprocess.run([quorv, "upscale", str(SAMPLE), "-o", str(path), "--scale", str(scale), "--fusion", "none",
                        "-q"], check=True, stdout=subprocess.DEVNULL)
    return path


def base_rss(quorv, folder):
    tiny = Path(folder) / "tiny.png"
    if not tiny.exists():
        subprocess.run([quorv, "upscale", str(SAMPLE), "-o", str(tiny), "--scale", str(8 / 512), "--fusion",
                        "none", "-q"], check=True, stdout=subprocess.DEVNULL)
    out = Path(folder) / "tiny_out.png"
    return run(quorv, [str(tiny), "-o", str(out), "--scale", "1", "--fusion", "none"])[2]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quorv", default=str(ROOT / "build/tools/quorv/quorv"))
    parser.add_argument("--base", help="another build of the tool to compare against (run in alternation)")
    parser.add_argument("--sizes", type=int, nargs="+", default=[2048, 4096], help="input sides (enlarged x2)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="only demo + v1 with 512 tiles")
    parser.add_argument("--work", default=str(ROOT / "out/bench/throughput"))
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    builds = [("new", args.quorv)] + ([("base", args.base)] if args.base else [])
    bases = {name: base_rss(path, args.work) for name, path in builds}

    jobs = [(p, f, t) for p in ("identity", "demo") for f in ("none", "v1") for t in (512, 1024)]
    if args.quick:
        jobs = [("demo", "v1", 512)]
    print(f"{'input':>6} {'processor':>9} {'fusion':>6} {'tile':>5} {'build':>5} {'wall s':>8} {'base/new':>8} "
          f"{'tiles/enl':>9} {'cpu/wall':>8} {'canvases':>8}")
    for size in args.sizes:
        picture = make_input(args.quorv, size, args.work)
        canvas = (2 * size) ** 2 * 3 * 4
        for processor, fusion, tile in jobs:
            options = [str(picture), "-o", str(Path(args.work) / "out.png"), "--scale", "2", "--processor",
                       processor, "--fusion", fusion, "--tile-size", str(tile)]
            results = {name: [] for name, _ in builds}
            for _ in range(args.repeat):
                for name, path in builds:  # alternated, so that a busy moment hits both
                    results[name].append(run(path, options))
            walls = {name: statistics.median(r[0] for r in rs) for name, rs in results.items()}
            for name, rs in results.items():
                wall, cpu, rss, report = sorted(rs, key=lambda r: r[0])[len(rs) // 2]
                t = report["timings"]
                tile_work = (t["total"] - t["enlarge"] - t["write"]) / t["enlarge"]
                ratio = f"{walls['base'] / walls['new']:.2f}" if name == "new" and "base" in walls else ""
                print(f"{size:>6} {processor:>9} {fusion:>6} {tile:>5} {name:>5} {wall:8.2f} {ratio:>8} "
                      f"{tile_work:9.2f} {cpu / wall:8.2f} {(rss - bases[name]) / canvas:8.2f}", flush=True)


if __name__ == "__main__":
    main()
