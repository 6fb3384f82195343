// The marrowvane-dat command line: argument parsing and dispatch to the commands.
#include <csignal>
#include <exception>
#include <string>

#include <CLI/CLI.hpp>

#include "marrowvane_dat/version.hpp"

#include "args.hpp"
#include "commands.hpp"
#include "output.hpp"

namespace {

using namespace marrowvane_dat::cli;

constexpr int EXIT_USAGE = 2;

CLI::Validator file_id_validator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (parse_file_id(text)) {
          return {};
        }
        return "not a file id: '" + text + "' (write it in decimal or as 0x followed by hex)";
      },
      "", "file id");
}

CLI::Validator type_validator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (parse_type_name(text)) {
          return {};
        }
        return "unknown file type '" + text + "'; valid types: " + valid_type_names();
      },
      "", "file type");
}

// Help and --version go to standard output with status 0; every other parse
// error is one diagnostic line, a hint, and status 2.
int parse_failed(const CLI::App& app, const CLI::ParseError& error) {
  if (dynamic_cast<const CLI::Success*>(&error) != nullptr) {
    return app.exit(error);
  }
  std::string command = std::string(TOOL_NAME);
  const auto selected = app.get_subcommands();
  if (!selected.empty()) {
    command += " " + selected.front()->get_name();
  }
  report_error(error.what());
  write_stderr("Run '" + command + " --help' for more information.\n");
  return EXIT_USAGE;
}

int run(int argc, char** argv) {
  CLI::App app("Lists, prints, extracts and checks the files of a DAT archive.",
               std::string(TOOL_NAME));
  app.set_version_flag("--version", std::string(TOOL_NAME) + " " + MARROWVANE_DAT_VERSION_STRING);
  app.require_subcommand(1);

  std::string archive;
  std::string id_text;
  std::string type_text;
  std::string out_dir;
  bool json = false;
  bool stored = false;
  bool force = false;
  unsigned jobs = 1;

  const auto add_archive = [&](CLI::App* command) {
    command->add_option("ARCHIVE", archive, "The archive file to read")
        ->required()
        ->type_name("PATH");
  };
  const auto add_id = [&](CLI::App* command) {
    command->add_option("ID", id_text, "File id, decimal or 0x-prefixed hex")
        ->required()
        ->type_name("ID")
        ->check(file_id_validator());
  };
  const auto add_type = [&](CLI::App* command) {
    command
        ->add_option("--type", type_text, "Only files of this type (case-insensitive), e.g. Font")
        ->type_name("TYPE")
        ->check(type_validator());
  };
  const auto add_jobs = [&](CLI::App* command) {
    command->add_option("-j,--jobs", jobs, "Number of threads reading files")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(1U, 1024U));
  };
  const auto add_json = [&](CLI::App* command) {
    command->add_flag("--json", json, "Print JSON instead of text");
  };

  CLI::App* info =
      app.add_subcommand("info", "Show every header field, the kind and the entry count");
  add_archive(info);
  add_json(info);

  CLI::App* ls = app.add_subcommand("ls", "List the directory entries in id order");
  add_archive(ls);
  add_type(ls);
  add_json(ls);

  CLI::App* cat = app.add_subcommand("cat", "Write one file's bytes to standard output");
  add_archive(cat);
  add_id(cat);
  cat->add_flag("--stored", stored, "Write the bytes as stored, without decompressing");

  CLI::App* extract = app.add_subcommand("extract", "Write files as OUTDIR/<Type>/<ID>.bin");
  add_archive(extract);
  extract->add_option("OUTDIR", out_dir, "Directory to write into (created if missing)")
      ->required()
      ->type_name("PATH");
  add_type(extract);
  add_jobs(extract);
  extract->add_flag("--force", force, "Overwrite files that already exist");

  CLI::App* font = app.add_subcommand("font", "Show one file parsed as a Font");
  add_archive(font);
  add_id(font);
  add_json(font);

  CLI::App* verify = app.add_subcommand("verify", "Read every file, check fonts, report failures");
  add_archive(verify);
  add_jobs(verify);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return parse_failed(app, error);
  }

  // The validators have accepted these, so the parses cannot fail here.
  const std::uint32_t id = parse_file_id(id_text).value_or(0);
  const auto type = type_text.empty() ? std::nullopt : parse_type_name(type_text);

  if (*info) {
    return run_info({archive, json});
  }
  if (*ls) {
    return run_ls({archive, type, json});
  }
  if (*cat) {
    return run_cat({archive, id, stored});
  }
  if (*extract) {
    return run_extract({archive, out_dir, type, jobs, force});
  }
  if (*font) {
    return run_font({archive, id, json});
  }
  return run_verify({archive, jobs});
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe shows up as EPIPE from write(), which the output layer turns
  // into a quiet exit instead of death by signal.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    // Only the standard library can get here (out of memory, no threads).
    report_error(error.what());
    return 1;
  }
}
