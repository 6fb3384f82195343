# SPDX-License-Identifier: MIT
"""Uses the whole API the way a script would; mypy --strict must accept it as it is."""

from __future__ import annotations

import threading
from pathlib import Path

import marrowvane_dat
from marrowvane_dat import DatError, DatFileEntry, DatFileType, DatKind, NotFoundError


def summary(path: Path) -> dict[str, int]:
    counts: dict[str, int] = {}
    with marrowvane_dat.open(path, mmap=True) as db:
        header: marrowvane_dat.DatHeader = db.header
        version: bytes = header.version_string
        assert db.kind is DatKind.Portal or header.kind is not DatKind.Portal
        for entry in db:
            name = marrowvane_dat.file_type(entry.id, db.kind).name
            counts[name] = counts.get(name, 0) + entry.size
        fonts: list[DatFileEntry] = db.entries(DatFileType.Font)
        assert db.entries(type="font") == fonts
        glyphs = [d.unicode for e in fonts for d in db.font(e.id).char_descs]
        first: DatFileEntry | None = db.find(0x40000001)
        data: bytes = db.get_file(first.id) if first is not None else b""
        counts["glyphs"] = len(glyphs) + len(version) + len(data)
        worker = threading.Thread(target=db.read_file_data, args=(0x400, 16))
        worker.start()
        worker.join()
    return counts


def describe(error: DatError) -> str:
    text = f"{error.kind}: {error} ({error.debug})"
    if isinstance(error, NotFoundError):
        text += f" id={error.id:08X}"
    if isinstance(error, marrowvane_dat.PathError) and error.errno is not None:
        text += f" errno={error.errno}"
    cause = error.__cause__
    if isinstance(cause, marrowvane_dat.BinReadErrorSource):
        text += "; ".join(cause.frames)
    return text


def from_memory(data: bytes) -> int:
    try:
        with marrowvane_dat.open_bytes(bytearray(data)) as db:
            return len(db) + db.decompressed_size(0x40000002)
    except DatError as error:
        print(describe(error))
        return -1


def decode(payload: bytes) -> marrowvane_dat.Font:
    return marrowvane_dat.Font.read(marrowvane_dat.decompress_lrs(memoryview(payload)))


location: Path | None = marrowvane_dat.portal_dat_path()
