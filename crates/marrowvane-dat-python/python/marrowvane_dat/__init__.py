# SPDX-License-Identifier: MIT
"""Reads the packed DAT archives of a game client: the directory, any file's bytes by
id (decompressed when stored compressed), file types, and Font records.

    with marrowvane_dat.open("portal.dat") as db:
        for entry in db.entries(marrowvane_dat.DatFileType.Font):
            print(hex(entry.id), db.font(entry.id).char_descs[0])
"""

from ._native import (
    BinReadError,
    BinReadErrorSource,
    CorruptionError,
    DatDatabase,
    DatError,
    DatFileEntry,
    DatFileType,
    DatHeader,
    DatIoError,
    DatKind,
    DecompressionFailedError,
    DuplicateIdError,
    DuplicateNamespacedIdError,
    ErrorSource,
    Font,
    FontCharDesc,
    InvalidMagicError,
    InvalidNamespaceError,
    IoErrorSource,
    NotFoundError,
    OtherError,
    PathError,
    UnsupportedVersionError,
    __version__,
    decompress_lrs,
    file_type,
    open,
    open_bytes,
    portal_dat_path,
)

__all__ = [
    "BinReadError",
    "BinReadErrorSource",
    "CorruptionError",
    "DatDatabase",
    "DatError",
    "DatFileEntry",
    "DatFileType",
    "DatHeader",
    "DatIoError",
    "DatKind",
    "DecompressionFailedError",
    "DuplicateIdError",
    "DuplicateNamespacedIdError",
    "ErrorSource",
    "Font",
    "FontCharDesc",
    "InvalidMagicError",
    "InvalidNamespaceError",
    "IoErrorSource",
    "NotFoundError",
    "OtherError",
    "PathError",
    "UnsupportedVersionError",
    "decompress_lrs",
    "file_type",
    "open",
    "open_bytes",
    "portal_dat_path",
]
