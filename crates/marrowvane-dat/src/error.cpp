// SPDX-License-Identifier: MIT
// Display texts, debug forms and causes of the library's errors.
#include "marrowvane_dat/error.hpp"

#include <cstdio>
#include <cstring>
#include <ostream>

#include "error_texts.hpp"
#include "platform/file_io.hpp"
#include "utf8.hpp"

namespace marrowvane_dat {

using detail::hex8;

namespace {

constexpr std::string_view UNSUPPORTED_TEXT = "not a regular file or block device";

// A path's own bytes (POSIX), or its UTF-16 names in UTF-8 (Windows).
[[maybe_unused]] const std::string& native_text(const std::string& native) {
  return native;
}
[[maybe_unused]] std::string native_text(const std::wstring& native) {
  return detail::utf8_lossy(native);
}

std::string path_display(const std::filesystem::path& path) {
  return detail::utf8_lossy(path.native());
}

}  // namespace

IoError IoError::from_errno(int code) noexcept {
  return IoError(IoErrorKind::Os, code);
}
IoError IoError::unexpected_eof() noexcept {
  return IoError(IoErrorKind::UnexpectedEof, 0);
}
IoError IoError::out_of_memory() noexcept {
  return IoError(IoErrorKind::OutOfMemory, 0);
}
IoError IoError::unsupported_file_type() noexcept {
  return IoError(IoErrorKind::Unsupported, 0);
}

std::string IoError::to_string() const {
  switch (kind_) {
    case IoErrorKind::Os:
      return detail::os_message(code_) + " (os error " + std::to_string(code_) + ")";
    case IoErrorKind::UnexpectedEof:
      return "failed to fill whole buffer";
    case IoErrorKind::OutOfMemory:
      return "out of memory";
    case IoErrorKind::Unsupported:
      return std::string(UNSUPPORTED_TEXT);
  }
  return "unknown I/O error";
}

std::string IoError::debug() const {
  switch (kind_) {
    case IoErrorKind::Os:
      return "Os { code: " + std::to_string(code_) +
             ", kind: " + std::string(detail::os_error_kind(code_)) +
             ", message: " + detail::debug_quote(detail::os_message(code_)) + " }";
    case IoErrorKind::UnexpectedEof:
      return "Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }";
    case IoErrorKind::OutOfMemory:
      return "Kind(OutOfMemory)";
    case IoErrorKind::Unsupported:
      return "Error { kind: Unsupported, message: " + detail::debug_quote(UNSUPPORTED_TEXT) + " }";
  }
  return "Kind(Other)";
}

void BinReadError::add_field_context(std::string_view field, std::string_view record,
                                     std::source_location location) {
  std::string message = "While parsing field '";
  message.append(field).append("' in ").append(record);
  frames_.push_back(BinReadFrame{std::move(message), location});
}

std::string BinReadError::to_string() const {
  std::string text = cause_.to_string();
  for (const BinReadFrame& frame : frames_) {
    text.append("; ").append(frame.message);
  }
  return text;
}

std::string BinReadError::debug() const {
  std::string text = "BinReadError { cause: " + cause_.debug() + ", frames: [";
  for (std::size_t i = 0; i < frames_.size(); ++i) {
    const BinReadFrame& frame = frames_[i];
    if (i > 0) {
      text += ", ";
    }
    text += detail::debug_quote(frame.message + " at " + frame.location.file_name() + ":" +
                                std::to_string(frame.location.line()));
  }
  return text + "] }";
}

std::string DatError::to_string() const {
  struct Display {
    std::string operator()(const Io& e) const { return "IO error: " + e.error.to_string(); }
    std::string operator()(const BinRead& e) const {
      return "Binary read error: " + e.error.to_string();
    }
    std::string operator()(const NotFound& e) const {
      return "File ID " + hex8(e.id) + " not found in provider";
    }
    std::string operator()(const DuplicateId& e) const {
      return "Duplicate File ID " + hex8(e.id) + " detected";
    }
    std::string operator()(const DuplicateNamespacedId& e) const {
      return "Duplicate namespaced file " + e.namespace_ + ":" + hex8(e.file_id) + " detected";
    }
    std::string operator()(const InvalidMagic& e) const {
      return "Invalid magic for format: " + e.format;
    }
    std::string operator()(const UnsupportedVersion& e) const {
      return "Unsupported version: " + std::to_string(e.version);
    }
    std::string operator()(const InvalidNamespace& e) const {
      return "Invalid namespace: " + e.name;
    }
    std::string operator()(const Corruption& e) const {
      return "Corruption detected: " + e.description;
    }
    std::string operator()(const DecompressionFailed& e) const {
      return "Failed to recover compressed file " + hex8(e.id);
    }
    std::string operator()(const PathError& e) const {
      return "Failed to open file at " + path_display(e.path) + ": " + e.source.to_string();
    }
    std::string operator()(const Other& e) const { return "Other error: " + e.message; }
  };
  return std::visit(Display{}, value_);
}

std::string DatError::debug() const {
  using detail::debug_quote;
  struct Debug {
    std::string operator()(const Io& e) const { return "Io(" + e.error.debug() + ")"; }
    std::string operator()(const BinRead& e) const { return "BinRead(" + e.error.debug() + ")"; }
    std::string operator()(const NotFound& e) const {
      return "NotFound(" + std::to_string(e.id) + ")";
    }
    std::string operator()(const DuplicateId& e) const {
      return "DuplicateId(" + std::to_string(e.id) + ")";
    }
    std::string operator()(const DuplicateNamespacedId& e) const {
      return "DuplicateNamespacedId { namespace: " + debug_quote(e.namespace_) +
             ", file_id: " + std::to_string(e.file_id) + " }";
    }
    std::string operator()(const InvalidMagic& e) const {
      return "InvalidMagic(" + debug_quote(e.format) + ")";
    }
    std::string operator()(const UnsupportedVersion& e) const {
      return "UnsupportedVersion(" + std::to_string(e.version) + ")";
    }
    std::string operator()(const InvalidNamespace& e) const {
      return "InvalidNamespace(" + debug_quote(e.name) + ")";
    }
    std::string operator()(const Corruption& e) const {
      return "Corruption(" + debug_quote(e.description) + ")";
    }
    std::string operator()(const DecompressionFailed& e) const {
      return "DecompressionFailed(" + std::to_string(e.id) + ")";
    }
    std::string operator()(const PathError& e) const {
      return "PathError { path: " + debug_quote(native_text(e.path.native())) +
             ", source: " + e.source.debug() + " }";
    }
    std::string operator()(const Other& e) const { return "Other(" + debug_quote(e.message) + ")"; }
  };
  return std::visit(Debug{}, value_);
}

const ErrorSource* DatError::source() const noexcept {
  if (const auto* io = std::get_if<Io>(&value_)) {
    return &io->error;
  }
  if (const auto* bin = std::get_if<BinRead>(&value_)) {
    return &bin->error;
  }
  if (const auto* path = std::get_if<PathError>(&value_)) {
    return &path->source;
  }
  return nullptr;
}

std::ostream& operator<<(std::ostream& out, const DatError& error) {
  return out << error.to_string();
}

}  // namespace marrowvane_dat

