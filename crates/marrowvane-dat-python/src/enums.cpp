// SPDX-License-Identifier: MIT
// DatKind and DatFileType as Python IntEnum classes, with their members named as in C++.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "bindings.hpp"

namespace marrowvane_dat::python {
namespace {

constexpr std::array<std::pair<const char*, DatKind>, 4> KINDS = {{
    {"Portal", DatKind::Portal},
    {"Cell", DatKind::Cell},
    {"Local", DatKind::Local},
    {"Unknown", DatKind::Unknown},
}};

// The classes and their members, in the order of KINDS and ALL_DAT_FILE_TYPES. Made
// once at import and never released: CPython does not unload extension modules, and
// releasing them at exit would run after the interpreter is gone.
struct EnumObjects {
  PyObject* kind_class = nullptr;
  std::array<PyObject*, KINDS.size()> kinds{};
  PyObject* file_type_class = nullptr;
  std::array<PyObject*, ALL_DAT_FILE_TYPES.size()> file_types{};
};
EnumObjects objects;

py::object make_int_enum(const char* name, const char* doc, const py::list& members) {
  const py::module_ enum_module = py::module_::import("enum");
  py::object cls = enum_module.attr("IntEnum")(name, members, py::arg("module") = PACKAGE);
  cls.attr("__doc__") = doc;
  // An IntEnum prints as its bare number, which tells a reader nothing: members print
  // by name, as a plain Enum's do, while a format string still formats the number.
  cls.attr("__str__") = enum_module.attr("Enum").attr("__str__");
  cls.attr("__format__") = py::cpp_function(
      [](const py::object& self, const py::str& format) -> py::object {
        if (py::len(format) == 0) {
          return py::str(self);
        }
        return py::module_::import("builtins").attr("int").attr("__format__")(self, format);
      },
      py::name("__format__"), py::is_method(cls), py::arg("format"),
      "The member's name as str() gives it for an empty format; otherwise the number "
      "formatted by it.");
  return cls;
}

bool member_value(py::handle object, PyObject* cls, std::uint32_t& out) {
  const int is_member = PyObject_IsInstance(object.ptr(), cls);
  if (is_member < 0) {
    throw py::error_already_set();
  }
  if (is_member == 0) {
    return false;
  }
  // Every member's value fits: the enums are made from 32-bit values.
  out = static_cast<std::uint32_t>(PyLong_AsUnsignedLong(object.ptr()));
  return true;
}

// "unknown file type 'fnot'; did you mean 'Font'?", or every valid name when none is
// close. Names compare without case, as the tool's --type does.
std::string unknown_type_message(const std::string& text) {
  py::list lowered;
  py::dict by_lowered;
  std::string all_names;
  for (const DatFileType type : ALL_DAT_FILE_TYPES) {
    const std::string name(to_string(type));
    const py::str lower = py::str(name).attr("lower")();
    lowered.append(lower);
    by_lowered[lower] = name;
    all_names += (all_names.empty() ? "" : ", ") + name;
  }
  const py::list close = py::module_::import("difflib").attr("get_close_matches")(
      py::str(text).attr("lower")(), lowered, 1);
  std::string message = "unknown file type '" + text + "'";
  if (!close.empty()) {
    return message + "; did you mean '" + by_lowered[close[0]].cast<std::string>() + "'?";
  }
  return message + "; valid types: " + all_names;
}

}  // namespace

DatFileType file_type_named(const std::string& text) {
  if (const std::optional<DatFileType> type = from_string(text)) {
    return *type;
  }
  throw py::value_error(unknown_type_message(text));
}

py::object kind_member(DatKind kind) {
  for (std::size_t i = 0; i < KINDS.size(); ++i) {
    if (KINDS[i].second == kind) {
      return py::reinterpret_borrow<py::object>(objects.kinds[i]);
    }
  }
  return py::reinterpret_borrow<py::object>(objects.kinds.back());
}

py::object file_type_member(DatFileType type) {
  for (std::size_t i = 0; i < ALL_DAT_FILE_TYPES.size(); ++i) {
    if (ALL_DAT_FILE_TYPES[i] == type) {
      return py::reinterpret_borrow<py::object>(objects.file_types[i]);
    }
  }
  return py::reinterpret_borrow<py::object>(objects.file_types.back());
}

bool kind_value(py::handle object, DatKind& out) {
  std::uint32_t value = 0;
  if (!member_value(object, objects.kind_class, value)) {
    return false;
  }
  out = static_cast<DatKind>(value);
  return true;
}

bool file_type_value(py::handle object, DatFileType& out) {
  if (PyUnicode_Check(object.ptr())) {
    out = file_type_named(object.cast<std::string>());
    return true;
  }
  std::uint32_t value = 0;
  if (!member_value(object, objects.file_type_class, value)) {
    return false;
  }
  out = static_cast<DatFileType>(value);
  return true;
}

void bind_enums(py::module_& m) {
  static_assert(KINDS.back().second == DatKind::Unknown);
  static_assert(ALL_DAT_FILE_TYPES.back() == DatFileType::Unknown);

  py::list kinds;
  for (const auto& [name, kind] : KINDS) {
    kinds.append(py::make_tuple(name, static_cast<std::uint32_t>(kind)));
  }
  py::object kind_class = make_int_enum(
      "DatKind", "The kind of archive, told by its header's signature, block size and dataset.",
      kinds);

  py::list types;
  for (const DatFileType type : ALL_DAT_FILE_TYPES) {
    types.append(py::make_tuple(std::string(to_string(type)), static_cast<std::uint32_t>(type)));
  }
  py::object type_class =
      make_int_enum("DatFileType", "The type of a stored file, as told by its id.", types);

  for (std::size_t i = 0; i < KINDS.size(); ++i) {
    objects.kinds[i] = py::object(kind_class.attr(KINDS[i].first)).release().ptr();
  }
  for (std::size_t i = 0; i < ALL_DAT_FILE_TYPES.size(); ++i) {
    const std::string name(to_string(ALL_DAT_FILE_TYPES[i]));
    objects.file_types[i] = py::object(type_class.attr(name.c_str())).release().ptr();
  }
  objects.kind_class = kind_class.inc_ref().ptr();
  objects.file_type_class = type_class.inc_ref().ptr();
  m.attr("DatKind") = kind_class;
  m.attr("DatFileType") = type_class;
}

}  // namespace marrowvane_dat::python
