"""A small ComfyUI custom node package: tiled upscaling with the quorv module.

The host imports this folder as a package and reads NODE_CLASS_MAPPINGS and
NODE_DISPLAY_NAME_MAPPINGS. The compiled `quorv` module must be importable
(installed next to the package or on PYTHONPATH).
"""

from .nodes import NODE_CLASS_MAPPINGS, NODE_DISPLAY_NAME_MAPPINGS

__all__ = ["NODE_CLASS_MAPPINGS", "NODE_DISPLAY_NAME_MAPPINGS"]
