"""Debug previews from Python, with masks given as tensors or numpy arrays."""

from types import SimpleNamespace

import numpy as np
import torch

import quorv


def test_band_lines_are_drawn_at_their_offsets():
    background = torch.zeros(1, 64, 64, 3)
    size = SimpleNamespace(inpaint_border_margin=0, inpaint_blur_margin=0, composite_blur_margin=8)
    drawn = quorv.Quorv_Image().overlay_tile_grid(background, size)
    assert drawn.shape == (1, 64, 64, 3)
    assert drawn[0, 20, 8].tolist() == [1.0, 0.0, 0.0]
    assert drawn[0, 20, 55].tolist() == [1.0, 0.0, 0.0]
    assert drawn[0, 20, 20].tolist() == [0.0, 0.0, 0.0]
    assert background.abs().sum() == 0


def test_mask_preview_accepts_arrays_and_tensors():
    background = torch.full((1, 64, 64, 3), 0.5)
    size = quorv.SizeState()
    size.actual_inner_tile_sizeW, size.actual_inner_tile_sizeH = 32, 32
    Q = quorv.Quorv_Image()
    from_arrays = Q.Preview_Mask(np.zeros((32, 32)), np.zeros((1, 32, 32), dtype=np.float32), background, size,
                                 0.0, 0, "Tile_Fusion")
    from_tensors = Q.Preview_Mask(torch.zeros(1, 32, 32), torch.zeros(32, 32), background, size, 0.0, 0,
                                  "Tile_Fusion")
    assert torch.equal(from_arrays, from_tensors)
    assert from_arrays[0, 32, 16].tolist() == [0.0, 0.0, 0.0]  # the inner-tile frame
    inside, outside = from_arrays[0, 30, 30], from_arrays[0, 2, 2]
    assert inside[0] > 0.99 and inside[1] > 0.99 and inside[2] == 127 / 255  # tinted by both complements
    assert torch.equal(outside, torch.full((3,), 127 / 255))
