// The commands that visit many files on several threads: extract and verify.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "archive.hpp"
#include "commands.hpp"
#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "output.hpp"
#include "parallel.hpp"

namespace marrowvane_dat::cli {
namespace {

namespace fs = std::filesystem;

using Clock = std::chrono::steady_clock;

std::string seconds_since(Clock::time_point start) {
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", elapsed.count());
  return buf;
}

// Writes `bytes` to a new file at `path` (replacing one only when `replace`).
// Returns nothing on success, otherwise the reason.
std::optional<std::string> write_file(const fs::path& path, std::span<const std::uint8_t> bytes,
                                      bool replace) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
  UniqueFd fd(::open(path.c_str(), flags, 0666));
  if (!fd) {
    return "cannot create " + path.string() + ": " + errno_text(errno);
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      const int code = errno;
      fd = UniqueFd();
      ::unlink(path.c_str());
      return "cannot write " + path.string() + ": " + errno_text(code);
    }
    done += static_cast<std::size_t>(written);
  }
  // close() is where some file systems report a failed write-back.
  if (::close(fd.release()) != 0) {
    const int code = errno;
    ::unlink(path.c_str());
    return "cannot write " + path.string() + ": " + errno_text(code);
  }
  return std::nullopt;
}

// The checks every font must pass, in this order; the first that fails is the
// result. `bytes` is the file's content as get_file returns it.
struct FontCheck {
  std::optional<std::string> failure;
  std::uint64_t glyphs = 0;
};

FontCheck check_font(std::uint32_t id, std::span<const std::uint8_t> bytes) {
  const std::string name = "Font " + hex_id(id);
  Cursor cursor(bytes);
  auto parsed = Font::read(cursor);
  if (!parsed) {
    return {"parse " + name + " (" + decimal(std::uint64_t{bytes.size()}) +
                " bytes): " + parsed.error().to_string(),
            0};
  }
  const Font& font = *parsed;
  if (font.id != id) {
    return {name + " self-id mismatch: the record names " + hex_id(font.id), 0};
  }
  if (font.char_descs.empty()) {
    return {name + " has zero char descs", 0};
  }
  if (font.max_char_height == 0 || font.max_char_width == 0) {
    return {name + " has zero max cell size (" + decimal(std::uint64_t{font.max_char_height}) +
                "x" + decimal(std::uint64_t{font.max_char_width}) + ")",
            0};
  }
  const std::uint64_t glyphs = font.char_descs.size();
  const std::uint64_t predicted = Font::FIXED_SIZE + FontCharDesc::SIZE * glyphs;
  if (predicted != bytes.size()) {
    return {name + " size mismatch: predicted " + decimal(predicted) + " != actual " +
                decimal(std::uint64_t{bytes.size()}),
            0};
  }
  return {std::nullopt, glyphs};
}

// A compressed payload starts with the content's length as a little-endian u32;
// reading those 4 stored bytes is the only way to learn what the entry promises.
Result<std::optional<std::string>> check_decompressed_size(const DatDatabase& db,
                                                           const DatFileEntry& entry,
                                                           std::size_t content_size) {
  static constexpr std::uint32_t SIZE_FIELD = 4;
  if (entry.size < SIZE_FIELD) {
    return "compressed entry stores " + decimal(std::uint64_t{entry.size}) +
           " bytes, too few for its 4-byte size";
  }
  auto head = db.read_file_data(entry.offset, SIZE_FIELD);
  if (!head) {
    return std::unexpected(std::move(head.error()));
  }
  const auto declared =
      load_le<std::uint32_t>(std::span<const std::uint8_t, SIZE_FIELD>(head->data(), SIZE_FIELD));
  if (declared != content_size) {
    return "decompressed to " + decimal(std::uint64_t{content_size}) + " bytes, declared " +
           decimal(std::uint64_t{declared});
  }
  return std::optional<std::string>{};
}

}  // namespace

