"""TF.js layers models (model.json + weight shards) to TorchScript.

model.json holds the Keras topology (a functional graph of layers, each with
its inbound nodes) and a weightsManifest: groups of weights (name, shape,
dtype, optional quantisation) stored back to back in the group's shards,
concatenated in order. Keras works channels-last with HWIO kernels; the
module built here works NCHW with OIHW kernels.
"""
import json
import os
from typing import Dict, List

import numpy as np
import torch
import torch.nn.functional as F

from . import ModelError
from .torchscript import Framed

LAYERS = {"InputLayer", "Conv2D", "Activation", "Concatenate", "Add", "UpSampling2D"}
ACTIVATIONS = {"linear", "relu", "sigmoid", "tanh"}
DTYPE_BYTES = {"float32": 4, "int32": 4}
QUANTISED = {"uint8": ("<u1", 1), "uint16": ("<u2", 2), "float16": ("<f2", 2)}


def _read_weights(manifest, folder: str, source: str) -> Dict[str, np.ndarray]:
    if not isinstance(manifest, list):
        raise ModelError(f"{source}: weightsManifest must be a list of groups")
    weights = {}
    for group in manifest:
        paths = group.get("paths") if isinstance(group, dict) else None
        entries = group.get("weights") if isinstance(group, dict) else None
        if not isinstance(paths, list) or not isinstance(entries, list):
            raise ModelError(f"{source}: a weight group needs 'paths' and 'weights' lists")
        data = b""
        for shard in paths:
            if not isinstance(shard, str) or os.path.isabs(shard) or ".." in shard.split("/"):
                raise ModelError(f"{source}: weight shard path {shard!r} must stay beside model.json")
            try:
                with open(os.path.join(folder, shard), "rb") as f:
                    data += f.read()
            except OSError as e:
                raise ModelError(f"{source}: cannot read the weight shard {shard}: {e}") from None
        offset = 0
        for entry in entries:
            try:
                name, shape, dtype = entry["name"], [int(d) for d in entry["shape"]], entry["dtype"]
            except (KeyError, TypeError, ValueError):
                raise ModelError(f"{source}: a weight entry needs name, shape and dtype") from None
            count = int(np.prod(shape)) if shape else 1
            if count < 0 or any(d < 0 for d in shape):
                raise ModelError(f"{source}: weight {name} has a negative size {shape}")
            quantisation = entry.get("quantization")
            if quantisation:
                kind = quantisation.get("dtype")
                if kind not in QUANTISED:
                    raise ModelError(f"{source}: weight {name} has unsupported quantisation {kind}")
                numpy_type, size = QUANTISED[kind]
                raw = _slice(data, offset, count * size, name, source)
                values = np.frombuffer(raw, dtype=numpy_type).astype(np.float64)
                if kind != "float16":
                    values = values * float(quantisation["scale"]) + float(quantisation["min"])
            else:
                if dtype != "float32":
                    raise ModelError(f"{source}: weight {name} has dtype {dtype}; only float32 is supported")
                size = DTYPE_BYTES[dtype]
                values = np.frombuffer(_slice(data, offset, count * size, name, source), dtype="<f4")
            offset += count * size
            weights[name] = values.astype(np.float32).reshape(shape)
        if offset != len(data):
            raise ModelError(f"{source}: the shards hold {len(data)} bytes but the manifest uses {offset}")
    return weights


def _slice(data: bytes, offset: int, count: int, name: str, source: str) -> bytes:
    if offset + count > len(data):
        raise ModelError(f"{source}: the weight shards end inside weight {name}")
    return data[offset:offset + count]


class Layer:
    def __init__(self, spec: dict, source: str):
        try:
            self.kind, self.config, self.name = spec["class_name"], spec["config"], spec["config"]["name"]
        except (KeyError, TypeError):
            raise ModelError(f"{source}: a layer needs class_name and config.name") from None
        if self.kind not in LAYERS:
            raise ModelError(f"{source}: layer {self.name} is a {self.kind}, which is not supported "
                             f"(supported: {', '.join(sorted(LAYERS))})")
        nodes = spec.get("inbound_nodes", [])
        if len(nodes) > 1:
            raise ModelError(f"{source}: layer {self.name} is used more than once, which is not supported")
        self.inputs = [str(inbound[0]) for inbound in nodes[0]] if nodes else []


def load(path: str):
    """The layers in graph order, their weights, and the input and output names."""
    try:
        with open(path, "r", encoding="utf-8") as f:
            document = json.load(f)
    except (OSError, UnicodeDecodeError, ValueError) as e:
        raise ModelError(f"cannot read the TF.js model {path}: {e}") from None
    try:
        config = document["modelTopology"]["model_config"]["config"]
        specs = config["layers"]
        inputs = config["input_layers"]
        outputs = config["output_layers"]
    except (KeyError, TypeError):
        raise ModelError(f"{path}: not a TF.js layers model (no modelTopology.model_config.config.layers)") from None
    if len(inputs) != 1 or len(outputs) != 1:
        raise ModelError(f"{path}: expected one input and one output, got {len(inputs)} and {len(outputs)}")
    layers = [Layer(spec, path) for spec in specs]
    known = set()
    for layer in layers:
        for name in layer.inputs:
            if name not in known:
                raise ModelError(f"{path}: layer {layer.name} reads {name}, which is not an earlier layer")
        known.add(layer.name)
    weights = _read_weights(document.get("weightsManifest"), os.path.dirname(os.path.abspath(path)), path)
    if str(outputs[0][0]) not in known:
        raise ModelError(f"{path}: output layer {outputs[0][0]} does not exist")
    return layers, weights, str(inputs[0][0]), str(outputs[0][0])


