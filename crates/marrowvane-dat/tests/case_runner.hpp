// SPDX-License-Identifier: MIT
// A small console harness for named check cases, and the check helpers those cases use.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "checks.hpp"

namespace case_runner {

// What a case exercises: its own code, or a library used from outside. Descriptive;
// the runner treats both kinds alike.
enum class CaseKind : std::uint8_t {
  Unit,
  Integration,
};

// A case body: takes nothing, passes by returning, fails by throwing (see fail()).
using CaseBody = void (*)();

// What an entry hands back to the runner: pass, or fail with a message.
using CaseResult = std::expected<void, std::string>;

// A span of source text: a file relative to the checkout root, a line and the
// columns [start_column, end_column), counted from 1.
struct SourceSpan {
  std::string_view file;
  std::uint32_t line = 0;
  std::uint32_t start_column = 0;
  std::uint32_t end_column = 0;
};

// A case body together with the place where its function is defined. Made by
// MARROWVANE_DAT_CASE, which records that place by the compiler; a case is never
// given a position by hand.
class CaseEntry {
 public:
  constexpr CaseEntry(CaseBody body, std::string_view function_name,
                      std::source_location defined_at) noexcept
      : body_(body), function_name_(function_name), defined_at_(defined_at) {}

  // Runs the body. A body that returns has passed, so this never reports a failure of
  // its own; failures leave as exceptions.
  [[nodiscard]] CaseResult run() const {
    body_();
    return {};
  }

  // Where the function's definition starts: the MARROWVANE_DAT_CASE that opens it.
  [[nodiscard]] constexpr std::source_location defined_at() const noexcept { return defined_at_; }

  // The function's own name and the columns it takes on the line of defined_at().
  [[nodiscard]] constexpr std::string_view function_name() const noexcept { return function_name_; }
  [[nodiscard]] constexpr SourceSpan name_span() const noexcept;

 private:
  CaseBody body_;
  std::string_view function_name_;
  std::source_location defined_at_;
};

// What stands before a case's name on its definition line. GCC places a location
// taken inside a macro at the macro's first character, so the name starts this many
// columns further on.
inline constexpr std::string_view CASE_MACRO_PREFIX = "MARROWVANE_DAT_CASE(";

constexpr SourceSpan CaseEntry::name_span() const noexcept {
  const auto start = static_cast<std::uint32_t>(defined_at_.column() + CASE_MACRO_PREFIX.size());
  return SourceSpan{defined_at_.file_name(), defined_at_.line(), start,
                    static_cast<std::uint32_t>(start + function_name_.size())};
}

// Defines the case function `name` and, beside it, `name##_entry`, the CaseEntry that
// registries point at. Write it where the function's definition would start:
//   MARROWVANE_DAT_CASE(lookup_known_commands) { ... }
// A header may declare the entry as `extern const case_runner::CaseEntry name_entry;`.
#define MARROWVANE_DAT_CASE(name)                                                                 \
  void name();                                                                                    \
  extern const ::case_runner::CaseEntry name##_entry;                                             \
  constexpr ::case_runner::CaseEntry name##_entry{&name, #name, std::source_location::current()}; \
  void name()

// One registered case.
struct CaseDescriptor {
  // The path of the case's function with "::" between components; unique in a registry.
  std::string_view name;
  // The case's function and where it is defined; never null in a registry.
  const CaseEntry* entry = nullptr;
  // Run only when skipped cases are asked for (--ignored, --include-ignored).
  bool ignore = false;
  // The case passes only if it aborts.
  bool expects_abort = false;
  CaseKind kind = CaseKind::Integration;

  // Where the case's function is defined: the line and the columns of its name.
  [[nodiscard]] constexpr SourceSpan location() const noexcept { return entry->name_span(); }
};

// The exit status when every selected case passed (or was ignored).
inline constexpr int EXIT_ALL_PASSED = 0;
// The exit status when at least one selected case failed.
inline constexpr int EXIT_SOME_FAILED = 101;
// The exit status for a command line the runner does not understand.
inline constexpr int EXIT_USAGE = 2;

// Which cases run with respect to their skip flag.
enum class IgnoredMode : std::uint8_t {
  Skip,     // report skipped cases as ignored
  Only,     // run only the skipped cases
  Include,  // run all cases
};

// The runner's parsed command line.
struct Options {
  std::vector<std::string> filters;
  bool exact = false;
  bool list = false;
  bool help = false;
  IgnoredMode ignored = IgnoredMode::Skip;
  // Worker threads; unset means the hardware's concurrency.
  std::optional<unsigned> threads;
};

// Parses the arguments after the program name. Fails with a one-line reason for an
// unknown option or a bad thread count.
[[nodiscard]] std::expected<Options, std::string> parse_options(
    std::span<const std::string_view> args);

// True when `name` is selected by `options`' filters: no filters, or any filter is
// contained in the name (equal to it under --exact).
[[nodiscard]] bool name_selected(std::string_view name, const Options& options) noexcept;

// Runs `cases` as the command line asks: prints one line per selected case and a
// summary to standard output, and returns EXIT_ALL_PASSED, EXIT_SOME_FAILED or
// EXIT_USAGE. Cases' own output is not captured. Runs cases on worker threads unless
// one thread is asked for, in which case they run in order on the calling thread. The
// help names the program by the base name of argv[0].
int run_cases(std::span<const CaseDescriptor> cases, int argc, char** argv);

// As above, with the program's name for the help and the arguments after it split out.
int run_cases(std::span<const CaseDescriptor> cases, std::string_view program,
              std::span<const std::string_view> args);

// The base name of a program path as argv[0] gives it ("/x/bin/font_parity" gives
// "font_parity"); "font_parity" when the path is empty.
[[nodiscard]] std::string_view program_name(std::string_view argv0) noexcept;

}  // namespace case_runner
