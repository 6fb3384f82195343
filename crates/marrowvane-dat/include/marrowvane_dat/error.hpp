// SPDX-License-Identifier: MIT
// The library's error types: file-layer I/O errors, record-reader errors and DatError.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <iosfwd>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "marrowvane_dat/export.hpp"

namespace marrowvane_dat {

/// Anything that can stand behind a DatError as its cause. Callers walk the chain
/// with source() until it returns null.
class MARROWVANE_DAT_EXPORT ErrorSource {
 public:
  /// Copyable and movable, so concrete errors can be plain values.
  ///@{
  ErrorSource() = default;
  ErrorSource(const ErrorSource&) = default;
  ErrorSource(ErrorSource&&) noexcept = default;
  ErrorSource& operator=(const ErrorSource&) = default;
  ErrorSource& operator=(ErrorSource&&) noexcept = default;
  virtual ~ErrorSource() = default;
  ///@}

  /// The one-line message for people.
  [[nodiscard]] virtual std::string to_string() const = 0;
  /// A structural rendering for diagnostics.
  [[nodiscard]] virtual std::string debug() const = 0;
  /// The error this one wraps, or null; valid as long as this error lives.
  [[nodiscard]] virtual const ErrorSource* source() const noexcept { return nullptr; }
};

/// What an I/O error is about when there is no operating-system error code.
enum class IoErrorKind : std::uint8_t {
  Os,             ///< Carries an errno value.
  UnexpectedEof,  ///< The data ended before a buffer was full.
  OutOfMemory,    ///< A buffer could not be allocated.
  Unsupported,    ///< A FIFO, socket or character device given where an archive file belongs.
};

/// An error of the file layer: an errno from the operating system, or a kind of its own.
class MARROWVANE_DAT_EXPORT IoError final : public ErrorSource {
 public:
  /// An operating-system error; `code` is an errno value (on Windows, a system error
  /// code as GetLastError gives it).
  [[nodiscard]] static IoError from_errno(int code) noexcept;
  /// The data ended before the buffer was full ("failed to fill whole buffer").
  [[nodiscard]] static IoError unexpected_eof() noexcept;
  /// A buffer could not be allocated.
  [[nodiscard]] static IoError out_of_memory() noexcept;
  /// The path names a FIFO, socket or character device, which cannot hold an archive.
  [[nodiscard]] static IoError unsupported_file_type() noexcept;

  /// Os when raw_os_error() holds the cause, else the library's own kind.
  [[nodiscard]] IoErrorKind kind() const noexcept { return kind_; }
  /// The errno value for IoErrorKind::Os, otherwise 0.
  [[nodiscard]] int raw_os_error() const noexcept { return code_; }

  /// OS errors: the system's text plus " (os error N)"; others: the kind's own text.
  [[nodiscard]] std::string to_string() const override;
  /// "Os { code: 2, kind: NotFound, message: \"...\" }" or "Error { kind: ..., message: \"...\" }".
  [[nodiscard]] std::string debug() const override;

  /// Same kind and same errno value.
  friend bool operator==(const IoError& a, const IoError& b) noexcept {
    return a.kind_ == b.kind_ && a.code_ == b.code_;
  }

 private:
  IoError(IoErrorKind kind, int code) noexcept : kind_(kind), code_(code) {}
  IoErrorKind kind_;
  int code_;
};

/// One context frame of a record-reader error: which field of which record failed.
struct BinReadFrame {
  std::string message;            ///< "While parsing field 'F' in R".
  std::source_location location;  ///< The reader line that read the field, for debug().
};

/// A record reader's error: the I/O cause plus context frames, innermost first.
class MARROWVANE_DAT_EXPORT BinReadError final : public ErrorSource {
 public:
  /// An error with `cause` and no frames yet; readers add them on the way out.
  explicit BinReadError(IoError cause) noexcept : cause_(cause) {}

  /// The I/O error that stopped the read.
  [[nodiscard]] const IoError& cause() const noexcept { return cause_; }
  /// The context frames, innermost first.
  [[nodiscard]] const std::vector<BinReadFrame>& frames() const noexcept { return frames_; }

  /// Appends a "While parsing field 'field' in record" frame (outside the existing ones).
  void add_field_context(std::string_view field, std::string_view record,
                         std::source_location location);

  /// The cause, then each frame's text, innermost first, joined by "; ".
  [[nodiscard]] std::string to_string() const override;
  /// The cause's debug form and every frame with its source position.
  [[nodiscard]] std::string debug() const override;
  /// The cause; never null.
  [[nodiscard]] const ErrorSource* source() const noexcept override { return &cause_; }

