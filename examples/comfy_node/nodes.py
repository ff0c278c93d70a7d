"""Tiled upscaling the way the host's upscaler node does it, with quorv.

The picture is enlarged (by the host's upscale model when one is wired, then
lanczos to the exact size), cut into overlapping tiles, each tile is refined
(by a sampler a package wires in, else by a restorer of the quorv model
catalogue), fused into its finished neighbours in the fusing modes, and the
tiles are pasted back into one picture: quorv.upscale does the whole pass.
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


def restorer_processor(name):
    """The refine step when no sampler is wired: a catalogue restorer, run by
    quorv on every tile ("model:NAME"), or nothing ("identity")."""
    if name == NO_RESTORER:
        return "identity"
    return f"model:{name}"


def tile_bands(result, report, margins):
    """The result's first tile with its mask bands drawn, to check the settings."""
    grid = report["grid"]
    composite_blur_margin, inpaint_border_margin, inpaint_blur_margin, inpaint_shift = margins
    size = SimpleNamespace(fullW=grid["tile_width"], fullH=grid["tile_height"],
                           inpaint_border_margin=inpaint_border_margin, inpaint_blur_margin=inpaint_blur_margin,
                           shift=inpaint_shift, composite_blur_margin=composite_blur_margin, shifttl=0,
                           inpaint_max=1.0)
    first = result[:, :grid["tile_height"], :grid["tile_width"]]
    return quorv.Quorv_Image().overlay_tile_grid(first, size)


def tiled_upscale(image, upscale_by, settings, refine=None, upscale_model=None, fusion_service_url=""):
    """The node's whole pass, from the input picture to (result, tile bands, report).

    `settings`: tile_size, mode, margins (composite blur, inpaint border,
    inpaint blur, inpaint shift), blend and restorer. `refine(tile,
    inpaint_mask)`: a wired sampler, else the restorer refines each tile.
    """
    height, width = max(1, round(image.shape[1] * upscale_by)), max(1, round(image.shape[2] * upscale_by))
    scale = upscale_by
    if upscale_model is not None:
        # The host's model enlarges, lanczos brings it to the exact size, and the road works at scale 1.
        source = tiled_host_model(upscale_model)(image)
        image = quorv.Quorv_Image().better_downscale(source, width, height, "lanczos")
        scale = 1.0
    if refine is None:
        processor = restorer_processor(settings["restorer"])
    else:
        def processor(tile, mask):
            return refine(tile, mask.permute(0, 3, 1, 2))

    mode = settings["mode"]
    composite_blur_margin, inpaint_border_margin, inpaint_blur_margin, inpaint_shift = settings["margins"]
    fusing = mode in FUSING_MODES
    result, report = quorv.upscale(
        image, scale=scale, processor=processor, tile_size=settings["tile_size"],
        mode=mode if mode != "None" else "Tile_Fusion", kontext=mode == "NGTF_FLUX_Kontext",
        blend=settings["blend"], composite_blur_margin=composite_blur_margin,
        inpaint_border_margin=inpaint_border_margin, inpaint_blur_margin=inpaint_blur_margin, shift=inpaint_shift,
        fusion="v1" if fusing else "none", fusion_url=fusion_service_url or None,
        fusion_token=service_token() if fusing and fusion_service_url else None)
    if result.shape[1:3] != (height, width):
        raise RuntimeError(f"quorv.upscale returned {list(result.shape)} for {height} x {width}")
    return result, tile_bands(result, report, settings["margins"]), report


class QuorvTiledUpscale:
    """Enlarges a picture and rebuilds it tile by tile without visible seams."""

    CATEGORY = "image/upscaling"
    RETURN_TYPES = ("IMAGE", "IMAGE")
    RETURN_NAMES = ("image", "tile_bands")
    FUNCTION = "upscale"

    # The refine step a package wires in (a diffusion sampler): refine(tile,
    # inpaint_mask) -> tile, [1, H, W, C] and [1, 1, H, W] (1 = repaint; the
    # result is blended through it). None: the restorer.
    refine = None
    # What the last run reported: tiles not fused or not refined, seam score, timings.
    report = None

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
        settings["restorer"] = restorer
        image, bands, self.report = tiled_upscale(image, upscale_by, settings, self.refine, upscale_model,
                                                  fusion_service_url)
        if not self.report["complete"]:
            skipped = self.report["unprocessed"] + self.report["fusion"]["unfused"]
            print(f"Warning: quorv: {len(skipped)} tiles not done as asked: "
                  + "; ".join(f"tile {t['tile']}: {t['reason']}" for t in skipped))
        return image, bands


NODE_CLASS_MAPPINGS = {"QuorvTiledUpscale": QuorvTiledUpscale}
NODE_DISPLAY_NAME_MAPPINGS = {"QuorvTiledUpscale": "Quorv Tiled Upscale"}
