// SPDX-License-Identifier: MIT
// The viewer's routes: request checks (method, Host, parameters), the JSON API built
// from the commands' own documents, file bytes, and the embedded pages.
#include "web_server.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include <httplib.h>

#include "archive_diff.hpp"
#include "args.hpp"
#include "documents.hpp"
#include "entry_index.hpp"
#include "shared_blocks.hpp"
#include "table.hpp"
#include "web_assets.hpp"

namespace marrowvane_dat::cli {
namespace {

// The most entries one /api/ls page holds.
constexpr std::size_t MAX_PAGE = 1000;
// The most bytes one ranged /api/file answer holds (a hex dump page is far less).
constexpr std::size_t MAX_SLICE = std::size_t{1} << 20;
// Request parameters and values quoted back in errors are cut to this length.
constexpr std::size_t MAX_QUOTED = 40;

// Invalid UTF-8 (from a request or a path) becomes U+FFFD instead of an exception.
std::string dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void send_json(httplib::Response& res, int status, const Json& json) {
  res.status = status;
  res.set_content(dump(json), "application/json");
}

// A request the server cannot answer as asked: the status and a sentence for people.
struct ApiError {
  int status;
  std::string message;
};

void send_error(httplib::Response& res, const ApiError& error) {
  send_json(res, error.status, Json{{"error", error.message}});
}

std::string quote_value(std::string_view text) {
  if (text.size() > MAX_QUOTED) {
    return "'" + std::string(text.substr(0, MAX_QUOTED)) + "...'";
  }
  return "'" + std::string(text) + "'";
}

// A decimal count from 0 to `most`, or nothing when the parameter is absent.
std::expected<std::optional<std::size_t>, ApiError> count_parameter(const httplib::Request& req,
                                                                    const char* name,
                                                                    std::size_t most) {
  if (!req.has_param(name)) {
    return std::nullopt;
  }
  const std::string text = req.get_param_value(name);
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    return std::unexpected(
        ApiError{400, std::string(name) + " must be a decimal number, not " + quote_value(text)});
  }
  if (value > most) {
    return std::unexpected(
        ApiError{400, std::string(name) + " must be at most " + decimal(std::uint64_t{most})});
  }
  return value;
}

std::expected<std::uint32_t, ApiError> id_value(std::string_view text, std::string_view what) {
  if (auto id = parse_file_id(text)) {
    return *id;
  }
  const std::string shown = text.size() > MAX_QUOTED ? quote_value(text) : std::string(text);
  return std::unexpected(ApiError{400, std::string(what) + ": " + file_id_syntax_error(shown)});
}

// A flag parameter: absent, "0" or "1".
std::expected<bool, ApiError> flag_parameter(const httplib::Request& req, const char* name) {
  if (!req.has_param(name)) {
    return false;
  }
  const std::string text = req.get_param_value(name);
  if (text == "0" || text == "1") {
    return text == "1";
  }
  return std::unexpected(
      ApiError{400, std::string(name) + " must be 0 or 1, not " + quote_value(text)});
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// A dotted IPv4 address of four decimal parts.
bool is_ipv4(std::string_view text) {
  int parts = 0;
  while (!text.empty()) {
    const std::size_t dot = text.find('.');
    const std::string_view part = text.substr(0, dot);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (part.empty() || part.size() > 3 || ec != std::errc() || end != part.data() + part.size() ||
        value > 255) {
      return false;
    }
    ++parts;
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    if (dot != std::string_view::npos && text.empty()) {
      return false;
    }
  }
  return parts == 4;
}

// An IPv6 address as written between brackets (hex digits, colons, a dotted tail).
bool is_ipv6(std::string_view text) {
  return text.find(':') != std::string_view::npos && std::ranges::all_of(text, [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
         });
}

// The host part of a Host header, lower-cased and without port or IPv6 brackets;
// nothing when it is malformed.
std::optional<std::string> host_of(std::string_view header) {
  if (header.starts_with('[')) {
    const std::size_t close = header.find(']');
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    const std::string_view rest = header.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) {
      return std::nullopt;
    }
    return lower(header.substr(1, close - 1));
  }
  const std::size_t colon = header.find(':');
  if (colon != header.rfind(':')) {
    return std::nullopt;
  }
  return lower(header.substr(0, colon));
}

std::string_view mime_type(std::string_view name) {
  if (name.ends_with(".html")) {
    return "text/html; charset=utf-8";
  }
  if (name.ends_with(".js")) {
    return "text/javascript; charset=utf-8";
  }
  if (name.ends_with(".css")) {
    return "text/css; charset=utf-8";
  }
  if (name.ends_with(".svg")) {
    return "image/svg+xml";
  }
  return "application/octet-stream";
}

const WebAsset* find_asset(std::string_view name) {
  const auto assets = web_assets();
  const auto found = std::ranges::find(assets, name, &WebAsset::name);
  return found == assets.end() ? nullptr : &*found;
}

}  // namespace

