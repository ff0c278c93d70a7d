"""Drives the node package through a small stand-in of the host's node API:
load the folder as a custom node package, read its mappings, fill the inputs
from INPUT_TYPES (checking each value against its declared type and range)
and call FUNCTION. No host is installable here, so this is the host."""

import importlib.util
import sys
from pathlib import Path

import pytest
import torch

import quorv

PACKAGE = Path(__file__).resolve().parents[1]
DATA = Path(__file__).resolve().parents[3] / "data"
TYPE_CHECKS = {
    "IMAGE": lambda v: isinstance(v, torch.Tensor) and v.dim() == 4 and v.dtype == torch.float32,
    "INT": lambda v: isinstance(v, int),
    "FLOAT": lambda v: isinstance(v, float),
    "STRING": lambda v: isinstance(v, str),
    "BOOLEAN": lambda v: isinstance(v, bool),
    "UPSCALE_MODEL": callable,
}


class StandInHost:
    """What the host does with a custom node folder and a queued node."""

    def __init__(self, folder):
        spec = importlib.util.spec_from_file_location(
            "quorv_example_nodes", folder / "__init__.py", submodule_search_locations=[str(folder)])
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module
        spec.loader.exec_module(module)
        self.module = sys.modules["quorv_example_nodes.nodes"]
        self.classes = module.NODE_CLASS_MAPPINGS
        self.names = module.NODE_DISPLAY_NAME_MAPPINGS

    def run(self, name, node=None, **inputs):
        cls = self.classes[name]
        declared = cls.INPUT_TYPES()
        values = {}
        for section in ("required", "optional"):
            for key, (kind, *options) in declared.get(section, {}).items():
                if key in inputs:
                    values[key] = inputs[key]
                elif options and "default" in options[0]:
                    values[key] = options[0]["default"]
                else:
                    assert section == "optional", f"required input {key} has no value"
                    continue
                value = values[key]
                if isinstance(kind, list):
                    assert value in kind, f"{key}={value!r} is not one of {kind}"
                else:
                    assert TYPE_CHECKS[kind](value), f"{key}={value!r} is not a {kind}"
                    if options and "min" in options[0]:
                        assert options[0]["min"] <= value <= options[0]["max"], key
        assert set(inputs) <= set(values), f"inputs the node does not declare: {set(inputs) - set(values)}"
        node = node or cls()
        outputs = getattr(node, cls.FUNCTION)(**values)
        assert isinstance(outputs, tuple) and len(outputs) == len(cls.RETURN_TYPES)
        for kind, value in zip(cls.RETURN_TYPES, outputs):
            assert TYPE_CHECKS[kind](value), f"output {value!r} is not a {kind}"
        return outputs


class NegativeRestorer(torch.nn.Module):
    """A same-size restorer whose work is easy to see: 1 - x."""

    def forward(self, x):
        return 1.0 - x


class NearestX2(torch.nn.Module):
    """The host's UPSCALE_MODEL stand-in: [1, 3, h, w] -> [1, 3, 2h, 2w], with its scale known."""

    scale = 2

    def __init__(self):
        super().__init__()
        self.weight = torch.nn.Parameter(torch.ones(1))  # so it has a device, as host models do
        self.shapes = []

    def forward(self, x):
        self.shapes.append(tuple(x.shape))
        return torch.nn.functional.interpolate(x, scale_factor=2.0, mode="nearest") * self.weight


@pytest.fixture(scope="module")
def host():
    return StandInHost(PACKAGE)


@pytest.fixture(scope="module")
def coffee():
    return quorv.read_picture(str(DATA / "coffee.png"))


@pytest.fixture
def models_dir(tmp_path, monkeypatch):
    """A models folder with the default restorer installed (a stand-in model under its name)."""
    torch.jit.script(NegativeRestorer()).save(str(tmp_path / "waifu2x-noise1.pt"))
    monkeypatch.setenv("QUORV_MODELS", str(tmp_path))
    return tmp_path


def enlarged(picture, factor):
    Q = quorv.Quorv_Image()
    return Q.better_downscale(picture, round(picture.shape[2] * factor), round(picture.shape[1] * factor))


def sharpen(tile, inpaint_mask):
    """A wired sampler stand-in: sharpens where the inpaint mask allows it."""
    planes = tile.permute(0, 3, 1, 2)
    blurred = torch.nn.functional.avg_pool2d(planes, 5, stride=1, padding=2, count_include_pad=False)
    mixed = torch.lerp(planes, (2 * planes - blurred).clamp(0, 1), inpaint_mask)
    return mixed.permute(0, 2, 3, 1).contiguous()


def test_inputs_offer_the_host_model_and_restorers_and_no_token_widget(host):
    assert list(host.classes) == ["QuorvTiledUpscale"]
    assert host.names["QuorvTiledUpscale"] == "Quorv Tiled Upscale"
    declared = host.classes["QuorvTiledUpscale"].INPUT_TYPES()
    assert declared["optional"]["upscale_model"] == ("UPSCALE_MODEL",)
    restorers, options = declared["required"]["restorer"]
    assert options["default"] == "waifu2x-noise1" and restorers[-1] == "none"
    assert {"waifu2x-noise1", "waifu2x-noise2", "waifu2x-noise3"} <= set(restorers)
    names = [key.lower() for section in declared.values() for key in section]
    assert not any(word in key for key in names for word in ("token", "key", "secret", "password"))