 private:
  IoError cause_;
  std::vector<BinReadFrame> frames_;
};

/// Which alternative a DatError holds, in declaration order.
enum class DatErrorKind : std::uint8_t {
  Io,                     ///< DatError::Io.
  BinRead,                ///< DatError::BinRead.
  NotFound,               ///< DatError::NotFound.
  DuplicateId,            ///< DatError::DuplicateId.
  DuplicateNamespacedId,  ///< DatError::DuplicateNamespacedId.
  InvalidMagic,           ///< DatError::InvalidMagic.
  UnsupportedVersion,     ///< DatError::UnsupportedVersion.
  InvalidNamespace,       ///< DatError::InvalidNamespace.
  Corruption,             ///< DatError::Corruption.
  DecompressionFailed,    ///< DatError::DecompressionFailed.
  PathError,              ///< DatError::PathError.
  Other,                  ///< DatError::Other.
};

/// The library's one error type: twelve alternatives, each owning its payload.
/// Move-only: an error travels from the failing call to its caller and is never shared.
class MARROWVANE_DAT_EXPORT DatError {
 public:
  /// A read of the archive failed: "IO error: {error}".
  struct Io {
    IoError error;  ///< The file layer's error, unchanged.
  };
  /// A record could not be read whole: "Binary read error: {error}".
  struct BinRead {
    BinReadError error;  ///< The cause and the fields it stopped in.
  };
  /// The directory has no entry for the id: "File ID {id:08X} not found in provider".
  struct NotFound {
    std::uint32_t id;  ///< The file id asked for.
  };
  /// Not raised by the library: "Duplicate File ID {id:08X} detected".
  struct DuplicateId {
    std::uint32_t id;  ///< The repeated file id.
  };
  /// Not raised by the library: "Duplicate namespaced file {namespace_}:{file_id:08X} detected".
  struct DuplicateNamespacedId {
    std::string namespace_;  ///< The namespace; the underscore only dodges the keyword.
    std::uint32_t file_id;   ///< The repeated file id.
  };
  /// Not raised by the library: "Invalid magic for format: {format}".
  struct InvalidMagic {
    std::string format;  ///< The format whose signature did not match.
  };
  /// Not raised by the library: "Unsupported version: {version}".
  struct UnsupportedVersion {
    std::uint32_t version;  ///< The version found, shown in decimal.
  };
  /// Not raised by the library: "Invalid namespace: {name}".
  struct InvalidNamespace {
    std::string name;  ///< The namespace given.
  };
  /// The archive's structure is damaged: "Corruption detected: {description}".
  struct Corruption {
    std::string description;  ///< What was found wrong, and where.
  };
  /// Not raised by the library: "Failed to recover compressed file {id:08X}".
  struct DecompressionFailed {
    std::uint32_t id;  ///< The file id.
  };
  /// The archive file could not be opened: "Failed to open file at {path}: {source}".
  struct PathError {
    std::filesystem::path path;  ///< The path as given to open.
    IoError source;              ///< Why it could not be opened.
  };
  /// Anything else, such as a wrong file type or a null source: "Other error: {message}".
  struct Other {
    std::string message;  ///< The whole explanation.
  };

  /// Alternatives in declaration order; the index is the DatErrorKind.
  using Value = std::variant<Io, BinRead, NotFound, DuplicateId, DuplicateNamespacedId,
                             InvalidMagic, UnsupportedVersion, InvalidNamespace, Corruption,
                             DecompressionFailed, PathError, Other>;

  /// Builds the error from any one alternative.
  template <class Alternative>
  requires std::is_constructible_v<Value, Alternative&&> &&
      (!std::is_same_v<std::remove_cvref_t<Alternative>, DatError>)&&(
          !std::is_same_v<std::remove_cvref_t<Alternative>,
                          IoError>)&&(!std::is_same_v<std::remove_cvref_t<Alternative>,
                                                      BinReadError>)
          DatError(Alternative&& alternative)  // NOLINT(google-explicit-constructor)
      : value_(std::forward<Alternative>(alternative)) {}
  /// Wraps an I/O error, unchanged, as Io.
  DatError(IoError error) noexcept : value_(Io{error}) {}  // NOLINT(google-explicit-constructor)
  /// Wraps a record-reader error, unchanged, as BinRead.
  DatError(BinReadError error) noexcept  // NOLINT(google-explicit-constructor)
      : value_(BinRead{std::move(error)}) {}

  /// Move-only: the error has one owner at a time.
  ///@{
  DatError(const DatError&) = delete;
  DatError& operator=(const DatError&) = delete;
  DatError(DatError&&) noexcept = default;
  DatError& operator=(DatError&&) noexcept = default;
  ~DatError() = default;
  ///@}

  /// Which alternative this error holds.
  [[nodiscard]] DatErrorKind kind() const noexcept {
    return static_cast<DatErrorKind>(value_.index());
  }
  /// The alternative with its payload, for std::visit.
  [[nodiscard]] const Value& value() const noexcept { return value_; }
  /// The alternative if this error holds it, otherwise null.
  template <class Alternative>
  [[nodiscard]] const Alternative* get_if() const noexcept {
    return std::get_if<Alternative>(&value_);
  }

  /// The display text, for example "File ID 40000001 not found in provider".
  [[nodiscard]] std::string to_string() const;
  /// The debug form, for example "NotFound(1024)" or "PathError { path: \"x\", source: ... }".
  [[nodiscard]] std::string debug() const;
  /// The wrapped cause (Io, BinRead, PathError's source) or null for the other nine.
  [[nodiscard]] const ErrorSource* source() const noexcept;

 private:
  Value value_;
};

/// Writes the display text.
MARROWVANE_DAT_EXPORT std::ostream& operator<<(std::ostream& out, const DatError& error);

/// What every fallible call returns: the value, or the DatError that stopped it.
template <class T>
using Result = std::expected<T, DatError>;

}  // namespace marrowvane_dat
