"""ncnn models (.param text + .bin weights) to TorchScript.

The .param file is text: the magic 7767517, a line with the layer and blob
counts, then one layer per line: type, name, input and output counts, input
and output blob names, then `key=value` settings (`-233NN=n,a,b,...` for
arrays, stored under key NN). The .bin file holds each layer's weights in
layer order: a convolution kernel is preceded by a 4-byte tag (float16 or raw
float32) and laid out [out][in][kh][kw]; biases and PReLU slopes are raw
float32 without a tag.
"""
import struct
from dataclasses import dataclass, field
from typing import Dict, List

import numpy as np
import torch
import torch.nn.functional as F

from . import ModelError
from .torchscript import Framed

MAGIC = "7767517"
TAG_FLOAT16 = 0x01306B47
TAG_FLOAT32 = 0
SUPPORTED = {"Input", "Split", "Convolution", "PReLU", "ReLU", "PixelShuffle", "Interp", "BinaryOp", "Eltwise",
             "Concat"}


@dataclass
class Layer:
    type: str
    name: str
    inputs: List[str]
    outputs: List[str]
    params: Dict[int, object]
    weights: Dict[str, np.ndarray] = field(default_factory=dict)

    def int(self, key: int, default: int = 0) -> int:
        value = self.params.get(key, default)
        if isinstance(value, list) or int(float(value)) != float(value):
            raise ModelError(f"ncnn layer {self.name}: setting {key} must be an integer, got {value}")
        return int(float(value))

    def float(self, key: int, default: float = 0.0) -> float:
        value = self.params.get(key, default)
        if isinstance(value, list):
            raise ModelError(f"ncnn layer {self.name}: setting {key} must be a number, got a list")
        return float(value)

    def array(self, key: int) -> List[float]:
        value = self.params.get(key, [])
        return value if isinstance(value, list) else [float(value)]


def _number(text: str, where: str):
    try:
        return float(text) if any(c in text for c in ".eE") else int(text)
    except ValueError:
        raise ModelError(f"{where}: '{text}' is not a number") from None


def parse_param(text: str, source: str = ".param") -> List[Layer]:
    """The layers of a .param file, checked for shape: counts, names, settings."""
    lines = [line.split() for line in text.splitlines() if line.strip()]
    if not lines or lines[0] != [MAGIC]:
        raise ModelError(f"{source}: not an ncnn .param file (first line must be {MAGIC})")
    if len(lines) < 2 or len(lines[1]) != 2 or not all(t.isdigit() for t in lines[1]):
        raise ModelError(f"{source}: the second line must hold the layer and blob counts")
    layer_count = int(lines[1][0])
    if len(lines) - 2 != layer_count:
        raise ModelError(f"{source}: says {layer_count} layers but has {len(lines) - 2}")
    layers, produced = [], set()
    for number, words in enumerate(lines[2:], start=3):
        where = f"{source} line {number}"
        if len(words) < 4 or not words[2].isdigit() or not words[3].isdigit():
            raise ModelError(f"{where}: expected TYPE NAME INPUTS OUTPUTS ...")
        n_in, n_out = int(words[2]), int(words[3])
        if len(words) < 4 + n_in + n_out:
            raise ModelError(f"{where}: fewer blob names than the counts {n_in} and {n_out}")
        inputs, outputs = words[4:4 + n_in], words[4 + n_in:4 + n_in + n_out]
        for blob in inputs:
            if blob not in produced:
                raise ModelError(f"{where}: input blob '{blob}' is not produced by an earlier layer")
        produced.update(outputs)
        params = {}
        for item in words[4 + n_in + n_out:]:
            key, sep, value = item.partition("=")
            if not sep:
                raise ModelError(f"{where}: setting '{item}' is not key=value")
            key = _number(key, where)
            if key <= -23300:
                values = [_number(v, where) for v in value.split(",")]
                if not values or values[0] != len(values) - 1:
                    raise ModelError(f"{where}: array setting '{item}' does not start with its length")
                params[-key - 23300] = [float(v) for v in values[1:]]
            else:
                params[key] = _number(value, where)
        if words[0] not in SUPPORTED:
            raise ModelError(f"{where}: layer type {words[0]} is not supported "
                             f"(supported: {', '.join(sorted(SUPPORTED))})")
        layers.append(Layer(words[0], words[1], inputs, outputs, params))
    return layers


