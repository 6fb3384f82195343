// SPDX-License-Identifier: MIT
// The DatDatabase class: opening, lookup, listing, and reads that release the GIL so
// several Python threads can read one archive at once.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "bindings.hpp"

namespace marrowvane_dat::python {
namespace {

// What an open database owns. Every call takes its own reference for as long as it
// runs, so close() drops only the database's reference and the file closes (or the
// mapping goes) when the last running read returns. References are dropped with the
// GIL held: `borrowed` is a Python object.
struct OpenArchive {
  // The bytes object that an archive opened from memory reads in place, or None.
  py::object borrowed;
  DatDatabase db;
};

constexpr const char* CLOSED_MESSAGE = "I/O operation on closed database";

class Database {
 public:
  explicit Database(std::shared_ptr<const OpenArchive> open) noexcept : open_(std::move(open)) {}

  // A reference to the open archive; ValueError once the database is closed.
  [[nodiscard]] std::shared_ptr<const OpenArchive> get() const {
    if (!open_) {
      throw py::value_error(CLOSED_MESSAGE);
    }
    return open_;
  }
  void close() noexcept { open_.reset(); }
  [[nodiscard]] bool closed() const noexcept { return !open_; }

 private:
  std::shared_ptr<const OpenArchive> open_;
};

// Calls `call` with the GIL released and raises its error as the matching exception.
template <class Call>
auto without_gil(Call call) {
  decltype(call()) result = [&] {
    py::gil_scoped_release release;
    return call();
  }();
  if (!result) {
    raise_dat_error(result.error());
  }
  return std::move(*result);
}

// A file's bytes, read straight into their bytes object: it is made first, at the
// most the file can give (never at a size it merely declares), and filled with the GIL
// released; only a compressed payload that ends early is copied once more.
py::bytes read_file(const OpenArchive& open, std::uint32_t id) {
  const std::uint32_t bound = without_gil([&] { return open.db.file_size_bound(id); });
  PyObject* object = PyBytes_FromStringAndSize(nullptr, bound);
  if (object == nullptr) {
    throw py::error_already_set();
  }
  py::bytes out = py::reinterpret_steal<py::bytes>(object);
  const std::span<std::uint8_t> room(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(object)),
                                     bound);
  // Nothing else refers to `out` yet, so it may be written without the GIL.
  const std::size_t written = without_gil([&] { return open.db.get_file_to(id, room); });
  return written == bound ? out : to_bytes(room.first(written));
}

// Stored bytes of a caller-given size: read into a vector first, since the size is the
// caller's and only the read tells whether the archive has that many.
py::bytes read_stored(const OpenArchive& open, std::uint32_t offset, std::uint32_t size) {
  return to_bytes(without_gil([&] { return open.db.read_file_data(offset, size); }));
}

py::list all_entries(DatEntryRange range) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(range.size()));
  if (list == nullptr) {
    throw py::error_already_set();
  }
  py::list result = py::reinterpret_steal<py::list>(list);
  Py_ssize_t at = 0;
  for (const DatFileEntry& entry : range) {
    PyObject* item = new_entry_object(entry);
    if (item == nullptr) {
      throw py::error_already_set();
    }
    PyList_SET_ITEM(list, at++, item);
  }
  return result;
}

py::list typed_entries(const DatDatabase& db, DatFileType type) {
  py::list result;
  for (const DatFileEntry& entry : entries_of_type(db, type)) {
    PyObject* item = new_entry_object(entry);
    if (item == nullptr || PyList_Append(result.ptr(), item) != 0) {
      Py_XDECREF(item);
      throw py::error_already_set();
    }
    Py_DECREF(item);
  }
  return result;
}

py::object entry_or_raise(const Database& self, std::uint32_t id) {
  const std::shared_ptr<const OpenArchive> open = self.get();
  const DatFileEntry* entry = open->db.find(id);
  if (entry == nullptr) {
    raise_dat_error(DatError::NotFound{id});
  }
  return py::reinterpret_steal<py::object>(new_entry_object(*entry));
}

