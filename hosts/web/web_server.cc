#include "hosts/web/web_server.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <optional>
#include <strings.h>
#include <utility>

#include <httplib.h>

#include "hosts/web/automation_thread.h"
#include "hosts/web/page_files.h"

namespace vornweb {

using nlohmann::json;

namespace {

constexpr char kTokenHeader[] = "X-Vorn-Token";
constexpr size_t kMaxJsonDepth = 64;

// 256 bits from the system's random source, as 64 hexadecimal digits.
bool MakeToken(std::string* token) {
  unsigned char bytes[32];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  token->clear();
  for (unsigned char b : bytes) {
    token->push_back(kHex[b >> 4]);
    token->push_back(kHex[b & 0xF]);
  }
  return true;
}

// Compares in time that depends on the lengths only, not on where the texts
// differ.
bool SameSecret(const std::string& given, const std::string& secret) {
  if (given.size() != secret.size()) return false;
  volatile unsigned char diff = 0;
  for (size_t i = 0; i < secret.size(); ++i) {
    diff = static_cast<unsigned char>(diff | (given[i] ^ secret[i]));
  }
  return diff == 0;
}

// How deeply the JSON text nests arrays and objects, strings skipped.
size_t NestingDepth(const std::string& text) {
  size_t depth = 0, deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

// Content-Length as a number; nullopt when it is not plain digits.
std::optional<unsigned long long> LengthOf(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  unsigned long long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

void Answer(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace),
                  "application/json; charset=utf-8");
}

// The built-in page file at `path` ("/" is "/index.html"); null when there
// is none.
const PageFile* BuiltInFile(const std::string& path) {
  const std::string name = path == "/" ? std::string("/index.html") : path;
  for (size_t i = 0; i < kPageFileCount; ++i) {
    if (name == kPageFiles[i].path) return &kPageFiles[i];
  }
  return nullptr;
}

void Refuse(httplib::Response& res, int status, const std::string& why) {
  Answer(res, status, json{{"error", why}});
  // The body of a refused request is never read. The client is asked to
  // close; if it sends more, the rest is screened as a request of its own.
  res.set_header("Connection", "close");
}

}  // namespace

class WebServer::Impl {
 public:
  explicit Impl(ServerOptions options)
      : options_(std::move(options)),
        api_(options_.api, &thread_),
        thread_(options_.tick, [this] { api_.Tick(); }, [this] { api_.Shutdown(); }) {
    if (!options_.log) {
      options_.log = [](const std::string& line) {
        std::fputs((line + "\n").c_str(), stdout);
        std::fflush(stdout);
      };
    }
  }

  bool Start(const std::string& token, int* bound, std::string* error);
  void Stop();

 private:
  static INT_PTR DialogRunner(HINSTANCE instance, LPCSTR templateName, HWND, void* context) {
    return static_cast<Impl*>(context)->api_.RunDialog(instance, templateName);
  }

  httplib::Server::HandlerResponse Screen(const httplib::Request& req, httplib::Response& res);
  void ServeApi(const httplib::Request& req, httplib::Response& res);
  void Log(const std::string& line);

