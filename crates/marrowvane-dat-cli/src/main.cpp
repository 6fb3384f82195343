// SPDX-License-Identifier: MIT
// The marrowvane-dat command line: argument parsing, typo suggestions, help, and
// dispatch to the commands.
#include <csignal>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "marrowvane_dat/version.hpp"

#include "archive.hpp"
#include "args.hpp"
#include "commands.hpp"
#include "output.hpp"

namespace {

using namespace marrowvane_dat::cli;

constexpr std::string_view TOP_FOOTER =
    R"(File ids are hexadecimal, exactly as the tool prints them: 40000001, or with a
prefix 0x40000001 (1 to 8 digits, any case). A decimal id needs the prefix d:
(d:1073741825). ARCHIVE '-' reads the archive from standard input.

Exit status: 0 success; 1 something failed (each failure is reported on standard
error); 2 the command line was not understood. diff: 0 identical, 1 different,
2 trouble.

Run 'marrowvane-dat help COMMAND' or 'marrowvane-dat COMMAND --help' for a
command's options.)";

constexpr std::string_view ID_FOOTER =
    "ID is hexadecimal as the tool prints it (40000001 or 0x40000001); decimal as d:1073741825.";

CLI::Validator file_id_validator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        return parse_file_id(text) ? std::string() : file_id_syntax_error(text);
      },
      "", "file id");
}

CLI::Validator type_validator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (marrowvane_dat::from_string(text)) {
          return {};
        }
        return "unknown file type '" + text + "'; valid types: " + valid_type_names();
      },
      "", "file type");
}

CLI::Validator non_empty(std::string what) {
  return CLI::Validator(
      [what](std::string& text) -> std::string {
        return text.empty() ? "the " + what + " is empty" : std::string();
      },
      "", "non-empty");
}

CLI::Validator format_validator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (text == "table" || text == "tsv" || text == "json") {
          return {};
        }
        return "unknown format '" + text + "'; choose table, tsv or json";
      },
      "", "format");
}

// One diagnostic line, a pointer to the help, and the usage status.
int usage_error(const std::string& command, const std::string& message) {
  report_error(message);
  write_stderr("Run '" + command + " --help' for more information.\n");
  return EXIT_USAGE;
}

std::string suggestion(const std::optional<std::string>& closest) {
  return closest ? "; did you mean '" + *closest + "'?" : "";
}

std::vector<std::string> command_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    names.push_back(sub->get_name());
  }
  return names;
}

std::vector<std::string> option_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) {
      names.push_back("--" + name);
    }
    for (const std::string& name : option->get_snames()) {
      names.push_back("-" + name);
    }
  }
  return names;
}

// The first argument the parser could not place, named, with the closest valid word.
// Nothing when every argument was understood.
// `where` names the command for messages; `expecting_command` says that a bare word
// here can only have been meant as a command's name.
std::optional<std::string> unplaced_argument(const CLI::App& app, const std::string& where,
                                             bool expecting_command) {
  for (const std::string& arg : app.remaining()) {
    if (arg == "--") {
      continue;
    }
    if (arg.size() > 1 && arg.front() == '-') {
      const std::string word = arg.substr(0, arg.find('='));
      return "unknown option '" + word + "' for " + where +
             suggestion(closest_word(word, option_names(app)));
    }
    if (expecting_command) {
      return "'" + arg + "' is not a " + std::string(TOOL_NAME) + " command" +
             suggestion(closest_word(arg, command_names(app)));
    }
    return "unexpected argument '" + arg + "' for " + where;
  }
  return std::nullopt;
}

std::string help_text(const CLI::App& app, const std::string& path) {
  return app.get_formatter()->make_help(&app, path, CLI::AppFormatMode::Normal);
}

// Help and --version go to standard output with status 0; every other parse
// error is one diagnostic line, a hint, and status 2.
int parse_failed(const CLI::App& app, const CLI::ParseError& error) {
  if (dynamic_cast<const CLI::Success*>(&error) != nullptr) {
    return app.exit(error);
  }
  std::string command(TOOL_NAME);
  const auto selected = app.get_subcommands();
  if (!selected.empty()) {
    command += " " + selected.front()->get_name();
  }
  return usage_error(command, error.what());
}

