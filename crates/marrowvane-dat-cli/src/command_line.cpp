// SPDX-License-Identifier: MIT
// Argument parsing, typo suggestions, help, and dispatch to the chosen command.
#include "command_line.hpp"

#include <algorithm>
#include <sstream>

#include "marrowvane_dat/version.hpp"

#include "archive.hpp"
#include "args.hpp"
#include "standard_output.hpp"

namespace marrowvane_dat::cli {
namespace {

constexpr std::string_view TOP_FOOTER =
    R"(File ids are hexadecimal, exactly as the tool prints them: 40000001, or with a
prefix 0x40000001 (1 to 8 digits, any case). A decimal id needs the prefix d:
(d:1073741825). ARCHIVE '-' reads the archive from standard input.

Exit status: 0 success; 1 something failed (each failure is reported on standard
error); 2 the command line was not understood. diff: 0 identical, 1 different,
2 trouble.

Run 'marrowvane-dat help COMMAND' or 'marrowvane-dat COMMAND --help' for a
command's options.)";

void add_common(CLI::App* command, bool& quiet, bool& verbose) {
  command->add_flag("-q,--quiet", quiet, "Print only errors (the data asked for is still written)");
  command->add_flag("-v,--verbose", verbose, "Print one line per file (extract, verify)");
  add_max_input(command);
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

std::string not_a_command(const CLI::App& app, const std::string& word) {
  return "'" + word + "' is not a " + std::string(TOOL_NAME) + " command" +
         suggestion(closest_word(word, command_names(app)));
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
      return not_a_command(app, arg);
    }
    return "unexpected argument '" + arg + "' for " + where;
  }
  return std::nullopt;
}

// Help and --version go to standard output with status 0; every other parse
// error is one diagnostic line, a hint, and status 2.
int parse_failed(const CLI::App& app, const CLI::ParseError& error) {
  if (dynamic_cast<const CLI::Success*>(&error) != nullptr) {
    std::ostringstream out;
    const int status = app.exit(error, out);
    return write_stdout(out.str()) ? status : EXIT_FAILED;
  }
  std::string command(TOOL_NAME);
  const auto selected = app.get_subcommands();
  if (!selected.empty()) {
    command += " " + selected.front()->get_name();
  }
  return usage_error(command, error.what());
}

}  // namespace

CommandLine::CommandLine()
    : app_("Lists, prints, extracts, compares and checks the files of a DAT archive.",
           std::string(TOOL_NAME)) {
  app_.set_version_flag("--version", std::string(TOOL_NAME) + " " + MARROWVANE_DAT_VERSION_STRING);
  app_.footer(std::string(TOP_FOOTER));
  app_.allow_extras();
  // Options are "--name" everywhere; on Windows a "/name" would otherwise be taken for
  // one, and it is as likely a path. Commands made after this inherit it.
  app_.allow_windows_style_options(false);
  // At most one command, so that a command's name after 'help' is help's argument.
  app_.require_subcommand(0, 1);
  add_common(&app_, quiet_, verbose_);
  for (const auto registration :
       {register_info, register_ls, register_cat, register_extract, register_font, register_verify,
        register_diff, register_stats, register_serve, register_mount}) {
    registration(*this);
  }
  add("help", "Show the tool's help, or one command's", [this](Verbosity) { return help(); })
      ->add_option("COMMAND", help_topic_, "The command to explain")
      ->type_name("COMMAND");
  // Last, so that every command's help lists them after its own options.
  for (const Command& command : commands_) {
    add_common(command.app, quiet_, verbose_);
  }
}

CLI::App* CommandLine::add(const std::string& name, const std::string& description,
                           CommandRun runner) {
  CLI::App* command = app_.add_subcommand(name, description);
  command->allow_extras();
  commands_.push_back({command, std::move(runner)});
  return command;
}

