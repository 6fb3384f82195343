# SPDX-License-Identifier: MIT
"""The database object: mapping behaviour, closing, threads, and argument checking."""

from __future__ import annotations

import os
import random
import threading
from collections.abc import Callable
from pathlib import Path

import pytest

import marrowvane_dat as m


def open_descriptors(path: Path) -> int:
    """How many of this process's descriptors and mappings refer to `path`."""
    target = str(path.resolve())
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}") == target
        except OSError:
            pass
    with open("/proc/self/maps") as maps:
        count += sum(line.rstrip("\n").endswith(target) for line in maps)
    return count


@pytest.mark.parametrize("mmap", [False, True])
def test_context_manager_closes_the_archive(sample: Path, mmap: bool) -> None:
    assert open_descriptors(sample) == 0
    with m.open(sample, mmap=mmap) as db:
        assert open_descriptors(sample) >= 1
        assert not db.closed
    assert db.closed and open_descriptors(sample) == 0
    assert repr(db) == "<marrowvane_dat.DatDatabase closed>"

    with pytest.raises(RuntimeError):
        with m.open(sample, mmap=mmap):
            raise RuntimeError("body failed")
    assert open_descriptors(sample) == 0


def test_a_closed_database_refuses_every_use(sample: Path) -> None:
    db = m.open(sample)
    entry = next(iter(db))
    db.close()
    db.close()
    uses: list[Callable[[], object]] = [
        lambda: db.header, lambda: db.kind, lambda: len(db), lambda: iter(db),
        lambda: entry.id in db, lambda: db[entry.id], lambda: db.entry(entry.id),
        lambda: db.find(entry.id), lambda: db.entries(), lambda: db.entries_in_range(0, 9),
        lambda: db.get_file(entry.id), lambda: db.read_file_data(entry.offset, 4),
        lambda: db.decompressed_size(entry.id), lambda: db.font(0x40000001), db.__enter__,
    ]
    for use in uses:
        with pytest.raises(ValueError, match="closed database"):
            use()
    assert entry.id > 0  # entries are values and outlive their database


def test_mapping_behaviour(sample: Path) -> None:
    with m.open(sample) as db:
        entries = list(db)
        ids = [e.id for e in entries]
        assert len(db) == len(entries) == 3000 and ids == sorted(set(ids))
        assert db.entries() == entries
        assert db.kind is m.DatKind.Portal and db.header.block_size == 1024
        assert db.header.version_string == bytes.fromhex("3c1f72a40b5e418d9627e35000000000")
        some = entries[1234]
        assert db[some.id] == db.entry(some.id) == db.find(some.id) == some
        assert hash(db[some.id]) == hash(some) and some != entries[1235]
        assert some.id in db and some.id + 1 not in db
        for absent in (-1, 2**32 + some.id, "text", None, float(some.id)):
            assert absent not in db
        assert db.entries_in_range(ids[10], ids[19]) == entries[10:20]
        assert db.entries_in_range(ids[19], ids[10]) == []
        fonts = db.entries(m.DatFileType.Font)
        assert [e.id for e in fonts] == list(range(0x40000001, 0x40000007))
        assert [e.compressed for e in fonts] == [False, True, False, True, False, True]
        assert fonts[1].bit_flags & 1 and not fonts[0].bit_flags & 1
        with pytest.raises(AttributeError):
            some.size = 0  # type: ignore[misc]


def test_file_types_are_taken_by_name_in_any_case(sample: Path) -> None:
    with m.open(sample) as db:
        fonts = db.entries(m.DatFileType.Font)
        assert len(fonts) == 6
        for name in ("Font", "font", "FONT", "fOnT"):
            assert db.entries(name) == db.entries(type=name) == fonts
        with pytest.raises(ValueError, match=r"unknown file type 'fnot'; did you mean 'Font'\?"):
            db.entries("fnot")
        with pytest.raises(ValueError, match=r"did you mean 'SurfaceTexture'\?"):
            db.entries("surfacetextur")
        with pytest.raises(ValueError) as info:
            db.entries("zzzzzz")
        assert str(info.value).startswith("unknown file type 'zzzzzz'; valid types: Model, ")
        assert all(t.name in str(info.value) for t in m.DatFileType)


def test_four_threads_read_what_one_reads(sample: Path) -> None:
    with m.open(sample) as db:
        ids = [e.id for e in db]
        expected = {i: db.get_file(i) for i in ids}
        results: list[dict[int, bytes]] = [{} for _ in range(4)]

        def read(slot: int) -> None:
            order = ids[:]
            random.Random(slot).shuffle(order)
            for i in order:
                results[slot][i] = db.get_file(i)

        threads = [threading.Thread(target=read, args=(slot,)) for slot in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert all(result == expected for result in results)


def test_closing_while_threads_read_is_safe(sample: Path) -> None:
    db = m.open(sample)
    ids = [e.id for e in db]
    expected = {i: db.get_file(i) for i in ids}
    started = threading.Barrier(5)
    outcomes: list[str] = []

    def read() -> None:
        started.wait()
        try:
            for i in ids * 3:
                assert db.get_file(i) == expected[i]
            outcomes.append("finished")
        except ValueError:
            outcomes.append("closed")

    threads = [threading.Thread(target=read) for _ in range(4)]
    for t in threads:
        t.start()
    started.wait()
    db.close()
    for t in threads:
        t.join()
    assert len(outcomes) == 4 and open_descriptors(sample) == 0


def test_memory_archives_do_not_depend_on_the_caller_keeping_the_buffer(sample: Path) -> None:
    data = sample.read_bytes()
    font = 0x40000001
    expected = m.open_bytes(data).get_file(font)
    db = m.open_bytes(bytes(data))
    buffer = bytearray(data)
    copied = m.open_bytes(buffer)
    buffer[:] = bytes(len(buffer))
    del data
    assert db.get_file(font) == copied.get_file(font) == expected


def test_wrong_argument_types_raise_type_error(sample: Path) -> None:
    with m.open(sample) as db:
        calls: list[Callable[[], object]] = [
            lambda: m.open(5),  # type: ignore[arg-type]
            lambda: m.open(sample, mmap="yes"),  # type: ignore[arg-type]
            lambda: m.open(sample, True),  # type: ignore[misc]
            lambda: m.open_bytes("text"),  # type: ignore[arg-type]
            lambda: m.open_bytes(None),  # type: ignore[arg-type]
            lambda: db.get_file("0x40000001"),  # type: ignore[arg-type]
            lambda: db.get_file(1.5),  # type: ignore[arg-type]
            lambda: db.get_file(-1),
            lambda: db.get_file(2**32),
            lambda: db.read_file_data(0),  # type: ignore[call-arg]
            lambda: db["0x40000001"],  # type: ignore[index]
            lambda: db.entries(0x40),  # type: ignore[arg-type]
            lambda: db.entries(b"Font"),  # type: ignore[arg-type]
            lambda: m.file_type(1, 0),  # type: ignore[arg-type]
            lambda: m.file_type(1, m.DatFileType.Font),  # type: ignore[arg-type]
            lambda: m.decompress_lrs([1, 2, 3, 4]),  # type: ignore[arg-type]
            lambda: m.Font.read(None),  # type: ignore[arg-type]
            lambda: m.DatDatabase(),  # type: ignore[call-arg]
            lambda: m.DatFileEntry(),  # type: ignore[call-arg]
        ]
        for call in calls:
            with pytest.raises(TypeError):
                call()
        assert len(db.get_file(0x40000001)) == 1081
