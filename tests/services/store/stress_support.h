// What the store server's stress tests and benchmarks share: a root with the
// built store and MIME libraries registered, the store opened the way any
// program opens it (CoCreateInstance through the registry), helpers that
// read a store back through its interfaces, the SQLite integrity check, a
// worker process speaking a line protocol over a pipe, and the crash rounds.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/store.h"
#include "platform/store_import.h"
#include "runtime/com_ptr.h"

namespace store_stress {

// Registers the built vornstore.so and vornmime.so in the registry of the
// current VORN_ROOT. S_OK or the first failure.
HRESULT RegisterServers();

// Creates a store namespace with CoCreateInstance and initialises it. The
// calling thread must have called CoInitialize. *store is null on failure.
HRESULT OpenStore(ComPtr<IStoreNamespace>* store);

// The store's database file under the current VORN_ROOT.
std::string StoreFilePath();

// Runs PRAGMA integrity_check on the database file, opened read-only with
// SQLite directly: "ok" for a sound file, otherwise SQLite's report or the
// reason the file could not be checked.
std::string IntegrityCheck(const std::string& file);

// A message of about `size` bytes whose subject is `tag` and whose body is
// text drawn from `random` (so that two tags never give the same bytes).
std::string MakeStressMessage(const std::string& tag, size_t size, std::mt19937_64& random);

// The store's content digest of `text`, as lower-case hex.
std::string DigestHex(IStoreImport* import, std::string_view text);

// The raw text of a message through OpenMessage(IID_IStream). The status of
// the first failing call, S_OK otherwise.
HRESULT ReadMessageText(IStoreFolder* folder, MESSAGEID id, std::string* text);

// Stores `text` through CreateStream, Write (in pieces of `piece` bytes) and
// CommitStream. *id receives the reserved identifier as soon as there is one.
HRESULT CommitMessage(IStoreFolder* folder, std::string_view text, MESSAGEID* id,
                      size_t piece = 4096);

struct FolderRow {
  STOREFOLDERID id = 0;
  std::string name;
  int special = 0;
  int subFolders = 0;
  DWORD unread = 0;
  DWORD messages = 0;
};

struct MessageRow {
  MESSAGEID id = 0;
  DWORD flags = 0;
  DWORD size = 0;
  std::string subject;
};

// The direct subfolders of `parent`, or the failing status.
HRESULT ListFolders(IStoreNamespace* store, STOREFOLDERID parent, std::vector<FolderRow>* out);
// Every message of `folder` in enumeration order, or the failing status.
HRESULT ListMessages(IStoreFolder* folder, std::vector<MessageRow>* out);
// The subfolder of `parent` called `name`; FOLDERID_INVALID when none.
STOREFOLDERID FindFolder(IStoreNamespace* store, STOREFOLDERID parent, const std::string& name);

// Every folder with its properties and every message with its properties and
// the digest of its raw text, as one text, for before/after comparisons.
// A failing call shows in the text as "error <status>".
std::string DumpStore(IStoreNamespace* store);

// ---- Worker processes -----------------------------------------------------

// The built helper program that the stress tests run as separate processes.
std::string WorkerPath();

// A worker process whose standard output is a pipe read by the parent, one
// report per line.
class Worker {
 public:
  // Starts WorkerPath() with `args`; running() is false when it could not.
  explicit Worker(const std::vector<std::string>& args);
  ~Worker();  // kills and reaps a worker still running
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  bool running() const { return pid_ > 0; }
  // True once the worker's output has ended (it exited or was killed).
  bool finished() const { return fd_ < 0; }
  pid_t pid() const { return pid_; }

  // Reads what the worker has written until `deadlineMs` milliseconds from
  // now, or until end of output or (with `stopAt` non-empty) until a line
  // equal to `stopAt` arrives. True when `stopAt` arrived.
  bool ReadFor(int deadlineMs, const std::string& stopAt = "");
  // Reads whatever is there without waiting.
  void Drain();
  // Sends SIGKILL, reads the rest of the output, reaps the worker.
  void Kill();
  // Reads to end of output and reaps the worker; the wait status.
  int Wait();

  // Complete lines received so far (a partial last line is kept back).
  const std::vector<std::string>& lines() const { return lines_; }
  // The wait status once reaped.
  int status() const { return status_; }

 private:
  // One read of what is there, waiting up to `timeoutMs`; *ended at end of output.
  void ReadOnce(int timeoutMs, bool* ended);
  void Reap();

  pid_t pid_ = -1;
  int fd_ = -1;
  int status_ = 0;
  std::string partial_;
  std::vector<std::string> lines_;
};

// Writes one line (text plus newline) to standard output with one write(2),
// so that a line is never cut by a kill.
void Report(const std::string& line);

// ---- Crash rounds ----------------------------------------------------------

struct CrashSummary {
  int rounds = 0;
  int killsBeforeReady = 0;    // kills while the worker was still opening the store
  int killsWhileWriting = 0;
  long committed = 0;           // messages whose commit returned before a kill
  long unreported = 0;          // stored by a commit the kill cut off before it reported
  long pendingAbsent = 0;       // cut-off commits that left nothing, as they should
  long bytesVerified = 0;       // messages whose bytes were read back and compared
  long storedAtEnd = 0;         // messages in the store after the last round
  std::vector<std::string> failures;  // empty when every round held
};

// Runs `rounds` rounds in the current VORN_ROOT (whose libraries must be
// registered): a worker commits messages in a loop (single commits and
// batches, with abandoned streams and aborted batches among them) and is
// killed with SIGKILL at a random moment; then the integrity check must say
// "ok", the store must open, every message whose commit returned must be
// there with its bytes, nothing must be there that no commit stored, a
// batch must be there whole or not at all, and no identifier may come back.
// The calling thread must have called CoInitialize. `maxDelayMs` bounds the
// time a worker runs before it is killed.
CrashSummary RunCrashRounds(int rounds, uint64_t seed, int maxDelayMs);

}  // namespace store_stress
