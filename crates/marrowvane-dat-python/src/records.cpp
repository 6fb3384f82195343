// SPDX-License-Identifier: MIT
// The records as Python objects: DatFileEntry (a compact native type, since archives
// list many thousands of them), DatHeader, Font and FontCharDesc.
#include "bindings.hpp"

// After Python.h, which it needs and does not include.
#include <structmember.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <pybind11/operators.h>

#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/file_type/font.hpp"

namespace marrowvane_dat::python {
namespace {

// What seal_class tells about each class it sealed; few enough to search in order.
struct Sealed {
  PyTypeObject* type;
  const char* create_hint;
  const char* pickle_hint;
};
std::vector<Sealed> sealed_classes;

const Sealed& sealed(PyTypeObject* type) {
  for (const Sealed& s : sealed_classes) {
    if (PyType_IsSubtype(type, s.type) != 0) {
      return s;
    }
  }
  // Unreachable: only sealed types have sealed_new and refuse_pickle.
  static const Sealed none{nullptr, "", ""};
  return none;
}

// The name users know the class by, not where pybind11 registered it.
std::string public_name(PyTypeObject* type) {
  return std::string(PACKAGE) + "." +
         py::handle(reinterpret_cast<PyObject*>(type)).attr("__name__").cast<std::string>();
}

PyObject* sealed_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  try {
    const std::string message =
        "cannot create '" + public_name(type) + "' instances; " + sealed(type).create_hint;
    PyErr_SetString(PyExc_TypeError, message.c_str());
  } catch (py::error_already_set& error) {
    error.restore();
  }
  return nullptr;
}

[[noreturn]] void refuse_pickle(const py::handle& self) {
  PyTypeObject* type = Py_TYPE(self.ptr());
  throw py::type_error("cannot pickle '" + public_name(type) + "' object; " +
                       sealed(type).pickle_hint);
}

constexpr const char* REFUSE_PICKLE_DOC = "Raises TypeError: the object cannot be pickled.";

// Entries are refused as the pybind11 classes are, so that every native object
// answers pickling the same way.
PyObject* entry_reduce(PyObject* self, PyObject* /*protocol*/) {
  try {
    refuse_pickle(self);
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const py::builtin_exception& error) {
    error.set_error();
  }
  return nullptr;
}

// A DatFileEntry is a plain value: a small fixed-size object whose attributes become
// Python ints only when read. No GC tracking, no dict, no instance registry, so making
// one costs about as much as a small malloc. The memory comes from the system
// allocator rather than pymalloc: pymalloc unmaps an arena as soon as it empties, so
// every listing of a large archive would fault in fresh pages, where malloc keeps
// freed small blocks for the next listing.
struct EntryObject {
  PyObject_HEAD DatFileEntry entry;
};

// The members are read as C unsigned ints.
static_assert(std::is_same_v<std::uint32_t, unsigned int>);

PyTypeObject* entry_type = nullptr;

const DatFileEntry& entry_of(PyObject* self) {
  return reinterpret_cast<EntryObject*>(self)->entry;
}

void entry_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyMem_RawFree(self);
  Py_DECREF(type);
}

PyObject* entry_repr(PyObject* self) {
  const DatFileEntry& e = entry_of(self);
  char text[160];
  std::snprintf(text, sizeof text,
                "DatFileEntry(id=0x%08X, bit_flags=0x%08X, offset=0x%08X, size=%u, timestamp=%u, "
                "version=%u)",
                e.id, e.bit_flags, e.offset, e.size, e.timestamp, e.version);
  return PyUnicode_FromString(text);
}

PyObject* entry_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != entry_type) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const bool equal = entry_of(self) == entry_of(other);
  return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

Py_hash_t entry_hash(PyObject* self) {
  const DatFileEntry& e = entry_of(self);
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (const std::uint32_t field : {e.bit_flags, e.id, e.offset, e.size, e.timestamp, e.version}) {
    h = (h ^ field) * 0x100000001B3ULL;
  }
  const auto hash = static_cast<Py_hash_t>(h >> 1);
  return hash == -1 ? -2 : hash;
}

PyObject* entry_compressed(PyObject* self, void* /*closure*/) {
  return PyBool_FromLong(entry_of(self).is_compressed() ? 1 : 0);
}

constexpr Py_ssize_t entry_field(std::size_t field_offset) {
  return static_cast<Py_ssize_t>(offsetof(EntryObject, entry) + field_offset);
}

