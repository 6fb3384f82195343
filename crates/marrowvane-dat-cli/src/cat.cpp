// SPDX-License-Identifier: MIT
// The cat command: files' bytes to standard output, in the order given.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <unistd.h>

#include "archive.hpp"
#include "args.hpp"
#include "command_line.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

struct CatOptions {
  std::string archive;
  // The ids as typed, in the order given.
  std::vector<std::string> typed;
  bool stored = false;
  bool force = false;
};

// Control bytes other than tab and line breaks would be taken by a terminal as
// commands (cursor moves, colours, title changes), or are not text at all.
bool looks_binary(std::span<const std::uint8_t> bytes) noexcept {
  return std::ranges::any_of(bytes, [](std::uint8_t b) {
    return (b < 0x20 && b != '\t' && b != '\n' && b != '\r') || b == 0x7F;
  });
}

int run_cat(const CatOptions& options, Verbosity) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  const bool terminal = is_terminal(STDOUT_FILENO);
  int status = EXIT_OK;
  // One buffer for every file: memory is bounded by the largest of them.
  std::vector<std::uint8_t> bytes;
  for (const std::string& typed : options.typed) {
    // The parser has checked every id, so this cannot fail.
    const std::uint32_t id = parse_file_id(typed).value_or(0);
    const DatFileEntry* entry = archive->db.find(id);
    Result<void> read = entry == nullptr ? std::unexpected(DatError(DatError::NotFound{id}))
                        : options.stored
                            ? archive->db.read_file_data_into(entry->offset, entry->size, bytes)
                            : archive->db.get_file_into(id, bytes);
    if (!read) {
      report_file_error(*archive, id, read.error(), typed);
      status = EXIT_FAILED;
    } else if (terminal && !options.force && looks_binary(bytes)) {
      report_error(archive->name + ": file " + id_text(id) +
                   " is binary; not writing it to a terminal (redirect the output, or use "
                   "--force)");
      status = EXIT_FAILED;
    } else if (!write_stdout(bytes)) {
      return EXIT_FAILED;
    }
  }
  return status;
}

}  // namespace

void register_cat(CommandLine& cli) {
  const auto [cat, options] =
      cli.add("cat", "Write files' bytes to standard output, in the order given", run_cat);
  add_archive(cat, options->archive, "ARCHIVE");
  add_ids(cat, options->typed, "File ids")->required();
  cat->add_flag("--stored", options->stored, "Write the bytes as stored, without decompressing");
  cat->add_flag("--force", options->force, "Write binary bytes even to a terminal");
  cat->footer(std::string(ID_FOOTER));
}

}  // namespace marrowvane_dat::cli
