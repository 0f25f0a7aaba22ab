#include "tests/services/store/fault_vfs.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace store_faults {
namespace {

// A write or truncation since the last completed sync of its file, with what
// it replaced, so that it can be undone and made again.
struct Change {
  bool truncation = false;
  int64_t offset = 0;    // a write's offset; a truncation's new size
  std::string bytes;     // what a write wrote
  int64_t oldSize = 0;   // the file's size before
  std::string oldBytes;  // what a write covered within the old size, or what a truncation cut off
};

struct State {
  std::mutex mutex;
  bool counting = false;
  std::array<int, kIoKinds> calls{};
  // FailCall
  bool failArmed = false;
  IoKind failKind = IoKind::kRead;
  int failAt = 0;
  Failure failure = Failure::kIoError;
  // CutPowerAt
  bool cutArmed = false;
  int cutAt = 0;
  uint64_t cutSeed = 0;
  bool dead = false;
  bool fired = false;
  // Unsynced changes by file path, in order; kept only while a cut is armed.
  std::map<std::string, std::vector<Change>> unsynced;
  std::vector<std::string> databases;  // every main database file opened
};

State& S() {
  static State* state = new State;  // never destroyed: connections may outlive statics
  return *state;
}

sqlite3_vfs* g_real = nullptr;

struct FaultFile {
  sqlite3_file base;
  std::string* path;  // owned; null for a file that is not kept across a cut
  sqlite3_file* real;
};

sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file)->real; }

// Counts a call of `kind`; true when it must fail (*failure says how).
bool Hit(IoKind kind, Failure* failure) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (!s.counting) return false;
  const int n = ++s.calls[static_cast<int>(kind)];
  if (s.failArmed && kind == s.failKind && n == s.failAt) {
    s.failArmed = false;
    s.fired = true;
    *failure = s.failure;
    return true;
  }
  return false;
}

bool Dead() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.dead;
}

// The file's bytes in [offset, offset + size) that exist, read past the VFS.
std::string ReadExisting(sqlite3_file* real, int64_t offset, int64_t size, int64_t fileSize) {
  std::string bytes;
  const int64_t end = std::min(offset + size, fileSize);
  if (end <= offset) return bytes;
  bytes.resize(static_cast<size_t>(end - offset));
  real->pMethods->xRead(real, bytes.data(), static_cast<int>(bytes.size()), offset);
  return bytes;
}

void NoteChange(FaultFile* file, Change change) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (!s.cutArmed || !file->path) return;
  s.unsynced[*file->path].push_back(std::move(change));
}

bool CutArmed(const FaultFile* file) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.cutArmed && file->path;
}

int FileClose(sqlite3_file* file) {
  auto* own = reinterpret_cast<FaultFile*>(file);
  int rc = own->real->pMethods ? own->real->pMethods->xClose(own->real) : SQLITE_OK;
  delete own->path;
  own->path = nullptr;
  return rc;
}

int FileRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  Failure failure;
  if (Dead() || Hit(IoKind::kRead, &failure)) return SQLITE_IOERR_READ;
  return Real(file)->pMethods->xRead(Real(file), buffer, amount, offset);
}

int FileWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  auto* own = reinterpret_cast<FaultFile*>(file);
  sqlite3_file* real = own->real;
  if (Dead()) return SQLITE_IOERR_WRITE;
  Failure failure = Failure::kIoError;
  const bool fail = Hit(IoKind::kWrite, &failure);
  if (fail && failure == Failure::kIoError) return SQLITE_IOERR_WRITE;
  if (fail && failure == Failure::kDiskFull) return SQLITE_FULL;
  const int written = fail ? amount / 2 : amount;
  if (written > 0) {
    Change change;
    if (CutArmed(own)) {
      sqlite3_int64 size = 0;
      real->pMethods->xFileSize(real, &size);
      change.offset = offset;
      change.bytes.assign(static_cast<const char*>(buffer), static_cast<size_t>(written));
      change.oldSize = size;
      change.oldBytes = ReadExisting(real, offset, written, size);
    }
    int rc = real->pMethods->xWrite(real, buffer, written, offset);
    if (rc != SQLITE_OK) return rc;
    NoteChange(own, std::move(change));
  }
  return fail ? SQLITE_FULL : SQLITE_OK;
}