class _Reader:
    def __init__(self, data: bytes, source: str):
        self.data, self.offset, self.source = data, 0, source

    def take(self, count: int, what: str) -> bytes:
        if count < 0 or self.offset + count > len(self.data):
            raise ModelError(f"{self.source}: ends inside the weights of {what} "
                             f"(needs {count} bytes at offset {self.offset}, file has {len(self.data)})")
        chunk = self.data[self.offset:self.offset + count]
        self.offset += count
        return chunk

    def float32(self, count: int, what: str) -> np.ndarray:
        return np.frombuffer(self.take(4 * count, what), dtype="<f4").astype(np.float32)

    def tagged(self, count: int, what: str) -> np.ndarray:
        (tag,) = struct.unpack("<I", self.take(4, what))
        if tag == TAG_FLOAT16:
            values = np.frombuffer(self.take(2 * count, what), dtype="<f2").astype(np.float32)
            self.take((-2 * count) % 4, what)  # float16 data is padded to 4 bytes
            return values
        if tag == TAG_FLOAT32:
            return self.float32(count, what)
        raise ModelError(f"{self.source}: weights of {what} have storage tag {tag:#010x}; "
                         "only float32 (0) and float16 (0x01306b47) are supported")


def read_bin(data: bytes, layers: List[Layer], source: str = ".bin") -> None:
    """Fills each layer's weights from the .bin bytes; the file must be used up exactly."""
    reader = _Reader(data, source)
    for layer in layers:
        if layer.type == "Convolution":
            out_channels, kernel = layer.int(0), layer.int(1)
            kernel_h = layer.int(11, kernel)
            size = layer.int(6)
            if out_channels <= 0 or kernel <= 0 or size <= 0 or size % (out_channels * kernel * kernel_h):
                raise ModelError(f"ncnn layer {layer.name}: weight size {size} does not fit "
                                 f"{out_channels} outputs of {kernel_h}x{kernel}")
            in_channels = size // (out_channels * kernel * kernel_h)
            layer.weights["kernel"] = reader.tagged(size, layer.name).reshape(out_channels, in_channels, kernel_h,
                                                                              kernel)
            if layer.int(5):
                layer.weights["bias"] = reader.float32(out_channels, layer.name)
        elif layer.type == "PReLU":
            count = layer.int(0)
            if count <= 0:
                raise ModelError(f"ncnn layer {layer.name}: PReLU needs a positive slope count, got {count}")
            layer.weights["slope"] = reader.float32(count, layer.name)
    if reader.offset != len(data):
        raise ModelError(f"{source}: {len(data) - reader.offset} bytes left over after the last layer's weights; "
                         "the .bin does not belong to this .param")


def load(param_path: str, bin_path: str) -> List[Layer]:
    """Parses and checks a .param/.bin pair."""
    try:
        with open(param_path, "r", encoding="utf-8") as f:
            text = f.read()
        with open(bin_path, "rb") as f:
            data = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise ModelError(f"cannot read the ncnn model: {e}") from None
    layers = parse_param(text, param_path)
    read_bin(data, layers, bin_path)
    inputs = [layer for layer in layers if layer.type == "Input"]
    if len(inputs) != 1:
        raise ModelError(f"{param_path}: expected one Input layer, found {len(inputs)}")
    return layers


def output_blob(layers: List[Layer]) -> str:
    """The one blob no layer consumes: the network's result."""
    consumed = {blob for layer in layers for blob in layer.inputs}
    results = [blob for layer in layers for blob in layer.outputs if blob not in consumed]
    if len(results) != 1:
        raise ModelError(f"expected one output blob, found {len(results)}: {', '.join(results)}")
    return results[0]


