// SPDX-License-Identifier: MIT
// The serve command over HTTP: its API against the commands' --json on the same
// archives, paging and filters, refusals, damage, shared blocks and parallel clients.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "cli_fixture.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"

namespace marrowvane_dat::cli_test {
namespace {

using marrowvane_dat::testkit::ArchiveBuilder;
using marrowvane_dat::testkit::encode_font;
using marrowvane_dat::testkit::make_font;

// A running server and a client for it.
struct Server {
  std::unique_ptr<RunningTool> tool;
  std::string host;
  int port = 0;

  httplib::Client client() const {
    httplib::Client c(host, port);
    c.set_read_timeout(std::chrono::seconds(30));
    return c;
  }
  httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) const {
    return client().Get(path, headers);
  }
  Json json(const std::string& path) const {
    const auto res = get(path);
    EXPECT_TRUE(res) << path;
    if (!res) {
      return {};
    }
    EXPECT_EQ(res->status, 200) << path << ": " << res->body;
    return Json::parse(res->body);
  }
};

class Serve : public Cli {
 protected:
  Server start(std::vector<std::string> args) {
    args.insert(args.begin(), "serve");
    args.insert(args.end(), {"--port", "0"});
    Server server;
    server.tool = std::make_unique<RunningTool>(args);
    const auto line = server.tool->read_line(std::chrono::seconds(30));
    EXPECT_TRUE(line) << "serve printed no URL";
    const std::string marker = " at http://";
    const std::size_t at = line ? line->find(marker) : std::string::npos;
    if (at == std::string::npos) {
      ADD_FAILURE() << "no URL in: " << line.value_or("");
      return server;
    }
    const std::string rest = line->substr(at + marker.size());
    const std::size_t colon = rest.rfind(':');
    server.host = rest.substr(0, colon);
    server.port = std::stoi(rest.substr(colon + 1));
    return server;
  }

  // Ctrl-C: the server stops and the process ends the way the signal asks.
  static void stop(Server& server) {
    EXPECT_EQ(server.tool->signal_and_wait(SIGINT), 128 + SIGINT);
  }

  static Json tool_json(const std::vector<std::string>& args) {
    const ToolRun run = run_tool(args);
    EXPECT_TRUE(run.status == 0 || (args.front() == "diff" && run.status == 1)) << run.err;
    return Json::parse(run.out);
  }
};

TEST_F(Serve, ApiDocumentsAreTheCommandsJson) {
  const Archive a = portal();
  ArchiveBuilder builder(1024);
  const Archive b = write(builder,
                          {{.id = FONT_A, .content = encode_font(make_font(FONT_A, 96))},
                           {.id = TEXTURE, .content = pattern(3000, 1), .extra_flags = 0x10},
                           {.id = 0x06000020, .content = pattern(10, 2)}},
                          "b.dat");
  const std::string pa = a.path.string();
  const std::string pb = b.path.string();
  Server server = start({pa, pb});

  EXPECT_EQ(server.json("/api/info"), tool_json({"info", pa, "--json"}));
  EXPECT_EQ(server.json("/api/info?archive=b"), tool_json({"info", pb, "--json"}));
  EXPECT_EQ(server.json("/api/stats"), tool_json({"stats", pa, "--json"}));
  EXPECT_EQ(server.json("/api/stats?archive=b"), tool_json({"stats", pb, "--json"}));
  EXPECT_EQ(server.json("/api/diff"), tool_json({"diff", pa, pb, "--json"}));
  for (const std::uint32_t id : {FONT_A, FONT_B}) {
    EXPECT_EQ(server.json("/api/font/" + hex8(id)), tool_json({"font", pa, hex8(id), "--json"}));
  }
  const Json listing = server.json("/api/ls?limit=1000");
  EXPECT_EQ(listing["total"], a.entries.size());
  EXPECT_EQ(listing["entries"], tool_json({"ls", pa, "--json"}));
  EXPECT_EQ(server.json("/api/ls?type=Font")["entries"],
            tool_json({"ls", pa, "--json", "--type", "Font"}));

  for (const auto& [id, content] : a.contents) {
    const auto whole = server.get("/api/file/" + hex8(id));
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->status, 200);
    EXPECT_EQ(whole->body, text_of(content)) << hex8(id);
    const auto stored = server.get("/api/file/0x" + hex8(id) + "?stored=1&download=1");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->body, run_tool({"cat", pa, hex8(id), "--stored"}).out);
    EXPECT_EQ(stored->get_header_value("Content-Disposition"),
              "attachment; filename=\"" + hex8(id) + ".stored.bin\"");
  }
  const auto download = server.get("/api/file/d:" + std::to_string(MODEL) + "?download=1");
  ASSERT_TRUE(download);
  EXPECT_EQ(download->get_header_value("Content-Disposition"),
            "attachment; filename=\"" + hex8(MODEL) + ".bin\"");
  // A hex dump page: a slice of the decompressed bytes and the whole size.
  const auto slice = server.get("/api/file/" + hex8(MODEL) + "?offset=4096&length=4096");
  ASSERT_TRUE(slice);
  EXPECT_EQ(slice->body, text_of(a.contents.at(MODEL)).substr(4096));
  EXPECT_EQ(slice->get_header_value("X-File-Size"), "5000");
  // HEAD answers as GET would, without the body.
  const auto head = server.client().Head("/api/info");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_TRUE(head->body.empty());
  stop(server);
}

