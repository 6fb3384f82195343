// SPDX-License-Identifier: MIT
// DatError as a family of Python exceptions: one class per alternative, carrying the
// library's display text, debug form, payload and cause chain.
#include <array>
#include <cstddef>
#include <string>
#include <type_traits>
#include <variant>

#include "bindings.hpp"

namespace marrowvane_dat::python {
namespace {

struct Alternative {
  const char* class_name;
  // The alternative's name in the library, given to Python as the exception's `kind`.
  const char* kind;
  // A builtin the class also derives from, so code catching that builtin catches it.
  const char* also;
  const char* doc;
};

// In DatErrorKind order.
constexpr std::array<Alternative, 12> ALTERNATIVES = {{
    {"DatIoError", "Io", "OSError", "Reading the archive failed (also an OSError)."},
    {"BinReadError", "BinRead", nullptr, "A record ended before all its fields were read."},
    {"NotFoundError", "NotFound", "KeyError", "The directory has no file with this id."},
    {"DuplicateIdError", "DuplicateId", nullptr, "A file id occurs twice."},
    {"DuplicateNamespacedIdError", "DuplicateNamespacedId", nullptr,
     "A namespaced file id occurs twice."},
    {"InvalidMagicError", "InvalidMagic", nullptr, "A format's signature is wrong."},
    {"UnsupportedVersionError", "UnsupportedVersion", nullptr, "A version is not supported."},
    {"InvalidNamespaceError", "InvalidNamespace", nullptr, "A namespace name is not valid."},
    {"CorruptionError", "Corruption", nullptr, "The archive's structure is damaged."},
    {"DecompressionFailedError", "DecompressionFailed", nullptr,
     "A compressed file could not be recovered."},
    {"PathError", "PathError", "OSError",
     "The archive file could not be opened (also an OSError)."},
    {"OtherError", "Other", nullptr, "Any other failure."},
}};
static_assert(ALTERNATIVES.size() == std::variant_size_v<DatError::Value>);

// Made once at import and kept for the interpreter's lifetime, like the module.
struct ErrorClasses {
  PyObject* dat_error = nullptr;
  std::array<PyObject*, ALTERNATIVES.size()> alternatives{};
  PyObject* error_source = nullptr;
  PyObject* io_error_source = nullptr;
  PyObject* bin_read_error_source = nullptr;
};
ErrorClasses classes;

PyObject* new_class(const char* name, const char* doc, const py::tuple& bases, py::dict dict) {
  const std::string qualified = std::string(PACKAGE) + "." + name;
  PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), dict.ptr());
  if (cls == nullptr) {
    throw py::error_already_set();
  }
  return cls;
}

py::object instance(PyObject* cls, const std::string& text) {
  return py::reinterpret_borrow<py::object>(cls)(to_str(text));
}

void set_cause(const py::object& exception, py::object cause) {
  // Steals the cause; also sets __suppress_context__, as `raise ... from cause` does.
  PyException_SetCause(exception.ptr(), cause.release().ptr());
}

py::object source_exception(const ErrorSource& source) {
  py::object exception;
  if (const auto* io = dynamic_cast<const IoError*>(&source)) {
    exception = instance(classes.io_error_source, io->to_string());
    if (io->kind() == IoErrorKind::Os) {
      exception.attr("errno") = io->raw_os_error();
    }
  } else if (const auto* bin = dynamic_cast<const BinReadError*>(&source)) {
    exception = instance(classes.bin_read_error_source, bin->to_string());
    py::list frames;
    for (const BinReadFrame& frame : bin->frames()) {
      frames.append(to_str(frame.message));
    }
    exception.attr("frames") = frames;
  } else {
    exception = instance(classes.error_source, source.to_string());
  }
  exception.attr("debug") = to_str(source.debug());
  if (const ErrorSource* inner = source.source()) {
    set_cause(exception, source_exception(*inner));
  }
  return exception;
}