class NcnnNet(torch.nn.Module):
    """Runs the layers in file order on named blobs (NCHW, batch 1)."""

    def __init__(self, layers: List[Layer]):
        super().__init__()
        self.layers = layers
        self.result = output_blob(layers)
        self.tensors = torch.nn.ParameterDict()
        for i, layer in enumerate(layers):
            for key, value in layer.weights.items():
                self.tensors[f"{i}_{key}"] = torch.nn.Parameter(torch.from_numpy(value.copy()), requires_grad=False)

    def _weight(self, i: int, key: str):
        name = f"{i}_{key}"
        return self.tensors[name] if name in self.tensors else None

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        blobs = {}
        for i, layer in enumerate(self.layers):
            args = [blobs[name] for name in layer.inputs]
            if layer.type == "Input":
                out = [x]
            elif layer.type == "Split":
                out = [args[0]] * len(layer.outputs)
            else:
                out = [self._apply(i, layer, args)]
            blobs.update(zip(layer.outputs, out))
        return blobs[self.result]

    def _apply(self, i: int, layer: Layer, args):
        t = layer.type
        if t == "Convolution":
            kernel = self._weight(i, "kernel")
            pad_w = layer.int(4)
            pad_h = layer.int(14, pad_w)
            if pad_w < 0 or pad_h < 0:
                raise ModelError(f"ncnn layer {layer.name}: 'same' padding codes are not supported")
            y = F.conv2d(args[0], kernel, self._weight(i, "bias"), stride=(layer.int(13, layer.int(3, 1)),
                                                                              layer.int(3, 1)),
                         padding=(pad_h, pad_w), dilation=(layer.int(12, layer.int(2, 1)), layer.int(2, 1)))
            return _activation(layer, y)
        if t == "PReLU":
            return F.prelu(args[0], self._weight(i, "slope"))
        if t == "ReLU":
            slope = layer.float(0)
            return F.leaky_relu(args[0], slope) if slope != 0 else F.relu(args[0])
        if t == "PixelShuffle":
            if layer.int(1) != 0:
                raise ModelError(f"ncnn layer {layer.name}: only the default PixelShuffle channel order is supported")
            return F.pixel_shuffle(args[0], layer.int(0, 1))
        if t == "Interp":
            mode = {1: "nearest", 2: "bilinear", 3: "bicubic"}.get(layer.int(0))
            if mode is None or layer.int(3) or layer.int(4):
                raise ModelError(f"ncnn layer {layer.name}: only resizing by scale factors is supported")
            scale = (layer.float(1, 1.0), layer.float(2, 1.0))
            if mode == "nearest":
                return F.interpolate(args[0], scale_factor=scale, mode="nearest")
            return F.interpolate(args[0], scale_factor=scale, mode=mode, align_corners=bool(layer.int(6)))
        if t == "BinaryOp":
            if len(args) != 2 or layer.int(1):
                raise ModelError(f"ncnn layer {layer.name}: only BinaryOp on two blobs is supported")
            op = layer.int(0)
            if op == 0:
                return args[0] + args[1]
            if op == 1:
                return args[0] - args[1]
            if op == 2:
                return args[0] * args[1]
            raise ModelError(f"ncnn layer {layer.name}: BinaryOp {op} is not supported")
        if t == "Eltwise":
            coefficients = layer.array(1) or [1.0] * len(args)
            if layer.int(0) != 1 or len(coefficients) != len(args):
                raise ModelError(f"ncnn layer {layer.name}: only weighted sums are supported")
            total = args[0] * coefficients[0]
            for arg, c in zip(args[1:], coefficients[1:]):
                total = total + arg * c
            return total
        if t == "Concat":
            if layer.int(0) != 0:
                raise ModelError(f"ncnn layer {layer.name}: only concatenation along channels is supported")
            return torch.cat(args, dim=1)
        raise ModelError(f"ncnn layer {layer.name}: layer type {t} is not supported")


def _activation(layer: Layer, y: torch.Tensor) -> torch.Tensor:
    kind = layer.int(9)
    if kind == 0:
        return y
    if kind == 1:
        return F.relu(y)
    if kind == 2:
        return F.leaky_relu(y, (layer.array(10) or [0.0])[0])
    raise ModelError(f"ncnn layer {layer.name}: activation {kind} is not supported")


def check_layers(layers: List[Layer]) -> None:
    """Runs once on a tiny picture so every unsupported setting fails at conversion time."""
    with torch.no_grad():
        NcnnNet(layers)(torch.zeros(1, 3, 8, 8))


def convert(param_path: str, bin_path: str) -> torch.nn.Module:
    """The ncnn model as a module taking and returning 0..1 pictures (not yet scripted)."""
    layers = load(param_path, bin_path)
    try:
        check_layers(layers)
    except RuntimeError as e:
        raise ModelError(f"{param_path}: the network does not run: {e}") from None
    return Framed(NcnnNet(layers))
