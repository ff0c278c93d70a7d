"""Seam visibility and tone matching as a node would call them."""

import pytest
import quorv
import torch

GREY = 1 / 255


def _grid():
    """The coffee picture (400 x 600) as 3 x 4 tiles of 192 stepping 136 across, 104 down."""
    xs, ys = (0, 136, 272, 408), (0, 104, 208)
    return [[r, c, r * 4 + c, x, y, 192, 192] for r, y in enumerate(ys) for c, x in enumerate(xs)]


def test_seam_visibility_is_one_for_an_unchanged_picture_and_finds_a_shifted_tile(coffee):
    grid = _grid()
    same = quorv.seam_visibility(coffee, coffee, grid)
    assert same["relative"] == 1.0 and same["borders"] == 17
    shifted = coffee.clone()
    shifted[:, 104:208, 136:272] += 8 * GREY  # the visible part of tile 5
    seen = quorv.seam_visibility(shifted, coffee, grid)
    assert seen["worst"]["relative"] > 1.2
    assert 5 in (seen["worst"]["tile"], seen["worst"]["neighbour"])
    assert quorv.seam_visibility(coffee, coffee, grid[:1])["worst"] is None
    with pytest.raises(ValueError, match="same shape"):
        quorv.seam_visibility(coffee, coffee[:, :100], grid)
    # Under transparent pixels the same shift shows nothing.
    alpha = torch.ones(1, 400, 600, 1)
    alpha[:, 80:240, 110:300] = 0
    assert quorv.seam_visibility(shifted, coffee, grid, alpha=alpha)["relative"] == pytest.approx(1.0, abs=0.02)


def test_a_picture_processed_as_a_whole_shows_no_seams(coffee):
    # Sharpened and toned everywhere alike, with no tiles: every border looks like the lines around it.
    blur = torch.nn.functional.avg_pool2d(coffee.permute(0, 3, 1, 2), 3, 1, 1, count_include_pad=False)
    sharpened = (coffee + 0.6 * (coffee - blur.permute(0, 2, 3, 1))) * 1.05 - 0.02
    seen = quorv.seam_visibility(sharpened.clamp(0, 1), coffee, _grid())
    assert seen["relative"] == pytest.approx(1.0, abs=0.05)
    assert seen["worst"]["relative"] < 1.25


def test_match_tile_tone_undoes_a_tone_shift_and_leaves_a_matching_tile_alone(coffee):
    grid = _grid()
    tiles = [coffee[:, y:y + 192, x:x + 192] for _, _, _, x, y, _, _ in grid]
    finished = [t if i != 5 else None for i, t in enumerate(tiles)]
    shifted = tiles[5] * torch.tensor([0.9, 0.95, 0.92]) + torch.tensor([0.04, 0.02, 0.03])
    given = shifted.clone()
    matched, status = quorv.match_tile_tone(shifted, grid, 5, finished)
    assert status["applied"], status["reason"]
    assert status["gain"][0] == pytest.approx(1 / 0.9, abs=1e-3)
    assert (matched - tiles[5]).abs().max().item() < GREY
    assert torch.equal(shifted, given)

    same, status = quorv.match_tile_tone(tiles[5], grid, 5, finished)
    assert not status["applied"] and torch.equal(same, tiles[5])
    _, first = quorv.match_tile_tone(tiles[0], grid, 0, [None] * 12)
    assert first["reason"] == "no finished neighbour"

    # With the originals each finished side is evened out from the shifts; a None original is refused.
    before = [t if i < 5 else None for i, t in enumerate(tiles)]
    evened, status = quorv.match_tile_tone(tiles[5] + 4 * GREY, grid, 5, before, originals=tiles)
    assert status["applied"], status["reason"]
    assert abs((evened - tiles[5])[:, 100:140, 60:120].mean().item()) < GREY
    with pytest.raises(ValueError, match="originals"):
        quorv.match_tile_tone(tiles[5], grid, 5, before, originals=[None] * 12)


def test_blend_kept_band_in_tone_carries_the_processed_tone_into_the_kept_pixels(coffee):
    original = coffee[:, 100:292, 100:292]
    mask = torch.ones(1, 192, 192, 1)
    mask[:, :, :16] = 0  # the left edge kept
    processed = original * torch.tensor([0.9, 0.95, 0.92]) + torch.tensor([0.04, 0.02, 0.03])
    tile, status = quorv.blend_kept_band_in_tone(original, processed, mask)
    assert status["applied"], status["reason"]
    assert (tile - processed).abs().max().item() < GREY
    plain, status = quorv.blend_kept_band_in_tone(original, original, mask)
    assert not status["applied"] and torch.equal(plain, original)
    with pytest.raises(ValueError, match="mask"):
        quorv.blend_kept_band_in_tone(original, processed, mask[:, :100])


def test_refix_seams_lowers_the_borders_of_a_shifted_tile_and_lists_them(coffee):
    grid = _grid()
    shifted = coffee.clone()
    shifted[:, 104:208, 136:272] = (shifted[:, 104:208, 136:272] * 1.06 + 0.02).clamp(0, 1)
    given = shifted.clone()
    fixed, status = quorv.refix_seams(shifted, coffee, grid)
    assert status["borders"], status
    assert all(5 in (b["tile"], b["neighbour"]) and b["after"] < b["before"] for b in status["borders"])
    assert status["after"] < status["before"]
    assert torch.equal(shifted, given) and fixed.shape == coffee.shape
    same, nothing = quorv.refix_seams(coffee, coffee, grid)
    assert nothing["borders"] == [] and torch.equal(same, coffee)
    with pytest.raises(ValueError, match="threshold"):
        quorv.refix_seams(shifted, coffee, grid, 0.5)
