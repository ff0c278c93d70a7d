"""Quorv Tiled Upscale: a custom node package for the ComfyUI host.

The host imports this folder as a package and reads NODE_CLASS_MAPPINGS and
NODE_DISPLAY_NAME_MAPPINGS. The compiled `quorv` module must be importable:
installed (cmake --install) or on PYTHONPATH; see README.md.
"""

from .nodes import NODE_CLASS_MAPPINGS, NODE_DISPLAY_NAME_MAPPINGS

__all__ = ["NODE_CLASS_MAPPINGS", "NODE_DISPLAY_NAME_MAPPINGS"]
