"""Tiled upscaling the way the host's upscaler node does it, with quorv.

The picture is enlarged (by the host's upscale model when one is wired, then
lanczos to the exact size), cut into overlapping tiles, each tile is refined
(by a sampler a package wires in, else by a restorer of the quorv model
catalogue), optionally fused into its finished neighbours through the fusion
service, and the tiles are pasted back with feathered masks into one picture.
"""

import os
from pathlib import Path
from types import SimpleNamespace

import torch

import quorv

FUSION_MODES = ["Tile_Fusion", "Neuro_Generative_Tile_Fusion", "NGTF_FLUX_Kontext", "None"]
FUSING_MODES = ("Neuro_Generative_Tile_Fusion", "NGTF_FLUX_Kontext")
NO_RESTORER = "none"
DEFAULT_RESTORER = "waifu2x-noise1"


def restorer_names():
    """The catalogue's same-size restorers, then "none" (tiles left as enlarged)."""
    return [m["name"] for m in quorv.models.list() if m["kind"] == "restorer"] + [NO_RESTORER]


def service_token(environ=None):
    """The fusion service's token, never a widget: the host keeps widget values
    in saved workflows and in the metadata of every picture it saves.

    $QUORV_TOKEN, else the file $QUORV_TOKEN_FILE names, else
    $XDG_CONFIG_HOME/quorv/token (~/.config/quorv/token); "" when none is set.
    """
    environ = os.environ if environ is None else environ
    token = environ.get("QUORV_TOKEN", "").strip()
    if token:
        return token
    named = environ.get("QUORV_TOKEN_FILE", "")
    if named:
        path = Path(named)
        if not path.is_file():
            raise ValueError(f"QUORV_TOKEN_FILE names {named}, which is not a readable file")
    else:
        config = environ.get("XDG_CONFIG_HOME") or str(Path.home() / ".config")
        path = Path(config) / "quorv" / "token"
        if not path.is_file():
            return ""
    return path.read_text(encoding="utf-8").strip()


def model_device(model):
    """Where a host model's weights live (CPU for a plain callable)."""
    inner = getattr(model, "model", model)
    parameters = getattr(inner, "parameters", None)
    if callable(parameters):
        for parameter in parameters():
            return parameter.device
    return torch.device("cpu")


def tiled_host_model(upscale_model, tile_size=0):
    """The host's UPSCALE_MODEL (called on [1, 3, h, w] in 0..1) run in tiles
    by quorv, so a large picture never has to fit the model in one piece."""
    device = model_device(upscale_model)

    def forward(piece):
        with torch.no_grad():
            return upscale_model(piece.to(device)).float().cpu()

    return quorv.models.from_callable(forward, name=type(upscale_model).__name__,
                                      scale=int(getattr(upscale_model, "scale", 0) or 0), tile_size=tile_size)


def restorer_refine(name, models_dir=""):
    """A refine step from a catalogue restorer, applied through each tile's inpaint mask."""
    if name == NO_RESTORER:
        return lambda tile, inpaint_mask: tile
    model = quorv.models.load(name, models_dir)
    if model.scale != 1:
        raise ValueError(f"restorer {name} enlarges x{model.scale}; choose a restorer (scale 1): "
                         f"{', '.join(restorer_names())}")

    def refine(tile, inpaint_mask):
        restored = model(tile)
        return torch.lerp(tile, restored, inpaint_mask.permute(0, 2, 3, 1).to(tile.dtype))

    return refine


def tile_settings(picture, tile_size, mode, margins, blend, token):
    """The SELF the quorv operations read their settings from and write sizes into."""
    composite_blur_margin, inpaint_border_margin, inpaint_blur_margin, inpaint_shift = margins
    return SimpleNamespace(
        SIZE=SimpleNamespace(fullW=tile_size, fullH=tile_size, inpaint_border_margin=inpaint_border_margin,
                             inpaint_blur_margin=inpaint_blur_margin, shift=inpaint_shift,
                             composite_blur_margin=composite_blur_margin, shifttl=0, inpaint_max=1.0),
        PARAMS=SimpleNamespace(Tile_Fusion_Mode=mode, Tile_Fusion_Blend=blend,
                               FLUX_Kontext=mode == "NGTF_FLUX_Kontext", Fast_1_Tile_Preview=False,
                               Debug_Grid_Overlay=False),
        OUTPUTS=SimpleNamespace(image=picture),
        SEGMENTS=SimpleNamespace(segms_cropped_masks=[]),
        API=SimpleNamespace(token=token))


