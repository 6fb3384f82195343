# SPDX-License-Identifier: MIT
"""What every public object of the package promises: it is documented, it never exists
without the state its class gives it, and pickling it either works or says why not."""

from __future__ import annotations

import copy
import enum
import pickle
from collections.abc import Iterator
from pathlib import Path

import pytest

import marrowvane_dat as m

# The classes whose instances hold a C++ value and come only from the module.
NATIVE = [m.DatDatabase, m.DatHeader, m.DatFileEntry, m.Font, m.FontCharDesc]


def documentation(name: str, value: object) -> str:
    """The docstring without the signature line pybind11 puts first."""
    doc = getattr(value, "__doc__", None) or ""
    first, _, rest = doc.partition("\n")
    return rest if first.startswith(f"{name}(") else doc


def public_objects() -> Iterator[tuple[str, object]]:
    for name in m.__all__:
        value = getattr(m, name)
        yield name, value
        if isinstance(value, type):
            for attribute in vars(value):
                member = getattr(value, attribute)
                if not attribute.startswith("_") and not isinstance(member, enum.Enum):
                    yield f"{name}.{attribute}", member


def test_every_public_class_function_and_property_is_documented() -> None:
    objects = dict(public_objects())
    # The walk reaches the members of the native classes, not only the names in __all__.
    assert {"DatHeader.magic", "Font.read", "FontCharDesc.unicode", "DatFileEntry.size",
            "DatDatabase.entries", "DatDatabase.closed"} <= objects.keys()
    undocumented = [name for name, value in objects.items()
                    if not documentation(name.rpartition(".")[2], value).strip()]
    assert undocumented == []
    assert (m.__doc__ or "").strip()


def test_native_objects_cannot_be_made_without_their_constructor() -> None:
    for cls in NATIVE:
        with pytest.raises(TypeError, match=f"cannot create 'marrowvane_dat.{cls.__name__}' "
                                            "instances; "):
            cls.__new__(cls)
        with pytest.raises(TypeError):
            cls()
        # A base class's __new__ must not make a bare instance either.
        for base in cls.__mro__[1:]:
            with pytest.raises(TypeError):
                base.__new__(cls)  # type: ignore[call-overload]


@pytest.fixture(scope="module")
def native_objects(sample: Path) -> Iterator[list[object]]:
    with m.open(sample) as db:
        font = db.font(0x40000001)
        yield [db, db.header, db.entry(0x40000001), font, font.char_descs[0]]


def test_native_objects_refuse_pickling_at_every_protocol(native_objects: list[object]) -> None:
    assert [type(o) for o in native_objects] == NATIVE
    for obj in native_objects:
        message = f"cannot pickle 'marrowvane_dat.{type(obj).__name__}' object; "
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            with pytest.raises(TypeError, match=message):
                pickle.dumps(obj, protocol)
        for duplicate in (copy.copy, copy.deepcopy, lambda o: o.__reduce__()):
            with pytest.raises(TypeError, match=message):
                duplicate(obj)


def test_enums_and_errors_survive_pickling(sample: Path) -> None:
    with m.open(sample) as db:
        with pytest.raises(m.NotFoundError) as info:
            db.entry(0x12345678)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(m.DatKind.Cell, protocol)) is m.DatKind.Cell
        assert pickle.loads(pickle.dumps(m.DatFileType.Font, protocol)) is m.DatFileType.Font
        error = pickle.loads(pickle.dumps(info.value, protocol))
        assert type(error) is m.NotFoundError and str(error) == str(info.value)
        assert (error.kind, error.id, error.debug) == ("NotFound", 0x12345678,
                                                       info.value.debug)