int CommandLine::run(int argc, char** argv) {
  try {
    app_.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return parse_failed(app_, error);
  }
  const std::vector<CLI::App*> selected = app_.get_subcommands();
  if (auto problem = unplaced_argument(app_, std::string(TOOL_NAME), selected.empty())) {
    return usage_error(std::string(TOOL_NAME), *problem);
  }
  if (selected.empty()) {
    return usage_error(std::string(TOOL_NAME), "a command is required; try 'marrowvane-dat help'");
  }
  const CLI::App* chosen = selected.front();
  const std::string path = std::string(TOOL_NAME) + " " + chosen->get_name();
  if (auto problem = unplaced_argument(*chosen, "'" + chosen->get_name() + "'", false)) {
    return usage_error(path, *problem);
  }
  if (quiet_ && verbose_) {
    return usage_error(path, "--quiet and --verbose cannot be combined");
  }
  const Verbosity verbosity = quiet_     ? Verbosity::Quiet
                              : verbose_ ? Verbosity::Verbose
                                         : Verbosity::Normal;
  const auto command = std::ranges::find(commands_, chosen, &Command::app);
  const int status = command->run(verbosity);
  // Output cut short is never success, whatever the command made of it.
  return status == EXIT_OK && stdout_failed() ? EXIT_FAILED : status;
}

int CommandLine::help() const {
  const CLI::App* topic = &app_;
  std::string path(TOOL_NAME);
  if (!help_topic_.empty()) {
    const auto named = [](const Command& command) { return command.app->get_name(); };
    const auto found = std::ranges::find(commands_, help_topic_, named);
    if (found == commands_.end()) {
      return usage_error(path, not_a_command(app_, help_topic_));
    }
    topic = found->app;
    path += " " + help_topic_;
  }
  const std::string text =
      topic->get_formatter()->make_help(topic, path, CLI::AppFormatMode::Normal);
  return write_stdout(text) ? EXIT_OK : EXIT_FAILED;
}

void add_max_input(CLI::App* command) {
  command
      ->add_option_function<std::uint64_t>(
          "--max-input", [](std::uint64_t bytes) { set_max_input(bytes); },
          "Read at most BYTES from standard input for ARCHIVE '-' (default and most: 4 GiB)")
      ->type_name("BYTES");
}

void add_archive(CLI::App* command, std::string& into, const char* name) {
  command->add_option(name, into, "The archive file to read; '-' reads standard input")
      ->required()
      ->type_name("PATH")
      ->check(non_empty("archive path"));
}

CLI::Option* add_type(CLI::App* command, std::optional<DatFileType>& into) {
  const auto type_validator = [](std::string& text) -> std::string {
    if (from_string(text)) {
      return {};
    }
    if (auto closest = closest_type_name(text)) {
      return "unknown file type '" + text + "'; did you mean '" + *closest + "'?";
    }
    return "unknown file type '" + text + "'; valid types: " + valid_type_names();
  };
  return command
      ->add_option_function<std::string>(
          "--type", [&into](const std::string& text) { into = from_string(text); },
          "Only files of this type (case-insensitive), e.g. Font")
      ->type_name("TYPE")
      ->check(CLI::Validator(type_validator, "", "file type"));
}

void add_jobs(CLI::App* command, unsigned& into) {
  command->add_option("-j,--jobs", into, "Number of threads reading files")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(1U, 1024U));
}

CLI::Option* add_ids(CLI::App* command, std::vector<std::string>& into, const char* description) {
  const auto id_validator = [](std::string& text) -> std::string {
    return parse_file_id(text) ? std::string() : file_id_syntax_error(text);
  };
  return command->add_option("ID", into, description)
      ->type_name("ID")
      ->check(CLI::Validator(id_validator, "", "file id"));
}

CLI::Validator non_empty(std::string what) {
  return CLI::Validator(
      [what](std::string& text) -> std::string {
        return text.empty() ? "the " + what + " is empty" : std::string();
      },
      "", "non-empty");
}

int usage_error(const std::string& command, const std::string& message) {
  report_error(message);
  write_stderr("Run '" + command + " --help' for more information.\n");
  return EXIT_USAGE;
}

}  // namespace marrowvane_dat::cli
