# SPDX-License-Identifier: MIT
"""`cmake --install` puts the package where an interpreter looks for it.

ctest passes the build tree in MARROWVANE_DAT_BUILD_DIR, cmake in MARROWVANE_DAT_CMAKE
and the install directory the build computed (relative to the prefix) in
MARROWVANE_DAT_PYTHON_INSTALL_DIR. The package is installed into a scratch prefix and
imported from there; then, for the build's interpreter and every other python3 of the
same version on PATH, a virtual environment (an interpreter whose own prefix is a
scratch directory, with the plain site-packages layout) gets the package in the
directory that install_dir.py names for it and must import it without PYTHONPATH.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
INSTALL_DIR_SCRIPT = HERE.parent / "cmake" / "install_dir.py"
# Prints where the package was imported from.
IMPORT = "import marrowvane_dat, marrowvane_dat._native; print(marrowvane_dat.__file__)"


def setting(variable: str) -> str:
    value = os.environ.get(variable)
    if not value:
        pytest.fail(f"${variable} is not set; run the tests through ctest")
    return value


def clean_environment(**extra: str) -> dict[str, str]:
    environment = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    environment.update(extra)
    return environment


@pytest.fixture(scope="module")
def prefix(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = tmp_path_factory.mktemp("prefix")
    subprocess.run([setting("MARROWVANE_DAT_CMAKE"), "--install",
                    setting("MARROWVANE_DAT_BUILD_DIR"), "--prefix", str(root)],
                   check=True, capture_output=True)
    return root


def library_path(prefix: Path) -> str:
    """Where a shared library build's library lies, for a package moved away from it."""
    return os.pathsep.join(sorted({str(p.parent) for p in prefix.rglob("libmarrowvane_dat.so*")}))


def same_version_interpreters() -> list[str]:
    """The build's interpreter, then every other python3 of its version found on PATH."""
    version = "%d.%d" % sys.version_info[:2]
    names = ["python3", f"python{version}"]
    candidates = [sys.executable]
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        candidates += [os.path.join(directory, name) for name in names]
    candidates.append("/usr/bin/python3")
    found: dict[str, str] = {}
    for candidate in candidates:
        if not os.access(candidate, os.X_OK):
            continue
        done = subprocess.run(
            [candidate, "-c", "import sys; print(sys.executable); print('%d.%d' % sys.version_info[:2])"],
            capture_output=True, text=True, env=clean_environment())
        lines = done.stdout.split()
        if done.returncode == 0 and len(lines) == 2 and lines[1] == version:
            found.setdefault(os.path.realpath(lines[0]), lines[0])
    return list(found.values())


def test_the_installed_package_imports_from_the_install_dir(prefix: Path) -> None:
    site = prefix / setting("MARROWVANE_DAT_PYTHON_INSTALL_DIR")
    assert (site / "marrowvane_dat" / "py.typed").is_file()
    done = subprocess.run([sys.executable, "-c", IMPORT], capture_output=True, text=True,
                          env=clean_environment(PYTHONPATH=str(site)))
    assert done.returncode == 0, done.stderr
    assert Path(done.stdout.strip()).is_relative_to(site)


@pytest.mark.parametrize("interpreter", same_version_interpreters())
def test_an_interpreter_whose_prefix_is_the_install_prefix_finds_the_package(
        interpreter: str, prefix: Path, tmp_path: Path) -> None:
    venv = tmp_path / "venv"
    subprocess.run([interpreter, "-m", "venv", "--without-pip", str(venv)], check=True,
                   env=clean_environment())
    python = str(venv / "bin" / "python")
    relative = subprocess.run([python, str(INSTALL_DIR_SCRIPT), str(venv)], check=True,
                              capture_output=True, text=True,
                              env=clean_environment()).stdout.strip()
    assert not Path(relative).is_absolute(), relative
    shutil.copytree(prefix / setting("MARROWVANE_DAT_PYTHON_INSTALL_DIR") / "marrowvane_dat",
                    venv / relative / "marrowvane_dat")
    done = subprocess.run([python, "-c", IMPORT], capture_output=True, text=True, cwd=tmp_path,
                          env=clean_environment(LD_LIBRARY_PATH=library_path(prefix)))
    assert done.returncode == 0, f"{relative}: {done.stderr}"
    assert Path(done.stdout.strip()).is_relative_to(venv / relative)