TEST_F(Serve, EntriesArePagedFilteredAndSortedOnTheServer) {
  ArchiveBuilder builder(1024);
  std::vector<testkit::FileSpec> files;
  // Sizes chosen so that id order and size order differ, with one tie.
  const std::vector<std::pair<std::uint32_t, std::size_t>> plan = {
      {0x01000001, 40}, {0x01000002, 10}, {0x0100F000, 30}, {0x06000001, 20},
      {0x06000002, 50}, {0x06001000, 10}, {0x06100000, 60}, {0x40000001, 5}};
  for (const auto& [id, size] : plan) {
    files.push_back({.id = id, .content = pattern(size, id)});
  }
  const Archive a = write(builder, files);
  Server server = start({a.path.string()});
  const auto ids = [&](const std::string& query) {
    const Json page = server.json("/api/ls?" + query);
    std::vector<std::string> out;
    for (const Json& e : page["entries"]) {
      out.push_back(hex8(e["id"].get<std::uint32_t>()));
    }
    out.push_back("total " + std::to_string(page["total"].get<std::size_t>()));
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(ids("limit=2"), (V{"01000001", "01000002", "total 8"}));
  EXPECT_EQ(ids("offset=7&limit=5"), (V{"40000001", "total 8"}));
  EXPECT_EQ(ids("offset=8"), (V{"total 8"}));
  EXPECT_EQ(ids("offset=4000000000"), (V{"total 8"}));
  EXPECT_EQ(ids("limit=0"), (V{"total 8"}));
  EXPECT_EQ(ids("order=desc&limit=2"), (V{"40000001", "06100000", "total 8"}));
  EXPECT_EQ(ids("type=texture"), (V{"06000001", "06000002", "06001000", "06100000", "total 4"}));
  EXPECT_EQ(ids("type=Texture&offset=1&limit=2&order=desc"),
            (V{"06001000", "06000002", "total 4"}));
  EXPECT_EQ(ids("type=Font&lo=0&hi=3FFFFFFF"), (V{"total 0"}));
  EXPECT_EQ(ids("lo=01000002&hi=0x06000001"), (V{"01000002", "0100F000", "06000001", "total 3"}));
  EXPECT_EQ(ids("lo=06000002&hi=06000001"), (V{"total 0"}));
  EXPECT_EQ(ids("prefix=0600"), (V{"06000001", "06000002", "06001000", "total 3"}));
  EXPECT_EQ(ids("prefix=06&lo=06000002"), (V{"06000002", "06001000", "06100000", "total 3"}));
  EXPECT_EQ(ids("prefix=40000001"), (V{"40000001", "total 1"}));
  // Size order: ties by id, descending reverses both.
  EXPECT_EQ(ids("sort=size&limit=3"), (V{"40000001", "01000002", "06001000", "total 8"}));
  EXPECT_EQ(ids("sort=size&order=desc&limit=3"),
            (V{"06100000", "06000002", "01000001", "total 8"}));
  EXPECT_EQ(ids("sort=size&type=Texture"),
            (V{"06001000", "06000001", "06000002", "06100000", "total 4"}));
  // Within an id range, size order comes from sorting that range.
  EXPECT_EQ(ids("sort=size&prefix=01&offset=1"), (V{"0100F000", "01000001", "total 3"}));
  EXPECT_EQ(ids("sort=size&order=desc&type=Texture&prefix=0600&limit=1"),
            (V{"06000002", "total 3"}));
  stop(server);
}

TEST_F(Serve, RefusesWhatItCannotAnswerWithAShortJsonError) {
  const Archive a = portal();
  Server server = start({a.path.string()});
  const std::string font = "/api/font/" + hex8(FONT_A);
  struct Case {
    std::string path;
    int status;
    std::string error;  // a part of the error text
  };
  const std::vector<Case> cases = {
      {"/api/font/zz", 400, "not a file id: 'zz'"},
      {"/api/font/123456789", 400, "not a file id"},
      {"/api/font/%ZZ", 400, "not a file id"},
      {"/api/font/", 400, "not a file id"},
      {"/api/font/06000099", 404, "06000099 not found"},
      {"/api/font/" + hex8(TEXTURE), 422, "06000010 is a Texture, not a Font"},
      {"/api/file/" + hex8(MODEL) + "?offset=5001", 400, "past the end of the file (5000 bytes)"},
      {"/api/file/" + hex8(MODEL) + "?length=1048577", 400, "length must be at most 1048576"},
      {"/api/file/" + hex8(MODEL) + "?offset=-1", 400, "offset must be a decimal number"},
      {"/api/file/" + hex8(MODEL) + "?stored=yes", 400, "stored must be 0 or 1"},
      {"/api/ls?limit=1001", 400, "limit must be at most 1000"},
      {"/api/ls?offset=99999999999999999999", 400, "offset must be a decimal number"},
      {"/api/ls?offset=1e3", 400, "offset must be a decimal number"},
      {"/api/ls?hi=0x100000000", 400, "hi: not a file id"},
      {"/api/ls?type=Fnot", 400, "unknown file type 'Fnot'"},
      {"/api/ls?type=%FF%FE", 400, "unknown file type"},
      {"/api/ls?prefix=0x06", 400, "prefix must be 1 to 8 hexadecimal digits"},
      {"/api/ls?prefix=123456789", 400, "prefix must be"},
      {"/api/ls?sort=name", 400, "sort must be id or size"},
      {"/api/ls?order=up", 400, "order must be asc or desc"},
      {"/api/ls?limit=1&limit=2", 400, "'limit' is given more than once"},
      {"/api/ls?bogus=1", 400, "unknown parameter 'bogus'"},
      {"/api/info?archive=b", 404, "there is no archive b"},
      {"/api/info?archive=c", 400, "archive must be a or b"},
      {"/api/diff", 404, "a diff needs two"},
      {font + "?" + std::string(100, 'x') + "=1", 400, "unknown parameter"},
      {"/api", 404, "no such page or endpoint"},
      {"/static/../index.html", 404, "no such page"},
      {"/static/nothing.js", 404, "no such page"},
      {"/etc/passwd", 404, "no such page or endpoint: '/etc/passwd'"},
  };
  for (const Case& c : cases) {
    const auto res = server.get(c.path);
    ASSERT_TRUE(res) << c.path;
    EXPECT_EQ(res->status, c.status) << c.path << ": " << res->body;
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json") << c.path;
    const Json body = Json::parse(res->body, nullptr, false);
    ASSERT_TRUE(body.is_object() && body.contains("error")) << c.path << ": " << res->body;
    EXPECT_TRUE(contains(body["error"].get<std::string>(), c.error))
        << c.path << ": " << body["error"];
  }

  // Read-only: every other method is refused before anything is read.
  httplib::Client client = server.client();
  for (const auto& res :
       {client.Post(font, "{}", "application/json"), client.Put(font, "x", "text/plain"),
        client.Delete(font), client.Patch(font, "x", "text/plain"), client.Options(font)}) {
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 405) << res->body;
    EXPECT_EQ(res->get_header_value("Allow"), "GET, HEAD");
  }
  // A Host that is neither localhost nor the bound address, as a rebound name sends.
  for (const std::string host : {"evil.example", "evil.example:8086", "127.0.0.1.evil.example",
                                 "localhost.evil.example", "[::1", "a:b:c", ""}) {
    const auto res = server.get(font, {{"Host", host}});
    ASSERT_TRUE(res) << host;
    EXPECT_EQ(res->status, 403) << host;
  }
  for (const std::string& host : std::vector<std::string>{
           "localhost", "LOCALHOST:1", "127.0.0.1", "127.0.0.1:" + std::to_string(server.port)}) {
    const auto res = server.get(font, {{"Host", host}});
    ASSERT_TRUE(res) << host;
    EXPECT_EQ(res->status, 200) << host;
  }
  // A path longer than any the server reads, then the server still answers.
  const auto long_path = server.get("/api/font/" + std::string(20000, '4'));
  ASSERT_TRUE(long_path);
  EXPECT_EQ(long_path->status, 414);
  EXPECT_EQ(server.json(font)["id"], FONT_A);
  stop(server);
}

