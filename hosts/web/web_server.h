// vornweb's server: the page's files and the automation API (api.h) over
// HTTP on 127.0.0.1, safe against a hostile peer.
//
// Every request must name this server in its Host header (127.0.0.1:PORT or
// localhost:PORT), so that a page of another site reached through a
// rebound DNS name gets nothing. Requests under /api/ must carry the token
// in the X-Vorn-Token header; it is compared in constant time. Replies
// carry no CORS headers, and every reply carries
// Content-Security-Policy: default-src 'self'. A request body must be
// given with Content-Length, unencoded, and at most `maxBody` bytes.
//
// The API is POST /api/OPERATION with a JSON body (see api.h); the reply is
// JSON. Calls run on one automation thread; HTTP threads hand them over and
// wait. While the server runs, the runtime's dialogs are shown to the pages
// (one server per process).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "hosts/web/api.h"

namespace vornweb {

struct ServerOptions {
  int port = 0;                // 0: any free port
  // The page's files come from this folder; when it is empty, from the copy
  // built into the program (page_files.h).
  std::string pageDir;
  size_t maxBody = 1 << 20;    // bytes
  ApiOptions api;
  std::chrono::milliseconds tick = std::chrono::seconds(1);  // expiry checks
  // Receives each log line (no newline). Default: standard output.
  std::function<void(const std::string&)> log;
};

class WebServer {
 public:
  explicit WebServer(ServerOptions options);
  // Stops the server.
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Makes the token, binds 127.0.0.1 and starts serving on threads of its
  // own. False, with the reason in *error, when it cannot.
  bool Start(std::string* error);

  // Cancels open dialogs, finishes the requests in progress, releases every
  // object and stops the threads. Safe to call more than once.
  void Stop();

  int port() const { return port_; }
  const std::string& token() const { return token_; }
  // http://127.0.0.1:PORT/#token=TOKEN
  std::string Url() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  std::string token_;
};

}  // namespace vornweb
