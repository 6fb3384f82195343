# SPDX-License-Identifier: MIT
"""Every failure the library can report reaches Python as its own DatError subclass,
with the library's text, debug form, payload and cause chain. The tool prints the same
library text, so where it can fail the same way its message is the expected text."""

from __future__ import annotations

import errno
import os
from collections.abc import Callable
from pathlib import Path

import pytest

import marrowvane_dat as m
from conftest import Tool

EOF_TEXT = "failed to fill whole buffer"
EOF_DEBUG = 'Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }'


def caught(call: Callable[[], object]) -> m.DatError:
    with pytest.raises(m.DatError) as info:
        call()
    return info.value


def cause_chain(error: BaseException) -> list[tuple[type[BaseException], str]]:
    chain = []
    cause = error.__cause__
    while cause is not None:
        chain.append((type(cause), str(cause)))
        cause = cause.__cause__
    return chain


def test_missing_file_is_a_path_error(tool: Tool, tmp_path: Path) -> None:
    path = tmp_path / "missing.dat"
    error = caught(lambda: m.open(path))
    assert type(error) is m.PathError and error.kind == "PathError"
    assert str(error) == f"Failed to open file at {path}: No such file or directory (os error 2)"
    assert str(error) == tool.error("info", path)
    assert isinstance(error, OSError) and error.errno == errno.ENOENT
    assert error.filename == str(path)
    assert error.debug.startswith(f'PathError {{ path: "{path}", source: Os {{ code: 2')
    assert cause_chain(error) == [(m.IoErrorSource, "No such file or directory (os error 2)")]
    source = error.__cause__
    assert isinstance(source, m.IoErrorSource) and source.errno == errno.ENOENT
    assert source.debug == 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
    with pytest.raises(m.PathError):
        m.open(path, mmap=True)


def test_any_path_form_reaches_the_library(sample: Path) -> None:
    class PathLike:
        def __init__(self, path: str | bytes) -> None:
            self.path = path

        def __fspath__(self) -> str | bytes:
            return self.path

    for form in (str(sample), os.fsencode(sample), sample, PathLike(os.fsencode(sample))):
        with m.open(form) as db:
            assert len(db) == 3000
    # A NUL byte is the library's to refuse, as it refuses any path it cannot open.
    for nul in ("a\0b", b"a\0b", PathLike("a\0b"), Path("a\0b")):
        for mmap in (False, True):
            error = caught(lambda: m.open(nul, mmap=mmap))
            assert type(error) is m.PathError and error.filename == "a\0b"
    with pytest.raises(TypeError):
        m.open(PathLike(5))  # type: ignore[arg-type]


