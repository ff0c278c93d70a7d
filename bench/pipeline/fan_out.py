#!/usr/bin/env python3
"""Tile work fanned out: quorv.upscale with 1 and N local jobs and on a Dask
LocalCluster of N worker processes (127.0.0.1), on the same jobs.

For each processor (the demo stand-in on a large picture, a catalogue
restorer on a smaller one) it prints per way of running: wall seconds
(median of --repeat), the ratio to one job, processor time over wall time,
and the wall of the "process" stage (processor time counts this process only,
not the Dask workers); for Dask, the overhead per tile: the process stage's
wall against that of N local jobs (each with one thread, as each worker),
times N, divided by the tiles. Every run must give the same picture as one local job.

    PYTHONPATH=build/python /usr/bin/python3 bench/pipeline/fan_out.py [--workers 2] [--repeat 3]

It runs with the quorv tool's memory policy (freed memory stays with the
process; set through glibc's environment, inherited by the workers) and
torch using every core, as the tool does.
"""

import argparse
import os
import resource
import statistics
import sys
import time
from pathlib import Path

import quorv
import torch
from dask.distributed import Client, LocalCluster

ROOT = Path(__file__).resolve().parents[2]


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(repeat, run):
    walls, cpus, process, picture = [], [], [], None
    for _ in range(repeat):
        started, started_cpu = time.monotonic(), cpu_seconds()
        picture, report = run()
        walls.append(time.monotonic() - started)
        cpus.append(cpu_seconds() - started_cpu)
        process.append(report["timings"]["process"])
        tiles = report["grid"]["tiles"]
    return statistics.median(walls), statistics.median(cpus), statistics.median(process), tiles, picture


def main():
    if os.environ.get("MALLOC_MMAP_MAX_") != "0":
        os.environ.update(MALLOC_MMAP_MAX_="0", MALLOC_TRIM_THRESHOLD_=str(2**64 - 1))
        os.execv(sys.executable, [sys.executable] + sys.argv)
    torch.set_num_threads(os.cpu_count())
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--demo-size", type=int, default=2048, help="input side for the demo job (result x2)")
    parser.add_argument("--model-size", type=int, default=512, help="input side for the restorer job (result x2)")
    parser.add_argument("--restorer", default="waifu2x-noise1")
    args = parser.parse_args()

    photo = quorv.read_picture(str(ROOT / "data" / "astronaut.png"))
    Q = quorv.Quorv_Image()
    jobs = [("demo", Q.better_downscale(photo, args.demo_size, args.demo_size)),
            (f"model:{args.restorer}", Q.better_downscale(photo, args.model_size, args.model_size))]
    n = args.workers
    with LocalCluster(n_workers=n, threads_per_worker=1, host="127.0.0.1", dashboard_address=None) as cluster, \
            Client(cluster) as client:
        print(f"{'processor':28} {'way':12} {'wall s':>8} {'vs 1 job':>9} {'cpu/wall':>9} {'process s':>10} "
              f"{'per tile':>9}")
        for processor, picture in jobs:
            # The driver's own cores: the Dask workers are separate processes.
            ways = [("1 job", dict(jobs=1)), (f"{n} jobs", dict(jobs=n)),
                    (f"dask x{n}", dict(executor=client.get_executor()))]
            one = local = None
            for way, extra in ways:
                quorv.upscale(picture[:, :256, :256].contiguous(), processor=processor, tile_size=256, **extra)
                wall, cpu, process, tiles, result = timed(
                    args.repeat, lambda: quorv.upscale(picture, scale=2, processor=processor, **extra))
                if one is None:
                    one = (wall, process, result)
                elif local is None:
                    local = process
                same = torch.equal(result, one[2])
                overhead = ""
                if "executor" in extra:
                    overhead = f"{(process - local) * n / tiles * 1000:7.0f}ms"
                print(f"{processor:28} {way:12} {wall:8.2f} {one[0] / wall:8.2f}x {cpu / wall:9.2f} {process:10.2f} "
                      f"{overhead:>9}{'' if same else '  DIFFERENT PICTURE'}", flush=True)
                if not same:
                    raise SystemExit(f"{processor} {way}: the picture differs from one local job's")


if __name__ == "__main__":
    main()