// The payload as attributes, named as the library names its fields.
void set_payload(const py::object& exception, const DatError& error) {
  std::visit(
      [&](const auto& alternative) {
        using T = std::remove_cvref_t<decltype(alternative)>;
        if constexpr (std::is_same_v<T, DatError::Io>) {
          if (alternative.error.kind() == IoErrorKind::Os) {
            exception.attr("errno") = alternative.error.raw_os_error();
          }
        } else if constexpr (std::is_same_v<T, DatError::NotFound> ||
                             std::is_same_v<T, DatError::DuplicateId> ||
                             std::is_same_v<T, DatError::DecompressionFailed>) {
          exception.attr("id") = alternative.id;
        } else if constexpr (std::is_same_v<T, DatError::DuplicateNamespacedId>) {
          exception.attr("namespace") = to_str(alternative.namespace_);
          exception.attr("file_id") = alternative.file_id;
        } else if constexpr (std::is_same_v<T, DatError::InvalidMagic>) {
          exception.attr("format") = to_str(alternative.format);
        } else if constexpr (std::is_same_v<T, DatError::UnsupportedVersion>) {
          exception.attr("version") = alternative.version;
        } else if constexpr (std::is_same_v<T, DatError::InvalidNamespace>) {
          exception.attr("name") = to_str(alternative.name);
        } else if constexpr (std::is_same_v<T, DatError::Corruption>) {
          exception.attr("description") = to_str(alternative.description);
        } else if constexpr (std::is_same_v<T, DatError::PathError>) {
          const std::string& native = alternative.path.native();
          PyObject* name = PyUnicode_DecodeFSDefaultAndSize(native.data(),
                                                            static_cast<Py_ssize_t>(native.size()));
          if (name == nullptr) {
            throw py::error_already_set();
          }
          exception.attr("filename") = py::reinterpret_steal<py::object>(name);
          if (alternative.source.kind() == IoErrorKind::Os) {
            exception.attr("errno") = alternative.source.raw_os_error();
          }
        } else if constexpr (std::is_same_v<T, DatError::Other>) {
          exception.attr("message") = to_str(alternative.message);
        }
      },
      error.value());
}

}  // namespace

[[noreturn]] void raise_dat_error(const DatError& error) {
  const auto index = static_cast<std::size_t>(error.kind());
  py::object exception = instance(classes.alternatives[index], error.to_string());
  exception.attr("kind") = ALTERNATIVES[index].kind;
  exception.attr("debug") = to_str(error.debug());
  set_payload(exception, error);
  if (const ErrorSource* source = error.source()) {
    set_cause(exception, source_exception(*source));
  }
  PyErr_SetObject(classes.alternatives[index], exception.ptr());
  throw py::error_already_set();
}

void bind_errors(py::module_& m) {
  py::module_ builtins = py::module_::import("builtins");
  // KeyError and OSError render their arguments their own way; every class here shows
  // exactly the library's text.
  const py::object plain_str = builtins.attr("BaseException").attr("__str__");
  const auto with_plain_str = [&] {
    py::dict dict;
    dict["__str__"] = plain_str;
    return dict;
  };

  classes.dat_error =
      new_class("DatError",
                "An error of the library. str() is the library's display text, `kind` names "
                "the alternative, `debug` is the debug form, and __cause__ follows the cause "
                "chain.",
                py::make_tuple(builtins.attr("Exception")), with_plain_str());
  m.attr("DatError") = py::reinterpret_borrow<py::object>(classes.dat_error);

  const py::handle dat_error(classes.dat_error);
  for (std::size_t i = 0; i < ALTERNATIVES.size(); ++i) {
    const Alternative& alternative = ALTERNATIVES[i];
    const py::tuple bases = alternative.also == nullptr
                                ? py::make_tuple(dat_error)
                                : py::make_tuple(dat_error, builtins.attr(alternative.also));
    classes.alternatives[i] = new_class(alternative.class_name, alternative.doc, bases, py::dict());
    m.attr(alternative.class_name) = py::reinterpret_borrow<py::object>(classes.alternatives[i]);
  }

  classes.error_source = new_class(
      "ErrorSource", "A cause behind a DatError: str() is its text, `debug` its debug form.",
      py::make_tuple(builtins.attr("Exception")), with_plain_str());
  const py::handle error_source(classes.error_source);
  classes.io_error_source = new_class(
      "IoErrorSource",
      "An I/O failure behind a DatError (also an OSError; errno is set for system errors).",
      py::make_tuple(error_source, builtins.attr("OSError")), py::dict());
  classes.bin_read_error_source =
      new_class("BinReadErrorSource",
                "A record reader's failure: its I/O cause and the fields being read, innermost "
                "first, in `frames`.",
                py::make_tuple(error_source), py::dict());
  m.attr("ErrorSource") = py::reinterpret_borrow<py::object>(classes.error_source);
  m.attr("IoErrorSource") = py::reinterpret_borrow<py::object>(classes.io_error_source);
  m.attr("BinReadErrorSource") = py::reinterpret_borrow<py::object>(classes.bin_read_error_source);
}

}  // namespace marrowvane_dat::python
