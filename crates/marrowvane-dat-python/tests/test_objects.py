# SPDX-License-Identifier: MIT
"""What every public object of the package promises: it is documented."""

from __future__ import annotations

import enum
from collections.abc import Iterator

import marrowvane_dat as m


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
