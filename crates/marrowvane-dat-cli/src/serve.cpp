// SPDX-License-Identifier: MIT
// The serve command: the local web viewer on one archive, or two to compare.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "archive.hpp"
#include "command_line.hpp"
#include "interrupt.hpp"
#include "standard_output.hpp"
#include "table.hpp"
#include "web_server.hpp"

namespace marrowvane_dat::cli {
namespace {

constexpr int DEFAULT_PORT = 8086;

struct ServeOptions {
  std::string archive_a;
  std::string archive_b;
  int port = DEFAULT_PORT;
  std::string bind = "127.0.0.1";
  bool allow_shared_blocks = false;
};

std::string url_host(const std::string& bind) {
  // An IPv6 address needs brackets in a URL; 0.0.0.0 and :: are reachable locally.
  if (bind == "0.0.0.0" || bind == "::" || bind == "[::]") {
    return "127.0.0.1";
  }
  if (bind.find(':') != std::string::npos && !bind.starts_with('[')) {
    return "[" + bind + "]";
  }
  return bind;
}

int run_serve(const ServeOptions& options, Verbosity verbosity) {
  if (options.archive_a == STDIN_ARCHIVE && options.archive_b == STDIN_ARCHIVE) {
    return usage_error(std::string(TOOL_NAME) + " serve",
                       "only one archive can be read from standard input");
  }
  const auto a = open_archive(options.archive_a);
  if (!a) {
    return EXIT_FAILED;
  }
  std::optional<Archive> b;
  if (!options.archive_b.empty()) {
    b = open_archive(options.archive_b);
    if (!b) {
      return EXIT_FAILED;
    }
  }
  if (!is_loopback(options.bind)) {
    report_error("warning: listening on " + options.bind +
                 ", not only this machine: anyone who can reach it can read the archive");
  }
  // Signals become a flag before the port opens, so Ctrl-C always ends in stop().
  const InterruptGuard guard;
  WebServer server(*a, b ? &*b : nullptr,
                   ServerSettings{options.bind, options.port, options.allow_shared_blocks});
  const auto port = server.bind();
  if (!port) {
    report_error(port.error());
    return EXIT_FAILED;
  }
  const std::string url =
      "http://" + url_host(options.bind) + ":" + decimal(std::int64_t{*port}) + "/";
  if (!write_stdout("Serving " + a->name + (b ? " and " + b->name : "") + " at " + url + "\n")) {
    return EXIT_FAILED;
  }
  if (verbosity != Verbosity::Quiet) {
    write_stderr("Press Ctrl-C to stop.\n");
  }
  std::atomic<bool> served = true;
  std::thread listener([&] { served = server.listen(); });
  while (!InterruptGuard::flag().load(std::memory_order_relaxed)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!served) {
      break;
    }
  }
  server.stop();
  listener.join();
  if (!served) {
    report_error("the server stopped: listening on " + url + " failed");
    return EXIT_FAILED;
  }
  if (verbosity != Verbosity::Quiet) {
    write_stderr("Stopped.\n");
  }
  return EXIT_OK;
}

}  // namespace

void register_serve(CommandLine& cli) {
  const auto [serve, options] = cli.add(
      "serve", "Browse the archive (and compare it with a second one) in a web browser", run_serve);
  add_archive(serve, options->archive_a, "ARCHIVE");
  serve
      ->add_option("ARCHIVE_B", options->archive_b,
                   "A second archive, compared with the first on the diff page")
      ->type_name("PATH")
      ->check(non_empty("archive path"));
  serve->add_option("--port", options->port, "The port to listen on; 0 picks a free one")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  serve
      ->add_option("--bind", options->bind,
                   "The address to listen on; anything but loopback is warned about")
      ->type_name("ADDR")
      ->capture_default_str()
      ->check(non_empty("address"));
  serve->add_flag("--allow-shared-blocks", options->allow_shared_blocks,
                  "Serve the bytes of files whose blocks belong to a file of lower id");
  serve->footer(
      "Prints the URL and serves until Ctrl-C. Pages: the overview (/), the entries (/entries), "
      "a file (/file?id=ID) and, with ARCHIVE_B, the diff (/diff).\n"
      "The JSON API answers with the documents --json prints: /api/info, /api/stats, "
      "/api/font/ID, /api/diff, /api/ls?offset=N&limit=N&type=TYPE&lo=ID&hi=ID&prefix=HEX"
      "&sort=id|size&order=asc|desc (an object with total and entries, at most 1000 a page), "
      "and /api/file/ID for the decompressed bytes (stored=1 for the stored ones, offset=N"
      "&length=N for at most 1 MiB of them). archive=b asks about ARCHIVE_B.\n"
      "Read-only (GET and HEAD). Only requests whose Host is localhost or the bound address "
      "are answered (with --bind 0.0.0.0 or ::, any address literal), which keeps web pages "
      "from reaching the server through a name they control. Files whose blocks belong to a "
      "file of lower id are refused unless --allow-shared-blocks is given.");
}

}  // namespace marrowvane_dat::cli