bool is_loopback(std::string_view address) noexcept {
  if (address == "localhost" || address == "::1" || address == "[::1]") {
    return true;
  }
  return address.starts_with("127.") && is_ipv4(address);
}

// One archive as the server sees it.
struct Side {
  explicit Side(const Archive& a) : archive(&a), index(a) {}

  const Archive* archive;
  EntryIndex index;
  // Later id -> earlier id, for entries whose chains reuse another entry's blocks.
  std::map<std::uint32_t, std::uint32_t> shared;
  std::once_flag stats_once;
  std::string stats_body;
};

struct WebServer::Impl {
  ServerSettings settings;
  std::vector<std::unique_ptr<Side>> sides;
  std::string bound_host;
  bool any_address = false;
  std::once_flag diff_once;
  std::string diff_body;
  httplib::Server server;

  Impl(const Archive& a, const Archive* b, ServerSettings s) : settings(std::move(s)) {
    for (const Archive* archive : {&a, b}) {
      if (archive == nullptr) {
        continue;
      }
      auto side = std::make_unique<Side>(*archive);
      if (!settings.allow_shared_blocks) {
        side->shared = find_shared_blocks(archive->db);
      }
      sides.push_back(std::move(side));
    }
    std::string host = lower(settings.bind);
    if (host.starts_with('[') && host.ends_with(']')) {
      host = host.substr(1, host.size() - 2);
    }
    any_address = host == "0.0.0.0" || host == "::" || host.empty();
    bound_host = std::move(host);
    routes();
  }

  // DNS rebinding lets a web page reach this server under a name its attacker
  // controls; only a Host this machine answers to by itself is served.
  [[nodiscard]] bool host_allowed(const httplib::Request& req) const {
    const auto host = host_of(req.get_header_value("Host"));
    if (!host || host->empty()) {
      return false;
    }
    if (*host == "localhost" || *host == bound_host) {
      return true;
    }
    // Listening everywhere, any address literal names this machine; a name might not.
    return any_address && (is_ipv4(*host) || is_ipv6(*host));
  }

  // The archive a request names with archive=a|b (a when absent).
  std::expected<Side*, ApiError> side_of(const httplib::Request& req) {
    const std::string which = req.has_param("archive") ? req.get_param_value("archive") : "a";
    if (which == "a") {
      return sides.front().get();
    }
    if (which == "b") {
      if (sides.size() < 2) {
        return std::unexpected(ApiError{404, "serve was given one archive; there is no archive b"});
      }
      return sides.back().get();
    }
    return std::unexpected(ApiError{400, "archive must be a or b, not " + quote_value(which)});
  }

  // The entry a /api/.../ID path names, readable under the shared-blocks rule.
  std::expected<const DatFileEntry*, ApiError> readable_entry(const Side& side,
                                                              std::string_view typed) {
    const auto id = id_value(typed, "file id");
    if (!id) {
      return std::unexpected(id.error());
    }
    const DatFileEntry* entry = side.archive->db.find(*id);
    if (entry == nullptr) {
      return std::unexpected(
          ApiError{404, file_error_text(*side.archive, *id, DatError(DatError::NotFound{*id}))});
    }
    if (const auto owner = side.shared.find(*id); owner != side.shared.end()) {
      return std::unexpected(ApiError{
          403, side.archive->name + ": file " + id_text(*id) + " shares blocks with file " +
                   id_text(owner->second) + " (serve --allow-shared-blocks serves it anyway)"});
    }
    return entry;
  }

