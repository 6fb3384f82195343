// SPDX-License-Identifier: MIT
// What the parts of the Python module share: the binding entry points of each part,
// byte conversions, and the enum casters that every part needs to see.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <pybind11/pybind11.h>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/file_type/file_type.hpp"
#include "marrowvane_dat/file_type/font.hpp"

namespace marrowvane_dat::python {

namespace py = pybind11;

// The name every class and exception shows as its module: the package, not the
// native module inside it.
inline constexpr const char* PACKAGE = "marrowvane_dat";

void bind_errors(py::module_& m);
void bind_enums(py::module_& m);
void bind_records(py::module_& m);
void bind_database(py::module_& m);

// Raises the DatError subclass of the error's alternative; the GIL must be held.
[[noreturn]] void raise_dat_error(const DatError& error);

// A new `bytes` object holding a copy of `bytes`.
py::bytes to_bytes(std::span<const std::uint8_t> bytes);

// Text from the library (UTF-8) as a Python str; bytes that are not UTF-8 come
// through as surrogate escapes instead of failing.
py::str to_str(std::string_view text);

// A new DatFileEntry object holding a copy of `entry`; null with a Python error set
// when memory runs out.
PyObject* new_entry_object(const DatFileEntry& entry);

// A new Font object; its glyph objects are made here, once.
py::object font_object(Font font);

// A contiguous read-only view of any object with the buffer protocol, released when
// the view goes away. A TypeError for objects without it, BufferError for
// non-contiguous ones.
class BufferView {
 public:
  explicit BufferView(py::handle object);
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView();

  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept;

 private:
  Py_buffer view_{};
};

// Leaves pybind11 class `cls`, which has no constructor, impossible to make from
// Python (__new__ alone would leave an object without its C++ value) and to pickle.
// `create_hint` tells how to get one, `pickle_hint` what to pickle instead.
void seal_class(const py::object& cls, const char* create_hint, const char* pickle_hint);

// The enum members, looked up by value (new references).
py::object kind_member(DatKind kind);
py::object file_type_member(DatFileType type);
// The C++ value of an enum member; false when `object` is not a member of that enum.
bool kind_value(py::handle object, DatKind& out);
// A file type is also taken by its name, in any case, as the tool takes it.
bool file_type_value(py::handle object, DatFileType& out);
// The file type named `text` in any case; ValueError naming the closest type otherwise.
DatFileType file_type_named(const std::string& text);

}  // namespace marrowvane_dat::python

namespace pybind11::detail {

// DatKind and DatFileType are Python IntEnum classes made at import, so arguments and
// results convert through them rather than through a registered C++ type. A file type
// argument may also be given by name, as on the tool's command line.
template <>
struct type_caster<marrowvane_dat::DatKind> {
  PYBIND11_TYPE_CASTER(marrowvane_dat::DatKind, const_name("DatKind"));
  bool load(handle src, bool /*convert*/) { return marrowvane_dat::python::kind_value(src, value); }
  static handle cast(marrowvane_dat::DatKind src, return_value_policy /*policy*/,
                     handle /*parent*/) {
    return marrowvane_dat::python::kind_member(src).release();
  }
};

template <>
struct type_caster<marrowvane_dat::DatFileType> {
  PYBIND11_TYPE_CASTER(marrowvane_dat::DatFileType, const_name("DatFileType"));
  bool load(handle src, bool /*convert*/) {
    return marrowvane_dat::python::file_type_value(src, value);
  }
  static handle cast(marrowvane_dat::DatFileType src, return_value_policy /*policy*/,
                     handle /*parent*/) {
    return marrowvane_dat::python::file_type_member(src).release();
  }
};

}  // namespace pybind11::detail
