# SPDX-License-Identifier: MIT
"""Lists the fonts of an archive with their glyph counts: list_fonts.py ARCHIVE"""

import sys

import marrowvane_dat

with marrowvane_dat.open(sys.argv[1]) as db:
    for entry in db.entries(marrowvane_dat.DatFileType.Font):
        font = db.font(entry.id)
        print(f"0x{entry.id:08X} {len(font.char_descs)} glyphs")