  void api_archives(const httplib::Request&, httplib::Response& res) {
    Json archives = Json::array();
    for (const auto& side : sides) {
      // By name, as stats lists them; known without reading any file.
      std::map<std::string_view, std::size_t> by_name;
      for (const auto& [type, count] : side->index.type_counts()) {
        by_name.emplace(to_string(type), count);
      }
      Json types = Json::array();
      for (const auto& [name, count] : by_name) {
        types.push_back(Json{{"type", name}, {"files", count}});
      }
      archives.push_back(Json{{"name", side->archive->name},
                              {"kind", kind_name(side->archive->db.dat_kind())},
                              {"file_count", side->archive->db.files().size()},
                              {"types", std::move(types)},
                              {"shared_block_files", side->shared.size()}});
    }
    send_json(res, 200,
              Json{{"archives", std::move(archives)},
                   {"allow_shared_blocks", settings.allow_shared_blocks},
                   {"max_page", MAX_PAGE},
                   {"max_slice", MAX_SLICE}});
  }

  void api_info(const httplib::Request& req, httplib::Response& res) {
    const auto side = side_of(req);
    if (!side) {
      return send_error(res, side.error());
    }
    const DatDatabase& db = (*side)->archive->db;
    send_json(res, 200, info_document(db.header(), std::uint64_t{db.files().size()}).json);
  }

  void api_ls(const httplib::Request& req, httplib::Response& res) {
    const auto side = side_of(req);
    if (!side) {
      return send_error(res, side.error());
    }
    EntryQuery query;
    const auto offset = count_parameter(req, "offset", std::numeric_limits<std::uint32_t>::max());
    const auto limit = count_parameter(req, "limit", MAX_PAGE);
    for (const auto* count : {&offset, &limit}) {
      if (!*count) {
        return send_error(res, count->error());
      }
    }
    query.offset = offset->value_or(0);
    query.limit = limit->value_or(100);
    if (req.has_param("type")) {
      const std::string text = req.get_param_value("type");
      query.type = from_string(text);
      if (!query.type) {
        return send_error(res, {400, "unknown file type " + quote_value(text)});
      }
    }
    for (const auto& [name, bound] : {std::pair{"lo", &query.lo}, std::pair{"hi", &query.hi}}) {
      if (req.has_param(name)) {
        const auto id = id_value(req.get_param_value(name), name);
        if (!id) {
          return send_error(res, id.error());
        }
        *bound = *id;
      }
    }
    if (req.has_param("prefix")) {
      // A prefix of k hex digits is the id range that shares those top digits.
      const std::string text = req.get_param_value("prefix");
      const auto value = parse_file_id(text);
      const bool hex_digits =
          !text.empty() && text.size() <= 8 && std::ranges::all_of(text, [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
          });
      if (!value || !hex_digits) {
        return send_error(
            res, {400, "prefix must be 1 to 8 hexadecimal digits, not " + quote_value(text)});
      }
      const auto shift = static_cast<unsigned>(4 * (8 - text.size()));
      const std::uint64_t low = std::uint64_t{*value} << shift;
      const std::uint64_t high = low | ((std::uint64_t{1} << shift) - 1);
      query.lo = std::max(query.lo, static_cast<std::uint32_t>(low));
      query.hi = std::min(query.hi, static_cast<std::uint32_t>(high));
    }
    if (req.has_param("sort")) {
      const std::string text = req.get_param_value("sort");
      if (text != "id" && text != "size") {
        return send_error(res, {400, "sort must be id or size, not " + quote_value(text)});
      }
      query.order = text == "size" ? EntryOrder::Size : EntryOrder::Id;
    }
    if (req.has_param("order")) {
      const std::string text = req.get_param_value("order");
      if (text != "asc" && text != "desc") {
        return send_error(res, {400, "order must be asc or desc, not " + quote_value(text)});
      }
      query.descending = text == "desc";
    }
    const Archive& archive = *(*side)->archive;
    const EntryPage page = (*side)->index.page(query);
    Json entries = Json::array();
    for (const DatFileEntry* e : page.entries) {
      entries.push_back(ls_entry_json(archive, *e, decompressed_size_or_error(archive, *e)));
    }
    send_json(res, 200, Json{{"total", page.total}, {"entries", std::move(entries)}});
  }

  void api_stats(const httplib::Request& req, httplib::Response& res) {
    const auto side = side_of(req);
    if (!side) {
      return send_error(res, side.error());
    }
    Side& s = **side;
    // Reads every compressed entry's size prefix once, on first demand.
    std::call_once(s.stats_once,
                   [&] { s.stats_body = dump(stats_json(*s.archive, stats_report(*s.archive))); });
    res.set_content(s.stats_body, "application/json");
  }

