"""Errors, printed lines and progress logging as Python sees them."""

import threading
from types import SimpleNamespace

import pytest
import torch

import quorv

Q = quorv.Quorv_Image


def test_errors_map_to_python_kinds_with_unchanged_messages(host_node):
    with pytest.raises(ValueError, match="^Quorv Image: No image provided$"):
        Q.format_2_divby8(None)
    with pytest.raises(ValueError, match="^Quorv Image: Image provided is not a Tensor$"):
        Q.format_2_divby8([[0.5]])
    with pytest.raises(IndexError, match="grid_specs"):
        Q.get_kontext_crop(host_node(), torch.zeros(1, 8, 8, 3), [], 0)
    size = SimpleNamespace(actual_inner_tile_sizeW=0, actual_inner_tile_sizeH=0)
    with pytest.raises(AssertionError, match="Background image is empty or not loaded"):
        Q().Preview_Mask(torch.ones(1, 4, 4), torch.ones(1, 4, 4), torch.zeros(1, 0, 0, 3), size, 0.0, 0, "x")
    with pytest.raises(ValueError, match="grid_specs\\[0\\] must have 7 fields"):
        Q.get_grid_images(torch.zeros(1, 8, 8, 3), [(0, 0, 0)])
    with pytest.raises(TypeError, match="device"):
        Q.blend_neighbor_tensor(host_node(), torch.zeros(1, 8, 8, 3), torch.zeros(1, 8, 8, 3), 4, "top", 4, 0)
    with pytest.raises(ValueError, match="device"):
        Q.blend_neighbor_tensor(host_node(), torch.zeros(1, 8, 8, 3), torch.zeros(1, 8, 8, 3), 4, "top", 4, "gpu?")


def test_printed_lines_reach_sys_stdout(host_node, capsys):
    quorv.clear_apiurl()
    reply = Q.api_nuero_generative_fusion_tiles({"index": 0}, host_node())
    assert reply == {}
    out = capsys.readouterr().out
    assert out.startswith("Warning, Failed to fetch Quorv Server, Neural-Generative Tile Fusion disabled: ")
    assert out.endswith("\n") and "test-token" not in out


def test_log_goes_to_the_callable_set_and_back_to_print(host_node, log_calls, capsys):
    picture = torch.rand(1, 256, 384, 3)
    node = host_node(picture, tile=256, mode="None", composite=32)
    grid = Q.get_tiled_grid_specs(node, picture)
    tiles = Q.get_grid_images(picture, grid)
    rebuild = lambda: Q.rebuild_final_image(node, 2, tiles, picture, grid, 1.0, 1, 2, ["", ""], [], [], (None, []),
                                            "lanczos")
    rebuild()
    assert [call[0] for call in log_calls] == ["Rebuilding tile 1/2", "Rebuilding tile 2/2"]
    assert log_calls[0][1:3] == (None, None) and log_calls[0][3].startswith("Refining 2")

    def failing(*args):
        raise LookupError("log sink is gone")

    quorv.set_log(failing)
    with pytest.raises(LookupError, match="log sink is gone"):
        rebuild()
    quorv.set_log(None)
    rebuild()
    assert "Rebuilding tile 2/2 Refining 2" in capsys.readouterr().out
    with pytest.raises(TypeError):
        quorv.set_log("not callable")


def test_long_tensor_work_lets_other_threads_run(host_node):
    picture = torch.rand(1, 2048, 2048, 3)
    node = host_node(picture, tile=512)
    grid = Q.get_tiled_grid_specs(node, picture)
    tiles = Q.get_grid_images(picture, grid)
    done, ticks = threading.Event(), []
    worker = threading.Thread(target=lambda: (Q.rebuild_final_image(
        node, 1, tiles, picture, grid, 1, 1, 1, [], [], [], (None, []), "x"), done.set()))
    quorv.set_log(lambda *args: None)
    worker.start()
    while not done.wait(0.001):
        ticks.append(1)
    worker.join()
    quorv.set_log(None)
    # The main thread kept running Python while the rebuild was in C++.
    assert len(ticks) > 3
