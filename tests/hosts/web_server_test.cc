// vornweb's server in process on 127.0.0.1, spoken to over raw sockets: the
// security screen, the API on the hosts' test object, batches, expiry,
// disconnects, and the real control shown "in a page": its drawing, the
// mouse and the events it fires back, its About box and property page.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosts/web/web_server.h"
#include "platform/loader.h"
#include "platform/runtime.h"
#include "tests/hosts/png_file.h"
#include "tests/hosts/test_thing.h"
#include "tests/support/temp_root.h"

namespace {

using nlohmann::json;

struct Reply {
  int status = 0;
  std::string head;  // status line and headers
  std::string body;
  json Json() const { return json::parse(body, nullptr, false); }
};

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends `raw` and reads the reply until the server closes the connection.
Reply Exchange(int port, const std::string& raw) {
  Reply reply;
  const int fd = Connect(port);
  if (fd < 0) return reply;
  send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
  std::string all;
  char buffer[65536];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 20000) == 1) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    all.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  const size_t end = all.find("\r\n\r\n");
  if (all.size() < 12 || end == std::string::npos) return reply;
  reply.status = std::stoi(all.substr(9, 3));
  reply.head = all.substr(0, end);
  reply.body = all.substr(end + 4);
  return reply;
}

class WebServerTest : public testing::Test {
 protected:
  // With builtInPage, the page's files are the ones built into the program.
  void StartServer(vornweb::ApiOptions api = {}, bool builtInPage = false) {
    vornweb::ServerOptions options;
    if (!builtInPage) {
      page_ = vorn_test::MakeTempDir("web-page");
      std::ofstream(page_ + "/index.html") << "<p>page</p>";
      options.pageDir = page_;
    }
    options.maxBody = 64 * 1024;
    options.api = api;
    options.tick = std::chrono::milliseconds(5);
    options.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(logMutex_);
      log_ += line + "\n";
    };
    server_ = std::make_unique<vornweb::WebServer>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    port_ = server_->port();
  }
  void TearDown() override {
    if (server_) server_->Stop();
    if (!page_.empty()) vorn_test::RemoveTree(page_);
  }

  std::string Request(const std::string& method, const std::string& path,
                      const std::string& body, const std::string& extra = "") {
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
           "\r\nConnection: close\r\n" + extra + "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  Reply Api(const std::string& operation, const json& body) {
    return Exchange(port_, Request("POST", "/api/" + operation, body.dump(),
                                   "X-Vorn-Token: " + server_->token() + "\r\n"));
  }
  int64_t Create(const std::string& name) {
    const Reply r = Api("create", {{"name", name}});
    EXPECT_EQ(r.status, 201) << r.body;
    return r.Json().value("object", int64_t{0});
  }
  Reply Call(int64_t object, const std::string& member, const json& args,
             const char* kind = nullptr) {
    json call{{"object", object}, {"member", member}, {"args", args}};
    if (kind) call["kind"] = kind;
    return Api("call", call);
  }

  vorn_test::TempRoot root_;
  vorn_test::TestThingRegistration thing_;
  std::unique_ptr<vornweb::WebServer> server_;
  std::string page_;
  int port_ = 0;
  std::mutex logMutex_;
  std::string log_;
};

