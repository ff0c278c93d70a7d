"""The README's Python examples run as written, from a folder laid out like the project's root."""

import os
import re
import subprocess
import sys
from pathlib import Path

import quorv

ROOT = Path(__file__).resolve().parents[2]


def readme_python_blocks():
    return re.findall(r"^```python\n(.*?)^```$", (ROOT / "README.md").read_text(), re.M | re.S)


def run_as_a_file(code, folder, name):
    """The printed lines of `code` saved as `name` in `folder` and run there."""
    (folder / name).write_text(code)
    environment = dict(os.environ, PYTHONPATH=str(Path(quorv.__file__).parent), PYTHONDONTWRITEBYTECODE="1")
    run = subprocess.run([sys.executable, name], cwd=folder, env=environment, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    return run.stdout.strip().splitlines()


def test_the_readme_python_examples_run_as_written(tmp_path):
    blocks = readme_python_blocks()
    assert len(blocks) == 2
    (tmp_path / "data").symlink_to(ROOT / "data")
    lines = [run_as_a_file(block, tmp_path, f"example_{i}.py") for i, block in enumerate(blocks)]
    assert lines[0][-1] == "6 tiles (2 x 3), result [1, 800, 1200, 3]"
    assert lines[1][0].startswith("24 tiles, complete True, seams ") and lines[1][-1] == "same picture: True"
    written = quorv.read_picture(str(tmp_path / "coffee_tiles.png"))
    enlarged = quorv.Quorv_Image().better_downscale(quorv.read_picture(str(ROOT / "data" / "coffee.png")), 1200, 800)
    # Every tile came back with its channels reversed, so the whole picture did.
    assert (written - enlarged.flip(3)).abs().max() <= 1 / 255 + 1e-6
