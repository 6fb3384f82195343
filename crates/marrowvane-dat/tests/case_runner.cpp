// SPDX-License-Identifier: MIT
// The console case runner: option parsing, case selection, running on worker threads,
// and the per-case and summary report.
#include "case_runner.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace case_runner {

namespace {

enum class Outcome : std::uint8_t {
  Passed,
  Failed,
  Ignored,
};

constexpr std::string_view USAGE_AFTER_PROGRAM =
    " [OPTIONS] [FILTER...]\n"
    "\n"
    "Runs the registered cases whose full name contains any FILTER (all cases when no\n"
    "filter is given).\n"
    "\n"
    "Options:\n"
    "  --exact               a filter must equal the whole case name\n"
    "  --list                list the selected cases without running them\n"
    "  --test-threads N      run cases on N worker threads (also --test-threads=N);\n"
    "                        default: the hardware's concurrency; 1 runs them in order\n"
    "  --ignored             run only the cases marked as skipped\n"
    "  --include-ignored     run skipped cases as well\n"
    "  -h, --help            show this text\n"
    "  --                    every later argument is a filter\n"
    "\n"
    "Exit status: 0 when no selected case failed, 101 when any failed, 2 for a command\n"
    "line that is not understood.\n";

std::string usage(std::string_view program) {
  return "Usage: " + std::string(program) + std::string(USAGE_AFTER_PROGRAM);
}

std::expected<unsigned, std::string> parse_thread_count(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || value == 0) {
    return std::unexpected("--test-threads must be a positive integer, got '" + std::string(text) +
                           "'");
  }
  return value;
}

// Writes `text` in one call so lines from concurrent cases do not interleave.
void write_out(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

struct CaseReport {
  Outcome outcome = Outcome::Passed;
  // For a failed case: the failure message and where it was raised.
  std::string message;
  std::string position;
};

std::string position_text(std::string_view file, std::uint32_t line, std::uint32_t column) {
  return std::string(file) + ":" + detail::integer_text(std::uint64_t{line}) + ":" +
         detail::integer_text(std::uint64_t{column});
}

std::string site_text(const CaseDescriptor& descriptor) {
  const SourceSpan site = descriptor.location();
  return position_text(site.file, site.line, site.start_column);
}

// Runs one case and turns whatever happens into a report. Exceptions end here.
CaseReport run_one(const CaseDescriptor& descriptor) {
  CaseReport report;
  bool aborted = false;
  try {
    if (CaseResult result = descriptor.entry->run(); !result) {
      report.message = std::move(result.error());
      report.position = site_text(descriptor);
      report.outcome = Outcome::Failed;
      return report;
    }
  } catch (const CheckFailure& failure) {
    aborted = true;
    report.message = failure.message();
    const std::source_location where = failure.where();
    report.position = position_text(where.file_name(), where.line(), where.column());
  } catch (const std::exception& error) {
    aborted = true;
    report.message = error.what();
    report.position = site_text(descriptor);
  } catch (...) {
    aborted = true;
    report.message = "the case aborted with an exception of unknown type";
    report.position = site_text(descriptor);
  }
  if (descriptor.expects_abort) {
    if (aborted) {
      return CaseReport{};
    }
    report.message = "the case returned, but it was expected to abort";
    report.position = site_text(descriptor);
    report.outcome = Outcome::Failed;
    return report;
  }
  report.outcome = aborted ? Outcome::Failed : Outcome::Passed;
  return report;
}

std::string_view outcome_text(Outcome outcome) {
  switch (outcome) {
    case Outcome::Passed:
      return "ok";
    case Outcome::Failed:
      return "FAILED";
    case Outcome::Ignored:
      return "ignored";
  }
  return "unknown";
}

void report_line(const CaseDescriptor& descriptor, Outcome outcome) {
  std::string line = "test ";
  line += descriptor.name;
  line += " ... ";
  line += outcome_text(outcome);
  line += '\n';
  write_out(line);
}

int list_cases(std::span<const CaseDescriptor* const> selected) {
  std::string text;
  for (const CaseDescriptor* descriptor : selected) {
    text += descriptor->name;
    text += ": test\n";
  }
  text += '\n';
  text += detail::integer_text(std::uint64_t{selected.size()});
  text += selected.size() == 1 ? " test\n" : " tests\n";
  write_out(text);
  return EXIT_ALL_PASSED;
}

bool runs(const CaseDescriptor& descriptor, IgnoredMode mode) {
  return mode != IgnoredMode::Skip || !descriptor.ignore;
}

std::string seconds_text(std::chrono::steady_clock::duration elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2fs", seconds);
  return buffer;
}

int run_selected(std::span<const CaseDescriptor* const> selected, std::size_t filtered_out,
                 const Options& options) {
  const auto started = std::chrono::steady_clock::now();
  write_out("\nrunning " + detail::integer_text(std::uint64_t{selected.size()}) +
            (selected.size() == 1 ? " test\n" : " tests\n"));

  std::vector<CaseReport> reports(selected.size());
  std::vector<std::size_t> to_run;
  for (std::size_t i = 0; i < selected.size(); ++i) {
    if (runs(*selected[i], options.ignored)) {
      to_run.push_back(i);
    } else {
      reports[i].outcome = Outcome::Ignored;
      report_line(*selected[i], Outcome::Ignored);
    }
  }

  unsigned threads = options.threads.value_or(std::thread::hardware_concurrency());
  threads = std::clamp(threads, 1U, static_cast<unsigned>(std::max<std::size_t>(to_run.size(), 1)));

  if (threads == 1) {
    for (const std::size_t i : to_run) {
      reports[i] = run_one(*selected[i]);
      report_line(*selected[i], reports[i].outcome);
    }
  } else {
    std::atomic<std::size_t> next{0};
    std::mutex output;
    auto worker = [&] {
      for (std::size_t slot = next++; slot < to_run.size(); slot = next++) {
        const std::size_t i = to_run[slot];
        CaseReport report = run_one(*selected[i]);
        const std::scoped_lock lock(output);
        report_line(*selected[i], report.outcome);
        reports[i] = std::move(report);
      }
    };
    std::vector<std::jthread> pool;
    pool.reserve(threads);
    for (unsigned t = 0; t < threads; ++t) {
      pool.emplace_back(worker);
    }
  }

  std::size_t passed = 0;
  std::size_t failed = 0;
  std::size_t ignored = 0;
  std::string failures;
  std::string failed_names;
  for (std::size_t i = 0; i < selected.size(); ++i) {
    switch (reports[i].outcome) {
      case Outcome::Passed:
        ++passed;
        break;
      case Outcome::Ignored:
        ++ignored;
        break;
      case Outcome::Failed:
        ++failed;
        failures += "\n---- ";
        failures += selected[i]->name;
        failures += " failed at ";
        failures += reports[i].position;
        failures += " ----\n";
        failures += reports[i].message;
        failures += '\n';
        failed_names += "    ";
        failed_names += selected[i]->name;
        failed_names += '\n';
        break;
    }
  }

  std::string summary;
  if (failed > 0) {
    summary += "\nfailures:\n" + failures + "\nfailures:\n" + failed_names;
  }
  summary += "\ntest result: ";
  summary += failed > 0 ? "FAILED" : "ok";
  summary += ". " + detail::integer_text(std::uint64_t{passed}) + " passed; " +
             detail::integer_text(std::uint64_t{failed}) + " failed; " +
             detail::integer_text(std::uint64_t{ignored}) + " ignored; " +
             detail::integer_text(std::uint64_t{filtered_out}) + " filtered out; finished in " +
             seconds_text(std::chrono::steady_clock::now() - started) + "\n\n";
  write_out(summary);
  return failed > 0 ? EXIT_SOME_FAILED : EXIT_ALL_PASSED;
}

}  // namespace