int FileTruncate(sqlite3_file* file, sqlite3_int64 size) {
  auto* own = reinterpret_cast<FaultFile*>(file);
  sqlite3_file* real = own->real;
  Failure failure;
  if (Dead() || Hit(IoKind::kTruncate, &failure)) return SQLITE_IOERR_TRUNCATE;
  Change change;
  if (CutArmed(own)) {
    sqlite3_int64 oldSize = 0;
    real->pMethods->xFileSize(real, &oldSize);
    change.truncation = true;
    change.offset = size;
    change.oldSize = oldSize;
    change.oldBytes = ReadExisting(real, size, oldSize - size, oldSize);
  }
  int rc = real->pMethods->xTruncate(real, size);
  if (rc == SQLITE_OK) NoteChange(own, std::move(change));
  return rc;
}

int FileSync(sqlite3_file* file, int) {
  auto* own = reinterpret_cast<FaultFile*>(file);
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    if (s.dead) return SQLITE_IOERR_FSYNC;
    if (s.counting) {
      const int n = ++s.calls[static_cast<int>(IoKind::kSync)];
      if (s.cutArmed && n == s.cutAt) {
        s.dead = true;
        s.fired = true;
        return SQLITE_IOERR_FSYNC;
      }
      if (s.failArmed && s.failKind == IoKind::kSync && n == s.failAt) {
        s.failArmed = false;
        s.fired = true;
        return SQLITE_IOERR_FSYNC;
      }
    }
    // The sync completed: what was written to this file is durable.
    if (own->path) s.unsynced.erase(*own->path);
  }
  return SQLITE_OK;
}

int FileSize(sqlite3_file* file, sqlite3_int64* size) {
  return Real(file)->pMethods->xFileSize(Real(file), size);
}

int FileLock(sqlite3_file* file, int level) {
  Failure failure;
  if (Dead() || Hit(IoKind::kLock, &failure)) return SQLITE_IOERR_LOCK;
  return Real(file)->pMethods->xLock(Real(file), level);
}

int FileUnlock(sqlite3_file* file, int level) {
  return Real(file)->pMethods->xUnlock(Real(file), level);
}

int FileCheckReservedLock(sqlite3_file* file, int* out) {
  return Real(file)->pMethods->xCheckReservedLock(Real(file), out);
}

int FileControl(sqlite3_file* file, int op, void* arg) {
  return Real(file)->pMethods->xFileControl(Real(file), op, arg);
}

int FileSectorSize(sqlite3_file* file) { return Real(file)->pMethods->xSectorSize(Real(file)); }

int FileDeviceCharacteristics(sqlite3_file* file) {
  return Real(file)->pMethods->xDeviceCharacteristics(Real(file));
}

int FileShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
  return Real(file)->pMethods->xShmMap(Real(file), region, size, extend, out);
}

int FileShmLock(sqlite3_file* file, int offset, int n, int flags) {
  if (flags & SQLITE_SHM_LOCK) {
    Failure failure;
    if (Dead() || Hit(IoKind::kLock, &failure)) return SQLITE_IOERR_SHMLOCK;
  }
  return Real(file)->pMethods->xShmLock(Real(file), offset, n, flags);
}

void FileShmBarrier(sqlite3_file* file) { Real(file)->pMethods->xShmBarrier(Real(file)); }

int FileShmUnmap(sqlite3_file* file, int deleteFlag) {
  return Real(file)->pMethods->xShmUnmap(Real(file), deleteFlag);
}