  void api_diff(const httplib::Request&, httplib::Response& res) {
    if (sides.size() < 2) {
      return send_error(res, {404, "serve was given one archive; a diff needs two"});
    }
    std::call_once(diff_once, [&] {
      diff_body = dump(diff_archives(*sides.front()->archive, *sides.back()->archive).json);
    });
    res.set_content(diff_body, "application/json");
  }

  void api_font(const httplib::Request& req, httplib::Response& res) {
    const auto side = side_of(req);
    if (!side) {
      return send_error(res, side.error());
    }
    const auto entry = readable_entry(**side, req.matches[1].str());
    if (!entry) {
      return send_error(res, entry.error());
    }
    const Archive& archive = *(*side)->archive;
    const Result<Font> font = read_font(archive.db, (*entry)->id);
    if (!font) {
      return send_error(res, {422, file_error_text(archive, (*entry)->id, font.error())});
    }
    send_json(res, 200, font_json(*font));
  }

  void api_file(const httplib::Request& req, httplib::Response& res) {
    const auto side = side_of(req);
    if (!side) {
      return send_error(res, side.error());
    }
    const auto entry = readable_entry(**side, req.matches[1].str());
    const auto stored = flag_parameter(req, "stored");
    const auto download = flag_parameter(req, "download");
    const auto offset = count_parameter(req, "offset", std::numeric_limits<std::uint32_t>::max());
    const auto length = count_parameter(req, "length", MAX_SLICE);
    if (!entry) {
      return send_error(res, entry.error());
    }
    for (const auto* flag : {&stored, &download}) {
      if (!*flag) {
        return send_error(res, flag->error());
      }
    }
    for (const auto* count : {&offset, &length}) {
      if (!*count) {
        return send_error(res, count->error());
      }
    }
    const Archive& archive = *(*side)->archive;
    const DatFileEntry& e = **entry;
    auto bytes = std::make_shared<std::vector<std::uint8_t>>();
    const Result<void> read = *stored ? archive.db.read_file_data_into(e.offset, e.size, *bytes)
                                      : archive.db.get_file_into(e.id, *bytes);
    if (!read) {
      return send_error(res, {422, file_error_text(archive, e.id, read.error())});
    }
    std::size_t from = 0;
    std::size_t count = bytes->size();
    if (*offset || *length) {
      from = offset->value_or(0);
      if (from > bytes->size()) {
        return send_error(
            res, {400, "offset " + decimal(std::uint64_t{from}) + " is past the end of the file (" +
                           decimal(std::uint64_t{bytes->size()}) + " bytes)"});
      }
      count = std::min(length->value_or(MAX_SLICE), bytes->size() - from);
    }
    res.set_header("X-File-Size", decimal(std::uint64_t{bytes->size()}));
    if (*download) {
      const std::string name = *stored ? id_text(e.id) + ".stored.bin" : entry_file_name(e.id);
      res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
    }
    if (count == 0) {
      return res.set_content("", "application/octet-stream");
    }
    // The bytes are handed over as they are, without another copy into a string.
    res.set_content_provider(
        count, "application/octet-stream",
        [bytes, from](std::size_t at, std::size_t length_left, httplib::DataSink& sink) {
          const auto* data = reinterpret_cast<const char*>(bytes->data()) + from + at;
          return sink.write(data, std::min<std::size_t>(length_left, 1U << 16));
        });
  }

  void page(const httplib::Request&, httplib::Response& res, std::string_view name) {
    const WebAsset* asset = find_asset(name);
    if (asset == nullptr) {
      return send_error(res, {404, "no such page"});
    }
    res.set_content(asset->bytes.data(), asset->bytes.size(), std::string(mime_type(name)).c_str());
  }

  // Each handler with the parameters it takes; anything else is refused first.
  using Handler = void (Impl::*)(const httplib::Request&, httplib::Response&);
  void route(const char* pattern, std::initializer_list<std::string_view> known, Handler handler) {
    server.Get(pattern, [this, known = std::vector<std::string_view>(known), handler](
                            const httplib::Request& req, httplib::Response& res) {
      for (const auto& [name, value] : req.params) {
        if (std::ranges::find(known, name) == known.end()) {
          return send_error(res, {400, "unknown parameter " + quote_value(name)});
        }
        if (req.params.count(name) > 1) {
          return send_error(res,
                            {400, "parameter " + quote_value(name) + " is given more than once"});
        }
      }
      (this->*handler)(req, res);
    });
  }

