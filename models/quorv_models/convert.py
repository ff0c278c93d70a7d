"""One catalogue entry's extracted files -> a TorchScript model, checked."""
import os
from typing import Dict

import torch

from . import ModelError, ncnn, tfjs, torchscript, waifu2x_json


def module_for(entry: dict, files: Dict[str, str]) -> torch.nn.Module:
    """The unscripted module of `entry`, from its files by role (param, bin, model, weights)."""
    kind = entry["format"]
    if kind == "ncnn":
        return ncnn.convert(files["param"], files["bin"])
    if kind == "waifu2x-json":
        return waifu2x_json.convert(files["model"], entry["scale"])
    if kind == "tfjs-layers":
        # The weight shard must sit beside model.json under the name the manifest gives.
        return tfjs.convert(files["model"], float(entry.get("value_range", 255)))
    raise ModelError(f"model {entry['name']}: unknown format {kind}")


def scripted(entry: dict, files: Dict[str, str]) -> torch.jit.ScriptModule:
    """The TorchScript model, checked on a size other than the one it was traced on:
    right result size, same values as the module itself, within 0..1."""
    module = module_for(entry, files)
    script = torchscript.script(module)
    probe = torch.rand(1, 3, 19, 13, generator=torch.Generator().manual_seed(2))
    with torch.no_grad():
        expected, got = module(probe), script(probe)
    scale = entry["scale"]
    if list(got.shape) != [1, 3, 19 * scale, 13 * scale]:
        raise ModelError(f"model {entry['name']}: gives {list(got.shape)} for [1, 3, 19, 13], "
                         f"not a x{scale} result")
    if not torch.allclose(expected, got, atol=1e-5) or float(got.min()) < 0 or float(got.max()) > 1:
        raise ModelError(f"model {entry['name']}: the scripted model does not match the converted one")
    return script


def files_by_role(entry: dict, folder: str) -> Dict[str, str]:
    """Where the extracted files of `entry` are in `folder` (their tarball paths kept)."""
    return {role: os.path.join(folder, item["path"]) for role, item in entry["files"].items()}
