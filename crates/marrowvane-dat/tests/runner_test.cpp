// SPDX-License-Identifier: MIT
// Tests of the console case runner: selection, abort capture, exit status and the
// check helpers' failure texts.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "case_runner.hpp"
#include "common/motion_command_names.hpp"

namespace {

using case_runner::CaseDescriptor;
using case_runner::CheckFailure;
using case_runner::IgnoredMode;
using Args = std::vector<std::string_view>;

std::atomic<int> passing_runs{0};
std::atomic<int> ignored_runs{0};

MARROWVANE_DAT_CASE(passing_case) {
  ++passing_runs;
}
MARROWVANE_DAT_CASE(failing_case) {
  case_runner::fail("the widget broke");
}
MARROWVANE_DAT_CASE(throwing_case) {
  throw std::runtime_error("escaped the case");
}
MARROWVANE_DAT_CASE(unequal_case) {
  case_runner::assert_eq(1 + 1, 3, "arithmetic");
}
MARROWVANE_DAT_CASE(returning_case) {}
MARROWVANE_DAT_CASE(ignored_case) {
  ++ignored_runs;
}

constexpr std::array<CaseDescriptor, 6> CASES{{
    {.name = "suite::aborts_as_expected", .entry = &failing_case_entry, .expects_abort = true},
    {.name = "suite::escapes", .entry = &throwing_case_entry},
    {.name = "suite::fails", .entry = &failing_case_entry},
    {.name = "suite::passes", .entry = &passing_case_entry},
    {.name = "suite::skipped", .entry = &ignored_case_entry, .ignore = true},
    {.name = "suite::unequal", .entry = &unequal_case_entry},
}};

struct RunOutput {
  int status;
  std::string text;
};

RunOutput run(std::span<const CaseDescriptor> cases, Args args) {
  testing::internal::CaptureStdout();
  const int status = case_runner::run_cases(cases, "runner", args);
  return RunOutput{status, testing::internal::GetCapturedStdout()};
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

TEST(CaseRunnerOptions, ThreadCountTakesBothSpellings) {
  const Args joined = {"--test-threads=3"};
  const Args split = {"--test-threads", "5", "--exact"};
  auto a = case_runner::parse_options(joined);
  auto b = case_runner::parse_options(split);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->threads, 3U);
  EXPECT_EQ(b->threads, 5U);
  EXPECT_TRUE(b->exact);
  EXPECT_TRUE(b->filters.empty());
}

TEST(CaseRunnerOptions, BadThreadCountsAndUnknownOptionsAreRejected) {
  for (const Args& args :
       {Args{"--test-threads=0"}, Args{"--test-threads=two"}, Args{"--test-threads"},
        Args{"--test-threads=4x"}, Args{"--nocolor"}, Args{"-x"}, Args{"--test-threadsx=1"}}) {
    EXPECT_FALSE(case_runner::parse_options(args)) << args.front();
  }
}

TEST(CaseRunnerOptions, DoubleDashMakesEverythingAfterItAFilter) {
  const Args args = {"abc", "--", "--list", "-q"};
  auto options = case_runner::parse_options(args);
  ASSERT_TRUE(options);
  EXPECT_FALSE(options->list);
  EXPECT_EQ(options->filters, (std::vector<std::string>{"abc", "--list", "-q"}));
}

TEST(CaseRunnerOptions, IgnoredModes) {
  const Args only = {"--ignored"};
  const Args include = {"--include-ignored"};
  EXPECT_EQ(case_runner::parse_options(only)->ignored, IgnoredMode::Only);
  EXPECT_EQ(case_runner::parse_options(include)->ignored, IgnoredMode::Include);
  EXPECT_EQ(case_runner::parse_options(Args{})->ignored, IgnoredMode::Skip);
}

TEST(CaseRunnerSelection, AnyFilterContainedInTheNameSelects) {
  case_runner::Options options;
  EXPECT_TRUE(case_runner::name_selected("a::b", options));
  options.filters = {"zzz", "::b"};
  EXPECT_TRUE(case_runner::name_selected("a::b", options));
  EXPECT_FALSE(case_runner::name_selected("a::c", options));
  options.exact = true;
  EXPECT_FALSE(case_runner::name_selected("a::b", options));
  options.filters = {"a::b"};
  EXPECT_TRUE(case_runner::name_selected("a::b", options));
  EXPECT_FALSE(case_runner::name_selected("a::bc", options));
}

TEST(CaseRunnerRun, AllPassingIsStatusZero) {
  const Args args = {"passes", "--test-threads=1"};
  const int before = passing_runs;
  const RunOutput out = run(CASES, args);
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(passing_runs - before, 1);
  EXPECT_TRUE(contains(out.text, "test suite::passes ... ok\n")) << out.text;
  EXPECT_TRUE(contains(out.text, "test result: ok. 1 passed; 0 failed; 0 ignored; 5 filtered out"))
      << out.text;
}

TEST(CaseRunnerRun, AbortsAreReportedAndOtherCasesStillRun) {
  const int before = passing_runs;
  const RunOutput out = run(CASES, Args{"--test-threads=1"});
  EXPECT_EQ(out.status, 101);
  EXPECT_EQ(passing_runs - before, 1);
  const std::string& text = out.text;
  EXPECT_TRUE(contains(text, "test suite::aborts_as_expected ... ok\n")) << text;
  EXPECT_TRUE(contains(text, "test suite::escapes ... FAILED\n")) << text;
  EXPECT_TRUE(contains(text, "test suite::fails ... FAILED\n")) << text;
  EXPECT_TRUE(contains(text, "test suite::skipped ... ignored\n")) << text;
  EXPECT_TRUE(contains(text, "test suite::unequal ... FAILED\n")) << text;
  // A failed check is reported at the check, relative to the checkout root.
  EXPECT_TRUE(
      contains(text, "---- suite::fails failed at crates/marrowvane-dat/tests/runner_test.cpp:"))
      << text;
  EXPECT_TRUE(contains(text, "----\nthe widget broke\n")) << text;
  // Any other exception is reported with its text, where the case's function is defined.
  const case_runner::SourceSpan escaped = throwing_case_entry.name_span();
  EXPECT_TRUE(contains(text, "---- suite::escapes failed at " + std::string(escaped.file) + ":" +
                                 std::to_string(escaped.line) + ":" +
                                 std::to_string(escaped.start_column) +
                                 " ----\nescaped the case\n"))
      << text;
  EXPECT_TRUE(
      contains(text, "assertion `left == right` failed: arithmetic\n  left: 2\n right: 3\n"))
      << text;
  EXPECT_TRUE(
      contains(text, "failures:\n    suite::escapes\n    suite::fails\n    suite::unequal\n"))
      << text;
  EXPECT_TRUE(contains(text, "test result: FAILED. 2 passed; 3 failed; 1 ignored; 0 filtered out"))
      << text;
}

TEST(CaseRunnerRun, ExpectedAbortThatReturnsFails) {
  constexpr std::array<CaseDescriptor, 1> cases{{
      {.name = "returns", .entry = &returning_case_entry, .expects_abort = true},
  }};
  const RunOutput out = run(cases, Args{});
  EXPECT_EQ(out.status, 101);
  EXPECT_TRUE(contains(out.text, "test returns ... FAILED\n")) << out.text;
  EXPECT_TRUE(contains(out.text, "expected to abort")) << out.text;
}

TEST(CaseRunnerRun, IgnoredCasesRunOnlyWhenAskedFor) {
  const int before = ignored_runs;
  const RunOutput skipped = run(CASES, Args{"skipped"});
  EXPECT_EQ(skipped.status, 0);
  EXPECT_EQ(ignored_runs - before, 0);

  const RunOutput only = run(CASES, Args{"--ignored"});
  EXPECT_EQ(only.status, 0);
  EXPECT_EQ(ignored_runs - before, 1);
  EXPECT_TRUE(contains(only.text, "test suite::skipped ... ok\n")) << only.text;
  EXPECT_TRUE(contains(only.text, "1 passed; 0 failed; 0 ignored; 5 filtered out")) << only.text;

  const RunOutput included = run(CASES, Args{"--include-ignored", "passes", "skipped"});
  EXPECT_EQ(included.status, 0);
  EXPECT_TRUE(contains(included.text, "2 passed; 0 failed; 0 ignored; 4 filtered out"))
      << included.text;
}

TEST(CaseRunnerRun, EveryCaseRunsOnceOnManyThreads) {
  std::vector<CaseDescriptor> many;
  std::vector<std::string> names;
  names.reserve(40);
  for (int i = 0; i < 40; ++i) {
    names.push_back("many::" + std::to_string(i));
  }
  for (const std::string& name : names) {
    many.push_back({.name = name, .entry = &passing_case_entry});
  }
  const int before = passing_runs;
  const RunOutput out = run(many, Args{"--test-threads=8"});
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(passing_runs - before, 40);
  for (const std::string& name : names) {
    EXPECT_TRUE(contains(out.text, "test " + name + " ... ok\n")) << name;
  }
}

TEST(CaseRunnerRun, ListPrintsSelectedNamesAndRunsNothing) {
  const int before = passing_runs;
  const RunOutput out = run(CASES, Args{"--list", "pass", "fails"});
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(passing_runs - before, 0);
  EXPECT_EQ(out.text, "suite::fails: test\nsuite::passes: test\n\n2 tests\n");
}

TEST(CaseRunnerRun, UnknownOptionIsAUsageErrorAndRunsNothing) {
  const int before = passing_runs;
  const RunOutput out = run(CASES, Args{"--frobnicate"});
  EXPECT_EQ(out.status, case_runner::EXIT_USAGE);
  EXPECT_EQ(passing_runs - before, 0);
}

TEST(CaseRunnerRun, NothingSelectedPasses) {
  const RunOutput out = run(CASES, Args{"--exact", "passes"});
  EXPECT_EQ(out.status, 0);
  EXPECT_TRUE(contains(out.text, "running 0 tests\n")) << out.text;
  EXPECT_TRUE(contains(out.text, "0 passed; 0 failed; 0 ignored; 6 filtered out")) << out.text;
}

// The line `location` names, read from the checkout.
std::string source_line(const case_runner::SourceSpan& location) {
  std::ifstream in(std::filesystem::path(MARROWVANE_DAT_SOURCE_ROOT) / location.file);
  std::string line;
  for (std::uint32_t i = 0; i < location.line && std::getline(in, line); ++i) {
  }
  return line;
}

// The text between the span's columns on its line.
std::string spanned_text(const case_runner::SourceSpan& location) {
  const std::string line = source_line(location);
  if (location.start_column == 0 || location.end_column > line.size() + 1) {
    return "<span outside line " + std::to_string(location.line) + ": " + line + ">";
  }
  return line.substr(location.start_column - 1, location.end_column - location.start_column);
}

TEST(CaseDescriptor, LocationIsWhereTheCaseFunctionIsDefinedNotWhereItIsRegistered) {
  const CaseDescriptor registered_here{.name = "outer::inner::passing_case",
                                       .entry = &passing_case_entry};
  const case_runner::SourceSpan site = registered_here.location();
  EXPECT_EQ(site.file, "crates/marrowvane-dat/tests/runner_test.cpp");
  EXPECT_EQ(spanned_text(site), "passing_case");
  EXPECT_EQ(source_line(site).rfind("MARROWVANE_DAT_CASE(passing_case) {", 0), 0U);
}

TEST(CaseDescriptor, MotionCasesPointIntoTheirOwnSourceFile) {
  namespace tests = common::motion_command_names::tests;
  for (const case_runner::CaseEntry* entry :
       {&tests::classify_known_commands_entry, &tests::lookup_known_commands_entry,
        &tests::table_is_strictly_sorted_for_binary_search_entry}) {
    const case_runner::SourceSpan site = entry->name_span();
    EXPECT_EQ(site.file, "crates/marrowvane-dat/tests/common/motion_command_names.cpp");
    EXPECT_EQ(spanned_text(site), entry->function_name());
  }
}

TEST(CaseRunnerRun, HelpNamesTheProgram) {
  const RunOutput help = run(CASES, Args{"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.text.rfind("Usage: runner [OPTIONS] [FILTER...]\n", 0), 0U) << help.text;
  EXPECT_EQ(case_runner::program_name("/usr/lib/x/font_parity"), "font_parity");
  EXPECT_EQ(case_runner::program_name("./font_parity"), "font_parity");
  EXPECT_EQ(case_runner::program_name("font_parity"), "font_parity");
}

TEST(CheckHelpers, FailRecordsTheCallersPosition) {
  try {
    const std::source_location here = std::source_location::current();
    case_runner::fail("stop");
    FAIL() << "fail() returned; called after line " << here.line();
  } catch (const CheckFailure& failure) {
    EXPECT_EQ(failure.message(), "stop");
    EXPECT_STREQ(failure.where().file_name(), "crates/marrowvane-dat/tests/runner_test.cpp");
  }
}

std::string equality_failure(auto check) {
  try {
    check();
  } catch (const CheckFailure& failure) {
    return failure.message();
  }
  return "<no failure>";
}

TEST(CheckHelpers, EqualityFailureHasThreeLines) {
  EXPECT_EQ(equality_failure([] { case_runner::assert_eq(7U, 8U); }),
            "assertion `left == right` failed\n  left: 7\n right: 8");
  EXPECT_EQ(equality_failure([] { case_runner::assert_eq(-1, 4294967295U, "Font 0x40000001"); }),
            "assertion `left == right` failed: Font 0x40000001\n  left: -1\n right: 4294967295");
  EXPECT_EQ(equality_failure([] {
              case_runner::assert_eq(std::uint64_t{146}, std::size_t{150}, "size mismatch");
            }),
            "assertion `left == right` failed: size mismatch\n  left: 146\n right: 150");
}

TEST(CheckHelpers, EqualValuesPass) {
  EXPECT_NO_THROW(case_runner::assert_eq(std::uint32_t{5}, std::uint64_t{5}));
  EXPECT_NO_THROW(
      case_runner::assert_eq(std::optional<std::string_view>(), std::optional<std::string_view>()));
  // Compared as values, not as bit patterns.
  EXPECT_THROW(case_runner::assert_eq(-1, std::numeric_limits<std::uint32_t>::max()), CheckFailure);
}

TEST(CheckHelpers, OptionalTextPrintsAsSomeOrNone) {
  using Name = std::optional<std::string_view>;
  EXPECT_EQ(equality_failure([] { case_runner::assert_eq(Name("Off"), Name()); }),
            "assertion `left == right` failed\n  left: Some(\"Off\")\n right: None");
  EXPECT_EQ(equality_failure([] { case_runner::assert_eq(Name(), Name("On")); }),
            "assertion `left == right` failed\n  left: None\n right: Some(\"On\")");
}

TEST(CheckHelpers, TextIsQuotedWithEscapes) {
  EXPECT_EQ(case_runner::quoted("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u{1}\"");
  EXPECT_EQ(case_runner::format_value(std::optional<std::string_view>("x\"y")), "Some(\"x\\\"y\")");
}

}  // namespace
