// SPDX-License-Identifier: MIT
// The local web viewer: pages and a read-only JSON API over one or two open archives.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "archive.hpp"

namespace marrowvane_dat::cli {

struct ServerSettings {
  // The address to listen on (an IP address or a host name).
  std::string bind = "127.0.0.1";
  // 0 picks a free port.
  int port = 0;
  // Serve the bytes of entries whose chains reuse another entry's blocks.
  bool allow_shared_blocks = false;
};

// Serves `a` (and `b`, when given, for the diff) over HTTP: GET and HEAD only, to
// requests whose Host names the bound address or localhost. The archives must
// outlive the server. Requests are served in parallel from the archives' const
// calls.
class WebServer {
 public:
  // Indexes the archives for paging and, unless allowed, finds their shared blocks.
  WebServer(const Archive& a, const Archive* b, ServerSettings settings);
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;
  ~WebServer();

  // Starts listening; the port bound, or why it failed.
  [[nodiscard]] std::expected<int, std::string> bind();
  // Serves on the caller's thread until stop(); false when serving failed.
  bool listen();
  // Makes listen() return once the requests in progress are answered; any thread.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// True when `address` is a loopback address or "localhost": only this machine can
// connect to it.
[[nodiscard]] bool is_loopback(std::string_view address) noexcept;

}  // namespace marrowvane_dat::cli
