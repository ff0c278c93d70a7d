"""SELF from Python: the host's own node object or a quorv.NodeState, read and written."""

import pytest
import torch

import quorv

Q = quorv.Quorv_Image


def test_missing_field_raises_attribute_error_naming_it(host_node):
    node = host_node(torch.zeros(1, 1024, 1024, 3))
    del node.SIZE.shift
    with pytest.raises(AttributeError, match="NodeState field SIZE.shift is not set"):
        Q.set_mask_constants(node)
    node.SIZE.shift = 8
    del node.PARAMS
    with pytest.raises(AttributeError, match="PARAMS.Tile_Fusion_Mode"):
        Q.get_tiled_grid_specs(node, node.OUTPUTS.image)


def test_fields_written_before_a_failure_stay_written(host_node):
    banner_node = host_node(torch.zeros(1, 256, 256, 3), tile=100, mode="Tile_Fusion", border=16, blur=16,
                            shift=16, composite=32)
    with pytest.raises(RuntimeError) as banner:
        Q.set_mask_constants(banner_node)
    assert str(banner.value).startswith("\u26a0\ufe0f Quorv Tilvorn FLUX PRO \u26a0\ufe0f\n\n")
    assert "\nTile_sizeH = 128 total overlay top+bottom = 160\nTile_sizeW = 128 total overlay left+right = 160\n" \
        in str(banner.value)
    assert (banner_node.SIZE.fullW, banner_node.SIZE.fullH) == (128, 128)
    assert not hasattr(banner_node.SIZE, "actual_inner_tile_sizeW")

    # A tile exactly twice the band across: rows are counted, then the column step is zero.
    zero_step = host_node(torch.zeros(1, 2048, 2048, 3), tile=128, border=16, blur=16, shift=16, composite=16)
    zero_step.SIZE.fullH = 1024
    with pytest.raises(ZeroDivisionError):
        Q.set_mask_constants(zero_step)
    assert zero_step.SIZE.actual_inner_tile_sizeW == 0
    assert zero_step.PARAMS.rows_qty == 3
    assert not hasattr(zero_step.PARAMS, "cols_qty")


def test_unusable_field_value_is_a_type_error_only_when_read(host_node):
    node = host_node(torch.zeros(1, 1024, 1024, 3))
    node.SIZE.shift = "8"
    node.API.token = 12345  # never read by the mask constants
    with pytest.raises(TypeError, match="SIZE.shift must be an integer"):
        Q.set_mask_constants(node)
    node.SIZE.shift = 8.0
    assert Q.set_mask_constants(node)[0] == 40


def test_ready_made_node_state_is_read_and_written_in_place():
    state = quorv.NodeState()
    assert not hasattr(state.SIZE, "fullW")
    state.SIZE.fullW, state.SIZE.fullH = 1000, 1000
    state.SIZE.inpaint_border_margin, state.SIZE.inpaint_blur_margin = 8, 16
    state.SIZE.shift, state.SIZE.composite_blur_margin = 8, 32
    state.PARAMS.Tile_Fusion_Mode = "Tile_Fusion"
    state.OUTPUTS.image = torch.zeros(1, 1920, 2048, 3)
    assert Q.set_mask_constants(state) == (32, 896, 896, 2, 3)
    assert (state.SIZE.fullW, state.PARAMS.rows_qty, state.PARAMS.cols_qty) == (1024, 2, 3)
    assert state.OUTPUTS.image.shape == (1, 1920, 2048, 3)
    with pytest.raises(TypeError):
        state.SIZE.fullW = "wide"
    with pytest.raises(AttributeError, match="API.token"):
        state.API.token
