"""quorv.upscale: the whole road from Python, with named processors, callables and executors."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import quorv
import torch


@pytest.fixture(scope="module")
def crop(coffee):
    # Odd sizes: the grid works on a padded copy and the result is cropped back.
    return coffee[:, :203, :317].contiguous()


def test_callables_and_executors_give_the_named_processors_picture(crop):
    before = crop.clone()
    named, report = quorv.upscale(crop, scale=2, processor="demo", tile_size=256)
    assert named.shape == (1, 406, 634, 3)
    assert report["complete"] and report["fusion"]["unfused"] == []
    assert report["grid"]["tiles"] > 4 and report["input"] == {"width": 317, "height": 203, "alpha": False}

    demo = quorv.TileProcessor("demo")
    as_callable, _ = quorv.upscale(crop, scale=2, processor=lambda tile, mask, index: demo(tile, mask, index),
                                   tile_size=256)
    with ThreadPoolExecutor(2) as pool:
        on_pool, _ = quorv.upscale(crop, scale=2, processor="demo", tile_size=256, executor=pool)
    assert torch.equal(as_callable, named) and torch.equal(on_pool, named)
    assert torch.equal(crop, before)

    # Fusion is what hides the tiles' own tones.
    unfused, plain = quorv.upscale(crop, scale=2, processor="demo", tile_size=256, fusion="none")
    assert report["seam_score"]["score"] < plain["seam_score"]["score"]
    assert plain["fusion"]["service"] == ""


def test_a_processor_that_changes_its_arguments_changes_nothing_else(crop):
    identity, _ = quorv.upscale(crop, scale=2, tile_size=256, fusion="none")

    def vandal(tile, mask):
        out = tile.clone()
        tile.zero_()
        mask.zero_()
        return out

    result, report = quorv.upscale(crop, scale=2, processor=vandal, tile_size=256, fusion="none")
    assert torch.equal(result, identity)
    assert report["processor"].startswith("<function")


def test_a_processors_failure_is_raised_as_it_was_or_listed_with_keep_going(crop):
    def fails_on_tile_2(tile, mask, index):
        if index == 2:
            raise KeyError("no sampler")
        return tile

    with pytest.raises(KeyError) as raised:
        quorv.upscale(crop, scale=2, processor=fails_on_tile_2, tile_size=256, fusion="none")
    assert any("tile 2 (row 0, col 2)" in note for note in raised.value.__notes__)

    _, report = quorv.upscale(crop, scale=2, processor=fails_on_tile_2, tile_size=256, fusion="none",
                              keep_going=True)
    assert not report["complete"]
    assert [(t["tile"], t["reason"]) for t in report["unprocessed"]] == [
        (2, "the processor raised KeyError: 'no sampler'")]

    for wrong, expected in [(lambda t, m: t[:, 1:], r"returned \[1, 255"), (lambda t, m: t.numpy(), "returned a ndarray"),
                            (lambda t, m: (t * 255).to(torch.uint8), "expected float32")]:
        with pytest.raises(ValueError, match=r"tile 0 \(row 0, col 0\).*" + expected):
            quorv.upscale(crop, scale=2, processor=wrong, tile_size=256, fusion="none")


def test_arguments_are_checked_by_name(crop):
    with pytest.raises(ValueError, match="picture .*channels-first"):
        quorv.upscale(crop.permute(0, 3, 1, 2))
    with pytest.raises(TypeError, match="picture must be a torch.Tensor"):
        quorv.upscale(np.zeros((1, 8, 8, 3), np.float32))
    with pytest.raises(ValueError, match="float32"):
        quorv.upscale(crop.double())
    with pytest.raises(TypeError, match="processor must be a name .* got int"):
        quorv.upscale(crop, processor=5)
    with pytest.raises(ValueError, match="processor must be identity, demo"):
        quorv.upscale(crop, processor="sharpen")
    with pytest.raises(TypeError, match="executor must be a concurrent.futures.Executor"):
        quorv.upscale(crop, processor="demo", executor=object())
    for scale in (0, -1, float("nan")):
        with pytest.raises(ValueError, match="scale must be a number above 0"):
            quorv.upscale(crop, scale=scale)
    with pytest.raises(ValueError, match="jobs"):
        quorv.upscale(crop, processor="demo", jobs=0, fusion="none")


def test_alpha_is_enlarged_apart_and_given_back(crop):
    alpha = torch.linspace(0, 1, crop.shape[2]).reshape(1, 1, -1, 1).expand(1, crop.shape[1], -1, 1)
    result, report = quorv.upscale(torch.cat([crop, alpha], 3), scale=1.5, processor="demo", tile_size=256,
                                   fusion="none")
    assert result.shape == (1, 305, 476, 4) and report["input"]["alpha"]
    assert float(result[..., 3].min()) == pytest.approx(0, abs=0.01)
    assert float(result[..., 3].max()) == pytest.approx(1, abs=0.01)


def test_a_dask_cluster_gives_the_local_picture(crop):
    from dask.distributed import Client, LocalCluster

    local, _ = quorv.upscale(crop, scale=2, processor="demo", tile_size=256)
    shift = 0.05

    def brighter(tile, mask):  # a closure: pickled by value, as a node's own function would be
        return (tile + shift).clamp(0, 1)

    brighter_here, _ = quorv.upscale(crop, scale=2, processor=brighter, tile_size=256, fusion="none")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        on_cluster, report = quorv.upscale(crop, scale=2, processor="demo", tile_size=256,
                                           executor=client.get_executor())
        brighter_there, _ = quorv.upscale(crop, scale=2, processor=brighter, tile_size=256, fusion="none",
                                          executor=client.get_executor())
    assert torch.equal(on_cluster, local) and report["complete"]
    assert torch.equal(brighter_there, brighter_here)


def test_the_dask_example_upscales_a_file(crop, tmp_path):
    import os
    import subprocess
    import sys
    from pathlib import Path

    example = Path(__file__).resolve().parents[2] / "examples" / "dask_upscale.py"
    quorv.write_picture(str(tmp_path / "in.png"), crop)
    environment = dict(os.environ, PYTHONPATH=str(Path(quorv.__file__).parent), PYTHONDONTWRITEBYTECODE="1")
    run = subprocess.run([sys.executable, str(example), "in.png", "out.png", "--tile-size", "256"], cwd=tmp_path,
                         env=environment, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "out.png: 634 x 406, 6 tiles on 2 local workers" in run.stdout
    assert quorv.read_picture(str(tmp_path / "out.png")).shape == (1, 406, 634, 3)
