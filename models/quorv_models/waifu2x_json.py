"""waifu2x vgg_7 models (a JSON list of unpadded 3x3 convolutions) to TorchScript.

Each list item is one convolution: nInputPlane, nOutputPlane, kW, kH, weight
[out][in][kh][kw] and bias, inline. A LeakyReLU 0.1 follows every convolution
but the last. Seven unpadded 3x3 convolutions eat 7 pixels per side, so the
picture is padded by 7 pixels (edge replicate) first; a scale-2 model refines
a nearest-neighbour x2 enlargement, done inside the module too.
"""
import json
from typing import List, Tuple

import numpy as np
import torch
import torch.nn.functional as F

from . import ModelError
from .torchscript import Framed

SLOPE = 0.1


def load(path: str) -> Tuple[List[Tuple[np.ndarray, np.ndarray]], int]:
    """The (kernel, bias) pairs, in order, and the model's scale."""
    try:
        with open(path, "r", encoding="utf-8") as f:
            items = json.load(f)
    except (OSError, UnicodeDecodeError, ValueError) as e:
        raise ModelError(f"cannot read the waifu2x model {path}: {e}") from None
    if not isinstance(items, list) or not items:
        raise ModelError(f"{path}: a waifu2x model is a non-empty JSON list of convolutions")
    layers, channels = [], 3
    for number, item in enumerate(items, start=1):
        where = f"{path}: convolution {number}"
        if not isinstance(item, dict):
            raise ModelError(f"{where} is not a JSON object")
        try:
            n_in, n_out = int(item["nInputPlane"]), int(item["nOutputPlane"])
            kw, kh = int(item["kW"]), int(item["kH"])
            kernel = np.asarray(item["weight"], dtype=np.float32)
            bias = np.asarray(item["bias"], dtype=np.float32)
        except KeyError as e:
            raise ModelError(f"{where} has no {e}") from None
        except (TypeError, ValueError) as e:
            raise ModelError(f"{where} has malformed numbers: {e}") from None
        if (kw, kh) != (3, 3) or int(item.get("padW", 0)) or int(item.get("padH", 0)) or \
                int(item.get("dW", 1)) != 1 or int(item.get("dH", 1)) != 1:
            raise ModelError(f"{where}: only unpadded 3x3 convolutions with stride 1 are supported")
        if n_in != channels:
            raise ModelError(f"{where} takes {n_in} channels but receives {channels}")
        if kernel.shape != (n_out, n_in, kh, kw) or bias.shape != (n_out,):
            raise ModelError(f"{where}: weight {list(kernel.shape)} and bias {list(bias.shape)} do not match "
                             f"[{n_out}, {n_in}, {kh}, {kw}] and [{n_out}]")
        if not (np.isfinite(kernel).all() and np.isfinite(bias).all()):
            raise ModelError(f"{where} has weights that are not finite")
        layers.append((kernel, bias))
        channels = n_out
    if channels != 3:
        raise ModelError(f"{path}: the last convolution gives {channels} channels, not 3")
    config = items[0].get("model_config", {}) if isinstance(items[0].get("model_config", {}), dict) else {}
    scale = config.get("scale_factor", 1)
    if scale not in (1, 2):
        raise ModelError(f"{path}: scale_factor must be 1 or 2, got {scale}")
    return layers, int(scale)


class Vgg7(torch.nn.Module):
    """Replicate padding, optional nearest x2, the unpadded convolutions."""

    def __init__(self, layers: List[Tuple[np.ndarray, np.ndarray]], scale: int):
        super().__init__()
        self.scale = scale
        self.pad = len(layers)
        self.convs = torch.nn.ModuleList()
        for kernel, bias in layers:
            conv = torch.nn.Conv2d(kernel.shape[1], kernel.shape[0], 3)
            conv.weight.data = torch.from_numpy(kernel.copy())
            conv.bias.data = torch.from_numpy(bias.copy())
            self.convs.append(conv)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if self.scale != 1:
            x = F.interpolate(x, scale_factor=float(self.scale), mode="nearest")
        x = F.pad(x, (self.pad, self.pad, self.pad, self.pad), mode="replicate")
        last = len(self.convs) - 1
        for i, conv in enumerate(self.convs):
            x = conv(x)
            if i != last:
                x = F.leaky_relu(x, SLOPE)
        return x


def convert(path: str, scale: int = 0) -> torch.nn.Module:
    """The waifu2x model as a module taking and returning 0..1 pictures. `scale`,
    when given, overrides the file's own scale_factor."""
    layers, file_scale = load(path)
    return Framed(Vgg7(layers, scale or file_scale))