TEST_F(WebServerTest, ScreensEveryRequest) {
  StartServer();
  const std::string port = std::to_string(port_);
  const std::string token = "X-Vorn-Token: " + server_->token() + "\r\n";
  std::string wrong = server_->token();
  wrong.back() = wrong.back() == '0' ? '1' : '0';
  const std::string create = R"({"name":"Vorn.TestThing"})";
  auto with = [&](const std::string& host, const std::string& extra, const std::string& body) {
    return "POST /api/create HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  struct Case {
    const char* what;
    std::string raw;
    int status;
  } cases[] = {
      {"page file, no token", "GET /index.html HTTP/1.1\r\nHost: localhost:" + port +
                                  "\r\nConnection: close\r\n\r\n", 200},
      {"token, localhost", with("localhost:" + port, token, create), 201},
      {"no token", with("127.0.0.1:" + port, "", create), 401},
      {"wrong token", with("127.0.0.1:" + port, "X-Vorn-Token: " + wrong + "\r\n", create), 401},
      {"two tokens", with("127.0.0.1:" + port, token + token, create), 401},
      {"rebound name", with("evil.example:" + port, token, create), 421},
      {"other port", with("127.0.0.1:1", token, create), 421},
      {"page via rebound name",
       "GET /index.html HTTP/1.1\r\nHost: evil.example\r\nConnection: close\r\n\r\n", 421},
      {"too large", with("127.0.0.1:" + port, token, std::string(70 * 1024, ' ')), 413},
      {"chunked",
       "POST /api/create HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n" + token +
           "Connection: close\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       411},
      {"no length", "POST /api/create HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n" + token +
                        "Connection: close\r\n\r\n{}", 411},
      {"bad JSON", with("127.0.0.1:" + port, token, "{\"name\":"), 400},
      {"not an object", with("127.0.0.1:" + port, token, "[1]"), 400},
      {"deep nesting", with("127.0.0.1:" + port, token, std::string(5000, '[')), 400},
      {"name not text", with("127.0.0.1:" + port, token, R"({"name":5})"), 400},
      {"unknown class", with("127.0.0.1:" + port, token, R"({"name":"No.Such.1"})"), 404},
  };
  for (const Case& c : cases) {
    const Reply r = Exchange(port_, c.raw);
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.head << "\n" << r.body;
    EXPECT_NE(r.head.find("Content-Security-Policy: default-src 'self'"), std::string::npos)
        << c.what;
    EXPECT_EQ(r.head.find("Access-Control"), std::string::npos) << c.what;
  }
  // The token is in no log line, wherever a client put it.
  Exchange(port_, Request("GET", "/x" + server_->token() + "?t=" + server_->token(), ""));
  std::lock_guard<std::mutex> lock(logMutex_);
  EXPECT_NE(log_.find("POST /api/create 401"), std::string::npos) << log_;
  EXPECT_EQ(log_.find(server_->token()), std::string::npos) << log_;
}

TEST_F(WebServerTest, ServesTheBuiltInPageByteForByte) {
  StartServer({}, true);
  auto source = [](const std::string& name) {
    std::ifstream in(vorn_test::SourceDir() + "/hosts/web/page/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  const struct {
    const char* path;
    const char* file;  // nullptr: not found
    const char* type;
  } kCases[] = {
      {"/", "index.html", "text/html; charset=utf-8"},
      {"/index.html", "index.html", "text/html; charset=utf-8"},
      {"/mail.js", "mail.js", "text/javascript; charset=utf-8"},
      {"/mail.css", "mail.css", "text/css; charset=utf-8"},
      {"/favicon.svg", "favicon.svg", "image/svg+xml"},
      {"/missing.html", nullptr, nullptr},
      {"/../CMakeLists.txt", nullptr, nullptr},
      {"/index.html/", nullptr, nullptr},
  };
  for (const auto& c : kCases) {
    const Reply r = Exchange(port_, Request("GET", c.path, ""));
    if (!c.file) {
      EXPECT_EQ(r.status, 404) << c.path;
      continue;
    }
    EXPECT_EQ(r.status, 200) << c.path;
    EXPECT_EQ(r.body, source(c.file)) << c.path;
    EXPECT_NE(r.head.find(std::string("Content-Type: ") + c.type + "\r\n"), std::string::npos)
        << c.path << "\n" << r.head;
    EXPECT_NE(r.head.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
  }
}

TEST_F(WebServerTest, CallsConvertValuesAndNameFailures) {
  StartServer();
  const int64_t thing = Create("Vorn.TestThing");
  const int64_t other = Create("{7D0B58E2-3C1A-4F0E-9B6D-2A5C8E1F4B01}");
  ASSERT_NE(thing, other);
  struct Case {
    const char* member;
    json args;
    int status;
    json result;         // for 200
    const char* code;    // for failures
  } cases[] = {
      {"Add", {2, 3}, 200, 5, ""},
      {"add", {2, 3}, 200, 5, ""},
      {"Concat", {"\xC3\xA9", "\xF0\x9F\x98\x80"}, 200, "\xC3\xA9\xF0\x9F\x98\x80", ""},
      {"Describe", {2.5}, 200, "R8 2.5", ""},
      {"Describe", {4294967296.0}, 200, "R8 4294967296", ""},
      {"Describe", {true}, 200, "BOOL -1", ""},
      {"Describe", {nullptr}, 200, "NULL", ""},
      {"Describe", {{{"object", other}}}, 200, "DISPATCH TestThing", ""},
      {"Make", {"i8"}, 200, 1099511627776LL, ""},
      {"Make", {"nothing"}, 200, nullptr, ""},
      {"Make", {"byref"}, 200, 77, ""},
      {"Optional", {1}, 200, 11, ""},
      {"Secret", json::array(), 200, 7, ""},
      {"Make", {"self"}, 200, {{"object", thing}}, ""},
      {"Add", {"x", 1}, 400, nullptr, "0x80020005"},
      {"Add", {1}, 400, nullptr, "0x8002000E"},
      {"Nope", json::array(), 404, nullptr, "0x80020006"},
      {"Raise", {"boom"}, 422, nullptr, "0x80040201"},
      {"Make", {"record"}, 422, nullptr, ""},
      {"Describe", {{1}}, 400, nullptr, ""},
      {"Describe", {{{"object", 999}}}, 404, nullptr, ""},
  };
  for (const Case& c : cases) {
    const Reply r = Call(thing, c.member, c.args);
    const json body = r.Json();
    EXPECT_EQ(r.status, c.status) << c.member << " " << c.args.dump() << " " << r.body;
    if (c.status == 200) {
      EXPECT_EQ(body["result"], c.result) << c.member << " " << c.args.dump();
    } else {
      EXPECT_EQ(body.value("member", ""), c.member) << r.body;
      EXPECT_EQ(body.value("code", ""), c.code) << r.body;
    }
  }
  const Reply put = Call(thing, "Value", {41}, "put");
  EXPECT_EQ(put.status, 200) << put.body;
  EXPECT_EQ(Call(thing, "Value", json::array()).Json()["result"], 41);
  // The members come from the type information, parameters named and typed.
  const json members = Api("members", {{"object", thing}}).Json()["members"];
  ASSERT_TRUE(members.is_array());
  EXPECT_EQ(members[0]["name"], "Add");
  EXPECT_EQ(members[0]["params"][1], json({{"name", "b"}, {"type", "long"}, {"optional", false}}));
  EXPECT_EQ(members[0]["result"], "long");
  // Released, the object is gone from the table and from memory.
  ASSERT_EQ(vorn_test::LiveTestThings(), 2);
  EXPECT_EQ(Api("release", {{"object", other}}).status, 200);
  EXPECT_EQ(vorn_test::LiveTestThings(), 1);
  EXPECT_EQ(Call(other, "Add", {1, 1}).status, 404);
  EXPECT_EQ(Api("release", {{"object", other}}).status, 404);
}

TEST_F(WebServerTest, BatchRunsInOrderAndStopsAtTheFirstFailure) {
  StartServer();
  const int64_t thing = Create("Vorn.TestThing");
  json calls = json::array();
  for (int i = 0; i < 1000; ++i) {
    calls.push_back({{"object", thing}, {"member", "Add"}, {"args", {i, 1}}});
  }
  const Reply all = Api("batch", {{"calls", calls}});
  ASSERT_EQ(all.status, 200);
  const json results = all.Json()["results"];
  ASSERT_EQ(results.size(), 1000u);
  EXPECT_EQ(results[0], 1);
  EXPECT_EQ(results[999], 1000);

  const json failing = {{{"object", thing}, {"member", "Value"}, {"kind", "put"}, {"args", {1}}},
                        {{"object", thing}, {"member", "Fail"}, {"args", {-2147467259}}},
                        {{"object", thing}, {"member", "Value"}, {"kind", "put"}, {"args", {2}}}};
  const Reply r = Api("batch", {{"calls", failing}});
  EXPECT_EQ(r.status, 422);
  EXPECT_EQ(r.Json()["index"], 1);
  EXPECT_EQ(r.Json()["code"], "0x80004005");
  EXPECT_EQ(r.Json()["results"], json::array({nullptr}));
  EXPECT_EQ(Call(thing, "Value", json::array()).Json()["result"], 1);
}

TEST_F(WebServerTest, UnusedObjectsExpire) {
  vornweb::ApiOptions api;
  api.idleLimit = std::chrono::milliseconds(20);
  StartServer(api);
  const int64_t thing = Create("Vorn.TestThing");
  for (int i = 0; i < 1000 && vorn_test::LiveTestThings() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(vorn_test::LiveTestThings(), 0);
  const Reply r = Call(thing, "Add", {1, 2});
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.Json()["error"], "unknown object " + std::to_string(thing));
}

TEST_F(WebServerTest, ClientsThatLeaveOrCrowdInLeaveItWorking) {
  StartServer();
  const int64_t thing = Create("Vorn.TestThing");
  // A body cut short, and a batch whose client leaves before the reply.
  int fd = Connect(port_);
  const std::string cut = Request("POST", "/api/call", std::string(1000, ' '),
                                  "X-Vorn-Token: " + server_->token() + "\r\n");
  send(fd, cut.data(), 200, MSG_NOSIGNAL);
  close(fd);
  json calls = json::array();
  for (int i = 0; i < 3000; ++i) calls.push_back({{"object", thing}, {"member", "Count"}});
  fd = Connect(port_);
  const std::string batch = Request("POST", "/api/batch", json{{"calls", calls}}.dump(),
                                    "X-Vorn-Token: " + server_->token() + "\r\n");
  send(fd, batch.data(), batch.size(), MSG_NOSIGNAL);
  close(fd);
  // Clients at once, each with objects of its own.
  std::vector<std::future<bool>> clients;
  for (int c = 0; c < 4; ++c) {
    clients.push_back(std::async(std::launch::async, [&, c] {
      const int64_t mine = Create("Vorn.TestThing");
      bool ok = true;
      for (int i = 0; i < 20; ++i) ok = ok && Call(mine, "Add", {c, i}).Json()["result"] == c + i;
      return ok && Api("release", {{"object", mine}}).status == 200;
    }));
  }
  for (auto& client : clients) EXPECT_TRUE(client.get());
  EXPECT_EQ(Call(thing, "Count", json::array()).Json()["result"], 1);
}

// ---- The control ---------------------------------------------------------------------

const char kModules[] = VORN_WEB_TEST_MODULES;

class WebControlTest : public WebServerTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    std::string all = kModules;
    for (size_t start = 0; start < all.size();) {
      const size_t end = std::min(all.find(':', start), all.size());
      HMODULE module = LoadLibraryA(all.substr(start, end - start).c_str());
      ASSERT_NE(module, nullptr) << all.substr(start, end - start);
      auto doRegister =
          reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module, "DllRegisterServer"));
      ASSERT_EQ(doRegister(), S_OK);
      start = end + 1;
    }
  }
  void TearDown() override {
    WebServerTest::TearDown();
    CoUninitialize();
  }
  // Waits until the dialog list holds a dialog and returns the list.
  json OpenDialogs() {
    for (int i = 0; i < 2000; ++i) {
      const json list = Api("dialogs", json::object()).Json()["dialogs"];
      if (!list.empty()) return list;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return json::array();
  }
  static constexpr char kControl[] = "VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1";
};

