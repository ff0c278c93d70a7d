"""Independent float64 NumPy forward passes of the three model formats.

Written apart from the torch modules on purpose: channels-last where the
source format is (TF.js keeps its HWIO kernels), its own padding, pixel
shuffle and nearest enlargement, so a layout slip in a converter shows up as
a mismatch instead of being repeated here.
"""
import json
import os

import numpy as np

from quorv_models import ncnn


def conv_chw(x, kernel, bias, pad_y, pad_x):
    """x [C, H, W], kernel [O, I, kh, kw]; zero padding, stride 1."""
    x = np.pad(x, ((0, 0), pad_y, pad_x))
    out_c, _, kh, kw = kernel.shape
    h, w = x.shape[1] - kh + 1, x.shape[2] - kw + 1
    out = np.zeros((out_c, h, w))
    for dy in range(kh):
        for dx in range(kw):
            out += np.einsum("oi,ihw->ohw", kernel[:, :, dy, dx], x[:, dy:dy + h, dx:dx + w])
    return out if bias is None else out + np.asarray(bias, np.float64)[:, None, None]


def conv_hwc(x, kernel, bias, same):
    """x [H, W, C], kernel [kh, kw, I, O] as TensorFlow stores it."""
    kh, kw = kernel.shape[:2]
    if same:  # TensorFlow: the extra pixel of an even kernel goes bottom/right
        x = np.pad(x, ((kh // 2 - (1 - kh % 2), kh // 2), (kw // 2 - (1 - kw % 2), kw // 2), (0, 0)))
    h, w = x.shape[0] - kh + 1, x.shape[1] - kw + 1
    out = np.zeros((h, w, kernel.shape[3]))
    for dy in range(kh):
        for dx in range(kw):
            out += x[dy:dy + h, dx:dx + w, :] @ kernel[dy, dx]
    return out + bias


def pixel_shuffle_chw(x, r):
    c, h, w = x.shape
    out = np.zeros((c // (r * r), h * r, w * r))
    for k in range(c):
        channel, sub = divmod(k, r * r)
        i, j = divmod(sub, r)
        out[channel, i::r, j::r] = x[k]
    return out


def leaky(x, slope):
    return np.where(x > 0, x, x * slope)


def ncnn_forward(param_path, bin_path, picture):
    """picture [H, W, 3] 0..1 -> [s*H, s*W, 3], unclamped."""
    layers = ncnn.load(param_path, bin_path)
    blobs = {}
    for layer in layers:
        args = [blobs[name] for name in layer.inputs]
        p = layer.params
        if layer.type == "Input":
            out = [picture.transpose(2, 0, 1).astype(np.float64)]
        elif layer.type == "Split":
            out = [args[0]] * len(layer.outputs)
        elif layer.type == "Convolution":
            pad = int(p.get(4, 0))
            y = conv_chw(args[0], layer.weights["kernel"].astype(np.float64), layer.weights.get("bias"), (pad, pad),
                         (pad, pad))
            act = int(p.get(9, 0))
            if act == 1:
                y = np.maximum(y, 0)
            elif act == 2:
                y = leaky(y, p[10][0])
            out = [y]
        elif layer.type == "PReLU":
            slope = layer.weights["slope"].astype(np.float64)
            out = [leaky(args[0], slope[:, None, None] if slope.size > 1 else slope[0])]
        elif layer.type == "PixelShuffle":
            out = [pixel_shuffle_chw(args[0], int(p[0]))]
        elif layer.type == "Interp":
            out = [args[0].repeat(int(round(float(p[1]))), axis=1).repeat(int(round(float(p[2]))), axis=2)]
        elif layer.type == "BinaryOp":
            out = [{0: np.add, 1: np.subtract, 2: np.multiply}[int(p.get(0, 0))](args[0], args[1])]
        elif layer.type == "Eltwise":
            coefficients = p.get(1, [1.0] * len(args))
            out = [sum(c * a for c, a in zip(coefficients, args))]
        elif layer.type == "Concat":
            out = [np.concatenate(args, axis=0)]
        elif layer.type == "ReLU":
            out = [leaky(args[0], float(p.get(0, 0.0)))]
        else:
            raise AssertionError(f"no reference for {layer.type}")
        blobs.update(zip(layer.outputs, out))
    return blobs[ncnn.output_blob(layers)].transpose(1, 2, 0)


def waifu2x_forward(path, picture, scale):
    with open(path) as f:
        items = json.load(f)
    x = picture.astype(np.float64)
    if scale == 2:
        x = x.repeat(2, axis=0).repeat(2, axis=1)
    x = np.pad(x, ((len(items), len(items)), (len(items), len(items)), (0, 0)), mode="edge").transpose(2, 0, 1)
    for i, item in enumerate(items):
        x = conv_chw(x, np.asarray(item["weight"], np.float64), item["bias"], (0, 0), (0, 0))
        if i != len(items) - 1:
            x = leaky(x, 0.1)
    return x.transpose(1, 2, 0)


def keras_forward(model_path, picture, value_range=255.0):
    """The Keras graph in channels-last, weights read from the shards by this function itself."""
    with open(model_path) as f:
        document = json.load(f)
    weights = {}
    for group in document["weightsManifest"]:
        data = b"".join(open(os.path.join(os.path.dirname(model_path), p), "rb").read() for p in group["paths"])
        offset = 0
        for entry in group["weights"]:
            count = int(np.prod(entry["shape"]))
            q = entry.get("quantization")
            if q:
                raw = np.frombuffer(data, dtype={"uint8": np.uint8, "uint16": "<u2"}[q["dtype"]], count=count,
                                    offset=offset)
                weights[entry["name"]] = (raw * q["scale"] + q["min"]).reshape(entry["shape"])
                offset += count * raw.itemsize
            else:
                weights[entry["name"]] = np.frombuffer(data, "<f4", count, offset).astype(np.float64).reshape(
                    entry["shape"])
                offset += 4 * count
    config = document["modelTopology"]["model_config"]["config"]
    values = {}
    for spec in config["layers"]:
        c, name = spec["config"], spec["config"]["name"]
        args = [values[node[0]] for node in spec["inbound_nodes"][0]] if spec["inbound_nodes"] else []
        kind = spec["class_name"]
        if kind == "InputLayer":
            y = picture.astype(np.float64) * value_range
        elif kind == "Conv2D":
            y = conv_hwc(args[0], weights[name + "/kernel"], weights.get(name + "/bias", 0.0), c["padding"] == "same")
            if c["activation"] == "relu":
                y = np.maximum(y, 0)
        elif kind == "Activation":
            y = np.maximum(args[0], 0)
        elif kind == "Concatenate":
            y = np.concatenate(args, axis=-1)
        elif kind == "Add":
            y = sum(args)
        elif kind == "UpSampling2D":
            y = args[0].repeat(c["size"][0], axis=0).repeat(c["size"][1], axis=1)
        else:
            raise AssertionError(f"no reference for {kind}")
        values[name] = y
    return values[config["output_layers"][0][0]] / value_range
