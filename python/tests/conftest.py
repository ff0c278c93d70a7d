"""Shared pieces of the binding's tests: host-style node objects and pictures."""

from pathlib import Path
from types import SimpleNamespace

import pytest
import quorv

DATA = Path(__file__).resolve().parents[2] / "data"


def _host_node(picture=None, tile=512, mode="Tile_Fusion", border=16, blur=16, shift=8, composite=32, **params):
    """A node object the way the host's upscaler builds one: plain attribute bags."""
    return SimpleNamespace(
        SIZE=SimpleNamespace(fullW=tile, fullH=tile, inpaint_border_margin=border, inpaint_blur_margin=blur,
                             shift=shift, composite_blur_margin=composite, shifttl=0, inpaint_max=1.0),
        PARAMS=SimpleNamespace(Tile_Fusion_Mode=mode, Tile_Fusion_Blend=params.get("blend", 1.0),
                               FLUX_Kontext=False, Fast_1_Tile_Preview=False, Debug_Grid_Overlay=False),
        OUTPUTS=SimpleNamespace(image=picture, grid_images_all=[], grid_images=[]),
        SEGMENTS=SimpleNamespace(segms_cropped_masks=[]),
        API=SimpleNamespace(token="test-token"),
    )


@pytest.fixture
def host_node():
    return _host_node


@pytest.fixture(scope="session")
def coffee():
    return quorv.read_picture(str(DATA / "coffee.png"))


@pytest.fixture(scope="session")
def astronaut():
    return quorv.read_picture(str(DATA / "astronaut.png"))


@pytest.fixture
def log_calls():
    calls = []
    quorv.set_log(lambda *args: calls.append(args))
    yield calls
    quorv.set_log(None)