std::expected<Options, std::string> parse_options(std::span<const std::string_view> args) {
  Options options;
  constexpr std::string_view THREADS = "--test-threads";
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--") {
      for (++i; i < args.size(); ++i) {
        options.filters.emplace_back(args[i]);
      }
      break;
    }
    if (arg == "--exact") {
      options.exact = true;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--ignored") {
      options.ignored = IgnoredMode::Only;
    } else if (arg == "--include-ignored") {
      options.ignored = IgnoredMode::Include;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == THREADS) {
      if (i + 1 == args.size()) {
        return std::unexpected("--test-threads needs a value");
      }
      auto count = parse_thread_count(args[++i]);
      if (!count) {
        return std::unexpected(std::move(count.error()));
      }
      options.threads = *count;
    } else if (arg.starts_with(THREADS) && arg.size() > THREADS.size() &&
               arg[THREADS.size()] == '=') {
      auto count = parse_thread_count(arg.substr(THREADS.size() + 1));
      if (!count) {
        return std::unexpected(std::move(count.error()));
      }
      options.threads = *count;
    } else if (arg.starts_with('-')) {
      return std::unexpected("unknown option '" + std::string(arg) + "'");
    } else {
      options.filters.emplace_back(arg);
    }
  }
  return options;
}

bool name_selected(std::string_view name, const Options& options) noexcept {
  if (options.filters.empty()) {
    return true;
  }
  return std::ranges::any_of(options.filters, [&](const std::string& filter) {
    return options.exact ? name == filter : name.find(filter) != std::string_view::npos;
  });
}

int run_cases(std::span<const CaseDescriptor> cases, std::string_view program,
              std::span<const std::string_view> args) {
  auto options = parse_options(args);
  if (!options) {
    const std::string text = "error: " + options.error() + "\n\n" + usage(program);
    std::fwrite(text.data(), 1, text.size(), stderr);
    return EXIT_USAGE;
  }
  if (options->help) {
    write_out(usage(program));
    return EXIT_ALL_PASSED;
  }

  std::vector<const CaseDescriptor*> selected;
  for (const CaseDescriptor& descriptor : cases) {
    const bool wanted_by_flag = options->ignored != IgnoredMode::Only || descriptor.ignore;
    if (wanted_by_flag && name_selected(descriptor.name, *options)) {
      selected.push_back(&descriptor);
    }
  }
  if (options->list) {
    return list_cases(selected);
  }
  return run_selected(selected, cases.size() - selected.size(), *options);
}

std::string_view program_name(std::string_view argv0) noexcept {
  // Windows paths separate with either slash, and name the program with ".exe".
  const std::size_t slash = argv0.find_last_of("/\\");
  std::string_view base = slash == std::string_view::npos ? argv0 : argv0.substr(slash + 1);
  if (base.ends_with(".exe")) {
    base.remove_suffix(4);
  }
  return base.empty() ? "font_parity" : base;
}

int run_cases(std::span<const CaseDescriptor> cases, int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) {
    args.emplace_back(argv[i]);
  }
  return run_cases(cases, program_name(argc > 0 ? argv[0] : ""), args);
}

}  // namespace case_runner
