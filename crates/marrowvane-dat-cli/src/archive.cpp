// SPDX-License-Identifier: MIT
// Opening archives for the commands and putting the archive's name on every error.
#include "archive.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include <unistd.h>

#include "args.hpp"
#include "retry.hpp"
#include "standard_output.hpp"
#include "table.hpp"
#include "utf8_path.hpp"

namespace marrowvane_dat::cli {
namespace {

constexpr std::string_view NOT_AN_ARCHIVE_HINT = " (is this a DAT archive?)";

// True when opening failed on the bytes themselves (too short, no valid header or
// directory) rather than on the file system, which its own text already explains.
bool failed_on_content(const DatError& error) {
  if (const auto* io = error.get_if<DatError::Io>()) {
    return io->error.kind() != IoErrorKind::Os;
  }
  if (const auto* read = error.get_if<DatError::BinRead>()) {
    return read->error.cause().kind() != IoErrorKind::Os;
  }
  return error.kind() == DatErrorKind::Corruption;
}

std::uint64_t max_input = MAX_STDIN_ARCHIVE;

DatError stdin_error(std::string text) {
  return DatError(DatError::Other{std::move(text)});
}

// Reads all of standard input, failing once it holds more than max_input bytes or
// memory runs out, before either can end the process.
Result<std::vector<std::uint8_t>> read_stdin() {
  const std::size_t limit = static_cast<std::size_t>(
      std::min<std::uint64_t>(max_input, std::numeric_limits<std::size_t>::max() - 1));
  std::vector<std::uint8_t> bytes;
  std::size_t used = 0;
  for (;;) {
    if (bytes.size() - used < (std::size_t{1} << 16)) {
      // One byte past the limit is enough to tell that it was passed.
      const std::size_t wanted =
          std::min(std::max<std::size_t>(bytes.size() * 2, std::size_t{1} << 20), limit + 1);
      try {
        bytes.resize(std::max(wanted, used + 1));
      } catch (const std::bad_alloc&) {
        return std::unexpected(
            stdin_error("standard input does not fit in memory (out of memory after reading " +
                        decimal(std::uint64_t{used}) + " bytes)"));
      }
    }
    // Capped so that the count fits every platform's parameter type.
    const auto count = static_cast<unsigned>(std::min(bytes.size() - used, std::size_t{1} << 30));
    const auto got =
        detail::retry_interrupted([&] { return ::read(STDIN_FILENO, bytes.data() + used, count); });
    if (got < 0) {
      return std::unexpected(DatError(IoError::from_errno(errno)));
    }
    if (got == 0) {
      break;
    }
    used += static_cast<std::size_t>(got);
    if (used > limit) {
      return std::unexpected(stdin_error("standard input is larger than " +
                                         decimal(std::uint64_t{limit}) +
                                         " bytes (see --max-input)"));
    }
  }
  bytes.resize(used);
  return bytes;
}

}  // namespace

std::expected<Archive, OpenFailure> try_open_archive(const std::string& path) {
  const bool from_stdin = path == STDIN_ARCHIVE;
  const std::string name = from_stdin ? "standard input" : path;
  ArchiveProbe probe;
  Result<DatDatabase> db = [&]() -> Result<DatDatabase> {
    if (!from_stdin) {
      probe = probe_file(path);
      return DatDatabase::open(utf8_path(path));
    }
    // Waiting for someone to type an archive is never what was meant.
    if (is_terminal(STDIN_FILENO)) {
      return std::unexpected(DatError(
          DatError::Other{"standard input: refusing to read an archive from a terminal; redirect "
                          "standard input from a file or a pipe"}));
    }
    auto bytes = read_stdin();
    if (!bytes) {
      return std::unexpected(std::move(bytes.error()));
    }
    probe = probe_bytes(*bytes);
    return DatDatabase::open_owned(std::move(*bytes));
  }();
  if (db) {
    return Archive{std::move(*db), name, std::move(probe)};
  }
  std::error_code ec;
  if (!from_stdin && std::filesystem::is_directory(utf8_path(path), ec)) {
    return std::unexpected(OpenFailure{name + ": is a directory, not an archive file", {}});
  }
  // The library's text stays whole, so it can be searched for; the name goes first.
  std::string message = name + ": " + db.error().to_string();
  if (const auto* other = db.error().get_if<DatError::Other>(); other != nullptr && from_stdin) {
    // The tool's own sentence about standard input already names it.
    message = other->message;
  }
  std::string hint = truncation_hint(db.error(), probe);
  if (hint.empty() && failed_on_content(db.error()) &&
      (!probe.header || probe.header->magic != DatHeader::MAGIC)) {
    hint = NOT_AN_ARCHIVE_HINT;
  }
  return std::unexpected(OpenFailure{message + hint, std::move(probe)});
}

std::optional<Archive> open_archive(const std::string& path) {
  auto archive = try_open_archive(path);
  if (!archive) {
    report_error(archive.error().message);
    return std::nullopt;
  }
  return std::move(*archive);
}

void set_max_input(std::uint64_t bytes) noexcept {
  max_input = std::min(bytes, MAX_STDIN_ARCHIVE);
}

std::string file_error_text(const Archive& archive, std::uint32_t id, const DatError& error) {
  const std::string text = error.to_string() + truncation_hint(error, archive.probe);
  if (text.find(id_text(id)) != std::string::npos) {
    return archive.name + ": " + text;
  }
  return archive.name + ": file " + id_text(id) + ": " + text;
}

void report_file_error(const Archive& archive, std::uint32_t id, const DatError& error,
                       std::string_view typed) {
  std::string message = file_error_text(archive, id, error);
  if (error.kind() == DatErrorKind::NotFound && looks_decimal(typed)) {
    message +=
        " (ids are read as hexadecimal; write d:" + std::string(typed) + " for a decimal id)";
  }
  report_error(message);
}

}  // namespace marrowvane_dat::cli
