# SPDX-License-Identifier: MIT
"""Type stubs of the marrowvane_dat package (the classes live in its native module)."""

import enum
from pathlib import Path
from types import TracebackType
from typing import Iterator, final

from _typeshed import ReadableBuffer, StrOrBytesPath
from typing_extensions import Self

__version__: str

class DatKind(enum.IntEnum):
    """The kind of archive, told by its header's signature, block size and dataset.
    Members print by name (DatKind.Portal)."""

    Portal = 0
    Cell = 1
    Local = 2
    Unknown = 3

class DatFileType(enum.IntEnum):
    """The type of a stored file, as told by its id. Members print by name
    (DatFileType.Font)."""

    Model = 0x01
    SetupModel = 0x02
    Animation = 0x03
    Palette = 0x04
    SurfaceTexture = 0x05
    Texture = 0x06
    Surface = 0x08
    MotionTable = 0x09
    Audio = 0x0A
    EnvCell = 0x0D
    Table = 0x0E
    PaletteSet = 0x0F
    Clothing = 0x10
    DegradeInfo = 0x11
    Scene = 0x12
    Region = 0x13
    Keymap = 0x14
    RenderTexture = 0x15
    RenderMaterial = 0x16
    MaterialModifier = 0x17
    MaterialInstance = 0x18
    RenderMesh = 0x19
    SoundTable = 0x20
    Layout = 0x21
    EnumMapper = 0x22
    StringTable = 0x23
    StringTableString = 0x24
    DataIDMapper = 0x25
    ActionMap = 0x26
    DualDataIDMapper = 0x27
    CombatManeuverTable = 0x30
    LanguageString = 0x31
    ParticleEmitter = 0x32
    PhysicsScript = 0x33
    PhysicsScriptTable = 0x34
    MutateFilter = 0x38
    MasterProperty = 0x39
    Font = 0x40
    StringState = 0x41
    BSPNodeType = 0x42
    DatabaseProperties = 0x78
    Custom = 0xFFFFFF00
    MotionKinematics = 0xFFFFFF01
    Landblock = 0xFE
    LandblockInfo = 0xFF
    IndoorCell = 0xFD
    Iteration = 0xFE01
    Unknown = 0

@final
class DatHeader:
    """The 80-byte archive header stored at offset 0x140."""

    @property
    def magic(self) -> int:
        """The signature, 0x5442 in a recognised archive."""
    @property
    def block_size(self) -> int:
        """Bytes per block, the 4-byte link to the next block included."""
    @property
    def file_size(self) -> int:
        """The archive size as stored; not checked against the real size."""
    @property
    def dataset(self) -> int:
        """The dataset number, which with block_size tells the kind."""
    @property
    def subset(self) -> int:
        """Kept as read; not interpreted."""
    @property
    def free_head(self) -> int:
        """First block of the free list, as read; not interpreted."""
    @property
    def free_tail(self) -> int:
        """Last block of the free list, as read; not interpreted."""
    @property
    def free_count(self) -> int:
        """Number of free blocks, as read; not interpreted."""
    @property
    def root_offset(self) -> int:
        """Offset of the directory root's first block; 0 when there are no files."""
    @property
    def new_lru(self) -> int:
        """Kept as read; not interpreted."""
    @property
    def old_lru(self) -> int:
        """Kept as read; not interpreted."""
    @property
    def use_lru(self) -> int:
        """Kept as read; not interpreted."""
    @property
    def master_map_id(self) -> int:
        """Kept as read; not interpreted."""
    @property
    def engine_version(self) -> int:
        """Kept as read; not interpreted."""
    @property
    def game_version(self) -> int:
        """Kept as read; not interpreted."""
    @property
    def version_string(self) -> bytes:
        """The 16 bytes as stored, not decoded or trimmed."""
    @property
    def version_minor(self) -> int:
        """Kept as read; not interpreted."""
    @property
    def kind(self) -> DatKind:
        """The archive kind the header tells."""

@final
class DatFileEntry:
    """One directory entry: where a file's block chain starts and how many bytes it stores."""

    @property
    def bit_flags(self) -> int:
        """Flag bits; bit 0 means the stored bytes are LRS-compressed."""
    @property
    def id(self) -> int:
        """The file id."""
    @property
    def offset(self) -> int:
        """Offset of the first block of the file's chain."""
    @property
    def size(self) -> int:
        """Bytes stored (the compressed size when compressed)."""
    @property
    def timestamp(self) -> int:
        """Timestamp as stored."""
    @property
    def version(self) -> int:
        """Version as stored."""
    @property
    def compressed(self) -> bool:
        """True when bit 0 of bit_flags is set."""
    def __hash__(self) -> int: ...

