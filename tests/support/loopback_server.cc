#include "tests/support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace vorn_test {
namespace {

// True when `chunk` holds a tagged completion (not "* " or "+ ").
bool HoldsCompletion(const std::string& chunk) {
  size_t at = 0;
  while (at < chunk.size()) {
    size_t end = chunk.find('\n', at);
    std::string line = chunk.substr(at, end == std::string::npos ? end : end - at);
    if (!line.empty() && line[0] != '*' && line[0] != '+' &&
        (line.find(" OK") != std::string::npos || line.find(" NO") != std::string::npos)) {
      return true;
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return false;
}

}  // namespace

bool SendAll(int fd, const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (recv(fd, &c, 1, 0) == 1) {
    if (c == '\n') break;
    if (c != '\r') line.push_back(c);
  }
  return line;
}

int ListenOnLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

ScriptedServer::ScriptedServer(std::function<void(int)> script) {
  listener_ = ListenOnLoopback(&port_);
  thread_ = std::thread([this, script] {
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    timeval wait{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof(wait));
    script(fd);
    close(fd);
  });
}

ScriptedServer::~ScriptedServer() {
  shutdown(listener_, SHUT_RDWR);
  thread_.join();
  close(listener_);
}

CuttingProxy::CuttingProxy(uint16_t target) : target_(target) {
  listener_ = ListenOnLoopback(&port_);
  thread_ = std::thread([this] { Run(); });
}

CuttingProxy::~CuttingProxy() {
  stop_ = true;
  thread_.join();
  close(listener_);
  for (auto& p : pairs_) CloseRelay(&p);
}

void CuttingProxy::CutAfter(const std::string& command) {
  std::lock_guard lock(mutex_);
  armed_ = command;
}

void CuttingProxy::CloseRelay(Relay* r) {
  if (r->client >= 0) close(r->client);
  if (r->server >= 0) close(r->server);
  r->client = r->server = -1;
}

void CuttingProxy::Run() {
  while (!stop_) {
    std::vector<pollfd> watch{{listener_, POLLIN, 0}};
    for (const Relay& r : pairs_) {
      watch.push_back({r.client, POLLIN, 0});
      watch.push_back({r.server, POLLIN, 0});
    }
    poll(watch.data(), watch.size(), 50);
    if (cutAll_.exchange(false)) {
      for (auto& p : pairs_) CloseRelay(&p);
      pairs_.clear();
      continue;
    }
    if (watch[0].revents & POLLIN) Accept();
    for (size_t i = 0; i < pairs_.size() && 1 + 2 * i < watch.size(); ++i) {
      Relay& r = pairs_[i];
      if ((watch[1 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) && !Pass(&r, true)) {
        CloseRelay(&r);
      } else if (r.client >= 0 && (watch[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) &&
                 !Pass(&r, false)) {
        CloseRelay(&r);
      }
    }
    pairs_.erase(std::remove_if(pairs_.begin(), pairs_.end(),
                                [](const Relay& r) { return r.client < 0; }),
                 pairs_.end());
  }
}

void CuttingProxy::Accept() {
  int client = accept(listener_, nullptr, nullptr);
  if (client < 0) return;
  if (refuse_) {
    close(client);
    return;
  }
  int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(target_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(server);
    close(client);
    return;
  }
  pairs_.push_back({client, server, false});
}

bool CuttingProxy::Pass(Relay* r, bool fromClient) {
  char buffer[1 << 16];
  ssize_t got = recv(fromClient ? r->client : r->server, buffer, sizeof buffer, 0);
  if (got <= 0) return false;
  std::string chunk(buffer, static_cast<size_t>(got));
  if (fromClient) {
    std::lock_guard lock(mutex_);
    if (!armed_.empty() && chunk.find(" " + armed_ + " ") != std::string::npos) {
      r->watching = true;
      armed_.clear();
    }
  } else if (r->watching && HoldsCompletion(chunk)) {
    cut_ = true;
    return false;  // the server acted; the client never hears of it
  }
  return SendAll(fromClient ? r->server : r->client, chunk);
}

}  // namespace vorn_test
