"""Drives the example node package the way the host does: load the folder as a
custom node package, read its mappings, fill the inputs from INPUT_TYPES and
call FUNCTION with tensors."""

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
}


class FakeRegistry:
    """What the host does with a custom node folder and a queued node."""

    def __init__(self, folder):
        spec = importlib.util.spec_from_file_location(
            "quorv_example_nodes", folder / "__init__.py", submodule_search_locations=[str(folder)])
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module
        spec.loader.exec_module(module)
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
        node = node or cls()
        outputs = getattr(node, cls.FUNCTION)(**values)
        assert isinstance(outputs, tuple) and len(outputs) == len(cls.RETURN_TYPES)
        for kind, value in zip(cls.RETURN_TYPES, outputs):
            assert TYPE_CHECKS[kind](value), f"output {value!r} is not a {kind}"
        return outputs


@pytest.fixture(scope="module")
def registry():
    return FakeRegistry(PACKAGE)


@pytest.fixture(scope="module")
def coffee():
    return quorv.read_picture(str(DATA / "coffee.png"))


def enlarged(picture, factor):
    Q = quorv.Quorv_Image()
    return Q.better_downscale(picture, round(picture.shape[2] * factor), round(picture.shape[1] * factor))


def test_package_registers_one_upscaler(registry):
    assert list(registry.classes) == ["QuorvTiledUpscale"]
    assert registry.names["QuorvTiledUpscale"] == "Quorv Tiled Upscale"


def test_unchanged_tiles_rebuild_the_enlarged_picture_exactly(registry, coffee):
    before = coffee.clone()
    node = registry.classes["QuorvTiledUpscale"]()
    node.refine = lambda tile, mask, strength: tile.clone()
    image, bands = registry.run("QuorvTiledUpscale", node=node, image=coffee)
    assert torch.equal(coffee, before)
    assert image.shape == (1, 800, 1200, 3)
    assert torch.equal(image, enlarged(coffee, 2.0))
    assert bands.shape == (1, 512, 512, 3)
    # The node object is SELF: the grid's derived sizes were written onto it.
    assert (node.SIZE.fullW, node.PARAMS.rows_qty, node.PARAMS.cols_qty) == (512, 2, 3)


def test_refined_tiles_are_fused_without_seams(registry, coffee, capsys):
    plain, _ = registry.run("QuorvTiledUpscale", image=coffee, detail=1.0)
    reference = enlarged(coffee, 2.0)
    assert 0.0 <= plain.min() and plain.max() <= 1.0
    assert (plain - reference).abs().mean() > 1e-3

    with quorv.FusionService() as service:
        fused, _ = registry.run("QuorvTiledUpscale", image=coffee, detail=1.0,
                                Tile_Fusion_Mode="Neuro_Generative_Tile_Fusion",
                                fusion_service_url=service.base_address, api_token="example")
    quorv.clear_apiurl()
    assert "Warning" not in capsys.readouterr().out
    assert fused.shape == plain.shape
    # Fusion only touches the overlaps: the middle of the first tile is as refined.
    assert torch.equal(fused[:, 100:300, 100:300], plain[:, 100:300, 100:300])
    assert not torch.equal(fused, plain)
