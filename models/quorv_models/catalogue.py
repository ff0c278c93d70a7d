"""The model catalogue (models/catalogue.json) and the models folder."""
import json
import os
from typing import List

from . import ModelError

FORMATS = {"ncnn": ("param", "bin"), "waifu2x-json": ("model",), "tfjs-layers": ("model", "weights")}
SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "catalogue.json")


def catalogue_path() -> str:
    return os.environ.get("QUORV_CATALOGUE") or SOURCE


def models_dir(override: str = "") -> str:
    """`override`, else $QUORV_MODELS, else $XDG_CACHE_HOME/quorv/models, else ~/.cache/quorv/models."""
    if override:
        return override
    if os.environ.get("QUORV_MODELS"):
        return os.environ["QUORV_MODELS"]
    if os.environ.get("XDG_CACHE_HOME"):
        return os.path.join(os.environ["XDG_CACHE_HOME"], "quorv", "models")
    if os.environ.get("HOME"):
        return os.path.join(os.environ["HOME"], ".cache", "quorv", "models")
    raise ModelError("no models folder: set QUORV_MODELS, XDG_CACHE_HOME or HOME, or pass --models-dir")


def _safe_member(path: str) -> bool:
    parts = path.split("/")
    return bool(path) and not path.startswith("/") and ".." not in parts and "" not in parts and "\\" not in path


def _check(entry: dict, where: str) -> dict:
    for key in ("name", "package", "version", "tarball_sha256", "format", "files", "licenses", "scale", "kind"):
        if key not in entry:
            raise ModelError(f"{where}: a model has no \"{key}\"")
    name = entry["name"]
    if not isinstance(name, str) or not name or "/" in name or name.startswith("."):
        raise ModelError(f"{where}: model name {name!r} is not a plain file name")
    if entry["format"] not in FORMATS:
        raise ModelError(f"{where}: model {name} has unknown format {entry['format']!r}")
    files = list(entry["files"].values()) + list(entry["licenses"])
    if set(entry["files"]) != set(FORMATS[entry["format"]]):
        raise ModelError(f"{where}: model {name} must list the files {', '.join(FORMATS[entry['format']])}")
    for item in files:
        if not _safe_member(item.get("path", "")) or len(item.get("sha256", "")) != 64:
            raise ModelError(f"{where}: model {name} lists a file without a safe path and a sha256: {item}")
    if not isinstance(entry["scale"], int) or not 1 <= entry["scale"] <= 16:
        raise ModelError(f"{where}: model {name} has scale {entry['scale']!r}, not 1 to 16")
    return entry


def load(path: str = "") -> List[dict]:
    """The catalogue's models, checked."""
    path = path or catalogue_path()
    try:
        with open(path, "r", encoding="utf-8") as f:
            document = json.load(f)
    except (OSError, UnicodeDecodeError, ValueError) as e:
        raise ModelError(f"cannot read the model catalogue {path}: {e}") from None
    if not isinstance(document, dict) or not isinstance(document.get("models"), list):
        raise ModelError(f"the model catalogue {path} has no \"models\" list")
    entries = [_check(entry, path) for entry in document["models"]]
    names = [entry["name"] for entry in entries]
    if len(set(names)) != len(names):
        raise ModelError(f"{path}: a model name is listed twice")
    return entries


def select(entries: List[dict], names: List[str]) -> List[dict]:
    """The entries named, in the order given; an unknown name lists the known ones."""
    by_name = {entry["name"]: entry for entry in entries}
    unknown = [name for name in names if name not in by_name]
    if unknown:
        raise ModelError(f"unknown model {', '.join(unknown)}; known models: {', '.join(by_name)}")
    chosen = []
    for name in names:
        if by_name[name] not in chosen:
            chosen.append(by_name[name])
    return chosen
