// SPDX-License-Identifier: MIT
// Reading an archive's header and length by hand, for naming damage.
#include "archive_probe.hpp"

#include "marrowvane_dat/binary_reader.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {

std::optional<DatHeader> parse_stored_header(std::span<const std::uint8_t> bytes) {
  Cursor cursor(bytes);
  auto header = DatHeader::read(cursor);
  if (!header) {
    return std::nullopt;
  }
  return std::move(*header);
}

ArchiveProbe probe_bytes(std::span<const std::uint8_t> bytes) {
  ArchiveProbe probe;
  probe.length = bytes.size();
  if (bytes.size() >= DatHeader::OFFSET + DatHeader::SIZE) {
    probe.header = parse_stored_header(bytes.subspan(DatHeader::OFFSET, DatHeader::SIZE));
  }
  return probe;
}

bool is_unexpected_eof(const DatError& error) noexcept {
  if (const auto* io = error.get_if<DatError::Io>()) {
    return io->error.kind() == IoErrorKind::UnexpectedEof;
  }
  if (const auto* read = error.get_if<DatError::BinRead>()) {
    return read->error.cause().kind() == IoErrorKind::UnexpectedEof;
  }
  return false;
}

std::string truncation_hint(const DatError& error, const ArchiveProbe& probe) {
  // A size read from what has no archive signature says nothing about truncation.
  if (!is_unexpected_eof(error) || !probe.header || probe.header->magic != DatHeader::MAGIC ||
      !probe.length || *probe.length >= probe.header->file_size) {
    return {};
  }
  return " (archive is " + decimal(*probe.length) + " bytes but its header says " +
         decimal(std::uint64_t{probe.header->file_size}) + ": truncated?)";
}

}  // namespace marrowvane_dat::cli
