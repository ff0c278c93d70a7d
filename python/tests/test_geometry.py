"""Tile geometry from Python: grids, tiles sharing the picture's memory, crops, 8-bit arrays."""

import numpy as np
import pytest
import torch

import quorv

Q = quorv.Quorv_Image


def test_grid_follows_the_worked_example_and_writes_the_node(host_node):
    picture = torch.zeros(1, 2048, 2048, 3)
    node = host_node(picture, tile=1000, border=8, blur=16, shift=8, composite=32)
    grid = Q.get_tiled_grid_specs(node, picture)
    assert len(grid) == 9
    assert grid[4] == (1, 1, 4, 896, 896, 1024, 1024)
    assert (grid[2].order, grid[2].x_start, grid[8].y_start) == (2, 2048 - 1024, 2048 - 1024)
    # Sizes derived on the way are visible on the caller's own object.
    assert (node.SIZE.fullW, node.SIZE.fullH) == (1024, 1024)
    assert node.SIZE.actual_inner_tile_sizeW == 896
    assert (node.PARAMS.rows_qty, node.PARAMS.cols_qty) == (3, 3)
    # A class-level operation behaves the same on an object.
    assert Q().get_tiled_grid_specs(node, picture) == grid


def test_tiles_are_views_of_the_picture(host_node, coffee):
    node = host_node(coffee, tile=256, mode="None", composite=32)
    grid = Q.get_tiled_grid_specs(node, coffee)
    tiles = Q.get_grid_images(coffee, grid)
    assert len(tiles) == len(grid)
    for spec, tile in zip(grid, tiles):
        assert tile.shape == (1, 256, 256, 3)
        assert tile.storage().data_ptr() == coffee.storage().data_ptr()
        expected = coffee[:, spec.y_start:spec.y_start + 256, spec.x_start:spec.x_start + 256]
        assert tile.data_ptr() == expected.data_ptr()
    # Records may be plain lists or tuples as the host keeps them.
    as_lists = Q.get_grid_images(coffee, [list(spec) for spec in grid[:2]])
    assert all(torch.equal(a, b) for a, b in zip(as_lists, tiles[:2]))


def test_lookup_crop_and_sizes_divisible_by_8(host_node):
    grid = [quorv.GridSpec(r, c, 3 * r + c, 0, 0, 64, 64) for r in range(3) for c in range(3)]
    assert Q.find_index(grid, 1, 2) == 5
    assert Q.find_index([(0, 1), (1, 1)], 1, 1) == 1
    assert Q.find_index([], 0, 0) == -1

    node = host_node()
    node.PARAMS.rows_qty, node.PARAMS.cols_qty, node.SIZE.inpaint_border_margin = 3, 3, 64
    tile = torch.zeros(1, 1024, 1024, 3)
    assert Q.get_kontext_crop(node, tile, grid, 4) == (896, 896, 64, 64)
    assert Q.get_kontext_crop(node, tile, grid, 2) == (960, 960, 64, 0)

    divisible = torch.rand(1, 768, 1024, 3)
    image, width, height, is_dviby8 = Q.format_2_divby8(divisible)
    assert image is divisible and (width, height, is_dviby8) == (1024, 768, True)
    image, width, height, is_dviby8 = Q.format_2_divby8(torch.rand(1, 770, 1023, 3))
    assert image.shape == (1, 776, 1024, 3) and (width, height, is_dviby8) == (1024, 776, False)


def test_eight_bit_arrays_follow_the_array_library():
    mask = torch.tensor([[[0.0, 0.5], [1.0, 0.25]]])
    levels = Q.to_numpy_uint8(mask)
    assert levels.dtype == np.uint8 and levels.shape == (2, 2)
    assert levels.tolist() == [[0, 127], [255, 63]]
    assert Q.to_numpy_uint8(np.array([[0, 2, 4]])).tolist() == [0, 127, 255]
    assert Q.to_numpy_uint8(np.ones((1, 1), dtype=np.float32)).shape == ()
    picture = np.full((1, 4, 5, 3), 0.5, dtype=np.float32)
    assert Q.to_numpy_uint8(picture).shape == (4, 5, 3)
    with pytest.raises(TypeError, match="mask"):
        Q.to_numpy_uint8(object())
