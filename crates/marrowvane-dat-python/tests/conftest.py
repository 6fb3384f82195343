# SPDX-License-Identifier: MIT
"""Shared fixtures: the programs the tests compare against and the archives they read.

ctest passes the programs' paths in MARROWVANE_DAT_TOOL (the command-line tool),
MARROWVANE_DAT_MAKE_SAMPLE (the sample portal generator) and MARROWVANE_DAT_FIXTURE
(the writer of damaged and cell archives).
"""

from __future__ import annotations

import json
import os
import re
import subprocess
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest


def program(variable: str) -> str:
    path = os.environ.get(variable)
    if not path:
        pytest.fail(f"${variable} is not set; run the tests through ctest")
    return path


class Tool:
    """The marrowvane-dat command-line tool."""

    def __init__(self, path: str) -> None:
        self.path = path

    def run(self, *args: object) -> subprocess.CompletedProcess[bytes]:
        return subprocess.run([self.path, *map(str, args)], capture_output=True, timeout=120)

    def json(self, *args: object) -> Any:
        done = self.run(*args, "--json")
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    def error(self, *args: object) -> str:
        """The library's message in a command that fails: without the program name, the
        archive and file id the tool names first, or the hint it adds when a file is no
        archive."""
        done = self.run(*args)
        assert done.returncode == 1, done
        prefix = b"marrowvane-dat: "
        assert done.stderr.startswith(prefix), done.stderr
        message = done.stderr[len(prefix):].decode().rstrip("\n")
        archive = f"{args[1]}: " if len(args) > 1 else ""
        if archive and message.startswith(archive):
            message = message[len(archive):]
        message = re.sub(r"^file [0-9A-F]{8}: ", "", message)
        return message.removesuffix(" (is this a DAT archive?)")


@pytest.fixture(scope="session")
def tool() -> Tool:
    return Tool(program("MARROWVANE_DAT_TOOL"))


@pytest.fixture(scope="session")
def make_sample(tmp_path_factory: pytest.TempPathFactory) -> Callable[..., Path]:
    """Writes the sample portal archive, or a variant with one bad font (--bad KIND)."""
    made: dict[str, Path] = {}

    def make(bad: str | None = None) -> Path:
        key = bad or "good"
        if key not in made:
            path = tmp_path_factory.mktemp("sample") / f"{key}.dat"
            subprocess.run([program("MARROWVANE_DAT_MAKE_SAMPLE"), path,
                            *(["--bad", bad] if bad else [])], check=True)
            made[key] = path
        return made[key]

    return make


@pytest.fixture(scope="session")
def sample(make_sample: Callable[..., Path]) -> Path:
    return make_sample()


@pytest.fixture(scope="session")
def make_fixture(tmp_path_factory: pytest.TempPathFactory) -> Callable[[str], tuple[Path, str]]:
    """Writes an archive of one shape; returns its path and what the writer printed."""

    def make(shape: str) -> tuple[Path, str]:
        path = tmp_path_factory.mktemp(shape) / f"{shape}.dat"
        done = subprocess.run([program("MARROWVANE_DAT_FIXTURE"), shape, path],
                              check=True, capture_output=True, text=True)
        return path, done.stdout.strip()

    return make