@final
class FontCharDesc:
    """One glyph: the character it draws and where it sits in the font's surface."""

    @property
    def unicode(self) -> int:
        """The character the glyph draws."""
    @property
    def offset_x(self) -> int:
        """Left edge of the glyph in the surface."""
    @property
    def offset_y(self) -> int:
        """Top edge of the glyph in the surface."""
    @property
    def width(self) -> int:
        """Glyph width in pixels."""
    @property
    def height(self) -> int:
        """Glyph height in pixels."""
    @property
    def horizontal_offset_before(self) -> int:
        """Horizontal adjustment before the glyph, in pixels."""
    @property
    def horizontal_offset_after(self) -> int:
        """Horizontal adjustment after the glyph, in pixels."""
    @property
    def vertical_offset_before(self) -> int:
        """Vertical adjustment before the glyph, in pixels."""

@final
class Font:
    """A bitmap font record: metrics and glyphs."""

    @staticmethod
    def read(data: ReadableBuffer) -> Font:
        """Reads one Font record from the start of `data`; BinReadError when it is short."""
    @property
    def id(self) -> int:
        """The file id as the record states it; not checked against where it was read."""
    @property
    def max_char_height(self) -> int:
        """The largest glyph height."""
    @property
    def max_char_width(self) -> int:
        """The largest glyph width."""
    @property
    def char_descs(self) -> tuple[FontCharDesc, ...]:
        """The glyphs, in stored order."""
    @property
    def num_horizontal_border_pixels(self) -> int:
        """Kept as read; not interpreted."""
    @property
    def num_vertical_border_pixels(self) -> int:
        """Kept as read; not interpreted."""
    @property
    def baseline_offset(self) -> int:
        """Kept as read; not interpreted."""
    @property
    def foreground_surface_data_id(self) -> int:
        """File id of the foreground surface."""
    @property
    def background_surface_data_id(self) -> int:
        """File id of the background surface."""

@final
class DatDatabase:
    """An open archive; a context manager. Any use after close() raises ValueError."""

    @property
    def header(self) -> DatHeader:
        """The header read at open."""
    @property
    def kind(self) -> DatKind:
        """The archive's kind, from its header."""
    @property
    def closed(self) -> bool:
        """True once the database is closed."""
    def close(self) -> None:
        """Closes the archive. Reads already running finish first; closing twice is fine."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
    def __len__(self) -> int: ...
    def __contains__(self, id: object) -> bool: ...
    def __iter__(self) -> Iterator[DatFileEntry]: ...
    def __getitem__(self, id: int) -> DatFileEntry: ...
    def entry(self, id: int) -> DatFileEntry:
        """The entry of a file id; NotFoundError (a KeyError) when there is none."""
    def find(self, id: int) -> DatFileEntry | None:
        """The entry of a file id, or None when there is none."""
    def entries(self, type: DatFileType | str | None = None) -> list[DatFileEntry]:
        """Every entry, or those of one file type (a DatFileType or its name in any case),
        in id order. ValueError naming the closest type for an unknown name."""
    def entries_in_range(self, first: int, last: int) -> list[DatFileEntry]:
        """The entries whose ids lie in [first, last], in id order."""
    def get_file(self, id: int) -> bytes:
        """The file's bytes, decompressed when stored compressed."""
    def read_file_data(self, offset: int, size: int) -> bytes:
        """Exactly `size` stored bytes from the block chain at `offset`."""
    def decompressed_size(self, id: int) -> int:
        """The file's size once decompressed, without decompressing it."""
    def font(self, id: int) -> Font:
        """File `id` read as a Font: NotFoundError when there is no such file, OtherError
        when the id is not a font's."""

def open(path: StrOrBytesPath, *, mmap: bool = False) -> DatDatabase:
    """Opens an archive file; with mmap=True it is read through a read-only memory map.
    PathError when it cannot be opened, a path with a NUL byte included."""

def open_bytes(data: ReadableBuffer) -> DatDatabase:
    """Opens an archive held in memory."""

def decompress_lrs(data: ReadableBuffer) -> bytes:
    """Decompresses an LRS payload; never fails, malformed input yields what was decoded."""

def file_type(id: int, kind: DatKind | None = None) -> DatFileType:
    """The DatFileType of a file id, in an archive of `kind` when given."""

def portal_dat_path() -> Path | None:
    """$MARROWVANE_PORTAL_DAT when it exists, else the checkout's dats/portal.dat, else None."""

class DatError(Exception):
    """An error of the library: str() is its display text."""

    kind: str
    """The alternative's name in the library: "Io", "NotFound", "PathError", ..."""
    debug: str

class DatIoError(DatError, OSError): ...
class BinReadError(DatError): ...

class NotFoundError(DatError, KeyError):
    id: int

class DuplicateIdError(DatError):
    id: int

class DuplicateNamespacedIdError(DatError):
    namespace: str
    file_id: int

class InvalidMagicError(DatError):
    format: str

class UnsupportedVersionError(DatError):
    version: int

class InvalidNamespaceError(DatError):
    name: str

class CorruptionError(DatError):
    description: str

class DecompressionFailedError(DatError):
    id: int

class PathError(DatError, OSError): ...

class OtherError(DatError):
    message: str

class ErrorSource(Exception):
    """A cause behind a DatError, reached through __cause__."""

    debug: str

class IoErrorSource(ErrorSource, OSError): ...

class BinReadErrorSource(ErrorSource):
    frames: list[str]