Database adopt(Result<DatDatabase> opened, py::object borrowed) {
  if (!opened) {
    raise_dat_error(opened.error());
  }
  return Database(
      std::make_shared<const OpenArchive>(OpenArchive{std::move(borrowed), std::move(*opened)}));
}

// Any str, bytes or os.PathLike, encoded as the os module encodes paths. Taken apart
// here rather than by pybind11's path caster, which refuses a path with a NUL byte as
// a wrong argument type: the library has its own answer for that, a PathError.
std::filesystem::path fs_path(const py::handle& object) {
  auto fspath = py::reinterpret_steal<py::object>(PyOS_FSPath(object.ptr()));
  if (!fspath) {
    throw py::error_already_set();
  }
  if (PyUnicode_Check(fspath.ptr())) {
    fspath = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(fspath.ptr()));
    if (!fspath) {
      throw py::error_already_set();
    }
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(fspath.ptr(), &data, &size) != 0) {
    throw py::error_already_set();
  }
  return std::string(data, static_cast<std::size_t>(size));
}

Database open_path(const py::object& path_object, bool mmap) {
  const std::filesystem::path path = fs_path(path_object);
  Result<DatDatabase> opened = [&] {
    py::gil_scoped_release release;
    return mmap ? DatDatabase::open_mapped(path) : DatDatabase::open(path);
  }();
  return adopt(std::move(opened), py::none());
}

Database open_bytes(const py::object& data) {
  if (PyBytes_CheckExact(data.ptr())) {
    // A bytes object never changes, so the archive reads it in place while it holds it.
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(data.ptr())),
        static_cast<std::size_t>(PyBytes_Size(data.ptr())));
    Result<DatDatabase> opened = [&] {
      py::gil_scoped_release release;
      return DatDatabase::open_borrowed(bytes);
    }();
    return adopt(std::move(opened), data);
  }
  // Anything else may change or go away under the archive: copy it while the GIL keeps
  // other threads off it.
  std::vector<std::uint8_t> copy;
  {
    const BufferView view(data);
    copy.assign(view.bytes().begin(), view.bytes().end());
  }
  Result<DatDatabase> opened = [&] {
    py::gil_scoped_release release;
    return DatDatabase::open_owned(std::move(copy));
  }();
  return adopt(std::move(opened), py::none());
}

}  // namespace

