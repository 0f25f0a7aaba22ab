// Servers on a loopback socket for tests of network clients: one scripted
// in the test, and a relay in front of a real server that cuts connections
// at chosen points. Each runs on a thread of its own; their own sockets are
// theirs alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn_test {

// Sends all of `text`; false once the peer is gone.
bool SendAll(int fd, const std::string& text);
// One line from the peer, without its line end; "" when it closed.
std::string ReadLine(int fd);
// A listening socket on 127.0.0.1 at a free port (*port), or -1.
int ListenOnLoopback(uint16_t* port);

// A server that serves one connection with `script` on its own thread; the
// connection is closed when the script returns.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(int)> script);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// A relay between an IMAP client and a server on 127.0.0.1:`target`. It
// passes both ways, and can cut every connection (a restart), refuse new
// ones (a server down), or let one command of a given name through and cut
// the connection instead of passing on the server's completion of it (a
// server that acted, but whose client never heard).
class CuttingProxy {
 public:
  explicit CuttingProxy(uint16_t target);
  ~CuttingProxy();
  CuttingProxy(const CuttingProxy&) = delete;
  CuttingProxy& operator=(const CuttingProxy&) = delete;
  uint16_t port() const { return port_; }

  // The next command holding `command` ("APPEND", "UID MOVE") is cut off
  // from its completion; "" disarms.
  void CutAfter(const std::string& command);
  void CutAll() { cutAll_ = true; }
  void Refuse(bool refuse) { refuse_ = refuse; }
  // True once an armed cut happened.
  bool cut() const { return cut_; }

 private:
  struct Relay {
    int client = -1;
    int server = -1;
    bool watching = false;  // the armed command went through
  };
  static void CloseRelay(Relay* r);
  void Run();
  void Accept();
  // Moves what waits on one side to the other; false to close the pair.
  bool Pass(Relay* r, bool fromClient);

  const uint16_t target_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::vector<Relay> pairs_;  // the proxy thread's alone
  std::mutex mutex_;
  std::string armed_;
  std::atomic<bool> stop_{false}, cutAll_{false}, refuse_{false}, cut_{false};
};

}  // namespace vorn_test
