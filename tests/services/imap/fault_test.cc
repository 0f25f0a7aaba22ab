// The IMAP store against servers that fail: hostile ones scripted here on a
// loopback socket, and the test Dovecot behind a proxy that cuts the
// connection at chosen points (a server killed or restarted mid-command).

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure_reason.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "services/imap/account.h"
#include "services/imap/imap_client.h"
#include "tests/services/imap/imap_fixture.h"

namespace imap_test {
namespace {

using testing::HasSubstr;
using Clock = std::chrono::steady_clock;

std::string Reason() {
  char text[VORN_MAX_FAILURE_REASON + 1] = {};
  VornGetFailureReason(text, sizeof text);
  return text;
}

bool SendAll(int fd, const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// One line from the client, without its line end; "" when it closed.
std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (recv(fd, &c, 1, 0) == 1) {
    if (c == '\n') break;
    if (c != '\r') line.push_back(c);
  }
  return line;
}

int Listen(uint16_t* port) {
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

// A server that serves one connection with `script` on its own thread.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(int)> script) {
    listener_ = Listen(&port_);
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
  ~ScriptedServer() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// Answers the client's commands as a plain IMAP server with one message in
// INBOX would, up to the UID FETCH, which `fetch` answers.
void UpToFetch(int fd, const std::function<void(int, const std::string&)>& fetch) {
  if (!SendAll(fd, "* OK [CAPABILITY IMAP4rev1] ready\r\n")) return;
  for (std::string line; !(line = ReadLine(fd)).empty();) {
    std::string tag = line.substr(0, line.find(' '));
    if (line.find("LOGIN") != std::string::npos) {
      SendAll(fd, tag + " OK logged in\r\n");
    } else if (line.find("CAPABILITY") != std::string::npos) {
      SendAll(fd, "* CAPABILITY IMAP4rev1\r\n" + tag + " OK done\r\n");
    } else if (line.find("SELECT") != std::string::npos) {
      SendAll(fd, "* 1 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\n* OK [UIDNEXT 2] n\r\n" + tag +
                      " OK [READ-WRITE] selected\r\n");
    } else if (line.find("FETCH") != std::string::npos) {
      fetch(fd, tag);
      return;
    } else {
      SendAll(fd, tag + " OK\r\n");
    }
  }
}

// Sends `head`, then `fill` bytes of filler in blocks for as long as the
// client reads; *sent gets how many the client took.
void Flood(int fd, const std::string& head, size_t fill, std::atomic<size_t>* sent) {
  if (!SendAll(fd, head)) return;
  std::string block(1 << 16, 'x');
  for (size_t done = 0; done < fill; done += block.size()) {
    if (!SendAll(fd, block)) return;
    *sent += block.size();
  }
}

long PeakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Each hostile server is refused with its reason, within the time limit,
// without reading what it floods.
TEST(HostileServer, IsRefusedWithAReasonAndBoundedMemory) {
  std::atomic<size_t> flooded{0};
  const struct {
    const char* what;
    std::function<void(int)> script;
    bool connects;  // the failure comes at the FETCH, after a good login
    HRESULT status;
    const char* reason;
  } cases[] = {
      {"garbage for a greeting", [](int fd) { SendAll(fd, "HTTP/1.1 400 Bad Request\r\n\r\n"); },
       false, vorn_imap::IMAP_E_PROTOCOL, "not IMAP"},
      {"garbage for an answer",
       [](int fd) {
         SendAll(fd, "* OK ready\r\n");
         ReadLine(fd);
         SendAll(fd, "\x01\x02\x03 (((\r\n");
       },
       false, vorn_imap::IMAP_E_PROTOCOL, "not IMAP"},
      {"closes after the greeting", [](int fd) { SendAll(fd, "* OK ready\r\n"); }, false,
       vorn_imap::IMAP_E_UNREACHABLE, "closed the connection"},
      {"keeps silent after the greeting",
       [](int fd) {
         SendAll(fd, "* OK ready\r\n");
         ReadLine(fd);
         ReadLine(fd);  // until the client gives up
       },
       false, vorn_imap::IMAP_E_TIMEOUT, "did not answer within 1 s"},
      {"announces a literal of five gigabytes",
       [&](int fd) {
         UpToFetch(fd, [&](int fd, const std::string&) {
           Flood(fd, "* 1 FETCH (UID 1 FLAGS () INTERNALDATE \"01-Jan-2026 00:00:00 +0000\" "
                     "BODY[] {5000000000}\r\n",
                 size_t{256} << 20, &flooded);
         });
       },
       true, vorn_imap::IMAP_E_PROTOCOL, "literal of 5000000000 bytes"},
      {"sends an endless line",
       [&](int fd) {
         UpToFetch(fd, [&](int fd, const std::string&) {
           Flood(fd, "* 1 FETCH (UID 1 FLAGS (", size_t{256} << 20, &flooded);
         });
       },
       true, vorn_imap::IMAP_E_PROTOCOL, "line of more than"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    flooded = 0;
    long peakBefore = PeakKilobytes();
    ScriptedServer server(c.script);
    vorn_imap::Account account;
    account.server = "127.0.0.1";
    account.port = server.port();
    account.user = "someone";
    account.password = "secret";
    account.timeoutSeconds = 1;
    vorn_imap::ImapClient client;
    VornSetFailureReason(nullptr);
    Clock::time_point start = Clock::now();
    HRESULT hr = client.Connect(account);
    if (c.connects) {
      ASSERT_EQ(hr, S_OK);
      ASSERT_EQ(client.Select("INBOX"), S_OK);
      std::vector<vorn_imap::FetchedMessage> fetched;
      hr = client.Fetch({1}, true, 0, &fetched);
    }
    EXPECT_EQ(hr, c.status);
    EXPECT_THAT(Reason(), HasSubstr(c.reason));
    EXPECT_THAT(Reason(), HasSubstr("127.0.0.1"));
    EXPECT_FALSE(client.connected());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
    client.Disconnect();
    // The client stopped reading at once: the server got rid of no more
    // than the socket buffers and the 16 MiB line limit hold.
    EXPECT_LT(flooded.load(), size_t{48} << 20);
    EXPECT_LT(PeakKilobytes() - peakBefore, 128 * 1024);
  }
}

// A proxy between the store and the test Dovecot. It relays both ways, and
// can cut every connection (a restart), refuse new ones (a server down), or
// let one command of a given name through and cut the connection instead
// of passing on the server's completion of it (a server killed after it
// acted but before the client heard).
class CuttingProxy {
 public:
  explicit CuttingProxy(uint16_t target) : target_(target) {
    listener_ = Listen(&port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~CuttingProxy() {
    stop_ = true;
    thread_.join();
    close(listener_);
    for (auto& p : pairs_) CloseRelay(&p);
  }
  uint16_t port() const { return port_; }

  // The next command holding `command` ("APPEND", "UID MOVE") is cut off
  // from its completion.
  void CutAfter(const std::string& command) {
    std::lock_guard lock(mutex_);
    armed_ = command;
  }
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
  static void CloseRelay(Relay* r) {
    if (r->client >= 0) close(r->client);
    if (r->server >= 0) close(r->server);
    r->client = r->server = -1;
  }
  // True when `chunk` holds a tagged completion (not "* " or "+ ").
  static bool HoldsCompletion(const std::string& chunk) {
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

  void Run() {
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
  void Accept() {
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
  // Moves what waits on one side to the other; false to close the pair.
  bool Pass(Relay* r, bool fromClient) {
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

  const uint16_t target_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::vector<Relay> pairs_;  // the proxy thread's alone
  std::mutex mutex_;
  std::string armed_;
  std::atomic<bool> stop_{false}, cutAll_{false}, refuse_{false}, cut_{false};
};

class ImapFaultTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Server().ok()) << Server().error();
    initialised_ = SUCCEEDED(CoInitialize(nullptr));
    ASSERT_EQ(S_OK, RegisterLibrary(MimeLibraryPath()));
    user_ = Server().NewUser();
    Server().WriteAccount(user_);
    proxy_ = std::make_unique<CuttingProxy>(Server().port());
    SetValue("Port", std::to_string(proxy_->port()));
    SetValue("Timeout", "3");
  }
  void TearDown() override {
    proxy_.reset();
    if (initialised_) CoUninitialize();
  }
  static void SetValue(const char* name, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, vorn_imap::kAccountKey, 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
  }
  ComPtr<IStoreNamespace> Open() {
    ComPtr<IStoreNamespace> ns;
    EXPECT_EQ(CreateImapNamespace(&ns), S_OK);
    EXPECT_EQ(ns->Initialize(nullptr, 0), S_OK) << Reason();
    return ns;
  }
  // Straight to Dovecot, past the proxy.
  std::unique_ptr<vorn_imap::ImapClient> Direct() {
    auto client = std::make_unique<vorn_imap::ImapClient>();
    vorn_imap::Account account;
    account.server = "127.0.0.1";
    account.port = Server().port();
    account.user = user_;
    account.password = vorn_test::kDovecotPassword;
    EXPECT_EQ(client->Connect(account), S_OK);
    return client;
  }
  // The messages of `mailbox` on the server: (uid, seen).
  std::vector<std::pair<uint32_t, bool>> OnServer(const std::string& mailbox) {
    auto client = Direct();
    std::vector<std::pair<uint32_t, bool>> out;
    if (FAILED(client->Select(mailbox))) return out;
    std::vector<vorn_imap::FetchedMessage> all;
    EXPECT_EQ(client->Fetch({}, false, 0, &all), S_OK);
    for (const auto& m : all) out.emplace_back(m.uid, m.seen);
    return out;
  }
  static std::vector<std::pair<MESSAGEID, DWORD>> Messages(IStoreFolder* folder, HRESULT* hr) {
    std::vector<std::pair<MESSAGEID, DWORD>> seen;
    MESSAGEPROPS props{};
    props.cbSize = CB_MESSAGEPROPS;
    HENUMSTORE handle = 0;
    *hr = folder->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &handle);
    for (HRESULT step = *hr; step == S_OK; step = folder->GetNextMessage(handle, 0, &props)) {
      seen.emplace_back(props.dwMessageId, props.dwFlags);
      folder->FreeMessageProps(&props);
    }
    if (*hr == S_FALSE) *hr = S_OK;
    if (handle) folder->GetMessageClose(handle);
    return seen;
  }
  static HRESULT Add(IStoreFolder* folder, const std::string& subject, MESSAGEID* id) {
    std::string raw = "From: a@example.org\r\nSubject: " + subject + "\r\n\r\nText\r\n";
    ComPtr<IStream> stream;
    HRESULT hr = folder->CreateStream(0, 0, stream.Put(), id);
    if (FAILED(hr)) return hr;
    stream->Write(raw.data(), static_cast<ULONG>(raw.size()), nullptr);
    return folder->CommitStream(0, 0, 0, stream.Get(), *id, nullptr);
  }

  vorn_test::TempRoot root_;
  bool initialised_ = false;
  std::string user_;
  std::unique_ptr<CuttingProxy> proxy_;
};

// A server restarted between two calls costs nothing; one that is down
// fails the call with a reason, and the first call after it is back works.
TEST_F(ImapFaultTest, ALostConnectionIsMadeAgainOnTheNextCall) {
  ComPtr<IStoreNamespace> ns = Open();
  STOREFOLDERID folderId = 0;
  ASSERT_EQ(ns->CreateFolder(FOLDERID_ROOT, "Steady", 0, &folderId), S_OK);
  ComPtr<IStoreFolder> inbox;
  ASSERT_EQ(ns->OpenFolder(folderId, 0, inbox.Put()), S_OK);
  MESSAGEID id = 0;
  ASSERT_EQ(Add(inbox.Get(), "kept", &id), S_OK);
  HRESULT hr = E_FAIL;
  auto before = Messages(inbox.Get(), &hr);

  proxy_->CutAll();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Messages(inbox.Get(), &hr), before) << "listed again on a new connection";
  EXPECT_EQ(hr, S_OK) << Reason();

  proxy_->Refuse(true);
  proxy_->CutAll();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  VornSetFailureReason(nullptr);
  Clock::time_point start = Clock::now();
  Messages(inbox.Get(), &hr);
  EXPECT_LT(hr, 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_THAT(Reason(), HasSubstr("127.0.0.1"));
  proxy_->Refuse(false);
  EXPECT_EQ(Messages(inbox.Get(), &hr), before);
  EXPECT_EQ(hr, S_OK) << Reason();
}

// The server acts on a command and the connection dies before its answer:
// the call may fail, but the next listing is right, and the server holds
// each message once (an append in doubt is looked for, not sent again).
TEST_F(ImapFaultTest, ACommandWhoseAnswerIsLostStoresNothingTwiceAndLosesNothing) {
  const struct {
    const char* command;
    const char* operation;
    size_t source, destination;  // messages on the server afterwards
    bool sourceSeen;
  } cases[] = {
      {"APPEND", "append", 2, 0, false},
      {"UID COPY", "copy", 1, 1, false},
      {"UID MOVE", "move", 0, 1, false},
      {"UID EXPUNGE", "remove", 0, 0, false},
      {"UID STORE", "mark", 1, 0, true},
  };
  ComPtr<IStoreNamespace> ns = Open();
  std::set<MESSAGEID> everSeen;
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    std::string src = "Src" + std::to_string(++round), dst = "Dst" + std::to_string(round);
    STOREFOLDERID srcId = 0, dstId = 0;
    ASSERT_EQ(ns->CreateFolder(FOLDERID_ROOT, src.c_str(), 0, &srcId), S_OK);
    ASSERT_EQ(ns->CreateFolder(FOLDERID_ROOT, dst.c_str(), 0, &dstId), S_OK);
    ComPtr<IStoreFolder> from, to;
    ASSERT_EQ(ns->OpenFolder(srcId, 0, from.Put()), S_OK);
    ASSERT_EQ(ns->OpenFolder(dstId, 0, to.Put()), S_OK);
    MESSAGEID id = 0;
    ASSERT_EQ(Add(from.Get(), "one", &id), S_OK);
    everSeen.insert(id);

    proxy_->CutAfter(c.command);
    MESSAGEIDLIST list{CB_MESSAGEIDLIST, 1, &id};
    std::string operation = c.operation;
    MESSAGEID added = 0;
    HRESULT hr = S_OK;
    Clock::time_point start = Clock::now();
    if (operation == "append") {
      hr = Add(from.Get(), "two", &added);
      EXPECT_EQ(hr, S_OK) << "the message in doubt was found stored: " << Reason();
    } else if (operation == "copy" || operation == "move") {
      hr = ns->CopyMoveMessages(from.Get(), to.Get(), &list, operation == "move" ? CMF_MOVE : 0,
                                0, nullptr);
    } else if (operation == "remove") {
      hr = from->DeleteMessages(&list, 0, nullptr);
    } else {
      hr = from->MarkMessagesAsRead(TRUE, 0, &list);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(proxy_->cut());
    proxy_->CutAfter("");

    EXPECT_EQ(OnServer(src).size(), c.source);
    EXPECT_EQ(OnServer(dst).size(), c.destination);
    if (c.sourceSeen) {
      EXPECT_TRUE(OnServer(src).at(0).second);
    }
    HRESULT listed = E_FAIL;
    auto inSource = Messages(from.Get(), &listed);
    ASSERT_EQ(listed, S_OK) << Reason();
    auto inDestination = Messages(to.Get(), &listed);
    ASSERT_EQ(listed, S_OK) << Reason();
    EXPECT_EQ(inSource.size(), c.source) << "the cache agrees with the server";
    EXPECT_EQ(inDestination.size(), c.destination);
    if (added) {
      EXPECT_EQ(std::count_if(inSource.begin(), inSource.end(),
                              [&](const auto& m) { return m.first == added; }),
                1);
    }
    if (c.sourceSeen) {
      EXPECT_EQ(inSource.at(0).second & MSGFLAG_READ, MSGFLAG_READ);
    }
    for (const auto* listing : {&inSource, &inDestination}) {
      for (const auto& [listedId, flags] : *listing) {
        bool known = everSeen.count(listedId) > 0;
        bool fresh = listedId == added || operation == "copy" || operation == "move";
        EXPECT_TRUE(known || fresh) << listedId;
        everSeen.insert(listedId);
      }
    }
  }
}

// Another client changes the account between the store's listing and its
// next calls: what vanished reads as not found and refuses changes, the
// next listing shows the server's state, and no identifier comes back.
TEST_F(ImapFaultTest, ChangesFromAnotherClientBetweenListingAndReads) {
  using vorn_imap::ImapClient;
  const struct {
    const char* change;
    std::function<void(ImapClient*, const std::string&, uint32_t)> act;
    bool vanishes;  // the victim is no longer in the folder
  } cases[] = {
      {"removes it",
       [](ImapClient* other, const std::string&, uint32_t uid) {
         ASSERT_EQ(other->Store({uid}, ImapClient::Flag::kDeleted, true), S_OK);
         ASSERT_EQ(other->Expunge({uid}), S_OK);
       },
       true},
      {"moves it",
       [](ImapClient* other, const std::string&, uint32_t uid) {
         std::vector<std::pair<uint32_t, uint32_t>> pairs;
         uint32_t validity = 0;
         ASSERT_EQ(other->Copy({uid}, "Elsewhere", true, &pairs, &validity), S_OK);
       },
       true},
      {"flags it",
       [](ImapClient* other, const std::string&, uint32_t uid) {
         ASSERT_EQ(other->Store({uid}, ImapClient::Flag::kSeen, true), S_OK);
       },
       false},
      {"renames its folder",
       [](ImapClient* other, const std::string& mailbox, uint32_t) {
         ASSERT_EQ(other->Rename(mailbox, mailbox + "-renamed"), S_OK);
       },
       true},
  };
  ComPtr<IStoreNamespace> ns = Open();
  STOREFOLDERID elsewhere = 0;
  ASSERT_EQ(ns->CreateFolder(FOLDERID_ROOT, "Elsewhere", 0, &elsewhere), S_OK);
  std::set<MESSAGEID> handedOut, inElsewhere;
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    std::string mailbox = "Watched" + std::to_string(++round);
    STOREFOLDERID folderId = 0;
    ASSERT_EQ(ns->CreateFolder(FOLDERID_ROOT, mailbox.c_str(), 0, &folderId), S_OK);
    ComPtr<IStoreFolder> folder;
    ASSERT_EQ(ns->OpenFolder(folderId, 0, folder.Put()), S_OK);
    MESSAGEID victim = 0, bystander = 0;
    ASSERT_EQ(Add(folder.Get(), "victim", &victim), S_OK);
    ASSERT_EQ(Add(folder.Get(), "bystander", &bystander), S_OK);
    handedOut.insert({victim, bystander});
    HRESULT hr = E_FAIL;
    ASSERT_EQ(Messages(folder.Get(), &hr).size(), 2u);

    auto other = Direct();
    ASSERT_EQ(other->Select(mailbox), S_OK);
    std::vector<vorn_imap::FetchedMessage> all;
    ASSERT_EQ(other->Fetch({}, false, 0, &all), S_OK);
    ASSERT_EQ(all.size(), 2u);
    c.act(other.get(), mailbox, all[0].uid);

    ComPtr<IStream> stream;
    HRESULT read = folder->OpenMessage(victim, IID_IStream, stream.PutVoid());
    MESSAGEIDLIST list{CB_MESSAGEIDLIST, 1, &victim};
    HRESULT marked = folder->MarkMessagesAsRead(TRUE, 0, &list);
    if (c.vanishes) {
      EXPECT_LT(read, 0);
      EXPECT_EQ(stream.Get(), nullptr);
      EXPECT_LT(marked, 0) << "a change to a message that is gone";
    } else {
      EXPECT_EQ(read, S_OK);
      EXPECT_EQ(marked, S_OK);
    }
    auto listed = Messages(folder.Get(), &hr);
    if (std::string(c.change) == "renames its folder") {
      EXPECT_LT(hr, 0) << "the folder's mailbox is gone";
    } else {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(listed.size(), c.vanishes ? 1u : 2u);
      EXPECT_EQ(listed.at(c.vanishes ? 0 : 1).first, bystander);
    }
    // What turned up elsewhere got an identifier never handed out before.
    ComPtr<IStoreFolder> there;
    ASSERT_EQ(ns->OpenFolder(elsewhere, 0, there.Put()), S_OK);
    for (const auto& m : Messages(there.Get(), &hr)) {
      if (inElsewhere.insert(m.first).second) {
        EXPECT_EQ(handedOut.count(m.first), 0u) << m.first;
      }
    }
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(inElsewhere.size(), round >= 2 ? 1u : 0u);
  }
}

// Two stores on one account and one cache (as two processes have): what
// each appends, at the same time, the other lists, under the same
// identifier, and nothing is lost.
TEST_F(ImapFaultTest, TwoStoresOnOneCacheSeeEachOthersMessages) {
  ComPtr<IStoreNamespace> first = Open();
  STOREFOLDERID folderId = 0;
  ASSERT_EQ(first->CreateFolder(FOLDERID_ROOT, "Together", 0, &folderId), S_OK);
  constexpr int kEach = 12;
  std::vector<MESSAGEID> added[2];
  std::thread workers[2];
  for (int w = 0; w < 2; ++w) {
    workers[w] = std::thread([&, w] {
      CoInitialize(nullptr);
      {
        ComPtr<IStoreNamespace> ns = Open();
        ComPtr<IStoreFolder> folder;
        ASSERT_EQ(ns->OpenFolder(folderId, 0, folder.Put()), S_OK);
        for (int i = 0; i < kEach; ++i) {
          MESSAGEID id = 0;
          EXPECT_EQ(Add(folder.Get(), "w" + std::to_string(w) + "-" + std::to_string(i), &id),
                    S_OK);
          added[w].push_back(id);
          HRESULT hr = E_FAIL;
          Messages(folder.Get(), &hr);  // listings race with the other's appends
          EXPECT_EQ(hr, S_OK);
        }
      }
      CoUninitialize();
    });
  }
  for (auto& worker : workers) worker.join();
  std::vector<MESSAGEID> expected(added[0]);
  expected.insert(expected.end(), added[1].begin(), added[1].end());
  std::sort(expected.begin(), expected.end());
  ComPtr<IStoreNamespace> second = Open();
  for (IStoreNamespace* ns : {first.Get(), second.Get()}) {
    ComPtr<IStoreFolder> folder;
    ASSERT_EQ(ns->OpenFolder(folderId, 0, folder.Put()), S_OK);
    HRESULT hr = E_FAIL;
    std::vector<MESSAGEID> ids;
    for (const auto& m : Messages(folder.Get(), &hr)) ids.push_back(m.first);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(ids, expected);
  }
  EXPECT_EQ(OnServer("Together").size(), expected.size());
}

}  // namespace
}  // namespace imap_test