TEST_F(Serve, PagesAreServedWithTheirScriptAndStyle) {
  const Archive a = portal();
  Server server = start({a.path.string()});
  for (const std::string page : {"/", "/entries", "/file?id=40000001", "/diff"}) {
    const auto res = server.get(page);
    ASSERT_TRUE(res) << page;
    EXPECT_EQ(res->status, 200) << page;
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_TRUE(contains(res->body, "<script src=\"/static/app.js\"")) << page;
    EXPECT_TRUE(contains(res->get_header_value("Content-Security-Policy"), "default-src 'self'"));
  }
  for (const auto& [path, type] : {std::pair{"/static/app.js", "text/javascript; charset=utf-8"},
                                   std::pair{"/static/style.css", "text/css; charset=utf-8"},
                                   std::pair{"/static/favicon.svg", "image/svg+xml"}}) {
    const auto res = server.get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 200) << path;
    EXPECT_EQ(res->get_header_value("Content-Type"), type);
    EXPECT_GT(res->body.size(), 100U);
  }
  const Json archives = server.json("/api/archives");
  EXPECT_EQ(archives["archives"].size(), 1U);
  EXPECT_EQ(archives["archives"][0]["name"], a.path.string());
  stop(server);
}

TEST_F(Serve, ADamagedEntryShowsItsErrorWhileTheRestIsServed) {
  ArchiveBuilder builder(1024);
  const DatFileEntry bad{.bit_flags = DatFileEntry::COMPRESSED_FLAG,
                         .id = UNREADABLE,
                         .offset = PAST_THE_END,
                         .size = 10};
  const Archive a = write(builder, {{.id = TEXTURE, .content = pattern(100, 2)}}, "bad.dat", {bad});
  Server server = start({a.path.string()});
  const auto res = server.get("/api/file/" + hex8(UNREADABLE));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 422);
  const std::string error = Json::parse(res->body)["error"];
  EXPECT_TRUE(contains(error, a.path.string() + ": ")) << error;
  EXPECT_EQ(error,
            run_tool({"cat", a.path.string(), hex8(UNREADABLE)}).err.substr(16, error.size()));
  const Json listing = server.json("/api/ls");
  EXPECT_EQ(listing["entries"], tool_json({"ls", a.path.string(), "--json"}));
  EXPECT_TRUE(listing["entries"][1]["decompressed_size"].is_null());
  EXPECT_EQ(server.get("/api/file/" + hex8(TEXTURE))->body, text_of(a.contents.at(TEXTURE)));
  EXPECT_EQ(server.json("/api/stats")["total"]["unreadable"], 1);
  stop(server);
}