TEST_F(WebControlTest, ListsFoldersInOneBatch) {
  StartServer();
  const int64_t control = Create(kControl);
  ASSERT_EQ(Call(control, "InitControl", json::array()).Json()["result"], true);
  const json count = Call(control, "GetFolderCount", json::array()).Json()["result"];
  ASSERT_EQ(count, 5);
  json calls = json::array();
  for (int i = 0; i < 5; ++i) {
    calls.push_back({{"object", control}, {"member", "GetFolderName"}, {"args", {i}}});
  }
  const json names = Api("batch", {{"calls", calls}}).Json()["results"];
  EXPECT_EQ(names[0], "Inbox");
  EXPECT_EQ(names.size(), 5u);
  const Reply wrong = Call(control, "GetFolderName", json::array());
  EXPECT_EQ(wrong.status, 400);
  EXPECT_NE(wrong.Json().value("error", "").find("GetFolderName takes 1 argument, not 0"),
            std::string::npos)
      << wrong.body;
}

TEST_F(WebControlTest, AboutBoxShowsInThePageWhileOtherCallsGoOn) {
  StartServer();
  const int64_t control = Create(kControl);
  auto about =
      std::async(std::launch::async, [&] { return Call(control, "AboutBox", json::array()); });
  const json dialogs = OpenDialogs();
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0]["object"], control);
  EXPECT_EQ(dialogs[0]["caption"], "About Vorn Outlook Express ActiveX Control");
  // The automation thread serves other calls while the dialog is open.
  EXPECT_EQ(Call(control, "GetFolderCount", json::array()).status, 200);
  EXPECT_EQ(Api("close", {{"dialog", dialogs[0]["dialog"]}, {"result", 1}}).status, 200);
  EXPECT_EQ(about.get().status, 200);

  // Released while its dialog is open, the object's dialog is cancelled.
  about =
      std::async(std::launch::async, [&] { return Call(control, "AboutBox", json::array()); });
  ASSERT_EQ(OpenDialogs().size(), 1u);
  EXPECT_EQ(Api("release", {{"object", control}}).status, 200);
  EXPECT_EQ(about.get().status, 200);
  EXPECT_EQ(Api("dialogs", json::object()).Json()["dialogs"], json::array());
}

