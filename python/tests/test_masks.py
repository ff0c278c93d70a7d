"""Masks from Python: keyword arguments and their defaults, inpaint masks by grid position."""

import torch

import quorv

Q = quorv.Quorv_Image


def test_overlay_mask_takes_keywords_by_name(host_node):
    node = host_node()
    compositing, inpaint = Q.create_custom_tile_overlay_mask(node, 512, 512, composite_blur_margin=32,
                                                             feather_left=True)
    assert compositing.shape == inpaint.shape == (1, 1, 512, 512)
    row = compositing[0, 0, 100]
    assert torch.allclose(row[:33], torch.arange(33) / 32)
    assert torch.equal(row[33:], torch.ones(512 - 33))
    assert torch.equal(compositing[0, 0, :, 5], torch.full((512,), 5 / 32))
    assert torch.equal(inpaint, torch.ones(1, 1, 512, 512))

    flipped = Q.create_custom_tile_overlay_mask(node, 512, 512, feather_bottom=True, composite_blur_margin=32)[0]
    assert torch.equal(flipped[0, 0, :, 0], compositing[0, 0, 0].flip(0))


def test_overlay_mask_defaults_are_the_documented_ones(host_node):
    node = host_node()
    defaults = Q.create_custom_tile_overlay_mask(node, 256, 128)
    explicit = Q.create_custom_tile_overlay_mask(node, 256, 128, 64, 0, 0, 0, 1, False, False, False, False)
    assert all(torch.equal(a, b) for a, b in zip(defaults, explicit))
    feathered = Q.create_custom_tile_overlay_mask(node, 256, 128, feather_top=True)[0]
    assert feathered[0, 0, 63, 0] < 1 and feathered[0, 0, 64, 0] == 1


def test_inpaint_mask_feathers_only_sides_facing_a_neighbour(host_node):
    node = host_node()
    first = quorv.GridSpec(0, 0, 0, 0, 0, 256, 256)
    middle = [1, 1, 4, 200, 200, 256, 256]
    corner = Q.get_inpaint_mask(node, 256, 256, 3, 3, first, 16, 8, 16, None)
    assert corner.shape == (1, 1, 256, 256)
    assert corner[0, 0, 128, 0] == 1 and corner[0, 0, 0, 128] == 1
    assert corner[0, 0, 128, 255] == 0 and corner[0, 0, 255, 128] == 0
    inner = Q.get_inpaint_mask(node, 256, 256, 3, 3, middle, 16, 8, 16, None, inpaint_max=1)
    assert inner[0, 0, 128, 0] == 0 and inner[0, 0, 128, 128] == 1
    doubled = Q.get_inpaint_mask(node, 256, 256, 3, 3, first, 16, 8, 16, 2)
    assert doubled.shape == (1, 1, 512, 512)
