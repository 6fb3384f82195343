// SPDX-License-Identifier: MIT
// The info command: every header field, the archive kind and the entry count.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive.hpp"
#include "command_line.hpp"
#include "documents.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

struct InfoOptions {
  std::string archive;
  bool json = false;
};

// What can still be shown of an archive that did not open: its header when it has
// the archive signature, then the error. Always a failure.
int show_unopened(const InfoOptions& options, const OpenFailure& failure) {
  // Fields read from what is not an archive at all would only be noise.
  if (!failure.probe.header || failure.probe.header->magic != DatHeader::MAGIC) {
    report_error(failure.message);
    return EXIT_FAILED;
  }
  InfoDocument doc = info_document(*failure.probe.header, std::nullopt);
  doc.json["error"] = failure.message;
  (void)write_stdout(options.json ? doc.json.dump(2) + "\n" : field_lines(doc.text));
  report_error(failure.message);
  return EXIT_FAILED;
}

int run_info(const InfoOptions& options, Verbosity) {
  const auto archive = try_open_archive(options.archive);
  if (!archive) {
    return show_unopened(options, archive.error());
  }
  const InfoDocument doc =
      info_document(archive->db.header(), std::uint64_t{archive->db.files().size()});
  return write_stdout(options.json ? doc.json.dump(2) + "\n" : field_lines(doc.text)) ? EXIT_OK
                                                                                      : EXIT_FAILED;
}

}  // namespace

void register_info(CommandLine& cli) {
  const auto [info, options] =
      cli.add("info", "Show every header field, the kind and the entry count", run_info);
  add_archive(info, options->archive, "ARCHIVE");
  info->add_flag("--json", options->json, "Print JSON instead of text");
}

}  // namespace marrowvane_dat::cli
