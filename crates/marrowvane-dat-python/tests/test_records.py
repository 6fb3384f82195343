# SPDX-License-Identifier: MIT
"""The free functions and record types: file types, LRS decoding, fonts, the portal path."""

from __future__ import annotations

import struct
from pathlib import Path

import pytest

import marrowvane_dat as m


def test_file_types_by_id_and_kind() -> None:
    Type, Kind = m.DatFileType, m.DatKind
    assert m.file_type(0x40000001) is m.file_type(0x40000001, Kind.Portal) is Type.Font
    assert m.file_type(0x0001FFFF, Kind.Cell) is Type.Landblock
    assert m.file_type(0x0001FFFE) is Type.LandblockInfo
    assert m.file_type(0x7B3A0100, Kind.Cell) is Type.IndoorCell
    assert m.file_type(0xFFFF0001, Kind.Local) is Type.Iteration
    assert m.file_type(0x25000001, Kind.Unknown) is Type.DataIDMapper
    assert m.file_type(0) is Type.Unknown
    # Members carry the C++ names and values, so both spellings find them.
    assert Type["BSPNodeType"] is Type(0x42) and Type.Custom == 0xFFFFFF00
    assert [k.name for k in Kind] == ["Portal", "Cell", "Local", "Unknown"]
    assert Type.__module__ == Kind.__module__ == "marrowvane_dat"
    # Printed, members show their names; a format string still formats the number.
    assert str(Kind.Portal) == f"{Kind.Portal}" == "DatKind.Portal"
    assert str(Type.Font) == format(Type.Font) == "DatFileType.Font"
    assert f"{Type.Font:#x}" == "0x40" and f"{Kind.Cell:d}" == "1" and int(Kind.Cell) == 1
    assert repr(Kind.Local) == "<DatKind.Local: 2>"


def lrs(size: int, tokens: bytes) -> bytes:
    return struct.pack("<I", size) + tokens


def test_decompress_lrs() -> None:
    # Control bits, high bit first: clear for a literal, set for a back-reference
    # (distance in 12 bits, length - 2 in 4).
    assert m.decompress_lrs(lrs(3, b"\x00abc")) == b"abc"
    assert m.decompress_lrs(lrs(6, b"\x20ab\x02\x02")) == b"ababab"
    assert m.decompress_lrs(bytearray(lrs(4, b"\x20ab\x02\x02"))) == b"abab"
    assert m.decompress_lrs(memoryview(lrs(1, b"\x00z"))) == b"z"
    for short in (b"", b"\x01", b"\x01\x02\x03"):
        assert m.decompress_lrs(short) == short
    # Malformed input ends decoding with what was decoded so far.
    assert m.decompress_lrs(lrs(0xFFFFFFFF, b"\x00q")) == b"q"
    assert m.decompress_lrs(lrs(5, b"\x80\x01\x00")) == b""
    with pytest.raises(BufferError):
        m.decompress_lrs(memoryview(b"abcdefgh")[::2])


def test_stored_payloads_decode_to_the_files(sample: Path) -> None:
    with m.open(sample) as db:
        compressed = [e for e in db if e.compressed][:50]
        assert compressed
        for e in compressed:
            stored = db.read_file_data(e.offset, e.size)
            assert struct.unpack_from("<I", stored)[0] == db.decompressed_size(e.id)
            assert m.decompress_lrs(stored) == db.get_file(e.id)


def test_font_record_fields(sample: Path) -> None:
    with m.open(sample) as db:
        font = db.font(0x40000002)
    assert font.id == 0x40000002 and len(font.char_descs) == 96
    assert font.char_descs is font.char_descs  # built once, not per access
    first = font.char_descs[0]
    assert first.unicode == 0x20 and isinstance(first.vertical_offset_before, int)
    assert font.char_descs[1].unicode == 0x21
    assert font == m.Font.read(bytearray(m.open(sample).get_file(0x40000002)))
    assert font.max_char_height > 0 and font.max_char_width > 0
    with pytest.raises(AttributeError):
        first.width = 3  # type: ignore[misc]


def test_portal_dat_path_follows_the_environment(monkeypatch: pytest.MonkeyPatch,
                                                 sample: Path, tmp_path: Path) -> None:
    monkeypatch.setenv("MARROWVANE_PORTAL_DAT", str(sample))
    assert m.portal_dat_path() == sample
    monkeypatch.setenv("MARROWVANE_PORTAL_DAT", str(tmp_path / "missing.dat"))
    fallback = m.portal_dat_path()
    assert fallback is None or fallback.parts[-2:] == ("dats", "portal.dat")