namespace marrowvane_dat::detail {

std::string hex8(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(value));
  return text;
}

DatError block_size_too_small(std::uint32_t block_size) {
  return DatError::Corruption{"block size " + std::to_string(block_size) +
                              " leaves no room for data after the 4-byte block link"};
}

DatError chain_too_long(std::uint64_t start, std::uint64_t max_blocks) {
  return DatError::Corruption{"block chain starting at offset 0x" + hex8(start) +
                              " passes through more than " + std::to_string(max_blocks) +
                              " blocks, more than the archive holds on its block grid; its "
                              "links loop or its blocks overlap"};
}

DatError directory_too_large(std::uint64_t max_blocks) {
  return DatError::Corruption{"directory nodes pass through more than " +
                              std::to_string(max_blocks) +
                              " blocks, more than the archive holds on its block grid; its "
                              "nodes share or overlap blocks"};
}

DatError node_reached_twice(std::uint32_t offset) {
  return DatError::Corruption{"directory node at offset 0x" + hex8(offset) +
                              " is reached more than once; the directory is not a tree"};
}

DatError buffer_too_small(std::uint32_t id, std::size_t have, std::uint64_t needed) {
  return DatError::Other{"a buffer of " + std::to_string(have) + " bytes cannot hold file " +
                         hex8(id) + ", which needs " + std::to_string(needed) + " bytes"};
}

DatError wrong_file_type(std::uint32_t id, std::string_view type, std::string_view wanted) {
  const bool vowel =
      !type.empty() && std::string_view("AEIOU").find(type[0]) != std::string_view::npos;
  return DatError::Other{"file 0x" + hex8(id) + (vowel ? " is an " : " is a ") + std::string(type) +
                         ", not a " + std::string(wanted)};
}

DatError no_source() {
  return DatError::Other{"no archive source was given"};
}

}  // namespace marrowvane_dat::detail
