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

// A case body together with the place where it was named. Converting a body into a
// CaseEntry records, by the compiler, the position of the expression that names it, so
// a registry written as {"name", some_case} points at that line (with GCC, at the
// column where the function's own name starts).
class CaseEntry {
 public:
  // Wraps `body`; `named_at` defaults to where the conversion happens.
  constexpr CaseEntry(  // NOLINT(google-explicit-constructor)
      CaseBody body, std::source_location named_at = std::source_location::current()) noexcept
      : body_(body), named_at_(named_at) {}

  // Runs the body. A body that returns has passed, so this never reports a failure of
  // its own; failures leave as exceptions.
  [[nodiscard]] CaseResult run() const;

  [[nodiscard]] constexpr std::source_location named_at() const noexcept { return named_at_; }

 private:
  CaseBody body_;
  std::source_location named_at_;
};

// One registered case.
struct CaseDescriptor {
  // The path of the case's function with "::" between components; unique in a registry.
  std::string_view name;
  CaseEntry entry;
  // Run only when skipped cases are asked for (--ignored, --include-ignored).
  bool ignore = false;
  // The case passes only if it aborts.
  bool expects_abort = false;
  CaseKind kind = CaseKind::Integration;

  // Where the case's function is named: the line and the columns of its last
  // component, as registered.
  [[nodiscard]] constexpr SourceSpan location() const noexcept {
    const std::source_location where = entry.named_at();
    const std::size_t separator = name.rfind("::");
    const std::size_t own_name =
        separator == std::string_view::npos ? name.size() : name.size() - separator - 2;
    return SourceSpan{where.file_name(), where.line(), where.column(),
                      static_cast<std::uint32_t>(where.column() + own_name)};
  }
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
// one thread is asked for, in which case they run in order on the calling thread.
int run_cases(std::span<const CaseDescriptor> cases, int argc, char** argv);

// As above, with the arguments after the program name already split out.
int run_cases(std::span<const CaseDescriptor> cases, std::span<const std::string_view> args);

}  // namespace case_runner
