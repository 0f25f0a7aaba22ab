#include "tests/services/store/stress_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <set>
#include <sstream>
#include <thread>

#include "platform/loader.h"
#include "platform/runtime.h"
#include "tests/support/temp_root.h"

namespace store_stress {
namespace {

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "%08" PRIx32, static_cast<uint32_t>(hr));
  return text;
}

HRESULT RegisterLibrary(const std::string& path) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) return CO_E_DLLNOTFOUND;
  auto reg = reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module, "DllRegisterServer"));
  if (!reg) return CO_E_ERRORINDLL;
  // The library stays loaded: the store loads it again through the registry.
  return reg();
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

uint32_t ToId(const std::string& text) {
  return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

}  // namespace

HRESULT RegisterServers() {
  HRESULT hr = RegisterLibrary(vorn_test::BinDir() + "/vornstore.so");
  if (SUCCEEDED(hr)) hr = RegisterLibrary(vorn_test::BinDir() + "/vornmime.so");
  return hr;
}

HRESULT OpenStore(ComPtr<IStoreNamespace>* store) {
  ComPtr<IStoreNamespace> created;
  HRESULT hr = CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IStoreNamespace, created.PutVoid());
  if (FAILED(hr)) return hr;
  if (FAILED(hr = created->Initialize(nullptr, 0))) return hr;
  *store = std::move(created);
  return S_OK;
}

std::string StoreFilePath() {
  char root[4096] = {};
  DWORD length = VornGetRootPath(root, sizeof root);
  if (length == 0 || length >= sizeof root) return std::string();
  return std::string(root, length) + "/store/store.db";
}

std::string IntegrityCheck(const std::string& file) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  if (rc != SQLITE_OK) {
    std::string why = std::string("cannot open: ") + sqlite3_errstr(rc);
    sqlite3_close(db);
    return why;
  }
  sqlite3_busy_timeout(db, 10000);
  std::string result;
  sqlite3_stmt* stmt = nullptr;
  rc = sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
  while (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (!result.empty()) result += "; ";
    result += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    rc = SQLITE_OK;
  }
  if (rc != SQLITE_DONE) result += std::string(" (failed: ") + sqlite3_errmsg(db) + ")";
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return result;
}

std::string MakeStressMessage(const std::string& tag, size_t size, std::mt19937_64& random) {
  std::string text = "From: Stress Writer <writer@example.org>\r\n"
                     "To: Reader One <one@example.org>, two@example.org\r\n"
                     "Subject: " + tag + "\r\n"
                     "Date: Tue, 3 Jan 2023 09:05:03 +0000\r\n"
                     "Message-ID: <" + tag + "@stress.example.org>\r\n"
                     "Content-Type: text/plain; charset=utf-8\r\n\r\n";
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz     ";
  while (text.size() + 2 < size) {
    size_t line = std::min<size_t>(76, size - text.size() - 2);
    for (size_t i = 0; i < line; ++i) text += kLetters[random() % (sizeof kLetters - 1)];
    text += "\r\n";
  }
  return text;
}

std::string DigestHex(IStoreImport* import, std::string_view text) {
  BYTE digest[CB_MESSAGE_DIGEST] = {};
  if (FAILED(import->GetMessageDigest(reinterpret_cast<const BYTE*>(text.data()),
                                      static_cast<ULONG>(text.size()), digest, sizeof digest))) {
    return "digest-failed";
  }
  std::string hex;
  for (BYTE b : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", b);
    hex += pair;
  }
  return hex;
}

HRESULT ReadMessageText(IStoreFolder* folder, MESSAGEID id, std::string* text) {
  text->clear();
  ComPtr<IStream> stream;
  HRESULT hr = folder->OpenMessage(id, IID_IStream, stream.PutVoid());
  if (FAILED(hr)) return hr;
  char buffer[65536];
  for (;;) {
    ULONG got = 0;
    if (FAILED(hr = stream->Read(buffer, sizeof buffer, &got))) return hr;
    if (got == 0) return S_OK;
    text->append(buffer, got);
  }
}

HRESULT CommitMessage(IStoreFolder* folder, std::string_view text, MESSAGEID* id, size_t piece) {
  *id = MESSAGEID_INVALID;
  ComPtr<IStream> stream;
  MESSAGEID reserved = MESSAGEID_INVALID;
  HRESULT hr = folder->CreateStream(0, 0, stream.Put(), &reserved);
  if (FAILED(hr)) return hr;
  *id = reserved;
  for (size_t at = 0; at < text.size(); at += piece) {
    ULONG chunk = static_cast<ULONG>(std::min(piece, text.size() - at));
    ULONG written = 0;
    if (FAILED(hr = stream->Write(text.data() + at, chunk, &written))) return hr;
    if (written != chunk) return STG_E_WRITEFAULT;
  }
  return folder->CommitStream(0, 0, 0, stream.Get(), reserved, nullptr);
}