int run_extract(const ExtractOptions& options) {
  const auto db = open_archive(options.archive);
  if (!db) {
    return 1;
  }
  const Clock::time_point start = Clock::now();
  const std::vector<DatFileEntry> entries = sorted_entries(*db, options.type);

  std::vector<fs::path> targets;
  targets.reserve(entries.size());
  std::set<fs::path> dirs;
  for (const DatFileEntry& e : entries) {
    fs::path dir = options.out_dir / std::string(type_name_of(*db, e.id));
    targets.push_back(dir / (hex8(e.id) + ".bin"));
    dirs.insert(std::move(dir));
  }

  if (!options.force) {
    std::size_t existing = 0;
    const fs::path* first = nullptr;
    for (const fs::path& target : targets) {
      std::error_code ec;
      const fs::file_status status = fs::symlink_status(target, ec);
      if (fs::status_known(status) && status.type() != fs::file_type::not_found) {
        first = first ? first : &target;
        ++existing;
      }
    }
    if (first) {
      std::string message = "refusing to overwrite " + first->string();
      if (existing > 1) {
        message += " and " + decimal(std::uint64_t{existing - 1}) + " other existing files";
      }
      report_error(message + " (use --force to overwrite)");
      return 1;
    }
  }

  for (const fs::path& dir : dirs) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
      report_error("cannot create directory " + dir.string() + ": " + ec.message());
      return 1;
    }
  }

  // Each slot is written by the one thread that handles that index.
  std::vector<std::optional<std::string>> failures(entries.size());
  Progress progress(entries.size(), stderr_is_terminal());
  run_parallel(
      entries.size(), options.jobs,
      [&](std::size_t i) -> std::uint64_t {
        auto bytes = db->get_file(entries[i].id);
        if (!bytes) {
          failures[i] = bytes.error().to_string();
          return 0;
        }
        failures[i] = write_file(targets[i], *bytes, options.force);
        return failures[i] ? 0 : bytes->size();
      },
      progress);

  std::size_t failed = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (failures[i]) {
      report_error("file " + hex_id(entries[i].id) + ": " + *failures[i]);
      ++failed;
    }
  }
  std::string summary = "Extracted " + decimal(std::uint64_t{entries.size() - failed}) +
                        " files, " + decimal(progress.bytes()) + " bytes in " +
                        seconds_since(start) + " s";
  if (failed > 0) {
    summary += "; " + decimal(std::uint64_t{failed}) + " failed";
  }
  write_stdout(summary + "\n");
  return failed > 0 ? 1 : 0;
}

int run_verify(const VerifyOptions& options) {
  const auto db = open_archive(options.archive);
  if (!db) {
    return 1;
  }
  const Clock::time_point start = Clock::now();
  const std::vector<DatFileEntry> entries = sorted_entries(*db, std::nullopt);

  struct Outcome {
    std::optional<std::string> failure;
    bool is_font = false;
    std::uint64_t glyphs = 0;
  };
  std::vector<Outcome> outcomes(entries.size());
  Progress progress(entries.size(), stderr_is_terminal());
  run_parallel(
      entries.size(), options.jobs,
      [&](std::size_t i) -> std::uint64_t {
        const DatFileEntry& entry = entries[i];
        Outcome& out = outcomes[i];
        out.is_font = type_of(*db, entry.id) == DatFileType::Font;
        auto bytes = db->get_file(entry.id);
        if (!bytes) {
          out.failure = bytes.error().to_string();
          return 0;
        }
        if (entry.is_compressed()) {
          auto size_check = check_decompressed_size(*db, entry, bytes->size());
          if (!size_check) {
            out.failure = size_check.error().to_string();
          } else if (*size_check) {
            out.failure = std::move(*size_check);
          }
        }
        if (!out.failure && out.is_font) {
          FontCheck font = check_font(entry.id, *bytes);
          out.failure = std::move(font.failure);
          out.glyphs = font.glyphs;
        }
        return bytes->size();
      },
      progress);

  struct TypeCount {
    std::uint64_t files = 0;
    std::uint64_t failed = 0;
  };
  std::map<std::string_view, TypeCount> by_type;
  std::uint64_t failed = 0;
  std::uint64_t fonts = 0;
  std::uint64_t fonts_ok = 0;
  std::uint64_t glyphs = 0;
  std::string failure_lines;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string_view type = type_name_of(*db, entries[i].id);
    TypeCount& count = by_type[type];
    ++count.files;
    const Outcome& out = outcomes[i];
    if (out.is_font) {
      ++fonts;
      glyphs += out.glyphs;
    }
    if (out.failure) {
      ++count.failed;
      ++failed;
      failure_lines +=
          "  " + hex_id(entries[i].id) + " " + std::string(type) + ": " + *out.failure + "\n";
    } else if (out.is_font) {
      ++fonts_ok;
    }
  }

  std::string report = "Verified " + decimal(std::uint64_t{entries.size()}) + " files (" +
                       human_bytes(progress.bytes()) + ") in " + seconds_since(start) + " s\n";
  if (!by_type.empty()) {
    Table table({"TYPE", "FILES", "FAILED"}, {false, true, true});
    for (const auto& [type, count] : by_type) {
      table.add_row({std::string(type), decimal(count.files), decimal(count.failed)});
    }
    report += "\n" + table.render() + "\n";
  }
  if (fonts > 0) {
    report += "Fonts: " + decimal(fonts_ok) + " of " + decimal(fonts) + " passed, " +
              decimal(glyphs) + " glyphs\n";
  }
  if (failed == 0) {
    report += "No failures\n";
  } else {
    report += "Failures (" + decimal(failed) + "):\n" + failure_lines;
  }
  write_stdout(report);
  if (failed > 0) {
    report_error(decimal(failed) + " of " + decimal(std::uint64_t{entries.size()}) +
                 " files failed verification");
    return 1;
  }
  return 0;
}

}  // namespace marrowvane_dat::cli
