"""Arguments the module cannot use are refused with a ValueError or TypeError
that names the argument and what was expected, never a silently wrong result."""

import inspect

import numpy
import pytest
import torch

import quorv

Q = quorv.Quorv_Image


def test_channels_first_pictures_are_refused_and_channels_last_ones_pass(host_node):
    channels_first = torch.rand(1, 3, 250, 250)
    expected = r"image must be \[batch, height, width, channels\] with the channels last, got \[1, 3, 250, 250\]"
    with pytest.raises(ValueError, match=expected + r".*image.permute\(0, 2, 3, 1\)"):
        Q().better_downscale(channels_first, 100, 100)
    with pytest.raises(ValueError, match=expected):
        Q.format_2_divby8(channels_first)
    with pytest.raises(ValueError, match=r"output_images\[1\] must be \[batch, height, width, channels\]"):
        Q.rebuild_tile_order([torch.rand(1, 8, 8, 3), torch.rand(1, 3, 8, 8)], [[0, 0, 0, 0, 0, 8, 8]] * 2, ["", ""])
    # Grey, colour and alpha pictures, however small, are left to the operations.
    for channels in (1, 3, 4):
        picture = torch.rand(1, 250, 250, channels)
        assert Q().better_downscale(picture, 100, 60).shape == (1, 60, 100, channels)
        assert Q.format_2_divby8(picture)[0].shape == (1, 256, 256, channels)
    assert Q().better_downscale(torch.rand(2, 3, 2, 3), 4, 6).shape == (2, 6, 4, 3)


def test_grid_specs_outside_the_picture_are_refused(host_node):
    picture = torch.rand(1, 80, 100, 3)
    inside = Q.get_grid_images(picture, [[0, 0, 0, 80, 60, 20, 20], [0, 1, 1, 0, 0, 100, 80]])
    assert [t.shape for t in inside] == [(1, 20, 20, 3), (1, 80, 100, 3)]
    for spec, shown in [([0, 0, 0, 90, 0, 20, 20], "x_start 90"), ([0, 0, 0, 0, 70, 20, 20], "y_start 70"),
                        ([0, 0, 0, -8, 0, 20, 20], "x_start -8"), ([0, 0, 0, 0, 0, 0, 20], "width_inc 0"),
                        ([0, 0, 0, 0, 0, 20, -4], "height_inc -4")]:
        with pytest.raises(ValueError, match=r"grid_specs\[1\] must lie inside the picture \(100 x 80\), got .*"
                                             + shown):
            Q.get_grid_images(picture, [[0, 0, 0, 0, 0, 20, 20], spec])
    # Rebuilding pastes regular tiles only where the grid put them; segments go to their own rectangles.
    node = host_node(picture, tile=64, border=0, blur=0, shift=0, composite=8)
    tile = torch.rand(1, 20, 20, 3)
    with pytest.raises(ValueError, match=r"grid_specs\[0\] must lie inside the picture \(100 x 80\), got x_start 90"):
        Q.rebuild_final_image(node, 1, [tile], picture, [[0, 0, 0, 90, 0, 20, 20]], 1, 1, 1, [""], [], [],
                              (None, []), "lanczos")
    full = Q.rebuild_final_image(node, 1, [tile, None], picture, [[0, 0, 0, 80, 60, 20, 20],
                                 [0, 0, 8000, 500, 500, 20, 20]], 1, 1, 1, ["", ""], [], [], (None, []), "lanczos")[0]
    assert torch.equal(full[:, 60:, 80:], tile)


def test_unknown_sides_and_unavailable_devices_are_named(host_node):
    node = host_node(torch.zeros(1, 256, 256, 3))
    tile, neighbour = torch.rand(1, 64, 64, 3), torch.rand(1, 64, 64, 3)
    assert Q.blend_neighbor_tensor(node, tile, neighbour, 16, "left", 8, "cpu").shape == (1, 64, 16, 3)
    for side in ("middle", "Top", ""):
        with pytest.raises(ValueError, match=f'side must be "top", "left", "bottom" or "right", got "{side}"'):
            Q.blend_neighbor_tensor(node, tile, neighbour, 16, side, 8, "cpu")
    if torch.cuda.is_available():
        pytest.skip("this machine has CUDA")
    for device in ("cuda", torch.device("cuda:0")):
        with pytest.raises(ValueError, match=r'device is "cuda(:0)?" but CUDA is not available.*use "cpu"'):
            Q.blend_neighbor_tensor(node, tile, neighbour, 16, "top", 8, device)
        with pytest.raises(ValueError, match="device is .* but CUDA is not available"):
            Q.blend_bottomright_tensor(node, tile, neighbour, 16, 16, 8, device)


def test_arrays_and_other_values_get_a_short_type_error_naming_the_argument(host_node):
    array = numpy.random.rand(1, 300, 300, 3).astype(numpy.float32)
    with pytest.raises(TypeError) as error:
        Q().better_downscale(array, 100, 100)
    message = str(error.value)
    assert message.startswith("image must be a torch.Tensor, got ndarray") and "torch.from_numpy" in message
    assert len(message) < 200  # not the array printed out
    with pytest.raises(TypeError, match="^neighbor_img must be a torch.Tensor, got list$"):
        Q.blend_neighbor_tensor(host_node(), torch.rand(1, 8, 8, 3), [[0.5]], 4, "top", 2, "cpu")
    with pytest.raises(TypeError, match="^picture must be a torch.Tensor, got str"):
        quorv.write_picture("unused.png", "not a picture")


def test_signatures_name_torch_tensor():
    doc = Q.better_downscale.__doc__
    assert "image: torch.Tensor" in doc and "-> torch.Tensor" in doc
    documented = [getattr(Q, name) for name in dir(Q) if not name.startswith("__")]
    documented += [f for f in vars(quorv).values() if inspect.isbuiltin(f)] + [quorv.models.Model.__call__]
    documented += [f for f in vars(quorv.models).values() if inspect.isbuiltin(f)]
    assert all("::" not in (f.__doc__ or "") for f in documented)  # no C++ type names
    assert "-> quorv.models.Model" in quorv.models.from_callable.__doc__
    assert "tile: torch.Tensor" in quorv.match_tile_tone.__doc__