  ServerOptions options_;
  Api api_;
  AutomationThread thread_;
  httplib::Server http_;
  std::thread listener_;
  std::atomic<bool> listenerDone_{false};
  std::string token_;
  std::string hosts_[2];
  std::mutex logMutex_;
  bool started_ = false;
  bool stopped_ = false;
};

void WebServer::Impl::Log(const std::string& line) {
  std::string text = line;
  // The token is shown once, by whoever started the server; never here.
  for (size_t at; !token_.empty() && (at = text.find(token_)) != std::string::npos;) {
    text.replace(at, token_.size(), "[token]");
  }
  std::lock_guard<std::mutex> lock(logMutex_);
  options_.log(text);
}

httplib::Server::HandlerResponse WebServer::Impl::Screen(const httplib::Request& req,
                                                           httplib::Response& res) {
  using R = httplib::Server::HandlerResponse;
  const std::string host = req.get_header_value("Host");
  if (req.get_header_value_count("Host") != 1 ||
      (strcasecmp(host.c_str(), hosts_[0].c_str()) != 0 &&
       strcasecmp(host.c_str(), hosts_[1].c_str()) != 0)) {
    Refuse(res, 421, "this server answers only to " + hosts_[0] + " and " + hosts_[1]);
    return R::Handled;
  }
  if (req.has_header("Transfer-Encoding")) {
    Refuse(res, 411, "give the body with Content-Length");
    return R::Handled;
  }
  if (req.has_header("Content-Encoding")) {
    Refuse(res, 415, "encoded bodies are not accepted");
    return R::Handled;
  }
  if (req.has_header("Content-Length")) {
    const auto length = LengthOf(req.get_header_value("Content-Length"));
    if (!length || req.get_header_value_count("Content-Length") != 1) {
      Refuse(res, 400, "malformed Content-Length");
      return R::Handled;
    }
    if (*length > options_.maxBody) {
      Refuse(res, 413, "the body is larger than " + std::to_string(options_.maxBody) + " bytes");
      return R::Handled;
    }
  } else if (req.method != "GET" && req.method != "HEAD") {
    Refuse(res, 411, "give the body with Content-Length");
    return R::Handled;
  }
  // Only reading the page's files goes without the token.
  const bool reading = req.method == "GET" || req.method == "HEAD";
  if ((!reading || req.path.rfind("/api/", 0) == 0) &&
      (req.get_header_value_count(kTokenHeader) != 1 ||
       !SameSecret(req.get_header_value(kTokenHeader), token_))) {
    Refuse(res, 401, std::string("missing or wrong ") + kTokenHeader);
    return R::Handled;
  }
  return R::Unhandled;
}

void WebServer::Impl::ServeApi(const httplib::Request& req, httplib::Response& res) {
  const std::string operation = req.matches[1];
  if (NestingDepth(req.body) > kMaxJsonDepth) {
    Answer(res, 400, json{{"error", "the JSON nests too deeply"}});
    return;
  }
  json request = json::parse(req.body.empty() ? std::string("{}") : req.body, nullptr, false);
  if (request.is_discarded()) {
    Answer(res, 400, json{{"error", "the body is not valid JSON"}});
    return;
  }
  ApiReply reply{503, json{{"error", "the server is stopping"}}};
  if (operation == "events") {
    // It waits for events the automation thread brings, so it waits here.
    reply = api_.WaitForEvents(request);
  } else {
    thread_.Run([&] { reply = api_.Handle(operation, request); });
  }
  if (!reply.contentType.empty()) {
    res.status = reply.status;
    res.set_content(reply.data, reply.contentType);
    return;
  }
  Answer(res, reply.status, reply.body);
}

bool WebServer::Impl::Start(const std::string& token, int* bound, std::string* error) {
  token_ = token;
  int port = options_.port;
  http_.set_default_headers({{"Content-Security-Policy", "default-src 'self'"},
                             {"X-Content-Type-Options", "nosniff"},
                             {"Referrer-Policy", "no-referrer"},
                             {"Cache-Control", "no-store"}});
  http_.set_payload_max_length(options_.maxBody);
  // A reply goes out in more than one write; without this, Nagle's algorithm
  // holds its end back until the browser's delayed acknowledgement (40 ms).
  http_.set_tcp_nodelay(true);
  http_.set_pre_routing_handler(
      [this](const httplib::Request& req, httplib::Response& res) { return Screen(req, res); });
  http_.Post(R"(/api/([a-z]+))",
             [this](const httplib::Request& req, httplib::Response& res) { ServeApi(req, res); });
  http_.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                 std::exception_ptr) {
    Answer(res, 500, json{{"error", "internal error"}});
  });
  http_.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    // The path only: a query string may hold anything a client put there.
    Log(req.method + " " + req.path + " " + std::to_string(res.status));
  });
  if (options_.pageDir.empty()) {
    http_.Get(R"(/.*)", [](const httplib::Request& req, httplib::Response& res) {
      const PageFile* file = BuiltInFile(req.path);
      if (!file) {
        Answer(res, 404, json{{"error", "no such file"}});
        return;
      }
      res.set_content(reinterpret_cast<const char*>(file->data), file->size, file->contentType);
    });
  } else if (!http_.set_mount_point("/", options_.pageDir)) {
    *error = "no page folder " + options_.pageDir;
    return false;
  }
  if (port == 0) {
    port = http_.bind_to_any_port("127.0.0.1");
    if (port <= 0) {
      *error = "cannot listen on 127.0.0.1";
      return false;
    }
  } else if (!http_.bind_to_port("127.0.0.1", port)) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port);
    return false;
  }
  *bound = port;
  hosts_[0] = "127.0.0.1:" + std::to_string(port);
  hosts_[1] = "localhost:" + std::to_string(port);
  VornSetDialogRunner(DialogRunner, this);
  started_ = true;
  listener_ = std::thread([this] {
    http_.listen_after_bind();
    listenerDone_ = true;
  });
  // Stop does nothing to a server that has not begun listening yet, so
  // Start returns only once it has.
  while (!http_.is_running() && !listenerDone_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void WebServer::Impl::Stop() {
  if (stopped_) return;
  stopped_ = true;
  // Open dialogs are cancelled first, so that the calls waiting for them
  // end and the HTTP threads waiting for those calls can finish.
  thread_.Run([this] { api_.Shutdown(); });
  http_.stop();
  if (listener_.joinable()) listener_.join();
  thread_.Stop();
  if (started_) VornSetDialogRunner(nullptr, nullptr);
}

WebServer::WebServer(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::Start(std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  if (!MakeToken(&token_)) {
    *error = "cannot read the system's random source";
    return false;
  }
  return impl_->Start(token_, &port_, error);
}

void WebServer::Stop() { impl_->Stop(); }

std::string WebServer::Url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/#token=" + token_;
}

}  // namespace vornweb