def test_unchanged_tiles_rebuild_the_enlarged_picture_exactly(host, coffee):
    before = coffee.clone()
    node = host.classes["QuorvTiledUpscale"]()
    image, bands = host.run("QuorvTiledUpscale", node=node, image=coffee, restorer="none")
    assert torch.equal(coffee, before)
    assert image.shape == (1, 800, 1200, 3)
    assert torch.equal(image, enlarged(coffee, 2.0))
    assert bands.shape == (1, 512, 512, 3)
    # The run's report stays on the node: the grid as laid, every tile done.
    grid = node.report["grid"]
    assert (grid["tile_width"], grid["rows"], grid["cols"]) == (512, 2, 3) and node.report["complete"]


def test_without_a_sampler_the_catalogue_restorer_refines_each_tile(host, coffee, models_dir):
    image, _ = host.run("QuorvTiledUpscale", image=coffee)
    reference = enlarged(coffee, 2.0)
    # Inside the first tile, away from every band, the restorer's work is all there is.
    assert torch.allclose(image[:, 100:300, 100:300], 1 - reference[:, 100:300, 100:300], atol=1e-6)
    # Bands kept for context are covered by the neighbours' restored middles.
    assert (image - (1 - reference)).abs().mean() < 0.02

    (models_dir / "waifu2x-noise1.pt").unlink()
    with pytest.raises(ValueError, match="quorv models fetch waifu2x-noise1"):
        host.run("QuorvTiledUpscale", image=coffee)


def test_a_wired_host_model_enlarges_in_tiles_before_lanczos(host, coffee):
    model = NearestX2()
    image, _ = host.run("QuorvTiledUpscale", image=coffee, restorer="none", upscale_model=model)
    nearest = torch.nn.functional.interpolate(coffee.permute(0, 3, 1, 2), scale_factor=2.0, mode="nearest")
    assert torch.equal(image, nearest.permute(0, 2, 3, 1))  # the model's size is the size asked for
    assert model.shapes and all(s[:2] == (1, 3) for s in model.shapes)

    image, _ = host.run("QuorvTiledUpscale", image=coffee, restorer="none", upscale_model=model, upscale_by=3.0)
    assert image.shape == (1, 1200, 1800, 3)


def test_a_wired_sampler_is_fused_with_the_token_from_the_environment(host, coffee, capsys, monkeypatch):
    node_class = host.classes["QuorvTiledUpscale"]
    node_class.refine = staticmethod(sharpen)
    try:
        plain, _ = host.run("QuorvTiledUpscale", image=coffee)  # Tile_Fusion: pasted back, not fused
        assert (plain - enlarged(coffee, 2.0)).abs().mean() > 1e-3
        # Without an address the fusing modes are served from the node's own process.
        here, _ = host.run("QuorvTiledUpscale", image=coffee, Tile_Fusion_Mode="Neuro_Generative_Tile_Fusion")

        service = quorv.FusionService()
        service.start(token="from-the-environment")
        try:
            monkeypatch.setenv("QUORV_TOKEN", "from-the-environment")
            fused, _ = host.run("QuorvTiledUpscale", image=coffee, Tile_Fusion_Mode="Neuro_Generative_Tile_Fusion",
                                fusion_service_url=service.base_address)
            assert "Warning" not in capsys.readouterr().out
            # A refused token stops the run before any tile work, naming the service.
            monkeypatch.setenv("QUORV_TOKEN", "wrong")
            with pytest.raises(ValueError, match=service.base_address):
                host.run("QuorvTiledUpscale", image=coffee, Tile_Fusion_Mode="Neuro_Generative_Tile_Fusion",
                         fusion_service_url=service.base_address)
        finally:
            service.stop()
            quorv.clear_apiurl()
    finally:
        node_class.refine = None
    # Fusion only touches the overlaps: the middle of the first tile is as refined.
    assert torch.equal(fused[:, 100:280, 100:360], plain[:, 100:280, 100:360])
    assert not torch.equal(fused, plain)
    assert torch.equal(here, fused)


def test_the_token_comes_from_the_environment_or_a_file(host, tmp_path):
    service_token = host.module.service_token
    token_file = tmp_path / "token"
    token_file.write_text("from-a-file\n")
    assert service_token({"QUORV_TOKEN": " set \n", "QUORV_TOKEN_FILE": str(token_file)}) == "set"
    assert service_token({"QUORV_TOKEN_FILE": str(token_file)}) == "from-a-file"
    (tmp_path / "quorv").mkdir()
    (tmp_path / "quorv" / "token").write_text("from-the-config\n")
    assert service_token({"XDG_CONFIG_HOME": str(tmp_path)}) == "from-the-config"
    assert service_token({"XDG_CONFIG_HOME": str(tmp_path / "nothing")}) == ""
    with pytest.raises(ValueError, match="QUORV_TOKEN_FILE names .*missing"):
        service_token({"QUORV_TOKEN_FILE": str(tmp_path / "missing")})
