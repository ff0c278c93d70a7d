"""Tiled upscaling the way the host's upscaler node does it, with quorv.

The picture is enlarged, brought to sizes divisible by 8 and cut into
overlapping tiles; each tile is regenerated (here by `refine_tile`, where the
real node runs a diffusion model inside the host), optionally fused into its
finished neighbours through the fusion service, and the tiles are pasted back
with feathered masks into one picture.
"""

from types import SimpleNamespace

import torch

import quorv

FUSION_MODES = ["Tile_Fusion", "Neuro_Generative_Tile_Fusion", "NGTF_FLUX_Kontext", "None"]


def refine_tile(tile, inpaint_mask, strength):
    """Stand-in for the generator: sharpens the tile where the inpaint mask allows it.

    tile: [B, H, W, C] in 0..1; inpaint_mask: [1, 1, H, W] in 0..1.
    """
    planes = tile.permute(0, 3, 1, 2)
    blurred = torch.nn.functional.avg_pool2d(planes, 5, stride=1, padding=2, count_include_pad=False)
    sharpened = (planes + strength * (planes - blurred)).clamp(0.0, 1.0)
    mixed = torch.lerp(planes, sharpened, inpaint_mask.to(planes.dtype))
    return mixed.permute(0, 2, 3, 1).contiguous()


class QuorvTiledUpscale:
    """Enlarges a picture and rebuilds it tile by tile without visible seams.

    The node object is the `SELF` the quorv operations read their settings
    from and write the derived tile sizes into.
    """

    CATEGORY = "image/upscaling"
    RETURN_TYPES = ("IMAGE", "IMAGE")
    RETURN_NAMES = ("image", "tile_bands")
    FUNCTION = "upscale"

    # The generator; tests and other packages may replace it.
    refine = staticmethod(refine_tile)

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
                "detail": ("FLOAT", {"default": 0.5, "min": 0.0, "max": 4.0, "step": 0.05}),
            },
            "optional": {
                "fusion_service_url": ("STRING", {"default": ""}),
                "api_token": ("STRING", {"default": ""}),
            },
        }

    def _settings(self, picture, tile_size, mode, margins, blend, token):
        composite_blur_margin, inpaint_border_margin, inpaint_blur_margin, inpaint_shift = margins
        self.SIZE = SimpleNamespace(
            fullW=tile_size, fullH=tile_size,
            inpaint_border_margin=inpaint_border_margin, inpaint_blur_margin=inpaint_blur_margin,
            shift=inpaint_shift, composite_blur_margin=composite_blur_margin, shifttl=0, inpaint_max=1.0)
        self.PARAMS = SimpleNamespace(
            Tile_Fusion_Mode=mode, Tile_Fusion_Blend=blend, FLUX_Kontext=mode == "NGTF_FLUX_Kontext",
            Fast_1_Tile_Preview=False, Debug_Grid_Overlay=False)
        self.OUTPUTS = SimpleNamespace(image=picture)
        self.SEGMENTS = SimpleNamespace(segms_cropped_masks=[])
        self.API = SimpleNamespace(token=token)

    def upscale(self, image, upscale_by, tile_size, Tile_Fusion_Mode, composite_blur_margin,
                inpaint_border_margin, inpaint_blur_margin, inpaint_shift, Tile_Fusion_Blend, detail,
                fusion_service_url="", api_token=""):
        Q = quorv.Quorv_Image()
        width = max(8, round(image.shape[2] * upscale_by))
        height = max(8, round(image.shape[1] * upscale_by))
        enlarged = Q.better_downscale(image, width, height, "lanczos")
        enlarged, width, height, _ = Q.format_2_divby8(enlarged)

        margins = (composite_blur_margin, inpaint_border_margin, inpaint_blur_margin, inpaint_shift)
        self._settings(enlarged, tile_size, Tile_Fusion_Mode, margins, Tile_Fusion_Blend, api_token)
        grid = Q.get_tiled_grid_specs(self, enlarged)
        tiles = Q.get_grid_images(enlarged, grid)
        self.OUTPUTS.grid_images = tiles
        self.OUTPUTS.grid_images_all = tiles

        fusing = Tile_Fusion_Mode in FUSION_MODES[1:3] and bool(fusion_service_url)
        if fusing:
            quorv.set_apiurl(fusion_service_url)
        output_images = [None] * len(grid)
        for index, spec in enumerate(grid):
            mask = Q.get_inpaint_mask(self, spec.height_inc, spec.width_inc, self.PARAMS.cols_qty,
                                      self.PARAMS.rows_qty, spec, inpaint_blur_margin, inpaint_shift,
                                      self.SIZE.inpaint_border_margin, None)
            generated = self.refine(tiles[index], mask, detail)
            if fusing:
                generated = Q.add_last_generated_to_base_image(self, 1, generated, grid, index, output_images,
                                                               blend_all=False)
            output_images[index] = generated

        full_image, _, _, first_tile = Q.rebuild_final_image(
            self, 1, output_images, enlarged, grid, upscale_by, self.PARAMS.rows_qty, self.PARAMS.cols_qty,
            [""] * len(grid), [], [], (None, []), "lanczos")
        return (full_image, Q.overlay_tile_grid(first_tile[:1], self.SIZE))


NODE_CLASS_MAPPINGS = {"QuorvTiledUpscale": QuorvTiledUpscale}
NODE_DISPLAY_NAME_MAPPINGS = {"QuorvTiledUpscale": "Quorv Tiled Upscale"}