def test_fifo_is_refused_without_blocking(tool: Tool, tmp_path: Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    error = caught(lambda: m.open(fifo))
    assert type(error) is m.PathError
    assert str(error) == f"Failed to open file at {fifo}: not a regular file or block device"
    assert str(error) == tool.error("info", fifo)
    assert error.errno is None and isinstance(error.__cause__, m.IoErrorSource)
    assert error.__cause__.errno is None


def test_short_header_is_a_bin_read_error(
        tool: Tool, make_fixture: Callable[[str], tuple[Path, str]]) -> None:
    path, _ = make_fixture("truncated")
    text = f"Binary read error: {EOF_TEXT}; While parsing field 'subset' in DatHeader"
    for error in (caught(lambda: m.open(path)), caught(lambda: m.open_bytes(path.read_bytes()))):
        assert type(error) is m.BinReadError and error.kind == "BinRead"
        assert str(error) == text == tool.error("info", path)
        assert error.debug.startswith(f"BinRead(BinReadError {{ cause: {EOF_DEBUG}, frames: [")
        assert cause_chain(error) == [
            (m.BinReadErrorSource, f"{EOF_TEXT}; While parsing field 'subset' in DatHeader"),
            (m.IoErrorSource, EOF_TEXT)]
        assert isinstance(error.__cause__, m.BinReadErrorSource)
        assert error.__cause__.frames == ["While parsing field 'subset' in DatHeader"]


def test_directory_as_archive_carries_the_os_error(tool: Tool, tmp_path: Path) -> None:
    error = caught(lambda: m.open(tmp_path))
    assert type(error) is m.BinReadError
    assert str(error) == ("Binary read error: Is a directory (os error 21); "
                          "While parsing field 'magic' in DatHeader")
    # The tool words this case its own way; the library's text is the one above.
    assert tool.error("info", tmp_path) == "is a directory, not an archive file"
    assert error.__cause__ is not None and error.__cause__.__cause__ is not None
    assert getattr(error.__cause__.__cause__, "errno") == errno.EISDIR


def test_directory_loop_is_corruption(
        tool: Tool, make_fixture: Callable[[str], tuple[Path, str]]) -> None:
    path, _ = make_fixture("cycle")
    error = caught(lambda: m.open(path))
    assert type(error) is m.CorruptionError and error.kind == "Corruption"
    assert str(error) == tool.error("info", path)
    assert str(error) == (
        "Corruption detected: directory node at offset 0x00000400 is reached more than once; "
        "the directory is not a tree")
    assert error.description == str(error).removeprefix("Corruption detected: ")
    assert error.debug == f'Corruption("{error.description}")'
    assert error.__cause__ is None


def test_block_size_without_room_for_data_is_corruption(
        make_fixture: Callable[[str], tuple[Path, str]]) -> None:
    path, offset = make_fixture("tiny-blocks")
    with m.open(path) as db:
        assert db.read_file_data(int(offset), 0) == b""
        error = caught(lambda: db.read_file_data(int(offset), 10))
    assert type(error) is m.CorruptionError
    assert str(error) == ("Corruption detected: block size 4 leaves no room for data after the "
                          "4-byte block link")


def test_chain_past_the_end_is_an_io_error(tool: Tool, make_sample: Callable[..., Path]) -> None:
    path = make_sample("unreadable")
    with m.open(path) as db:
        error = caught(lambda: db.get_file(0x40000003))
        assert type(db.font(0x40000001)) is m.Font
    assert type(error) is m.DatIoError and error.kind == "Io"
    assert str(error) == f"IO error: {EOF_TEXT}" == tool.error("cat", path, "0x40000003")
    assert error.debug == f"Io({EOF_DEBUG})"
    assert isinstance(error, OSError) and error.errno is None
    assert cause_chain(error) == [(m.IoErrorSource, EOF_TEXT)]


def test_reads_longer_than_the_archive_fail_cleanly(sample: Path) -> None:
    # Sizes on both sides of the largest result size the module reserves up front.
    with m.open(sample) as db:
        first = next(iter(db))
        for size in (32 << 20, (64 << 20) + 1, 0xFFFFFFFF):
            error = caught(lambda: db.read_file_data(first.offset, size))
            assert type(error) is m.DatIoError and str(error) == f"IO error: {EOF_TEXT}"


def test_missing_id_is_not_found_and_a_key_error(tool: Tool, sample: Path) -> None:
    text = "File ID 12345678 not found in provider"
    assert tool.error("cat", sample, "0x12345678") == text
    with m.open(sample) as db:
        # font() looks at the directory before the type the id tells (a Scene's here).
        for lookup in (db.get_file, db.entry, db.__getitem__, db.decompressed_size, db.font):
            error = caught(lambda: lookup(0x12345678))
            assert type(error) is m.NotFoundError and isinstance(error, KeyError)
            assert str(error) == text and error.id == 0x12345678
            assert error.kind == "NotFound" and error.debug == f"NotFound({0x12345678})"
        with pytest.raises(KeyError):
            db[0x12345678]
        assert db.find(0x12345678) is None


def test_font_of_another_type_is_other(sample: Path) -> None:
    with m.open(sample) as db:
        model = db.entries(m.DatFileType.Model)[0].id
        error = caught(lambda: db.font(model))
        assert type(error) is m.OtherError and error.kind == "Other"
        assert str(error) == f"Other error: file 0x{model:08X} is a Model, not a Font"
        assert error.message == str(error).removeprefix("Other error: ")
        # An absent font id is NotFound too; an absent id of another type is in the test above.
        assert type(caught(lambda: db.font(0x40FFFFFF))) is m.NotFoundError


def test_short_font_record_is_a_bin_read_error(tool: Tool,
                                               make_sample: Callable[..., Path]) -> None:
    path = make_sample("truncated")
    with m.open(path) as db:
        error = caught(lambda: db.font(0x40000003))
    assert type(error) is m.BinReadError
    assert str(error) == tool.error("font", path, "0x40000003")
    assert str(error).endswith("While parsing field 'char_descs' in Font")
    error = caught(lambda: m.Font.read(b""))
    assert str(error) == f"Binary read error: {EOF_TEXT}; While parsing field 'id' in Font"


def test_error_classes_are_catchable_as_their_builtins() -> None:
    alternatives = {
        "DatIoError": OSError, "BinReadError": None, "NotFoundError": KeyError,
        "DuplicateIdError": None, "DuplicateNamespacedIdError": None,
        "InvalidMagicError": None, "UnsupportedVersionError": None,
        "InvalidNamespaceError": None, "CorruptionError": None,
        "DecompressionFailedError": None, "PathError": OSError, "OtherError": None,
    }
    for name, builtin in alternatives.items():
        cls = getattr(m, name)
        assert issubclass(cls, m.DatError) and cls.__module__ == "marrowvane_dat"
        assert builtin is None or issubclass(cls, builtin)
    assert issubclass(m.IoErrorSource, (m.ErrorSource, OSError))
    assert not issubclass(m.ErrorSource, m.DatError)
