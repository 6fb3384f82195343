// SPDX-License-Identifier: MIT
// The native module marrowvane_dat._native, which the marrowvane_dat package re-exports.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "bindings.hpp"
#include "marrowvane_dat/utils.hpp"

namespace marrowvane_dat::python {
namespace {

py::bytes decompress(const py::object& data) {
  std::vector<std::uint8_t> out;
  {
    const BufferView view(data);
    // Only an immutable input can be read without the GIL: another thread could
    // write into a bytearray while it is decoded.
    std::optional<py::gil_scoped_release> release;
    if (PyBytes_CheckExact(data.ptr())) {
      release.emplace();
    }
    out = decompress_lrs(view.bytes());
  }
  return to_bytes(out);
}

DatFileType file_type(std::uint32_t id, std::optional<DatKind> kind) {
  return kind ? from_id_in_dat(id, *kind) : from_id(id);
}

}  // namespace
}  // namespace marrowvane_dat::python

PYBIND11_MODULE(_native, m) {
  namespace python = marrowvane_dat::python;
  namespace py = pybind11;

  m.doc() = "Reads packed DAT archives: the native part of the marrowvane_dat package.";
  python::bind_errors(m);
  python::bind_enums(m);
  python::bind_records(m);
  python::bind_database(m);

  m.def("decompress_lrs", &python::decompress, py::arg("data"),
        "Decompresses an LRS payload (a 4-byte little-endian size, then the tokens). Never "
        "fails: malformed input yields what was decoded up to the fault; input shorter than "
        "4 bytes comes back unchanged.");
  m.def("file_type", &python::file_type, py::arg("id"), py::arg("kind") = py::none(),
        "The DatFileType of a file id: in an archive of `kind` when given, otherwise by the "
        "id alone.");
  m.def("portal_dat_path", &marrowvane_dat::get_portal_dat_path,
        "The portal archive to use: $MARROWVANE_PORTAL_DAT when it names something that "
        "exists, else the checkout's dats/portal.dat when that exists, else None.");
  m.attr("__version__") = MARROWVANE_DAT_PYTHON_VERSION;
}