TEST_F(WebControlTest, DialogNoPageAsksForIsCancelled) {
  vornweb::ApiOptions api;
  api.dialogTimeout = std::chrono::milliseconds(30);
  StartServer(api);
  const int64_t control = Create(kControl);
  auto about =
      std::async(std::launch::async, [&] { return Call(control, "AboutBox", json::array()); });
  ASSERT_EQ(OpenDialogs().size(), 1u);
  // No page asks for the list again: the dialog is cancelled and the call ends.
  EXPECT_EQ(about.get().status, 200);
  EXPECT_EQ(Api("dialogs", json::object()).Json()["dialogs"], json::array());
}

TEST_F(WebControlTest, DrawsTheFaceAtTheElementSize) {
  StartServer();
  const int64_t control = Create(kControl);
  const Reply raw = Api("draw", {{"object", control}, {"width", 300}, {"height", 40},
                                 {"format", "rgba"}});
  ASSERT_EQ(raw.status, 200) << raw.body;
  EXPECT_NE(raw.head.find("Content-Type: application/octet-stream"), std::string::npos);
  ASSERT_EQ(raw.body.size(), 300u * 40 * 4);
  auto at = [&](int x, int y) {
    const auto* p = reinterpret_cast<const uint8_t*>(raw.body.data()) + (y * 300 + x) * 4;
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  };
  // A black box edge to edge, the red label at its top-left corner, unscaled.
  int red = 0, redRight = 0, other = 0;
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 300; ++x) {
      if (at(x, y) == 0xFF0000FFu) {
        ++red;
        redRight = std::max(redRight, x);
      } else if (at(x, y) != 0x000000FFu) {
        ++other;
      }
    }
  }
  EXPECT_GT(red, 100);
  EXPECT_LT(redRight, 18 * 6);
  EXPECT_EQ(other, 0);
  EXPECT_EQ(at(299, 39), 0x000000FFu);

  // The PNG holds the same pixels.
  const Reply png = Api("draw", {{"object", control}, {"width", 300}, {"height", 40}});
  ASSERT_EQ(png.status, 200);
  EXPECT_NE(png.head.find("Content-Type: image/png"), std::string::npos);
  const std::string file = page_ + "/face.png";
  std::ofstream(file, std::ios::binary) << png.body;
  vorn_test::Picture picture;
  ASSERT_TRUE(vorn_test::ReadPng(file, &picture));
  EXPECT_EQ(picture.width, 300);
  EXPECT_EQ(std::string(picture.rgba.begin(), picture.rgba.end()), raw.body);

  struct Case {
    json request;
    int status;
  } cases[] = {
      {{{"object", control}, {"width", 0}, {"height", 40}}, 400},
      {{{"object", control}, {"width", 5000}, {"height", 40}}, 400},
      {{{"object", control}, {"width", 30}}, 400},
      {{{"object", control}, {"width", 30}, {"height", 4}, {"format", "gif"}}, 400},
      {{{"object", 999}, {"width", 30}, {"height", 4}}, 404},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Api("draw", c.request).status, c.status) << c.request.dump();
  }
}