// Version 2: no memory-mapped reads, so that every read is an xRead.
const sqlite3_io_methods kFileMethods = {
    2,
    FileClose,
    FileRead,
    FileWrite,
    FileTruncate,
    FileSync,
    FileSize,
    FileLock,
    FileUnlock,
    FileCheckReservedLock,
    FileControl,
    FileSectorSize,
    FileDeviceCharacteristics,
    FileShmMap,
    FileShmLock,
    FileShmBarrier,
    FileShmUnmap,
    nullptr,
    nullptr,
};

int VfsOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  auto* own = reinterpret_cast<FaultFile*>(file);
  own->base.pMethods = nullptr;
  own->path = nullptr;
  own->real = reinterpret_cast<sqlite3_file*>(own + 1);
  std::memset(own->real, 0, static_cast<size_t>(g_real->szOsFile));
  int rc = g_real->xOpen(g_real, name, own->real, flags, outFlags);
  if (rc != SQLITE_OK) {
    if (own->real->pMethods) own->real->pMethods->xClose(own->real);
    return rc;
  }
  // Only the files a restart would find are kept across a power cut.
  if (name && (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL))) {
    own->path = new std::string(name);
    if (flags & SQLITE_OPEN_MAIN_DB) {
      State& s = S();
      std::lock_guard lock(s.mutex);
      if (std::find(s.databases.begin(), s.databases.end(), *own->path) == s.databases.end()) {
        s.databases.push_back(*own->path);
      }
    }
  }
  own->base.pMethods = &kFileMethods;
  return SQLITE_OK;
}

int VfsDelete(sqlite3_vfs*, const char* name, int syncDir) {
  if (Dead()) return SQLITE_IOERR_DELETE;
  int rc = g_real->xDelete(g_real, name, syncDir);
  if (rc == SQLITE_OK) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.unsynced.erase(name);
  }
  return rc;
}

int VfsAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
  return g_real->xAccess(g_real, name, flags, out);
}
int VfsFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return g_real->xFullPathname(g_real, name, size, out);
}
void* VfsDlOpen(sqlite3_vfs*, const char* name) { return g_real->xDlOpen(g_real, name); }
void VfsDlError(sqlite3_vfs*, int size, char* out) { g_real->xDlError(g_real, size, out); }
void (*VfsDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
  return g_real->xDlSym(g_real, handle, symbol);
}
void VfsDlClose(sqlite3_vfs*, void* handle) { g_real->xDlClose(g_real, handle); }
int VfsRandomness(sqlite3_vfs*, int size, char* out) {
  return g_real->xRandomness(g_real, size, out);
}
int VfsSleep(sqlite3_vfs*, int microseconds) { return g_real->xSleep(g_real, microseconds); }
int VfsCurrentTime(sqlite3_vfs*, double* out) { return g_real->xCurrentTime(g_real, out); }
int VfsGetLastError(sqlite3_vfs*, int size, char* out) {
  return g_real->xGetLastError(g_real, size, out);
}
int VfsCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  return g_real->xCurrentTimeInt64(g_real, out);
}

sqlite3_vfs g_vfs = {};

bool WriteAll(int fd, const std::string& bytes, int64_t offset) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done,
                       static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

const char* IoKindName(IoKind kind) {
  switch (kind) {
    case IoKind::kRead:
      return "read";
    case IoKind::kWrite:
      return "write";
    case IoKind::kSync:
      return "sync";
    case IoKind::kTruncate:
      return "truncate";
    case IoKind::kLock:
      return "lock";
  }
  return "?";
}

const char* FailureName(Failure failure) {
  switch (failure) {
    case Failure::kIoError:
      return "I/O error";
    case Failure::kShortWrite:
      return "short write, disk full";
    case Failure::kDiskFull:
      return "disk full";
  }
  return "?";
}

