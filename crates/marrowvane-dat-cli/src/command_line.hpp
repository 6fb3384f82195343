// SPDX-License-Identifier: MIT
// The tool's command line: exit statuses, and how each command joins the parser with
// its own options and the function that runs it once the line is understood.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "marrowvane_dat/file_type/file_type.hpp"

namespace marrowvane_dat::cli {

// Success.
inline constexpr int EXIT_OK = 0;
// Something failed (an unreadable archive or file, a failed check, a write error,
// standard output closed early).
inline constexpr int EXIT_FAILED = 1;
// The command line was not understood.
inline constexpr int EXIT_USAGE = 2;
// diff: the archives differ.
inline constexpr int EXIT_DIFFERENT = 1;
// diff: something went wrong, so whether the archives differ is unknown.
inline constexpr int EXIT_TROUBLE = 2;

// The help footer of the commands that take file ids.
inline constexpr std::string_view ID_FOOTER =
    "ID is hexadecimal as the tool prints it (40000001 or 0x40000001); decimal as d:1073741825.";

// How much a command says besides its data and its errors.
enum class Verbosity : std::uint8_t {
  Quiet,    // errors only: no progress bar, summary or report
  Normal,   // the summary or report
  Verbose,  // also one line per file (extract, verify)
};

// Runs a command with its parsed options; returns the exit status, with whatever
// went wrong already reported on standard error.
using CommandRun = std::function<int(Verbosity)>;

// The parser of the whole tool and the commands registered with it.
class CommandLine {
 public:
  // The tool's parser with every command registered, in the order its help lists them.
  CommandLine();

  // Adds the command `name` with its own Options, run as runner(options, verbosity) when
  // chosen; returns its parser and the options that its arguments are read into.
  template <class Options>
  std::pair<CLI::App*, Options*> add(const std::string& name, const std::string& description,
                                     int (*runner)(const Options&, Verbosity)) {
    auto options = std::make_shared<Options>();
    return {
        add(name, description, [=](Verbosity verbosity) { return runner(*options, verbosity); }),
        options.get()};
  }
  // Parses `argv`, then runs the chosen command or explains what was not understood.
  int run(int argc, char** argv);

 private:
  struct Command {
    CLI::App* app;
    CommandRun run;
  };
  CLI::App* add(const std::string& name, const std::string& description, CommandRun runner);
  int help() const;

  CLI::App app_;
  std::vector<Command> commands_;
  std::string help_topic_;
  bool quiet_ = false;
  bool verbose_ = false;
};

// --max-input, the cap on an archive read from standard input.
void add_max_input(CLI::App* command);
// The required archive argument `name`, read into `into`.
void add_archive(CLI::App* command, std::string& into, const char* name);
// --type, read into `into` as the type it names.
CLI::Option* add_type(CLI::App* command, std::optional<DatFileType>& into);
// -j/--jobs, read into `into`.
void add_jobs(CLI::App* command, unsigned& into);
// The ID arguments, checked to be file ids and kept as typed.
CLI::Option* add_ids(CLI::App* command, std::vector<std::string>& into, const char* description);
// A check that the argument is not empty, naming it as `what`.
CLI::Validator non_empty(std::string what);
// One diagnostic line, a pointer to `command`'s help, and EXIT_USAGE.
int usage_error(const std::string& command, const std::string& message);

// info: prints every header field, the archive kind and the number of entries.
void register_info(CommandLine& cli);
// ls: prints one row (or JSON object) per directory entry in id order.
void register_ls(CommandLine& cli);
// cat: writes the files' bytes (decompressed unless --stored) to standard output in order.
void register_cat(CommandLine& cli);
// extract: writes the chosen files as OUTDIR/<Type>/<ID>.bin, never through a symbolic link.
void register_extract(CommandLine& cli);
// font: prints one file parsed as a Font.
void register_font(CommandLine& cli);
// verify: reads every file, checks sizes and fonts, and prints a report.
void register_verify(CommandLine& cli);
// diff: lists the ids added, removed and changed; 0 identical, 1 different, 2 trouble.
void register_diff(CommandLine& cli);
// stats: prints file count, stored and decompressed bytes and the ratio per type.
void register_stats(CommandLine& cli);
// serve: the local web viewer; registers nothing in a build without the HTTP library.
void register_serve(CommandLine& cli);
// mount: serves the archive read-only through FUSE as extract's tree (Linux, libfuse3);
// registers nothing in a build without it.
void register_mount(CommandLine& cli);

}  // namespace marrowvane_dat::cli