HRESULT ListFolders(IStoreNamespace* store, STOREFOLDERID parent, std::vector<FolderRow>* out) {
  out->clear();
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE handle = 0;
  HRESULT hr = store->GetFirstSubFolder(parent, &props, &handle);
  while (hr == S_OK) {
    out->push_back({props.dwFolderId, props.szName, props.sfType, props.cSubFolders,
                    props.cUnread, props.cMessage});
    hr = store->GetNextSubFolder(handle, &props);
  }
  if (handle) store->GetSubFolderClose(handle);
  return FAILED(hr) ? hr : S_OK;
}

HRESULT ListMessages(IStoreFolder* folder, std::vector<MessageRow>* out) {
  out->clear();
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  HENUMSTORE handle = 0;
  HRESULT hr = folder->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &handle);
  while (hr == S_OK) {
    out->push_back({props.dwMessageId, props.dwFlags, props.cbMessage,
                    props.pszSubject ? props.pszSubject : ""});
    folder->FreeMessageProps(&props);
    hr = folder->GetNextMessage(handle, 0, &props);
  }
  if (handle) folder->GetMessageClose(handle);
  return FAILED(hr) ? hr : S_OK;
}

STOREFOLDERID FindFolder(IStoreNamespace* store, STOREFOLDERID parent, const std::string& name) {
  std::vector<FolderRow> rows;
  if (FAILED(ListFolders(store, parent, &rows))) return FOLDERID_INVALID;
  for (const FolderRow& row : rows) {
    if (row.name == name) return row.id;
  }
  return FOLDERID_INVALID;
}

namespace {

void DumpFolder(IStoreNamespace* store, IStoreImport* import, STOREFOLDERID parent, int depth,
                std::string* out) {
  std::vector<FolderRow> folders;
  HRESULT hr = ListFolders(store, parent, &folders);
  if (FAILED(hr)) *out += "error " + Hex(hr) + "\n";
  for (const FolderRow& f : folders) {
    *out += std::string(depth * 2, ' ') + "folder " + std::to_string(f.id) + " '" + f.name +
            "' special " + std::to_string(f.special) + " sub " + std::to_string(f.subFolders) +
            " unread " + std::to_string(f.unread) + " count " + std::to_string(f.messages) + "\n";
    ComPtr<IStoreFolder> folder;
    if (FAILED(hr = store->OpenFolder(f.id, 0, folder.Put()))) {
      *out += "error " + Hex(hr) + "\n";
      continue;
    }
    std::vector<MessageRow> messages;
    if (FAILED(hr = ListMessages(folder.Get(), &messages))) *out += "error " + Hex(hr) + "\n";
    for (const MessageRow& m : messages) {
      std::string text;
      hr = ReadMessageText(folder.Get(), m.id, &text);
      *out += std::string(depth * 2 + 2, ' ') + "message " + std::to_string(m.id) + " flags " +
              std::to_string(m.flags) + " size " + std::to_string(m.size) + " '" + m.subject +
              "' " + (FAILED(hr) ? "error " + Hex(hr) : DigestHex(import, text)) + "\n";
    }
    DumpFolder(store, import, f.id, depth + 1, out);
  }
}

}  // namespace

std::string DumpStore(IStoreNamespace* store) {
  ComPtr<IStoreImport> import;
  ComPtr<IStoreNamespace>(store).As(&import);
  if (!import) return "no import extension";
  std::string out;
  DumpFolder(store, import.Get(), FOLDERID_ROOT, 0, &out);
  return out;
}

// ---- Worker processes -------------------------------------------------------

std::string WorkerPath() { return vorn_test::BinDir() + "/store_stress_worker"; }

void Report(const std::string& line) {
  std::string text = line + "\n";
  const char* at = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t written = write(STDOUT_FILENO, at, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) _exit(4);  // the reader has gone: nothing left to do
    at += written;
    left -= static_cast<size_t>(written);
  }
}

Worker::Worker(const std::vector<std::string>& args) {
  std::string path = WorkerPath();
  std::vector<std::string> all;
  all.push_back(path);
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);
    if (dup2(fds[1], STDOUT_FILENO) < 0) _exit(126);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return;
  }
  pid_ = pid;
  fd_ = fds[0];
}