def tiled_upscale(node, image, upscale_by, settings, refine, upscale_model=None, fusion_service_url=""):
    """The node's whole pass, from the input picture to (result, tile bands).

    `settings`: tile_size, mode, margins (composite blur, inpaint border,
    inpaint blur, inpaint shift) and blend. `node` receives SIZE, PARAMS,
    OUTPUTS, SEGMENTS and API: it is the SELF of the quorv operations.
    """
    Q = quorv.Quorv_Image()
    # Straight to sizes divisible by 8: one resample, and format_2_divby8 keeps it.
    width, height = Q.calculate_new_dimensions(max(8, round(image.shape[2] * upscale_by)),
                                               max(8, round(image.shape[1] * upscale_by)))
    source = tiled_host_model(upscale_model)(image) if upscale_model is not None else image
    enlarged, width, height, _ = Q.format_2_divby8(Q.better_downscale(source, width, height, "lanczos"))

    fusing = settings["mode"] in FUSING_MODES and bool(fusion_service_url)
    state = tile_settings(enlarged, settings["tile_size"], settings["mode"], settings["margins"],
                          settings["blend"], service_token() if fusing else "")
    for group in ("SIZE", "PARAMS", "OUTPUTS", "SEGMENTS", "API"):
        setattr(node, group, getattr(state, group))
    grid = Q.get_tiled_grid_specs(node, enlarged)
    tiles = Q.get_grid_images(enlarged, grid)
    node.OUTPUTS.grid_images = tiles
    node.OUTPUTS.grid_images_all = tiles

    if fusing:
        quorv.set_apiurl(fusion_service_url)
    inpaint_blur_margin, inpaint_shift = settings["margins"][2], settings["margins"][3]
    output_images = [None] * len(grid)
    for index, spec in enumerate(grid):
        mask = Q.get_inpaint_mask(node, spec.height_inc, spec.width_inc, node.PARAMS.cols_qty,
                                  node.PARAMS.rows_qty, spec, inpaint_blur_margin, inpaint_shift,
                                  node.SIZE.inpaint_border_margin, None)
        generated = refine(tiles[index], mask)
        if fusing:
            generated = Q.add_last_generated_to_base_image(node, 1, generated, grid, index, output_images,
                                                           blend_all=False)
        output_images[index] = generated

    full_image, _, _, first_tile = Q.rebuild_final_image(
        node, 1, output_images, enlarged, grid, upscale_by, node.PARAMS.rows_qty, node.PARAMS.cols_qty,
        [""] * len(grid), [], [], (None, []), "lanczos")
    return full_image, Q.overlay_tile_grid(first_tile[:1], node.SIZE)


class QuorvTiledUpscale:
    """Enlarges a picture and rebuilds it tile by tile without visible seams."""

    CATEGORY = "image/upscaling"
    RETURN_TYPES = ("IMAGE", "IMAGE")
    RETURN_NAMES = ("image", "tile_bands")
    FUNCTION = "upscale"

    # The refine step a package wires in (a diffusion sampler): refine(tile,
    # inpaint_mask) -> tile, [1, H, W, C] and [1, 1, H, W]. None: the restorer.
    refine = None

    @classmethod
    def INPUT_TYPES(cls):
        return {
            "required": {
                "image": ("IMAGE",),
                "upscale_by": ("FLOAT", {"default": 2.0, "min": 1.0, "max": 8.0, "step": 0.05}),
                "tile_size": ("INT", {"default": 512, "min": 128, "max": 4096, "step": 64}),
                "Tile_Fusion_Mode": (FUSION_MODES, {"default": "Tile_Fusion"}),
                "composite_blur_margin": ("INT", {"default": 32, "min": 0, "max": 512}),
                "inpaint_border_margin": ("INT", {"default": 16, "min": 0, "max": 512}),
                "inpaint_blur_margin": ("INT", {"default": 16, "min": 0, "max": 512}),
                "inpaint_shift": ("INT", {"default": 8, "min": 0, "max": 512}),
                "Tile_Fusion_Blend": ("FLOAT", {"default": 1.0, "min": 0.0, "max": 2.0, "step": 0.05}),
                "restorer": (restorer_names(), {"default": DEFAULT_RESTORER}),
            },
            "optional": {
                "upscale_model": ("UPSCALE_MODEL",),
                "fusion_service_url": ("STRING", {"default": ""}),
            },
        }

    def upscale(self, image, upscale_by, tile_size, Tile_Fusion_Mode, composite_blur_margin,
                inpaint_border_margin, inpaint_blur_margin, inpaint_shift, Tile_Fusion_Blend, restorer,
                upscale_model=None, fusion_service_url=""):
        settings = {
            "tile_size": tile_size, "mode": Tile_Fusion_Mode, "blend": Tile_Fusion_Blend,
            "margins": (composite_blur_margin, inpaint_border_margin, inpaint_blur_margin, inpaint_shift),
        }
        refine = self.refine or restorer_refine(restorer)
        return tiled_upscale(self, image, upscale_by, settings, refine, upscale_model, fusion_service_url)


NODE_CLASS_MAPPINGS = {"QuorvTiledUpscale": QuorvTiledUpscale}
NODE_DISPLAY_NAME_MAPPINGS = {"QuorvTiledUpscale": "Quorv Tiled Upscale"}