FaultVfs& FaultVfs::Get() {
  static FaultVfs* vfs = [] {
    g_real = sqlite3_vfs_find(nullptr);
    g_vfs.iVersion = 2;
    g_vfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + g_real->szOsFile;
    g_vfs.mxPathname = g_real->mxPathname;
    g_vfs.zName = "vorn-fault";
    g_vfs.xOpen = VfsOpen;
    g_vfs.xDelete = VfsDelete;
    g_vfs.xAccess = VfsAccess;
    g_vfs.xFullPathname = VfsFullPathname;
    g_vfs.xDlOpen = VfsDlOpen;
    g_vfs.xDlError = VfsDlError;
    g_vfs.xDlSym = VfsDlSym;
    g_vfs.xDlClose = VfsDlClose;
    g_vfs.xRandomness = VfsRandomness;
    g_vfs.xSleep = VfsSleep;
    g_vfs.xCurrentTime = VfsCurrentTime;
    g_vfs.xGetLastError = VfsGetLastError;
    g_vfs.xCurrentTimeInt64 = VfsCurrentTimeInt64;
    sqlite3_vfs_register(&g_vfs, 1);
    return new FaultVfs;
  }();
  return *vfs;
}

void FaultVfs::FailCall(IoKind kind, int n, Failure failure) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.counting = true;
  s.calls.fill(0);
  s.failArmed = true;
  s.failKind = kind;
  s.failAt = n;
  s.failure = failure;
  s.fired = false;
}

void FaultVfs::CutPowerAt(int n, uint64_t seed) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.counting = true;
  s.calls.fill(0);
  s.failArmed = false;
  s.cutArmed = true;
  s.cutAt = n;
  s.cutSeed = seed;
  s.dead = false;
  s.fired = false;
  s.unsynced.clear();
}

void FaultVfs::CutPowerNow() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (!s.cutArmed || s.dead) return;
  s.dead = true;
  s.fired = true;
}

void FaultVfs::Count() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.counting = true;
  s.calls.fill(0);
  s.failArmed = false;
  s.fired = false;
}

void FaultVfs::Disarm() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.counting = false;
  s.failArmed = false;
  s.cutArmed = false;
  s.dead = false;
  s.unsynced.clear();
}

bool FaultVfs::fired() const {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.fired;
}

int FaultVfs::calls(IoKind kind) const {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.calls[static_cast<int>(kind)];
}

PowerCutOutcome FaultVfs::RestoreAfterPowerCut(std::string* error) {
  State& s = S();
  PowerCutOutcome outcome;
  error->clear();
  std::map<std::string, std::vector<Change>> unsynced;
  std::vector<std::string> databases;
  uint64_t seed;
  bool dead;
  {
    std::lock_guard lock(s.mutex);
    unsynced.swap(s.unsynced);
    databases = s.databases;
    seed = s.cutSeed;
    dead = s.dead;
  }
  Disarm();
  if (!dead) return outcome;  // the power never went: everything stays
  std::mt19937_64 random(seed);
  const uint64_t keepPercent = random() % 101;
  for (auto& [path, changes] : unsynced) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;  // removed before the cut
    bool ok = true;
    // Back to the last completed sync, newest change first...
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
      if (it->truncation) {
        ok = ok && (it->offset >= it->oldSize ? ftruncate(fd, it->oldSize) == 0
                                              : WriteAll(fd, it->oldBytes, it->offset));
      } else {
        ok = ok && WriteAll(fd, it->oldBytes, it->offset);
        if (it->oldSize < it->offset + static_cast<int64_t>(it->bytes.size())) {
          ok = ok && ftruncate(fd, it->oldSize) == 0;
        }
      }
    }
    // ...then forward again with the changes that reached the disk.
    for (const Change& change : changes) {
      if (random() % 100 >= keepPercent) {
        ++outcome.writesDropped;
        continue;
      }
      ++outcome.writesKept;
      ok = ok && (change.truncation ? ftruncate(fd, change.offset) == 0
                                    : WriteAll(fd, change.bytes, change.offset));
    }
    close(fd);
    if (!ok) *error += "cannot restore " + path + "; ";
  }
  // The shared-memory index does not survive a restart.
  for (const std::string& database : databases) {
    if (access(database.c_str(), F_OK) == 0) unlink((database + "-shm").c_str());
  }
  return outcome;
}

}  // namespace store_faults