Worker::~Worker() {
  if (pid_ > 0) Kill();
  if (fd_ >= 0) close(fd_);
}

void Worker::ReadOnce(int timeoutMs, bool* ended) {
  *ended = false;
  if (fd_ < 0) {
    *ended = true;
    return;
  }
  pollfd p{fd_, POLLIN, 0};
  int ready = poll(&p, 1, timeoutMs);
  if (ready <= 0) return;
  char buffer[65536];
  ssize_t got = read(fd_, buffer, sizeof buffer);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) {
    *ended = true;
    close(fd_);
    fd_ = -1;
    return;
  }
  partial_.append(buffer, static_cast<size_t>(got));
  size_t start = 0;
  for (size_t newline; (newline = partial_.find('\n', start)) != std::string::npos;
       start = newline + 1) {
    lines_.push_back(partial_.substr(start, newline - start));
  }
  partial_.erase(0, start);
}

bool Worker::ReadFor(int deadlineMs, const std::string& stopAt) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  size_t seen = lines_.size();
  auto arrived = [&] {
    if (stopAt.empty()) return false;
    for (; seen < lines_.size(); ++seen) {
      if (lines_[seen] == stopAt) return true;
    }
    return false;
  };
  for (;;) {
    if (arrived()) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    bool ended = false;
    ReadOnce(static_cast<int>(left.count()), &ended);
    if (ended) return arrived();
  }
}

void Worker::Drain() {
  bool ended = false;
  while (fd_ >= 0) {
    size_t before = lines_.size() + partial_.size();
    ReadOnce(0, &ended);
    if (ended || lines_.size() + partial_.size() == before) break;
  }
}

void Worker::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  Wait();
}

int Worker::Wait() {
  bool ended = false;
  while (fd_ >= 0) ReadOnce(1000, &ended);
  Reap();
  return status_;
}

