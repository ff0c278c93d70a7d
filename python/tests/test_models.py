"""quorv.models: the catalogue, loading models, and tiled inference as the host calls it."""

import pytest
import torch

import quorv
import quorv.models


class _ConvX2(torch.nn.Module):
    """Three 3x3 convolutions (a result pixel sees 3 input pixels each side), pixel shuffle x2."""

    def __init__(self):
        super().__init__()
        torch.manual_seed(5)
        self.a = torch.nn.Conv2d(3, 8, 3, padding=1)
        self.b = torch.nn.Conv2d(8, 8, 3, padding=1)
        self.c = torch.nn.Conv2d(8, 12, 3, padding=1)
        self.shuffle = torch.nn.PixelShuffle(2)

    def forward(self, x):
        y = self.c(torch.relu(self.b(torch.relu(self.a(x)))))
        return torch.nn.functional.interpolate(x, scale_factor=2.0, mode="nearest") + 0.1 * self.shuffle(y)


class _NaNs(torch.nn.Module):
    def forward(self, x):
        return x * float("nan")


@pytest.fixture
def models_dir(tmp_path):
    """A models folder with one test model installed under a catalogue name."""
    torch.jit.script(_ConvX2()).save(str(tmp_path / "waifu2x-scale2x.pt"))
    return str(tmp_path)


def _reference(image):
    """The whole-picture pass, in plain torch."""
    with torch.no_grad():
        return _ConvX2()(image.permute(0, 3, 1, 2)).clamp(0, 1).permute(0, 2, 3, 1)


def test_list_shows_the_catalogue_and_what_is_installed(models_dir):
    entries = quorv.models.list(models_dir)
    by_name = {e["name"]: e for e in entries}
    assert by_name["waifu2x-scale2x"]["installed"] is True
    assert by_name["waifu2x-scale2x"]["scale"] == 2
    assert by_name["waifu2x-scale2x"]["path"].startswith(models_dir)
    assert not any(e["installed"] for e in entries if e["name"] != "waifu2x-scale2x")
    assert {e["kind"] for e in entries} <= {"enlarger", "restorer"}
    assert quorv.models.models_dir(models_dir) == models_dir


def test_a_loaded_model_enlarges_tile_by_tile_like_one_pass(models_dir, astronaut, log_calls):
    model = quorv.models.load("waifu2x-scale2x", models_dir=models_dir, tile_size=40)
    assert (model.name, model.kind, model.scale, model.receptive_field) == ("waifu2x-scale2x.pt", "enlarger", 2, 4)
    # An odd-sized piece of a real photograph, and a second picture in the batch.
    crop = astronaut[:, 33:130, 57:170, :]
    batch = torch.cat([crop, crop.flip(1)])
    before = batch.clone()
    out = model(batch)
    assert out.shape == (2, 194, 226, 3)
    assert torch.allclose(out, _reference(batch), atol=1e-4)
    assert torch.equal(batch, before)
    # Progress goes through the package's log, one call per tile.
    assert log_calls and log_calls[-1][0] == "Upscaling with model"
    assert log_calls[-1][3].startswith("waifu2x-scale2x.pt: tile ")
    done, total = log_calls[-1][3].split("tile ")[1].split(" of ")
    assert done == total and int(total) == len(log_calls) > 2


def test_files_work_without_the_catalogue_and_bad_models_say_what_is_wrong(tmp_path, models_dir):
    model = quorv.models.load(str(tmp_path / "waifu2x-scale2x.pt"))
    assert model.kind is None and model.scale == 2
    model.tile_size = 8
    with pytest.raises(ValueError, match="use at least 22"):
        model(torch.rand(1, 30, 30, 3))

    torch.jit.script(_NaNs()).save(str(tmp_path / "nans.pt"))
    with pytest.raises(ValueError, match=r"'nans.pt' returned NaN or infinity .*\(tile 1 of 1 at x 0, y 0"):
        quorv.models.load(str(tmp_path / "nans.pt"))(torch.rand(1, 16, 16, 3))
    torch.save(_ConvX2().state_dict(), str(tmp_path / "weights.pt"))
    with pytest.raises(ValueError, match=r"not a TorchScript model \(a state_dict\?\)"):
        quorv.models.load(str(tmp_path / "weights.pt"))
    with pytest.raises(ValueError, match='unknown model "nope"'):
        quorv.models.load("nope", models_dir=models_dir)
    with pytest.raises(ValueError, match="quorv models fetch waifu2x-noise1"):
        quorv.models.load("waifu2x-noise1", models_dir=models_dir)
    with pytest.raises(TypeError, match="image"):
        model("not a picture")


def test_a_host_model_object_runs_in_tiles_through_from_callable(astronaut):
    calls = []

    def host_model(piece):  # the host's model objects take [1, 3, h, w] in 0..1
        calls.append(tuple(piece.shape))
        with torch.no_grad():
            return _ConvX2()(piece)

    model = quorv.models.from_callable(host_model, name="host x2", scale=2, tile_size=40)
    assert (model.name, model.scale, model.receptive_field) == ("host x2", 2, 3)  # measured on a probe
    calls.clear()
    crop = astronaut[:, 10:107, 20:133, :]
    out = model(crop)
    assert torch.allclose(out, _reference(crop), atol=1e-4)
    assert len(calls) > 4 and all(c[:2] == (1, 3) and max(c[2:]) <= 40 for c in calls)

    def boom(piece):
        raise RuntimeError("out of cheese")

    with pytest.raises(ValueError, match=r"'boom' failed: RuntimeError: out of cheese \(tile 1 of"):
        quorv.models.from_callable(boom, name="boom", scale=2, receptive_field=1)(crop)
    with pytest.raises(ValueError, match="returned a list, expected a torch.Tensor"):
        quorv.models.from_callable(lambda p: [p], scale=1, receptive_field=1)(crop)
    with pytest.raises(TypeError, match="model must be callable"):
        quorv.models.from_callable(42)