TEST_F(WebControlTest, MouseMessagesComeBackAsEventsInOrder) {
  StartServer();
  const int64_t control = Create(kControl);
  EXPECT_EQ(Api("events", {{"object", control}}).status, 404);  // not listened to yet
  const Reply listen = Api("listen", {{"object", control}});
  ASSERT_EQ(listen.status, 200) << listen.body;
  const json listed = listen.Json();
  json params;
  for (const json& e : listed["events"]) params[e["name"].get<std::string>()] = e["params"];
  EXPECT_EQ(params["MouseDown"], json({"Button", "Shift", "x", "y"}));
  EXPECT_EQ(params["Click"], json::array());
  int64_t after = listed["after"];

  // The extent follows the drawing: a release outside it is no click.
  ASSERT_EQ(Api("draw", {{"object", control}, {"width", 200}, {"height", 40}}).status, 200);
  // A waiting request returns as soon as the first event comes.
  auto waiting = std::async(std::launch::async, [&] {
    return Api("events", {{"object", control}, {"after", after}, {"wait", 20000}});
  });
  auto mouse = [&](const char* action, int x, int y, int shift = 0) {
    return Api("mouse", {{"object", control}, {"action", action}, {"button", 1},
                         {"shift", shift}, {"x", x}, {"y", y}});
  };
  EXPECT_EQ(mouse("down", 10, 5, 3).Json()["handled"], true);
  const json first = waiting.get().Json();
  ASSERT_EQ(first["events"].size(), 1u) << first.dump();
  EXPECT_EQ(first["events"][0]["name"], "MouseDown");
  EXPECT_EQ(first["events"][0]["args"], json({1, 3, 10, 5}));
  mouse("up", 11, 6);
  mouse("down", 11, 6);
  mouse("dblclick", 11, 6);  // the second press of a double click
  mouse("up", 11, 6);
  mouse("down", 20, 20);
  mouse("up", 250, 20);
  Api("mouse", {{"object", control}, {"action", "move"}, {"buttons", 2}, {"x", -3}, {"y", 7}});
  const json rest = Api("events", {{"object", control}, {"after", first["after"]}}).Json();
  std::string names;
  for (const json& e : rest["events"]) names += e["name"].get<std::string>() + " ";
  EXPECT_EQ(names,
            "MouseUp Click MouseDown DblClick MouseUp MouseDown MouseUp MouseMove ");
  EXPECT_EQ(rest["events"].back()["args"], json({2, 0, -3, 7}));
  EXPECT_EQ(rest["lost"], 0);
  after = rest["after"];
  EXPECT_EQ(Api("events", {{"object", control}, {"after", after}}).Json()["events"],
            json::array());

  struct Case {
    json request;
    int status;
  } cases[] = {
      {{{"object", control}, {"action", "press"}, {"button", 1}, {"x", 0}, {"y", 0}}, 400},
      {{{"object", control}, {"action", "down"}, {"button", 3}, {"x", 0}, {"y", 0}}, 400},
      {{{"object", control}, {"action", "down"}, {"x", 0}, {"y", 0}}, 400},
      {{{"object", control}, {"action", "move"}, {"x", 40000}, {"y", 0}}, 400},
      {{{"object", control}, {"action", "move"}, {"x", 1}}, 400},
      {{{"object", control}, {"action", "move"}, {"shift", 8}, {"x", 1}, {"y", 1}}, 400},
      {{{"object", Create("Vorn.TestThing")}, {"action", "move"}, {"x", 1}, {"y", 1}}, 404},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Api("mouse", c.request).status, c.status) << c.request.dump();
  }
  EXPECT_EQ(Api("events", {{"object", control}, {"after", after}}).Json()["events"],
            json::array());

  // Released, the object's log goes, and a page waiting on it hears so.
  waiting = std::async(std::launch::async, [&] {
    return Api("events", {{"object", control}, {"after", after}, {"wait", 20000}});
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Api("release", {{"object", control}}).status, 200);
  EXPECT_EQ(waiting.get().status, 404);
}