void Worker::Reap() {
  if (pid_ <= 0) return;
  while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

// ---- Crash rounds ------------------------------------------------------------

namespace {

// One change the worker reported, as far as it got before the kill.
struct Op {
  char kind = 0;       // 'S' single commit, 'I' import, 'B' batch, 'A' abandoned stream
  int expected = 1;    // messages the change stores (a batch's size)
  bool done = false;   // its call returned: 'C'
  bool dropped = false;  // it was given up on purpose: 'X'
  struct Message {
    MESSAGEID id;      // 0 while unknown (an import in flight)
    STOREFOLDERID folder;
    std::string digest;
  };
  std::vector<Message> messages;
};

struct Expected {
  STOREFOLDERID folder;
  std::string digest;
};

class CrashChecker {
 public:
  CrashChecker(CrashSummary* summary, STOREFOLDERID a, STOREFOLDERID b)
      : summary_(summary), folders_{a, b} {}

  void Fail(const std::string& what) {
    summary_->failures.push_back("round " + std::to_string(round_) + ": " + what);
  }

  // Takes in one round's reports.
  void Parse(int round, const std::vector<std::string>& lines) {
    round_ = round;
    roundIssued_.clear();
    ops_.clear();
    order_.clear();
    for (const std::string& line : lines) {
      std::vector<std::string> w = Split(line);
      if (w.empty() || w[0] == "ready") continue;
      if (w[0] == "F") {
        Fail("worker failed: " + line);
        continue;
      }
      if (w.size() < 2) {
        Fail("bad report: " + line);
        continue;
      }
      const long opNumber = std::strtol(w[1].c_str(), nullptr, 10);
      Op& op = ops_[opNumber];
      if (op.kind == 0) order_.push_back(opNumber);
      auto note = [&](MESSAGEID id, STOREFOLDERID folder, const std::string& digest) {
        if (id != 0) NoteIssued(id);
        op.messages.push_back({id, folder, digest});
      };
      if (w[0] == "S" && w.size() == 5) {  // S op id folder digest
        op.kind = 'S';
        note(ToId(w[2]), ToId(w[3]), w[4]);
      } else if (w[0] == "I" && w.size() == 4) {  // I op folder digest
        op.kind = 'I';
        note(0, ToId(w[2]), w[3]);
      } else if (w[0] == "B" && w.size() == 3) {  // B op count
        op.kind = 'B';
        op.expected = static_cast<int>(std::strtol(w[2].c_str(), nullptr, 10));
      } else if (w[0] == "M" && w.size() == 5) {  // M op id folder digest
        note(ToId(w[2]), ToId(w[3]), w[4]);
      } else if (w[0] == "A" && w.size() == 3) {  // A op id
        op.kind = 'A';
        note(ToId(w[2]), 0, "");
      } else if (w[0] == "C") {  // C op [id]
        op.done = true;
        if (op.kind == 'I' && w.size() == 3 && !op.messages.empty()) {
          op.messages[0].id = ToId(w[2]);
          NoteIssued(op.messages[0].id);
        }
      } else if (w[0] == "X") {
        op.dropped = true;
      } else {
        Fail("bad report: " + line);
      }
    }
  }

  // Checks the store against everything reported so far.
  void Check(IStoreNamespace* store, bool verifyEverything, std::mt19937_64& random) {
    ComPtr<IStoreImport> import;
    ComPtr<IStoreNamespace>(store).As(&import);
    std::map<MESSAGEID, STOREFOLDERID> present;
    std::map<STOREFOLDERID, ComPtr<IStoreFolder>> open;
    for (STOREFOLDERID id : folders_) {
      HRESULT hr = store->OpenFolder(id, 0, open[id].Put());
      if (FAILED(hr)) return Fail("cannot open folder " + std::to_string(id) + ": " + Hex(hr));
      std::vector<MessageRow> rows;
      if (FAILED(hr = ListMessages(open[id].Get(), &rows))) {
        return Fail("cannot list folder " + std::to_string(id) + ": " + Hex(hr));
      }
      for (const MessageRow& row : rows) present[row.id] = id;
    }
    auto digestOf = [&](MESSAGEID id, STOREFOLDERID folder) {
      std::string text;
      HRESULT hr = ReadMessageText(open[folder].Get(), id, &text);
      ++summary_->bytesVerified;
      return FAILED(hr) ? "unreadable " + Hex(hr) : DigestHex(import.Get(), text);
    };

    // Committed changes of this round join what must be there.
    std::vector<MESSAGEID> fresh;
    const Op* pending = nullptr;
    for (long number : order_) {
      const Op& op = ops_[number];
      if (op.done && op.kind != 'A') {
        for (const Op::Message& m : op.messages) {
          if (m.id == 0) {
            Fail("a returned import without its identifier");
            continue;
          }
          known_[m.id] = {m.folder, m.digest};
          fresh.push_back(m.id);
          ++summary_->committed;
        }
      } else if (op.dropped || op.kind == 'A') {
        for (const Op::Message& m : op.messages) dropped_.insert(m.id);
      } else if (pending) {
        Fail("two changes in flight at once");
      } else {
        pending = &op;
      }
    }

    for (auto it = known_.begin(); it != known_.end();) {
      const MESSAGEID id = it->first;
      const Expected& expected = it->second;
      auto found = present.find(id);
      if (found == present.end()) {
        Fail("message " + std::to_string(id) + " was committed and is gone");
        it = known_.erase(it);  // reported once
        continue;
      }
      if (found->second != expected.folder) {
        Fail("message " + std::to_string(id) + " is in folder " + std::to_string(found->second) +
             " instead of " + std::to_string(expected.folder));
      }
      ++it;
    }

    // What is there beyond the known messages can only come from the change
    // the kill cut off.
    int pendingPresent = 0;
    for (const auto& [id, folder] : present) {
      if (known_.count(id)) continue;
      if (dropped_.count(id)) {
        Fail("message " + std::to_string(id) + " was given up on and is stored");
        continue;
      }
      bool accepted = false;
      if (pending) {
        for (const Op::Message& m : pending->messages) {
          if (m.id != 0 && m.id != id) continue;
          if (m.folder != folder) continue;
          std::string digest = digestOf(id, folder);
          if (digest != m.digest) continue;
          if (m.id == 0) NoteIssued(id);
          known_[id] = {folder, digest};
          accepted = true;
          ++pendingPresent;
          break;
        }
      }
      if (!accepted) Fail("message " + std::to_string(id) + " was stored by no commit");
    }
    if (pending) {
      if (pendingPresent == 0) {
        ++summary_->pendingAbsent;
        // A batch that never committed gave out identifiers that name
        // nothing; the crash took their reservation back with the batch.
        if (pending->kind == 'B') {
          for (const Op::Message& m : pending->messages) issued_.erase(m.id);
        }
      } else {
        summary_->unreported += pendingPresent;
        if (pending->kind == 'B' && pendingPresent != pending->expected) {
          Fail("a batch of " + std::to_string(pending->expected) + " left " +
               std::to_string(pendingPresent) + " messages");
        }
      }
    }

    // Bytes: this round's messages, a sample of the older ones, or all.
    std::vector<MESSAGEID> verify = fresh;
    if (verifyEverything) {
      verify.clear();
      for (const auto& entry : known_) verify.push_back(entry.first);
    } else if (!known_.empty()) {
      for (int i = 0; i < 8; ++i) {
        auto it = known_.begin();
        std::advance(it, static_cast<long>(random() % known_.size()));
        verify.push_back(it->first);
      }
    }
    for (MESSAGEID id : verify) {
      auto found = present.find(id);
      if (found == present.end()) continue;  // reported above
      if (digestOf(id, found->second) != known_[id].digest) {
        Fail("message " + std::to_string(id) + " does not have the bytes that were committed");
      }
    }
    summary_->storedAtEnd = static_cast<long>(present.size());
  }

 private:
  void NoteIssued(MESSAGEID id) {
    if (id == 0 || id == MESSAGEID_INVALID) Fail("identifier " + std::to_string(id) + " issued");
    if (!roundIssued_.insert(id).second) return;  // the same change reporting it again
    if (!issued_.insert(id).second) Fail("identifier " + std::to_string(id) + " issued again");
  }

  CrashSummary* summary_;
  std::vector<STOREFOLDERID> folders_;
  int round_ = 0;
  std::map<long, Op> ops_;
  std::vector<long> order_;
  std::map<MESSAGEID, Expected> known_;
  std::set<MESSAGEID> dropped_;
  std::set<MESSAGEID> issued_;
  std::set<MESSAGEID> roundIssued_;
};

}  // namespace

CrashSummary RunCrashRounds(int rounds, uint64_t seed, int maxDelayMs) {
  CrashSummary summary;
  std::mt19937_64 random(seed);
  const std::string file = StoreFilePath();

  STOREFOLDERID inbox = FOLDERID_INVALID;
  STOREFOLDERID other = FOLDERID_INVALID;
  {
    ComPtr<IStoreNamespace> store;
    HRESULT hr = OpenStore(&store);
    if (FAILED(hr)) {
      summary.failures.push_back("cannot open the store: " + Hex(hr));
      return summary;
    }
    inbox = FindFolder(store.Get(), FOLDERID_ROOT, "Inbox");
    other = FindFolder(store.Get(), FOLDERID_ROOT, "Crash");
    if (other == FOLDERID_INVALID) store->CreateFolder(FOLDERID_ROOT, "Crash", 0, &other);
    if (inbox == FOLDERID_INVALID || other == FOLDERID_INVALID) {
      summary.failures.push_back("cannot find or make the folders");
      return summary;
    }
  }

  CrashChecker checker(&summary, inbox, other);
  for (int round = 0; round < rounds; ++round) {
    Worker worker({"crash", std::to_string(random()), std::to_string(inbox),
                   std::to_string(other)});
    if (!worker.running()) {
      summary.failures.push_back("cannot start " + WorkerPath());
      break;
    }
    bool ready;
    if (random() % 10 == 0) {
      // Now and then while the worker is still opening the store, which
      // may be recovering from the previous kill.
      worker.ReadFor(static_cast<int>(random() % 15));
      ready = false;
      for (const std::string& line : worker.lines()) ready = ready || line == "ready";
    } else {
      ready = worker.ReadFor(20000, "ready");
      if (!ready) {
        summary.failures.push_back("round " + std::to_string(round) + ": worker never ready");
      }
      worker.ReadFor(static_cast<int>(random() % static_cast<uint64_t>(maxDelayMs + 1)));
    }
    worker.Kill();
    ++(ready ? summary.killsWhileWriting : summary.killsBeforeReady);
    ++summary.rounds;
    if (!WIFSIGNALED(worker.status()) || WTERMSIG(worker.status()) != SIGKILL) {
      summary.failures.push_back("round " + std::to_string(round) +
                                 ": worker ended on its own, status " +
                                 std::to_string(worker.status()));
    }
    checker.Parse(round, worker.lines());

    const std::string integrity = IntegrityCheck(file);
    if (integrity != "ok") {
      checker.Fail("integrity check: " + integrity);
      break;
    }
    ComPtr<IStoreNamespace> store;
    HRESULT hr = OpenStore(&store);
    if (FAILED(hr)) {
      checker.Fail("the store does not open: " + Hex(hr));
      break;
    }
    checker.Check(store.Get(), round + 1 == rounds, random);
    if (summary.failures.size() > 20) break;
  }
  return summary;
}

}  // namespace store_stress
