// SPDX-License-Identifier: MIT
// What the tool can learn about an archive without opening it: its real length and
// the header as stored, so that damage can be named even when opening fails.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/error.hpp"

namespace marrowvane_dat::cli {

// The stored header (when its 80 bytes are there) and the archive's real length.
struct ArchiveProbe {
  std::optional<DatHeader> header;
  std::optional<std::uint64_t> length;
};

// The header in the DatHeader::SIZE bytes that stand at DatHeader::OFFSET, if they parse.
[[nodiscard]] std::optional<DatHeader> parse_stored_header(std::span<const std::uint8_t> bytes);

// Reads the header at DatHeader::OFFSET of the file at `path` with a positional read
// and the file's length; either is empty when it cannot be had.
[[nodiscard]] ArchiveProbe probe_file(const std::string& path);
// The same for an archive already in memory.
[[nodiscard]] ArchiveProbe probe_bytes(std::span<const std::uint8_t> bytes);

// True when `error` says the data ended before a read was satisfied.
[[nodiscard]] bool is_unexpected_eof(const DatError& error) noexcept;

// " (archive is N bytes but its header says M: truncated?)" when `error` ran out of
// data in an archive with the archive signature that is shorter than its header's
// file_size; empty otherwise.
[[nodiscard]] std::string truncation_hint(const DatError& error, const ArchiveProbe& probe);

}  // namespace marrowvane_dat::cli