TEST_F(WebControlTest, DialogsAreDescribedFromTheirTemplates) {
  StartServer();
  const int64_t control = Create(kControl);
  auto about =
      std::async(std::launch::async, [&] { return Call(control, "AboutBox", json::array()); });
  json dialogs = OpenDialogs();
  ASSERT_EQ(dialogs.size(), 1u);
  const json& box = dialogs[0];
  EXPECT_EQ(box["child"], false);
  EXPECT_EQ(box["width"], 520);
  EXPECT_EQ(box["font"], json({{"face", "MS Sans Serif"}, {"size", 8}}));
  ASSERT_EQ(box["items"].size(), 4u);
  EXPECT_EQ(box["items"][0]["kind"], "icon");
  EXPECT_EQ(box["items"][0]["image"]["rgba"].get<std::string>().size(), (40u * 40 * 4 + 2) / 3 * 4);
  EXPECT_EQ(box["items"][1]["text"], "Vorn Outlook Express ActiveX Control, Version 1.0");
  EXPECT_EQ(box["items"][3], json({{"kind", "button"}, {"id", 1}, {"x", 442}, {"y", 28},
                                   {"width", 64}, {"height", 28}, {"text", "OK"},
                                   {"default", true}}));
  EXPECT_EQ(Api("close", {{"dialog", box["dialog"]}, {"result", 1}}).status, 200);
  EXPECT_EQ(about.get().status, 200);

  // The Properties verb shows the property page, a child dialog the page frames.
  auto properties = std::async(std::launch::async, [&] {
    return Api("verb", {{"object", control}, {"verb", -7}});
  });
  dialogs = OpenDialogs();
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0]["child"], true);
  EXPECT_EQ(dialogs[0]["caption"], "");
  ASSERT_EQ(dialogs[0]["items"].size(), 1u);
  EXPECT_EQ(dialogs[0]["items"][0]["align"], "center");
  EXPECT_EQ(Api("close", {{"dialog", dialogs[0]["dialog"]}, {"result", 2}}).status, 200);
  EXPECT_EQ(properties.get().status, 200);
  EXPECT_EQ(Api("verb", {{"object", control}, {"verb", 42}}).status, 404);
}

}  // namespace