PyMemberDef ENTRY_MEMBERS[] = {
    {"bit_flags", T_UINT, entry_field(offsetof(DatFileEntry, bit_flags)), READONLY,
     "Flag bits; bit 0 means the stored bytes are LRS-compressed."},
    {"id", T_UINT, entry_field(offsetof(DatFileEntry, id)), READONLY, "The file id."},
    {"offset", T_UINT, entry_field(offsetof(DatFileEntry, offset)), READONLY,
     "Offset of the first block of the file's chain."},
    {"size", T_UINT, entry_field(offsetof(DatFileEntry, size)), READONLY,
     "Number of bytes stored (compressed size when compressed)."},
    {"timestamp", T_UINT, entry_field(offsetof(DatFileEntry, timestamp)), READONLY,
     "Timestamp as stored."},
    {"version", T_UINT, entry_field(offsetof(DatFileEntry, version)), READONLY,
     "Version as stored."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef ENTRY_METHODS[] = {
    {"__reduce__", entry_reduce, METH_NOARGS, REFUSE_PICKLE_DOC},
    {"__reduce_ex__", entry_reduce, METH_O, REFUSE_PICKLE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ENTRY_GETSET[] = {
    {"compressed", entry_compressed, nullptr, "True when bit 0 of bit_flags is set.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Function>
void* slot(Function* function) {
  return reinterpret_cast<void*>(function);
}

void add_entry_type(py::module_& m) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("One directory entry: where a file's block chain starts "
                                    "and how many bytes it stores. Immutable.")},
      {Py_tp_dealloc, slot(entry_dealloc)},
      {Py_tp_free, slot(PyMem_RawFree)},
      // Entries come only from a database. Without this, the type would inherit
      // object's constructor, whose memory does not come from the allocator
      // entry_dealloc frees to.
      {Py_tp_new, slot(sealed_new)},
      {Py_tp_repr, slot(entry_repr)},
      {Py_tp_richcompare, slot(entry_richcompare)},
      {Py_tp_hash, slot(entry_hash)},
      {Py_tp_members, ENTRY_MEMBERS},
      {Py_tp_methods, ENTRY_METHODS},
      {Py_tp_getset, ENTRY_GETSET},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {
      "marrowvane_dat.DatFileEntry",
      static_cast<int>(sizeof(EntryObject)),
      0,
      Py_TPFLAGS_DEFAULT,
      slots,
  };
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) {
    throw py::error_already_set();
  }
  // Kept for the interpreter's lifetime: every entry object refers to it.
  entry_type = reinterpret_cast<PyTypeObject*>(type);
  sealed_classes.push_back(
      {entry_type, "a DatDatabase makes them", "pickle its id and look it up again"});
  m.attr("DatFileEntry") = py::reinterpret_borrow<py::object>(type);
}

// A Font with its glyph objects made once, so reading font.char_descs in a loop does
// not rebuild them.
struct FontObject {
  Font font;
  py::tuple char_descs;
};

FontObject make_font_object(Font font) {
  py::tuple descs(font.char_descs.size());
  for (std::size_t i = 0; i < font.char_descs.size(); ++i) {
    descs[i] = py::cast(font.char_descs[i]);
  }
  return FontObject{std::move(font), std::move(descs)};
}

std::string char_desc_repr(const FontCharDesc& d) {
  char text[200];
  std::snprintf(text, sizeof text,
                "FontCharDesc(unicode=0x%04X, offset_x=%u, offset_y=%u, width=%u, height=%u, "
                "horizontal_offset_before=%d, horizontal_offset_after=%d, "
                "vertical_offset_before=%d)",
                unsigned{d.unicode}, unsigned{d.offset_x}, unsigned{d.offset_y}, unsigned{d.width},
                unsigned{d.height}, int{d.horizontal_offset_before}, int{d.horizontal_offset_after},
                int{d.vertical_offset_before});
  return text;
}

void bind_header(py::module_& m) {
  py::class_<DatHeader> header(m, "DatHeader", py::is_final(),
                               "The 80-byte archive header stored at offset 0x140. Immutable.");
  header.def_readonly("magic", &DatHeader::magic, "The signature, 0x5442 in a recognised archive.")
      .def_readonly("block_size", &DatHeader::block_size,
                    "Bytes per block, the 4-byte link to the next block included.")
      .def_readonly("file_size", &DatHeader::file_size,
                    "The archive size as stored; not checked against the real size.")
      .def_readonly("dataset", &DatHeader::dataset,
                    "The dataset number, which with block_size tells the kind.")
      .def_readonly("subset", &DatHeader::subset, "Kept as read; not interpreted.")
      .def_readonly("free_head", &DatHeader::free_head,
                    "First block of the free list, as read; not interpreted.")
      .def_readonly("free_tail", &DatHeader::free_tail,
                    "Last block of the free list, as read; not interpreted.")
      .def_readonly("free_count", &DatHeader::free_count,
                    "Number of free blocks, as read; not interpreted.")
      .def_readonly("root_offset", &DatHeader::root_offset,
                    "Offset of the directory root's first block; 0 when there are no files.")
      .def_readonly("new_lru", &DatHeader::new_lru, "Kept as read; not interpreted.")
      .def_readonly("old_lru", &DatHeader::old_lru, "Kept as read; not interpreted.")
      .def_readonly("use_lru", &DatHeader::use_lru, "Kept as read; not interpreted.")
      .def_readonly("master_map_id", &DatHeader::master_map_id, "Kept as read; not interpreted.")
      .def_readonly("engine_version", &DatHeader::engine_version, "Kept as read; not interpreted.")
      .def_readonly("game_version", &DatHeader::game_version, "Kept as read; not interpreted.")
      .def_property_readonly(
          "version_string", [](const DatHeader& h) { return to_bytes(h.version_string); },
          "The 16 bytes as stored, not decoded or trimmed.")
      .def_readonly("version_minor", &DatHeader::version_minor, "Kept as read; not interpreted.")
      .def_property_readonly("kind", &DatHeader::dat_kind, "The archive kind the header tells.")
      .def(py::self == py::self)  // NOLINT(misc-redundant-expression)
      .def("__repr__", [](const DatHeader& h) {
        char text[120];
        std::snprintf(text, sizeof text,
                      "<DatHeader magic=0x%04X block_size=%u file_size=%u dataset=%u "
                      "root_offset=0x%08X>",
                      h.magic, h.block_size, h.file_size, h.dataset, h.root_offset);
        return std::string(text);
      });
  header.attr("__hash__") = py::none();
  header.attr("__module__") = PACKAGE;
  seal_class(header, "read one from DatDatabase.header",
             "pickle the archive's path and read its header again");
}

void bind_font(py::module_& m) {
  py::class_<FontCharDesc> desc(m, "FontCharDesc", py::is_final(),
                                "One glyph: the character it draws and where it sits in the "
                                "font's surface. Immutable.");
  desc.def_readonly("unicode", &FontCharDesc::unicode, "The character the glyph draws.")
      .def_readonly("offset_x", &FontCharDesc::offset_x, "Left edge of the glyph in the surface.")
      .def_readonly("offset_y", &FontCharDesc::offset_y, "Top edge of the glyph in the surface.")
      .def_readonly("width", &FontCharDesc::width, "Glyph width in pixels.")
      .def_readonly("height", &FontCharDesc::height, "Glyph height in pixels.")
      .def_readonly("horizontal_offset_before", &FontCharDesc::horizontal_offset_before,
                    "Horizontal adjustment before the glyph, in pixels.")
      .def_readonly("horizontal_offset_after", &FontCharDesc::horizontal_offset_after,
                    "Horizontal adjustment after the glyph, in pixels.")
      .def_readonly("vertical_offset_before", &FontCharDesc::vertical_offset_before,
                    "Vertical adjustment before the glyph, in pixels.")
      .def(py::self == py::self)  // NOLINT(misc-redundant-expression)
      .def("__repr__", &char_desc_repr);
  desc.attr("__hash__") = py::none();
  desc.attr("__module__") = PACKAGE;
  seal_class(desc, "read them from Font.char_descs",
             "pickle the font's file id or bytes and read it again");

  py::class_<FontObject> font(m, "Font", py::is_final(),
                              "A bitmap font record: metrics and glyphs. Immutable.");
  font.def_static(
          "read",
          [](const py::object& data) {
            Result<Font> font_read = [&]() -> Result<Font> {
              const BufferView view(data);
              Cursor cursor(view.bytes());
              auto parsed = Font::read(cursor);
              if (!parsed) {
                return std::unexpected(DatError(std::move(parsed.error())));
              }
              return std::move(*parsed);
            }();
            if (!font_read) {
              raise_dat_error(font_read.error());
            }
            return make_font_object(std::move(*font_read));
          },
          py::arg("data"),
          "Reads one Font record from the start of a bytes-like object; bytes after it are "
          "ignored. Raises BinReadError naming the field that ran out.")
      .def_property_readonly(
          "id", [](const FontObject& f) { return f.font.id; },
          "The file id as the record states it; not checked against where it was read.")
      .def_property_readonly(
          "max_char_height", [](const FontObject& f) { return f.font.max_char_height; },
          "The largest glyph height.")
      .def_property_readonly(
          "max_char_width", [](const FontObject& f) { return f.font.max_char_width; },
          "The largest glyph width.")
      .def_property_readonly(
          "char_descs", [](const FontObject& f) { return f.char_descs; },
          "The glyphs, as a tuple of FontCharDesc in stored order.")
      .def_property_readonly(
          "num_horizontal_border_pixels",
          [](const FontObject& f) { return f.font.num_horizontal_border_pixels; },
          "Kept as read; not interpreted.")
      .def_property_readonly(
          "num_vertical_border_pixels",
          [](const FontObject& f) { return f.font.num_vertical_border_pixels; },
          "Kept as read; not interpreted.")
      .def_property_readonly(
          "baseline_offset", [](const FontObject& f) { return f.font.baseline_offset; },
          "Kept as read; not interpreted.")
      .def_property_readonly(
          "foreground_surface_data_id",
          [](const FontObject& f) { return f.font.foreground_surface_data_id; },
          "File id of the foreground surface.")
      .def_property_readonly(
          "background_surface_data_id",
          [](const FontObject& f) { return f.font.background_surface_data_id; },
          "File id of the background surface.")
      .def("__eq__",
           [](const FontObject& a, const py::object& b) -> py::object {
             if (!py::isinstance<FontObject>(b)) {
               return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             }
             return py::bool_(a.font == b.cast<const FontObject&>().font);
           })
      .def("__repr__", [](const FontObject& f) {
        char text[100];
        std::snprintf(text, sizeof text, "<Font id=0x%08X glyphs=%zu>", f.font.id,
                      f.font.char_descs.size());
        return std::string(text);
      });
  font.attr("__hash__") = py::none();
  font.attr("__module__") = PACKAGE;
  seal_class(font, "read one with Font.read() or DatDatabase.font()",
             "pickle its file id or bytes and read it again");
}

}  // namespace

void seal_class(const py::object& cls, const char* create_hint, const char* pickle_hint) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  sealed_classes.push_back({type, create_hint, pickle_hint});
  // The class's own __new__, or lookups would find pybind11's, whose refusal below
  // would name a __new__ to call instead that is the very same one. The classes are
  // final, so whatever class is passed, the refusal is this one's.
  cls.attr("__new__") = py::staticmethod(py::cpp_function(
      [type](const py::args& /*args*/, const py::kwargs& /*kwargs*/) {
        (void)sealed_new(type, nullptr, nullptr);
        throw py::error_already_set();
      },
      py::name("__new__"), "Raises TypeError: instances come only from the module."));
  // Setting __new__ routed the slot through Python; it is put back to the C function
  // after, so that even a base class's __new__ (object's or pybind11's) refuses.
  type->tp_new = sealed_new;
  PyType_Modified(type);
  // Python's own pickling at protocols 0 and 1 would make a bare instance through a
  // base class's __new__, which pybind11 answers by aborting; every protocol is
  // refused before it gets that far.
  cls.attr("__reduce__") =
      py::cpp_function([](const py::handle& self) { refuse_pickle(self); }, py::name("__reduce__"),
                       py::is_method(cls), REFUSE_PICKLE_DOC);
  cls.attr("__reduce_ex__") = py::cpp_function(
      [](const py::handle& self, const py::handle& /*protocol*/) { refuse_pickle(self); },
      py::name("__reduce_ex__"), py::is_method(cls), py::arg("protocol"), REFUSE_PICKLE_DOC);
}

py::bytes to_bytes(std::span<const std::uint8_t> bytes) {
  PyObject* object = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<Py_ssize_t>(bytes.size()));
  if (object == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::bytes>(object);
}

py::str to_str(std::string_view text) {
  PyObject* object =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (object == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::str>(object);
}

PyObject* new_entry_object(const DatFileEntry& entry) {
  auto* object = static_cast<EntryObject*>(PyMem_RawMalloc(sizeof(EntryObject)));
  if (object == nullptr) {
    return PyErr_NoMemory();
  }
  PyObject_Init(reinterpret_cast<PyObject*>(object), entry_type);
  object->entry = entry;
  return reinterpret_cast<PyObject*>(object);
}

BufferView::BufferView(py::handle object) {
  if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) {
    throw py::error_already_set();
  }
}

BufferView::~BufferView() {
  PyBuffer_Release(&view_);
}

std::span<const std::uint8_t> BufferView::bytes() const noexcept {
  return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
}

void bind_records(py::module_& m) {
  add_entry_type(m);
  bind_header(m);
  bind_font(m);
}

py::object font_object(Font font) {
  return py::cast(make_font_object(std::move(font)));
}

}  // namespace marrowvane_dat::python
