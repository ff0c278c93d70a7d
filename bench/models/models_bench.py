"""Speed and quality of the installed models.

    /usr/bin/python3 bench/models/models_bench.py --models-dir DIR [--picture PNG] [--repeats N]

Speed: megapixels of output per second on 256 x 256 input tiles, with 1 and 2
threads, and the ratio of the two. Quality, for each enlarger: the picture is
shrunk by area averaging by the model's scale and enlarged back, by the model
and by lanczos; PSNR against the original and the variance of the Laplacian
(sharpness), each also as a ratio to lanczos.
"""
import argparse
import glob
import json
import math
import os
import sys
import time

import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "models"))
from quorv_models import png  # noqa: E402

TILE = 256


def lanczos_weights(size_in: int, size_out: int, a: int = 3) -> np.ndarray:
    """[size_out, size_in] lanczos-3 resampling matrix (enlarging), edge pixels repeated."""
    scale = size_in / size_out
    matrix = np.zeros((size_out, size_in))
    for o in range(size_out):
        centre = (o + 0.5) * scale - 0.5
        for i in range(math.floor(centre) - a + 1, math.floor(centre) + a + 1):
            d = centre - i
            w = np.sinc(d) * np.sinc(d / a) if abs(d) < a else 0.0
            matrix[o, min(max(i, 0), size_in - 1)] += w
    return matrix / matrix.sum(axis=1, keepdims=True)


def lanczos(picture: np.ndarray, scale: int) -> np.ndarray:
    h, w, _ = picture.shape
    rows, cols = lanczos_weights(h, h * scale), lanczos_weights(w, w * scale)
    return np.clip(np.einsum("oh,hwc->owc", rows, np.einsum("pw,hwc->hpc", cols, picture)), 0, 1)


def area_shrink(picture: np.ndarray, scale: int) -> np.ndarray:
    h, w = picture.shape[0] // scale * scale, picture.shape[1] // scale * scale
    return picture[:h, :w].reshape(h // scale, scale, w // scale, scale, 3).mean(axis=(1, 3))


def psnr(a: np.ndarray, b: np.ndarray) -> float:
    return 10 * math.log10(1.0 / float(np.mean((a - b) ** 2)))


def laplacian_variance(picture: np.ndarray) -> float:
    grey = picture.mean(axis=2)
    lap = grey[1:-1, :-2] + grey[1:-1, 2:] + grey[:-2, 1:-1] + grey[2:, 1:-1] - 4 * grey[1:-1, 1:-1]
    return float(lap.var())


def run(model, picture: np.ndarray) -> np.ndarray:
    x = torch.from_numpy(np.ascontiguousarray(picture, dtype=np.float32)).permute(2, 0, 1)[None]
    with torch.no_grad():
        return model(x)[0].permute(1, 2, 0).double().numpy()


def speed(model, scale: int, threads: int, repeats: int) -> float:
    torch.set_num_threads(threads)
    tile = torch.rand(1, 3, TILE, TILE)
    with torch.no_grad():
        model(tile)  # warm-up
        start = time.perf_counter()
        for _ in range(repeats):
            model(tile)
        elapsed = time.perf_counter() - start
    return repeats * (TILE * scale) ** 2 / 1e6 / elapsed


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--models-dir", required=True)
    parser.add_argument("--picture", default=os.path.join(os.path.dirname(__file__), "..", "..", "data",
                                                           "astronaut.png"))
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--only", nargs="*", default=[])
    args = parser.parse_args()
    original = png.read_png(args.picture).astype(np.float64)
    references = {}
    print(f"{'model':26} {'MP/s 1t':>8} {'MP/s 2t':>8} {'2t/1t':>6} {'PSNR':>6} {'vs lz':>6} {'LapVar':>8} {'vs lz':>6}")
    for path in sorted(glob.glob(os.path.join(args.models_dir, "*.pt"))):
        name = os.path.basename(path)[:-3]
        if args.only and name not in args.only:
            continue
        with open(path[:-3] + ".json") as f:
            scale = json.load(f)["scale"]
        model = torch.jit.load(path)
        one, two = speed(model, scale, 1, args.repeats), speed(model, scale, 2, args.repeats)
        line = f"{name:26} {one:8.3f} {two:8.3f} {two / one:6.2f}"
        if scale > 1:
            small = area_shrink(original, scale)
            target = original[:small.shape[0] * scale, :small.shape[1] * scale]
            if scale not in references:
                lz = lanczos(small, scale)
                references[scale] = (psnr(lz, target), laplacian_variance(lz))
                print(f"{'lanczos x%d' % scale:26} {'':8} {'':8} {'':6} {references[scale][0]:6.2f} {1:6.2f} "
                      f"{references[scale][1]:8.5f} {1:6.2f}")
            out = run(model, small)
            p, v = psnr(out, target), laplacian_variance(out)
            line += f" {p:6.2f} {p / references[scale][0]:6.2f} {v:8.5f} {v / references[scale][1]:6.2f}"
        print(line, flush=True)


if __name__ == "__main__":
    main()
