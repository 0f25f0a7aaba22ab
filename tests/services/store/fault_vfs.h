// A test-only SQLite VFS over the platform's own ("unix") that fails chosen
// I/O calls or cuts the power at a chosen sync. Installed as the process's
// default VFS, it is what every connection of the process uses, the store
// server's included; while nothing is armed it only passes calls on.
//
// Counting: once armed, calls are counted per kind from 1. Reads, writes,
// syncs and truncations are xRead, xWrite, xSync and xTruncate of any file;
// lock calls are xLock and the acquiring xShmLock calls (releasing a lock is
// never failed, as a crash would release it anyway).
//
// Syncs are recorded, not passed on to the disk: the files of a test need no
// durability beyond the process, and a power cut is simulated here. For a
// power cut the VFS notes every write and truncation of a database, journal
// or WAL file since that file's last completed sync; at the chosen sync the machine
// "stops": that sync and every later call that would read or change a file
// fail. Once every connection is closed, RestoreAfterPowerCut leaves each file
// as it was at its last completed sync plus a random subset of the writes
// made since, and removes the shared-memory index, as a restart would find
// them.
//
// Not thread-safe beyond a mutex around its own state; the store server uses
// one connection from one thread at a time.
#pragma once

#include <cstdint>
#include <string>

namespace store_faults {

enum class IoKind { kRead, kWrite, kSync, kTruncate, kLock };
constexpr int kIoKinds = 5;
const char* IoKindName(IoKind kind);

// How a failing call fails.
enum class Failure {
  kIoError,     // the kind's SQLITE_IOERR_* code; nothing is done
  kShortWrite,  // writes: the first half of the bytes reach the file, then SQLITE_FULL
  kDiskFull,    // writes: SQLITE_FULL; nothing is written
};
const char* FailureName(Failure failure);

struct PowerCutOutcome {
  int writesKept = 0;     // unsynced writes and truncations left in place
  int writesDropped = 0;  // ... and undone
};

class FaultVfs {
 public:
  // The VFS, registered as the default on first use.
  static FaultVfs& Get();

  // Starts counting; the `n`-th call of `kind` (n >= 1) fails with `failure`,
  // once.
  void FailCall(IoKind kind, int n, Failure failure = Failure::kIoError);
  // Starts counting; the `n`-th sync (n >= 1) is where the power goes.
  // `seed` picks which unsynced writes reach the disk: each with a
  // probability that is itself drawn from the seed, so that some cuts keep
  // nearly all and some nearly none.
  void CutPowerAt(int n, uint64_t seed);
  // With a power cut armed and not yet come: the power goes now.
  void CutPowerNow();
  // Starts counting without failing anything.
  void Count();
  // Stops counting and failing. After a power cut, call
  // RestoreAfterPowerCut instead.
  void Disarm();

  // True once the armed fault has fired (or the power has gone).
  bool fired() const;
  // Calls of `kind` since the last arming.
  int calls(IoKind kind) const;

  // After a power cut, with every connection closed: see above. Disarms.
  // `error` receives what could not be restored (empty when all was).
  PowerCutOutcome RestoreAfterPowerCut(std::string* error);

  FaultVfs(const FaultVfs&) = delete;
  FaultVfs& operator=(const FaultVfs&) = delete;

 private:
  FaultVfs() = default;
};

}  // namespace store_faults