TEST_F(Serve, EntriesOverAnotherEntrysBlocksAreServedOnlyWhenAllowed) {
  ArchiveBuilder builder(1024);
  const Bytes content = pattern(3000, 7);
  const std::uint32_t chain = builder.write_chain(content);
  builder.build_directory({{.id = 0x06000001, .offset = chain, .size = 3000},
                           {.id = 0x06000002, .offset = chain, .size = 3000}});
  const fs::path path = dir_ / "shared.dat";
  builder.write_to(path);
  {
    Server server = start({path.string()});
    EXPECT_EQ(server.get("/api/file/06000001")->body, text_of(content));
    for (const std::string endpoint : {"/api/file/06000002", "/api/font/06000002"}) {
      const auto res = server.get(endpoint);
      EXPECT_EQ(res->status, 403);
      EXPECT_TRUE(contains(res->body, "file 06000002 shares blocks with file 06000001"))
          << res->body;
    }
    EXPECT_EQ(server.json("/api/archives")["archives"][0]["shared_block_files"], 1);
    stop(server);
  }
  Server allowed = start({path.string(), "--allow-shared-blocks"});
  EXPECT_EQ(allowed.get("/api/file/06000002")->body, text_of(content));
  stop(allowed);
}

TEST_F(Serve, EightClientsAtOnceAreAllAnsweredCorrectly) {
  const Archive a = portal();
  Server server = start({a.path.string()});
  // What each request must answer, taken one at a time first.
  std::vector<std::pair<std::string, std::string>> expected;
  for (const std::string path : {"/api/info", "/api/stats", "/api/ls?limit=3", "/api/ls?type=Font",
                                 "/api/font/40000002", "/", "/static/app.js"}) {
    expected.emplace_back(path, server.get(path)->body);
  }
  for (const auto& [id, content] : a.contents) {
    expected.emplace_back("/api/file/" + hex8(id), text_of(content));
  }
  std::atomic<int> wrong{0};
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&, c] {
      httplib::Client client = server.client();
      client.set_keep_alive(c % 2 == 0);
      for (int r = 0; r < 100; ++r) {
        const auto& [path, body] = expected[static_cast<std::size_t>(c * 7 + r) % expected.size()];
        const auto res = client.Get(path);
        if (res && res->status == 200 && res->body == body) {
          ++answered;
        } else {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& t : clients) {
    t.join();
  }
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(answered.load(), 800);
  stop(server);
}

TEST_F(Serve, StartsOnlyWhereItCanListen) {
  const Archive a = portal();
  Server first = start({a.path.string()});
  // The same port again: a clear failure, not a second server.
  const ToolRun taken = run_tool({"serve", a.path.string(), "--port", std::to_string(first.port)});
  EXPECT_EQ(taken.status, 1);
  EXPECT_TRUE(contains(taken.err, "cannot listen on 127.0.0.1 port " + std::to_string(first.port)))
      << taken.err;
  stop(first);

  const ToolRun missing = run_tool({"serve", (dir_ / "missing.dat").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.err, "missing.dat: ")) << missing.err;
  EXPECT_EQ(run_tool({"serve", a.path.string(), "--port", "65536"}).status, 2);
  EXPECT_EQ(run_tool({"serve", "-", "-"}).status, 2);

  // Any other address is served with a warning, and answers to its own literal.
  RunningTool wide({"serve", a.path.string(), "--bind", "0.0.0.0", "--port", "0", "-q"});
  const auto line = wide.read_line(std::chrono::seconds(30));
  ASSERT_TRUE(line);
  const std::string port = line->substr(line->rfind(':') + 1, line->size() - line->rfind(':') - 2);
  httplib::Client client("127.0.0.1", std::stoi(port));
  EXPECT_EQ(client.Get("/api/info", {{"Host", "192.0.2.7:" + port}})->status, 200);
  EXPECT_EQ(client.Get("/api/info", {{"Host", "[2001:db8::1]:" + port}})->status, 200);
  EXPECT_EQ(client.Get("/api/info", {{"Host", "evil.example:" + port}})->status, 403);
  EXPECT_EQ(wide.signal_and_wait(SIGTERM), 128 + SIGTERM);
}

}  // namespace
}  // namespace marrowvane_dat::cli_test
