#!/usr/bin/env python3
"""Upscale a picture with its tiles processed on a Dask cluster.

    dask_upscale.py INPUT OUTPUT [--scale 2] [--processor demo] [--scheduler tcp://HOST:8786]

Without --scheduler a cluster of --workers processes is started on this
machine (127.0.0.1). With one, every worker needs the quorv module (and, for
--processor model:NAME, the model: `quorv models fetch NAME`). Tiles go to the
workers; enlarging, fusion and pasting stay here, in grid order, so the
picture is the one a local run makes. Exit status 3 when some tile was not
done as asked (listed on stderr), as with the quorv tool.
"""

import argparse
import sys
import time

import quorv
from dask.distributed import Client, LocalCluster


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--scale", type=float, default=2)
    parser.add_argument("--processor", default="demo",
                        help="identity, demo, torchscript:FILE or model:NAME (a same-size restorer)")
    parser.add_argument("--tile-size", type=int, default=512)
    parser.add_argument("--scheduler", help="the address of a running scheduler, e.g. tcp://10.0.0.5:8786")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes without --scheduler")
    args = parser.parse_args()

    picture = quorv.read_picture(args.input)
    started = time.monotonic()
    if args.scheduler:
        cluster = None
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, host="127.0.0.1",
                               dashboard_address=None)
        client = Client(cluster)
    try:
        def progress(stage, done, total):
            print(f"\r{stage} {done}/{total}", end="", file=sys.stderr, flush=True)

        result, report = quorv.upscale(picture, scale=args.scale, processor=args.processor,
                                       tile_size=args.tile_size, match_tone=True, executor=client.get_executor(),
                                       progress=progress)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(file=sys.stderr)
    quorv.write_picture(args.output, result)

    grid = report["grid"]
    print(f"{args.output}: {result.shape[2]} x {result.shape[1]}, {grid['tiles']} tiles on "
          f"{'the cluster at ' + args.scheduler if args.scheduler else f'{args.workers} local workers'}, "
          f"seam score {report['seam_score']['score']:.2f}, {time.monotonic() - started:.1f} s")
    for kind, tiles in (("not processed", report["unprocessed"]), ("not fused", report["fusion"]["unfused"])):
        for tile in tiles:
            print(f"{kind}: tile {tile['tile']}: {tile['reason']}", file=sys.stderr)
    return 0 if report["complete"] else 3


if __name__ == "__main__":
    sys.exit(main())