  // Socket options, limits, the headers every answer carries, and the checks made
  // before any route: method and Host.
  void guard() {
#ifndef _WIN32
    // The library's default on POSIX (SO_REUSEPORT) lets a second server share the
    // port and answer half of the requests; only reuse past TIME_WAIT is wanted.
    // (Its Windows default is already exclusive.)
    server.set_socket_options([](socket_t sock) {
      const int yes = 1;
      ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
#endif
    server.set_payload_max_length(1024);
    // An idle connection holds one of the pool's threads; let it go soon.
    server.set_keep_alive_timeout(2);
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("Content-Security-Policy",
                     "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
      res.set_header("Referrer-Policy", "no-referrer");
      res.set_header("Cache-Control", "no-store");
      if (req.method != "GET" && req.method != "HEAD") {
        res.set_header("Allow", "GET, HEAD");
        send_error(res, {405, "the viewer is read-only: only GET and HEAD are served"});
        return httplib::Server::HandlerResponse::Handled;
      }
      if (!host_allowed(req)) {
        send_error(res, {403,
                         "this server answers only to localhost or the address it was "
                         "started on (Host " +
                             quote_value(req.get_header_value("Host")) + ")"});
        return httplib::Server::HandlerResponse::Handled;
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });
  }

  void routes() {
    guard();
    route("/api/archives", {}, &Impl::api_archives);
    route("/api/info", {"archive"}, &Impl::api_info);
    route("/api/ls", {"archive", "offset", "limit", "type", "lo", "hi", "prefix", "sort", "order"},
          &Impl::api_ls);
    route("/api/stats", {"archive"}, &Impl::api_stats);
    route("/api/diff", {}, &Impl::api_diff);
    route(R"(/api/font/([^/]*))", {"archive"}, &Impl::api_font);
    route(R"(/api/file/([^/]*))", {"archive", "stored", "download", "offset", "length"},
          &Impl::api_file);
    // Every page is one document that draws itself from its path and query string;
    // the server only hands it out.
    for (const char* path : {"/", "/entries", "/file", "/diff"}) {
      server.Get(path, [this](const httplib::Request& req, httplib::Response& res) {
        page(req, res, "page.html");
      });
    }
    server.Get(R"(/static/([A-Za-z0-9_-]+\.(?:js|css|svg)))",
               [this](const httplib::Request& req, httplib::Response& res) {
                 if (req.params.empty()) {
                   return page(req, res, req.matches[1].str());
                 }
                 send_error(res, {400, "static files take no parameters"});
               });
    error_handlers();
  }

  // Errors httplib itself meets, and exceptions a handler throws, as JSON errors.
  void error_handlers() {
    server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
      if (!res.body.empty() || res.content_length_ > 0) {
        return;
      }
      if (res.status == 404) {
        send_error(res, {404, "no such page or endpoint: " + quote_value(req.path)});
      } else {
        send_error(res, {res.status, "the request could not be served (HTTP " +
                                         decimal(std::int64_t{res.status}) + ")"});
      }
    });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
          std::string what = "internal error";
          try {
            std::rethrow_exception(std::move(error));
          } catch (const std::bad_alloc&) {
            what = "out of memory";
          } catch (const std::exception& e) {
            what = e.what();
          } catch (...) {
          }
          send_error(res, {500, what});
        });
  }
};

WebServer::WebServer(const Archive& a, const Archive* b, ServerSettings settings)
    : impl_(std::make_unique<Impl>(a, b, std::move(settings))) {}

WebServer::~WebServer() = default;

std::expected<int, std::string> WebServer::bind() {
  const ServerSettings& s = impl_->settings;
  std::string host = s.bind;
  if (host.size() > 2 && host.starts_with('[') && host.ends_with(']')) {
    host = host.substr(1, host.size() - 2);
  }
  const int port = s.port == 0 ? impl_->server.bind_to_any_port(host)
                               : (impl_->server.bind_to_port(host, s.port) ? s.port : -1);
  if (port < 0) {
    return std::unexpected("cannot listen on " + s.bind + " port " + decimal(std::int64_t{s.port}) +
                           " (is the port in use, or the address not this machine's? --port 0 "
                           "picks a free port)");
  }
  return port;
}

bool WebServer::listen() {
  return impl_->server.listen_after_bind();
}

void WebServer::stop() {
  impl_->server.stop();
}

}  // namespace marrowvane_dat::cli
