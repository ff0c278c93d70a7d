#!/usr/bin/env python3
"""Seam visibility of `quorv upscale` with and without fusion and tone matching.

Runs the built tool on the sample photographs and on three made pictures
(flat gradient, screenshot, pixel art), x2 and x4, with the `identity` and
`demo` processors, for `--fusion none`, `v1`, `v1 --match-tone` and
`v1 --match-tone --refix-seams`, and prints one table of the seam score
(1.00 = the borders look as they did before processing) with the worst
border, the tiles of the even grid against those the grid alone lays, and
the time fusion, tone matching and the re-fix add as ratios to the
enlargement. Standard library only.

    bench/seams.py [--quorv build/tools/quorv/quorv] [--data DIR ...] [--out out/bench]
"""

import argparse
import json
import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CONFIGS = [("none", ["--fusion", "none"]), ("v1", ["--fusion", "v1"]), ("v1+tone", ["--fusion", "v1", "--match-tone"]),
           ("v1+tone+refix", ["--fusion", "v1", "--match-tone", "--refix-seams"])]


def write_png(path, width, height, pixel):
    """An 8-bit RGB PNG; pixel(x, y) gives (r, g, b) in 0..255."""
    rows = b"".join(b"\0" + bytes(v for x in range(width) for v in pixel(x, y)) for y in range(height))
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    Path(path).write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 6)) +
                           chunk(b"IEND", b""))


def made_pictures(folder):
    """Flat gradient, screenshot and pixel art, 320 x 240, where a photograph's texture hides nothing."""
    w, h = 320, 240
    rng = random.Random(5)
    gradient = folder / "flat_gradient.png"
    write_png(gradient, w, h, lambda x, y: (90 + x * 60 // w, 110 + y * 40 // h, 140))

    # A white page with a grey title bar, a tinted panel and lines of dark "glyphs".
    glyphs = {(x, y) for y in range(40, h - 10, 14) for x in range(12, w - 12) if rng.random() < 0.35
              for y in range(y, y + 7)}
    def screen(x, y):
        if y < 20:
            return (215, 215, 220)
        if (x, y) in glyphs:
            return (40, 40, 50)
        if 60 <= y < 140 and 180 <= x < 300:
            return (200, 220, 245)
        return (255, 255, 255)
    screenshot = folder / "screenshot.png"
    write_png(screenshot, w, h, screen)

    # 40 x 30 pixels of a 6-colour palette, each 8 x 8.
    palette = [(20, 12, 28), (68, 36, 52), (48, 52, 109), (78, 74, 78), (133, 76, 48), (208, 70, 72)]
    cells = [[rng.choice(palette) for _ in range(w // 8)] for _ in range(h // 8)]
    art = folder / "pixel_art.png"
    write_png(art, w, h, lambda x, y: cells[y // 8][x // 8])
    return [gradient, screenshot, art]


def run(quorv, picture, scale, processor, extra, folder, tile):
    report = folder / "report.json"
    report.unlink(missing_ok=True)
    cmd = [str(quorv), "upscale", str(picture), "-o", str(folder / "out.png"), "--overwrite", "-q",
           "--scale", str(scale), "--tile-size", tile, "--processor", processor, "--report", str(report)] + extra
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode not in (0, 3):
        sys.exit(f"{' '.join(cmd)} failed ({done.returncode}): {done.stderr.strip()}")
    return json.loads(report.read_text())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quorv", default=str(ROOT / "build/tools/quorv/quorv"))
    parser.add_argument("--data", nargs="*", default=[str(ROOT.parent / "shared/data"), str(ROOT / "data")])
    parser.add_argument("--scales", nargs="*", type=int, default=[2, 4])
    parser.add_argument("--out", default=str(ROOT / "out/bench"))
    parser.add_argument("--tile-size", default="256")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        pictures, seen = [], set()
        for d in args.data:
            for p in sorted(Path(d).glob("*.png")) if Path(d).is_dir() else []:
                if p.name not in seen:
                    seen.add(p.name)
                    pictures.append(p)
        pictures += made_pictures(folder)

        lines = ["| picture | scale | processor | tiles (grid alone -> even) | none | v1 | v1 + tone | "
                 "v1 + tone + refix | worst (v1 + tone + refix) | fusion / enlarge | tone / enlarge | "
                 "refix / enlarge |",
                 "|---|---|---|---|---|---|---|---|---|---|---|---|"]
        print(lines[0], lines[1], sep="\n", flush=True)
        ratio = lambda t, stage: f"{t[stage] / t['enlarge']:.1f}" if t.get(stage) is not None and t.get("enlarge") else "-"
        for picture in pictures:
            for scale in args.scales:
                for processor in ("identity", "demo"):
                    scores, worst, tiles, times = [], "", "", {}
                    for name, extra in CONFIGS:
                        r = run(args.quorv, picture, scale, processor, extra, folder, args.tile_size)
                        scores.append(f"{r['seam_score']['score']:.2f}")
                        t = r["timings"]
                        if name == "v1":
                            times["fusion"] = ratio(t, "fusion")
                        if name == "v1+tone":
                            times["tone"] = ratio(t, "tone_match")
                        if name == "v1+tone+refix":
                            w = r["seam_score"].get("worst")
                            worst = f"{w['score']:.2f} tile {w['tile']} {w['edge']}" if w else "-"
                            times["refix"] = ratio(t, "refix_seams")
                            g = r["grid"]
                            tiles = f"{g['uneven_grid_tiles']} -> {g['tiles']}"
                    line = (f"| {picture.stem} | x{scale} | {processor} | {tiles} | " + " | ".join(scores) +
                            f" | {worst} | {times['fusion']} | {times['tone']} | {times['refix']} |")
                    lines.append(line)
                    print(line, flush=True)
    os.makedirs(args.out, exist_ok=True)
    (Path(args.out) / "seams.md").write_text("\n".join(lines) + "\n")
    print(f"written to {Path(args.out) / 'seams.md'}")


if __name__ == "__main__":
    main()