void bind_database(py::module_& m) {
  py::class_<Database> cls(m, "DatDatabase", py::is_final(),
                           "An open archive. Use as a context manager, or call close(); any "
                           "use after closing raises ValueError. Reads release the GIL and "
                           "may run on several threads at once.");
  cls.def_property_readonly(
         "header", [](const Database& self) { return self.get()->db.header(); },
         "The header read at open.")
      .def_property_readonly(
          "kind", [](const Database& self) { return self.get()->db.dat_kind(); },
          "The archive's kind, from its header.")
      .def_property_readonly("closed", &Database::closed, "True once the database is closed.")
      .def("close", &Database::close,
           "Closes the archive. Reads already running finish first; closing twice is fine.")
      .def("__enter__",
           [](const py::object& self) {
             (void)self.cast<const Database&>().get();
             return self;
           })
      .def("__exit__", [](Database& self, const py::args&) { self.close(); })
      .def("__len__", [](const Database& self) { return self.get()->db.files().size(); })
      .def("__contains__",
           [](const Database& self, const py::handle& key) {
             const std::shared_ptr<const OpenArchive> open = self.get();
             if (!PyLong_Check(key.ptr())) {
               return false;
             }
             int overflow = 0;
             const long long id = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
             if (overflow != 0 || id < 0 || id > 0xFFFF'FFFFLL) {
               PyErr_Clear();
               return false;
             }
             return open->db.files().contains(static_cast<std::uint32_t>(id));
           })
      .def("__iter__",
           [](const Database& self) { return py::iter(all_entries(self.get()->db.entries())); })
      .def("__getitem__", &entry_or_raise, py::arg("id"))
      .def("entry", &entry_or_raise, py::arg("id"),
           "The entry of a file id; NotFoundError (a KeyError) when there is none.")
      .def(
          "find",
          [](const Database& self, std::uint32_t id) -> py::object {
            const std::shared_ptr<const OpenArchive> open = self.get();
            const DatFileEntry* entry = open->db.find(id);
            if (entry == nullptr) {
              return py::none();
            }
            return py::reinterpret_steal<py::object>(new_entry_object(*entry));
          },
          py::arg("id"), "The entry of a file id, or None when there is none.")
      .def(
          "entries",
          [](const Database& self, std::optional<DatFileType> type) {
            const std::shared_ptr<const OpenArchive> open = self.get();
            return type ? typed_entries(open->db, *type) : all_entries(open->db.entries());
          },
          py::arg("type") = py::none(),
          "Every entry (or those whose id classifies as `type` in this archive's kind), as "
          "a new list in id order.")
      .def(
          "entries_in_range",
          [](const Database& self, std::uint32_t first, std::uint32_t last) {
            return all_entries(self.get()->db.entries_in_range(first, last));
          },
          py::arg("first"), py::arg("last"),
          "The entries whose ids lie in [first, last], as a new list in id order.")
      .def(
          "get_file",
          [](const Database& self, std::uint32_t id) { return read_file(*self.get(), id); },
          py::arg("id"),
          "The file's bytes, decompressed when stored compressed. NotFoundError, DatIoError, "
          "CorruptionError.")
      .def(
          "read_file_data",
          [](const Database& self, std::uint32_t offset, std::uint32_t size) {
            return read_stored(*self.get(), offset, size);
          },
          py::arg("offset"), py::arg("size"),
          "Exactly `size` stored bytes from the block chain at `offset`. DatIoError, "
          "CorruptionError.")
      .def(
          "decompressed_size",
          [](const Database& self, std::uint32_t id) {
            const std::shared_ptr<const OpenArchive> open = self.get();
            return without_gil([&] { return open->db.decompressed_size(id); });
          },
          py::arg("id"), "The file's size once decompressed, without decompressing it.")
      .def(
          "font",
          [](const Database& self, std::uint32_t id) {
            const std::shared_ptr<const OpenArchive> open = self.get();
            return font_object(without_gil([&] { return read_font(open->db, id); }));
          },
          py::arg("id"),
          "File `id` read as a Font. NotFoundError (a KeyError) when the archive has no "
          "such file, "
          "then OtherError when the id is not a font's, then the errors of get_file, then "
          "BinReadError when the bytes hold no whole Font.")
      .def("__repr__", [](const Database& self) {
        if (self.closed()) {
          return std::string("<marrowvane_dat.DatDatabase closed>");
        }
        const DatDatabase& db = self.get()->db;
        return "<marrowvane_dat.DatDatabase kind=" +
               kind_member(db.dat_kind()).attr("name").cast<std::string>() +
               " files=" + std::to_string(db.files().size()) + ">";
      });
  cls.attr("__module__") = PACKAGE;
  seal_class(cls, "open one with marrowvane_dat.open() or open_bytes()",
             "pickle the archive's path and open it again");

  m.def("open", &open_path, py::arg("path"), py::kw_only(), py::arg("mmap") = false,
        "Opens the archive file at `path` (str, bytes or os.PathLike), reading it with "
        "positional reads, or through a read-only memory map with mmap=True. PathError "
        "when it cannot be opened, a path with a NUL byte included; otherwise the errors of "
        "reading the header and directory.");
  m.def("open_bytes", &open_bytes, py::arg("data"),
        "Opens an archive held in memory (any bytes-like object). A bytes object is read in "
        "place; anything else is copied first.");
}

}  // namespace marrowvane_dat::python