def _activation(name: str, x: torch.Tensor) -> torch.Tensor:
    if name == "relu":
        return F.relu(x)
    if name == "sigmoid":
        return torch.sigmoid(x)
    if name == "tanh":
        return torch.tanh(x)
    return x


class KerasNet(torch.nn.Module):
    """The Keras graph on NCHW tensors."""

    def __init__(self, layers: List[Layer], weights: Dict[str, np.ndarray], input_name: str, output_name: str,
                 source: str = "model.json"):
        super().__init__()
        self.layers, self.input_name, self.output_name = layers, input_name, output_name
        self.kernels = torch.nn.ParameterDict()
        used = set()
        for layer in layers:
            c = layer.config
            if layer.kind == "Conv2D":
                key = f"{layer.name}/kernel"
                if key not in weights:
                    raise ModelError(f"{source}: the manifest has no {key}")
                kernel = weights[key]
                if kernel.ndim != 4 or list(kernel.shape[:2]) != list(c.get("kernel_size", [])) or \
                        kernel.shape[3] != c.get("filters"):
                    raise ModelError(f"{source}: {key} has shape {list(kernel.shape)}, not "
                                     f"{c.get('kernel_size')} x in x {c.get('filters')}")
                if list(c.get("strides", [1, 1])) != [1, 1] or list(c.get("dilation_rate", [1, 1])) != [1, 1] or \
                        c.get("groups", 1) != 1 or c.get("data_format", "channels_last") != "channels_last" or \
                        c.get("padding") not in ("same", "valid") or c.get("activation", "linear") not in ACTIVATIONS:
                    raise ModelError(f"{source}: convolution {layer.name} has settings that are not supported")
                self.kernels[_key(layer.name, "kernel")] = _parameter(kernel.transpose(3, 2, 0, 1))  # HWIO -> OIHW
                used.add(key)
                if c.get("use_bias", True):
                    bias = weights.get(f"{layer.name}/bias")
                    if bias is None or bias.shape != (kernel.shape[3],):
                        raise ModelError(f"{source}: {layer.name}/bias is missing or has the wrong shape")
                    self.kernels[_key(layer.name, "bias")] = _parameter(bias)
                    used.add(f"{layer.name}/bias")
            elif layer.kind == "Activation" and c.get("activation") not in ACTIVATIONS:
                raise ModelError(f"{source}: activation {c.get('activation')} of {layer.name} is not supported")
            elif layer.kind == "Concatenate" and c.get("axis", -1) not in (3, -1):
                raise ModelError(f"{source}: {layer.name} concatenates along axis {c.get('axis')}, not channels")
            elif layer.kind == "UpSampling2D":
                size = list(c.get("size", [2, 2]))
                if c.get("interpolation", "nearest") != "nearest" or len(size) != 2 or min(size) < 1:
                    raise ModelError(f"{source}: {layer.name} must be a nearest upsampling by whole factors")
        unused = sorted(set(weights) - used)
        if unused:
            raise ModelError(f"{source}: weights no layer uses: {', '.join(unused[:5])}")

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        values = {}
        for layer in self.layers:
            args = [values[name] for name in layer.inputs]
            c = layer.config
            if layer.kind == "InputLayer":
                y = x
            elif layer.kind == "Conv2D":
                kernel = self.kernels[_key(layer.name, "kernel")]
                bias_key = _key(layer.name, "bias")
                bias = self.kernels[bias_key] if bias_key in self.kernels else None
                inp = args[0]
                if c["padding"] == "same":
                    kh, kw = kernel.shape[2], kernel.shape[3]
                    # TensorFlow puts the odd pixel of 'same' padding after, not before.
                    inp = F.pad(inp, ((kw - 1) // 2, kw // 2, (kh - 1) // 2, kh // 2))
                y = _activation(c.get("activation", "linear"), F.conv2d(inp, kernel, bias))
            elif layer.kind == "Activation":
                y = _activation(c["activation"], args[0])
            elif layer.kind == "Concatenate":
                y = torch.cat(args, dim=1)
            elif layer.kind == "Add":
                y = args[0]
                for other in args[1:]:
                    y = y + other
            else:
                size = c.get("size", [2, 2])
                y = F.interpolate(args[0], scale_factor=(float(size[0]), float(size[1])), mode="nearest")
            values[layer.name] = y
        return values[self.output_name]


def _key(name: str, part: str) -> str:
    return f"{name}__{part}".replace(".", "_")


def _parameter(array: np.ndarray) -> torch.nn.Parameter:
    return torch.nn.Parameter(torch.from_numpy(np.ascontiguousarray(array, dtype=np.float32)), requires_grad=False)


def convert(path: str, value_range: float = 255.0) -> torch.nn.Module:
    """The TF.js model as a module taking and returning 0..1 pictures; the
    network itself sees values 0..`value_range`."""
    layers, weights, input_name, output_name = load(path)
    net = KerasNet(layers, weights, input_name, output_name, path)
    try:
        with torch.no_grad():
            net(torch.zeros(1, 3, 8, 8))
    except RuntimeError as e:
        raise ModelError(f"{path}: the network does not run: {e}") from None
    return Framed(net, value_range)