std::vector<std::uint32_t> parse_ids(const std::vector<std::string>& texts) {
  std::vector<std::uint32_t> ids;
  ids.reserve(texts.size());
  for (const std::string& text : texts) {
    // The validator has accepted it, so this cannot fail.
    ids.push_back(parse_file_id(text).value_or(0));
  }
  return ids;
}

int run(int argc, char** argv) {
  CLI::App app("Lists, prints, extracts, compares and checks the files of a DAT archive.",
               std::string(TOOL_NAME));
  app.set_version_flag("--version", std::string(TOOL_NAME) + " " + MARROWVANE_DAT_VERSION_STRING);
  app.footer(std::string(TOP_FOOTER));
  app.allow_extras();
  // At most one command, so that a command's name after 'help' is help's argument.
  app.require_subcommand(0, 1);

  std::string archive;
  std::string archive_b;
  std::vector<std::string> id_texts;
  std::string type_text;
  std::string out_dir;
  std::string format_text;
  std::string help_topic;
  bool json = false;
  bool stored = false;
  bool force = false;
  bool skip_existing = false;
  bool quiet = false;
  bool verbose = false;
  unsigned jobs = 1;

  const auto add_common = [&](CLI::App* command) {
    command->allow_extras();
    command->add_flag("-q,--quiet", quiet,
                      "Print only errors (the data asked for is still written)");
    command->add_flag("-v,--verbose", verbose, "Print one line per file (extract, verify)");
  };
  const auto add_archive = [&](CLI::App* command, std::string& into, const char* name) {
    command->add_option(name, into, "The archive file to read; '-' reads standard input")
        ->required()
        ->type_name("PATH")
        ->check(non_empty("archive path"));
  };
  const auto add_type = [&](CLI::App* command) {
    return command
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
  const auto add_json = [&](CLI::App* command, const char* what) {
    return command->add_flag("--json", json, what);
  };

  add_common(&app);

  CLI::App* info =
      app.add_subcommand("info", "Show every header field, the kind and the entry count");
  add_archive(info, archive, "ARCHIVE");
  add_json(info, "Print JSON instead of text");
  add_common(info);

  CLI::App* ls = app.add_subcommand("ls", "List the directory entries in id order");
  add_archive(ls, archive, "ARCHIVE");
  add_type(ls);
  CLI::Option* format_option =
      ls->add_option("--format", format_text,
                     "table, tsv (no header; columns as the table's) or json; default: a table "
                     "on a terminal, tsv otherwise")
          ->type_name("FORMAT")
          ->check(format_validator());
  add_json(ls, "The same as --format json")->excludes(format_option);
  add_common(ls);

  CLI::App* cat =
      app.add_subcommand("cat", "Write files' bytes to standard output, in the order given");
  add_archive(cat, archive, "ARCHIVE");
  cat->add_option("ID", id_texts, "File ids")
      ->required()
      ->type_name("ID")
      ->check(file_id_validator());
  cat->add_flag("--stored", stored, "Write the bytes as stored, without decompressing");
  cat->add_flag("--force", force, "Write binary bytes even to a terminal");
  cat->footer(std::string(ID_FOOTER));
  add_common(cat);

  CLI::App* extract = app.add_subcommand(
      "extract", "Write files as OUTDIR/<Type>/<ID>.bin (all, of one --type, or the given ids)");
  add_archive(extract, archive, "ARCHIVE");
  extract->add_option("OUTDIR", out_dir, "Directory to write into (created if missing)")
      ->required()
      ->type_name("PATH")
      ->check(non_empty("output directory"));
  CLI::Option* extract_ids = extract->add_option("ID", id_texts, "Only these files")
                                 ->type_name("ID")
                                 ->check(file_id_validator());
  add_type(extract)->excludes(extract_ids);
  add_jobs(extract);
  CLI::Option* force_option =
      extract->add_flag("--force", force, "Replace files (or links) that already exist");
  extract->add_flag("--skip-existing", skip_existing, "Keep files that already exist")
      ->excludes(force_option);
  add_json(extract, "Print a JSON summary with every failure");
  extract->footer(std::string(ID_FOOTER) +
                  "\nFiles are written under temporary names and renamed into place; nothing "
                  "below OUTDIR is reached through a symbolic link.");
  add_common(extract);

  CLI::App* font = app.add_subcommand("font", "Show one file parsed as a Font");
  add_archive(font, archive, "ARCHIVE");
  font->add_option("ID", id_texts, "File id")
      ->required()
      ->expected(1)
      ->type_name("ID")
      ->check(file_id_validator());
  add_json(font, "Print JSON instead of text");
  font->footer(std::string(ID_FOOTER));
  add_common(font);

  CLI::App* verify =
      app.add_subcommand("verify", "Read every file, check sizes and fonts, report failures");
  add_archive(verify, archive, "ARCHIVE");
  add_jobs(verify);
  add_json(verify, "Print a JSON report with every failure");
  add_common(verify);

  CLI::App* diff = app.add_subcommand(
      "diff", "List the ids added, removed and changed (size, flags, version or content)");
  add_archive(diff, archive, "ARCHIVE_A");
  add_archive(diff, archive_b, "ARCHIVE_B");
  add_json(diff, "Print JSON instead of text");
  diff->footer(
      "Contents are compared by a 64-bit hash of the decompressed bytes when the stored sizes "
      "are equal.\nExit status: 0 identical, 1 different, 2 trouble (an archive or file could "
      "not be read).");
  add_common(diff);

  CLI::App* stats = app.add_subcommand(
      "stats", "Count files and stored and decompressed bytes per type, with the ratio");
  add_archive(stats, archive, "ARCHIVE");
  add_json(stats, "Print JSON instead of text");
  stats->footer("RATIO is decompressed bytes divided by stored bytes.");
  add_common(stats);

  CLI::App* help = app.add_subcommand("help", "Show the tool's help, or one command's");
  help->add_option("COMMAND", help_topic, "The command to explain");
  add_common(help);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return parse_failed(app, error);
  }

  const std::vector<CLI::App*> selected = app.get_subcommands();
  if (auto problem = unplaced_argument(app, std::string(TOOL_NAME), selected.empty())) {
    return usage_error(std::string(TOOL_NAME), *problem);
  }
  if (selected.empty()) {
    return usage_error(std::string(TOOL_NAME), "a command is required; try 'marrowvane-dat help'");
  }
  CLI::App* command = selected.front();
  const std::string command_path = std::string(TOOL_NAME) + " " + command->get_name();
  if (auto problem = unplaced_argument(*command, "'" + command->get_name() + "'", false)) {
    return usage_error(command_path, *problem);
  }
  if (quiet && verbose) {
    return usage_error(command_path, "--quiet and --verbose cannot be combined");
  }
  const Verbosity verbosity = quiet     ? Verbosity::Quiet
                              : verbose ? Verbosity::Verbose
                                        : Verbosity::Normal;
  const auto type = type_text.empty() ? std::nullopt : marrowvane_dat::from_string(type_text);

  if (command == help) {
    if (help_topic.empty()) {
      write_stdout(help_text(app, std::string(TOOL_NAME)));
      return EXIT_OK;
    }
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
      if (sub->get_name() == help_topic) {
        write_stdout(help_text(*sub, std::string(TOOL_NAME) + " " + help_topic));
        return EXIT_OK;
      }
    }
    return usage_error(std::string(TOOL_NAME),
                       "'" + help_topic + "' is not a " + std::string(TOOL_NAME) + " command" +
                           suggestion(closest_word(help_topic, command_names(app))));
  }
  if (command == info) {
    return run_info({archive, json});
  }
  if (command == ls) {
    ListFormat format = ListFormat::Auto;
    if (json || format_text == "json") {
      format = ListFormat::Json;
    } else if (format_text == "table") {
      format = ListFormat::Table;
    } else if (format_text == "tsv") {
      format = ListFormat::Tsv;
    }
    return run_ls({archive, type, format});
  }
  if (command == cat) {
    return run_cat({archive, parse_ids(id_texts), id_texts, stored, force});
  }
  if (command == extract) {
    return run_extract({archive, out_dir, parse_ids(id_texts), id_texts, type, jobs, force,
                        skip_existing, json, verbosity});
  }
  if (command == font) {
    return run_font({archive, parse_ids(id_texts).front(), id_texts.front(), json});
  }
  if (command == verify) {
    return run_verify({archive, jobs, json, verbosity});
  }
  if (command == diff) {
    if (archive == STDIN_ARCHIVE && archive_b == STDIN_ARCHIVE) {
      return usage_error(command_path, "only one archive can be read from standard input");
    }
    set_output_failure_status(EXIT_TROUBLE);
    return run_diff({archive, archive_b, json, verbosity});
  }
  return run_stats({archive, json});
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
    return EXIT_FAILED;
  }
}
