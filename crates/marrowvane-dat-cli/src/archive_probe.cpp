// SPDX-License-Identifier: MIT
// Reading an archive's header and length by hand, for naming damage.
#include "archive_probe.hpp"

#include <array>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "marrowvane_dat/binary_reader.hpp"
#include "retry.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

std::optional<DatHeader> parse_header(std::span<const std::uint8_t> bytes) {
  Cursor cursor(bytes);
  auto header = DatHeader::read(cursor);
  if (!header) {
    return std::nullopt;
  }
  return std::move(*header);
}

}  // namespace

ArchiveProbe probe_file(const std::string& path) {
  ArchiveProbe probe;
  // Only a regular file: opening a FIFO would wait for a writer. O_NONBLOCK covers one
  // put in its place between the two calls.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return probe;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return probe;
  }
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    probe.length = static_cast<std::uint64_t>(st.st_size);
    std::array<std::uint8_t, DatHeader::SIZE> raw{};
    const ssize_t got = detail::retry_interrupted(
        [&] { return ::pread(fd, raw.data(), raw.size(), static_cast<off_t>(DatHeader::OFFSET)); });
    if (got == static_cast<ssize_t>(raw.size())) {
      probe.header = parse_header(raw);
    }
  }
  ::close(fd);
  return probe;
}

ArchiveProbe probe_bytes(std::span<const std::uint8_t> bytes) {
  ArchiveProbe probe;
  probe.length = bytes.size();
  if (bytes.size() >= DatHeader::OFFSET + DatHeader::SIZE) {
    probe.header = parse_header(bytes.subspan(DatHeader::OFFSET, DatHeader::SIZE));
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
