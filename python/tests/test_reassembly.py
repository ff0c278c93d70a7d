"""Rebuilding the full picture from Python: tiles, segments, tile order."""

from types import SimpleNamespace

import torch

import quorv

Q = quorv.Quorv_Image


def test_rebuild_pastes_tiles_then_segments(host_node, coffee, capsys):
    original = coffee.clone()
    node = host_node(coffee, tile=256, mode="None", composite=32)
    grid = Q.get_tiled_grid_specs(node, coffee)
    assert (node.PARAMS.rows_qty, node.PARAMS.cols_qty) == (2, 3)
    tiles = [t.clone() for t in Q.get_grid_images(coffee, grid)]
    patch = torch.zeros(1, 40, 50, 3)
    segments = [(0, 0, 8000, 100, 60, 50, 40), [0, 0, 8001, 300, 200, 50, 40], (0, 0, 8002, 10, 10, 50, 40)]
    records = [SimpleNamespace(crop_region=(100, 60, 150, 100), compositing_mask=torch.ones(1, 40, 50)),
               SimpleNamespace(crop_region=[300, 200, 350, 240]),
               {"crop_region": (10, 10, 60, 50), "compositing_mask": torch.ones(1, 40, 50)}]
    output_images = tiles + [patch, patch, None]

    full, only_tiles, order, first = Q.rebuild_final_image(
        node, 1, output_images, coffee, grid + segments, 2.0, 2, 3, ["first prompt"], [1.0, 1.0, 1.0],
        [(None, torch.ones(1, 40, 50))] * 3, ("header", records), "lanczos")

    assert torch.equal(coffee, original)
    assert torch.equal(only_tiles, coffee)  # unchanged tiles paste back exactly
    assert torch.equal(full[:, 60:100, 100:150], patch)
    outside = torch.ones(400, 600, dtype=torch.bool)
    outside[60:100, 100:150] = False
    assert torch.equal(full[0][outside], coffee[0][outside])
    assert capsys.readouterr().out.count("Segment skipped. Error during image compositing: ") == 1

    assert [entry[0] for entry in order] == [0, 1, 2, 2, 3, 4, 8000, 8001]
    assert order[0][2] == "first prompt" and order[1][2] == ""
    assert order[0][1].data_ptr() == tiles[0].data_ptr()
    assert first.data_ptr() == tiles[0].data_ptr()
    alone = Q.rebuild_tile_order(output_images, grid + segments, ["first prompt"])
    assert [(o, p.data_ptr(), t) for o, p, t in alone] == [(o, p.data_ptr(), t) for o, p, t in order]


def test_segment_composite_uses_the_segments_upscaled_mask(host_node):
    node = host_node()
    node.OUTPUTS.grid_images = [torch.zeros(1, 8, 8, 3)] * 4
    mask = torch.zeros(1, 16, 16)
    mask[:, :, :8] = 1
    node.SEGMENTS.segms_cropped_masks = [(torch.zeros(1, 16, 16, 3), mask)]
    crop, generated = torch.zeros(1, 16, 16, 3), torch.ones(1, 16, 16, 3)
    result = Q.composite_segment_with_generation(node, crop, generated, 4)
    assert torch.equal(result[:, :, :8], generated[:, :, :8])
    assert torch.equal(result[:, :, 8:], crop[:, :, 8:])
    assert crop.abs().sum() == 0
