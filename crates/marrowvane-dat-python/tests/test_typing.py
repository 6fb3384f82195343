# SPDX-License-Identifier: MIT
"""The stubs describe the module as it is, and mypy --strict checks scripts with them."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

HERE = Path(__file__).parent
PACKAGE_ROOT = str(Path(__import__("marrowvane_dat").__file__).parent.parent)


def mypy(*args: str, preload: bool = False) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, MYPYPATH=PACKAGE_ROOT)
    if not preload:
        # A sanitizer runtime preloaded for the module has no business in mypy.
        env.pop("LD_PRELOAD", None)
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          env=env, timeout=600)


def test_strict_mypy_accepts_scripts_using_the_api(tmp_path: Path) -> None:
    done = mypy("mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path),
                str(HERE / "typing_usage.py"), str(HERE.parent / "examples" / "list_fonts.py"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_strict_mypy_rejects_misuse(tmp_path: Path) -> None:
    script = tmp_path / "misuse.py"
    script.write_text(
        "import marrowvane_dat\n"
        "db = marrowvane_dat.open('x.dat')\n"
        "text: str = db.get_file(1)\n"
        "db.entries(type=5)\n"
        "marrowvane_dat.file_type('1')\n")
    done = mypy("mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                str(script))
    assert done.returncode == 1
    assert [line.split(": ")[1] for line in done.stdout.splitlines()[:-1]] == ["error"] * 3


def test_stubs_match_the_runtime_module() -> None:
    done = mypy("mypy.stubtest", "marrowvane_dat", "--allowlist",
                str(HERE / "stubtest_allowlist.txt"), preload=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_readme_example_lists_the_fonts(sample: Path) -> None:
    done = subprocess.run([sys.executable, str(HERE.parent / "examples" / "list_fonts.py"),
                           str(sample)], capture_output=True, text=True, check=True)
    lines = done.stdout.splitlines()
    assert [line.split()[:2] for line in lines] == [
        [f"0x{0x40000001 + i:08X}", str(glyphs)]
        for i, glyphs in enumerate((95, 96, 128, 160, 224, 256))]
