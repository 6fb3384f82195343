# SPDX-License-Identifier: MIT
"""The module reads archives exactly as the command-line tool does."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import marrowvane_dat
from conftest import Tool

ENTRY_KEYS = ("id", "bit_flags", "compressed", "offset", "size", "timestamp", "version")


def number(value: Any) -> Any:
    """A number the tool printed, whether as a JSON number or as hex text."""
    if isinstance(value, str):
        return int(value, 16)
    return value


def listed(tool: Tool, *args: object) -> list[dict[str, Any]]:
    return [{**{key: number(row[key]) for key in ENTRY_KEYS}, "type": row["type"]}
            for row in tool.json("ls", *args)]


def as_rows(db: marrowvane_dat.DatDatabase,
            entries: list[marrowvane_dat.DatFileEntry]) -> list[dict[str, Any]]:
    return [{**{key: getattr(e, key) for key in ENTRY_KEYS},
             "type": marrowvane_dat.file_type(e.id, db.kind).name} for e in entries]


@pytest.fixture(scope="module", params=["sample", "cell"])
def archive(request: pytest.FixtureRequest, sample: Path,
            make_fixture: Callable[[str], tuple[Path, str]]) -> Path:
    return sample if request.param == "sample" else make_fixture("cell")[0]


def test_listing_and_header_match_the_tool(tool: Tool, archive: Path) -> None:
    with marrowvane_dat.open(archive) as db:
        assert as_rows(db, list(db)) == listed(tool, archive)

        info = tool.json("info", archive)
        header = db.header
        for field, value in info.items():
            if field.endswith("_hex"):
                # The tool's hex spelling of the number beside it.
                assert number(value) == info[field.removesuffix("_hex")], field
            elif field == "version_string":
                assert header.version_string.hex() == value.replace(" ", "").lower()
            elif field == "kind":
                assert db.kind.name == header.kind.name == value
            elif field == "file_count":
                assert len(db) == value
            else:
                assert getattr(header, field) == number(value), field


def test_typed_listing_matches_the_tool(tool: Tool, sample: Path) -> None:
    with marrowvane_dat.open(sample) as db:
        for kind in (marrowvane_dat.DatFileType.Font, marrowvane_dat.DatFileType.StringTable):
            assert as_rows(db, db.entries(kind)) == listed(tool, sample, "--type", kind.name)


def test_file_bytes_match_the_tool(tool: Tool, archive: Path) -> None:
    with marrowvane_dat.open(archive) as db:
        entries = list(db)
        # Every font, every compressed entry among the first hundred, the largest file,
        # and a spread of the rest.
        chosen = {e.id: e for e in entries[::150]}
        chosen.update((e.id, e) for e in entries[:100] if e.compressed)
        chosen.update((e.id, e) for e in db.entries(marrowvane_dat.DatFileType.Font))
        largest = max(entries, key=lambda e: e.size)
        chosen[largest.id] = largest
        for entry in chosen.values():
            cat = tool.run("cat", archive, f"0x{entry.id:08X}")
            assert cat.returncode == 0, cat.stderr
            assert db.get_file(entry.id) == cat.stdout, hex(entry.id)
            stored = tool.run("cat", archive, f"0x{entry.id:08X}", "--stored")
            assert db.read_file_data(entry.offset, entry.size) == stored.stdout


def test_fonts_match_the_tool(tool: Tool, sample: Path) -> None:
    with marrowvane_dat.open(sample) as db:
        fonts = db.entries(marrowvane_dat.DatFileType.Font)
        assert [len(db.font(e.id).char_descs) for e in fonts] == [95, 96, 128, 160, 224, 256]
        for entry in fonts:
            expected = tool.json("font", sample, f"0x{entry.id:08X}")
            font = db.font(entry.id)
            data = db.get_file(entry.id)
            assert marrowvane_dat.Font.read(data) == font
            assert marrowvane_dat.Font.read(data + b"trailing") == font
            for field, value in expected.items():
                if field.endswith("_hex"):
                    assert number(value) == expected[field.removesuffix("_hex")], field
                elif field == "char_descs":
                    assert [{key: getattr(glyph, key) for key in row}
                            for glyph, row in zip(font.char_descs, value)] == value
                    assert len(font.char_descs) == len(value)
                else:
                    assert getattr(font, field) == number(value), field


def test_every_source_and_read_path_agrees(sample: Path) -> None:
    data = sample.read_bytes()
    with marrowvane_dat.open(sample) as reference:
        entries = list(reference)
        files = {e.id: reference.get_file(e.id) for e in entries}
        for e in entries:
            stored = reference.read_file_data(e.offset, e.size)
            assert files[e.id] == (marrowvane_dat.decompress_lrs(stored) if e.compressed else stored)
            assert reference.decompressed_size(e.id) == len(files[e.id])

    for db in (marrowvane_dat.open(sample, mmap=True), marrowvane_dat.open(str(sample).encode()),
               marrowvane_dat.open_bytes(data), marrowvane_dat.open_bytes(bytearray(data)),
               marrowvane_dat.open_bytes(memoryview(data))):
        with db:
            assert list(db) == entries
            assert {e.id: db.get_file(e.id) for e in entries} == files
