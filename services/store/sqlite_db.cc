#include "services/store/sqlite_db.h"

#include <sqlite3.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/store.h"

namespace vorn_store {
namespace {

// How long a change waits for another process's transaction to end before
// it gives up with STG_E_LOCKVIOLATION. Long enough for an import batch.
constexpr int kBusyTimeoutMs = 15000;

}  // namespace

HRESULT StatusFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return S_OK;
    case SQLITE_FULL:
    case SQLITE_TOOBIG:
      return STG_E_MEDIUMFULL;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
      return STG_E_ACCESSDENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return STG_E_LOCKVIOLATION;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
      return STG_E_DOCFILECORRUPT;
    case SQLITE_IOERR:
      if (rc == SQLITE_IOERR_NOMEM) return E_OUTOFMEMORY;
      if (rc == SQLITE_IOERR_READ || rc == SQLITE_IOERR_SHORT_READ) return STG_E_READFAULT;
      return STG_E_WRITEFAULT;
    case SQLITE_NOMEM:
      return E_OUTOFMEMORY;
    case SQLITE_INTERRUPT:
    case SQLITE_ABORT:
      return E_ABORT;
    case SQLITE_CONSTRAINT:
      // Only the folders' name index is unique beside the primary keys.
      if (rc == SQLITE_CONSTRAINT_UNIQUE) return STORE_E_ALREADYEXISTS;
      return E_INVALIDARG;
    case SQLITE_MISMATCH:
    case SQLITE_RANGE:
      return E_INVALIDARG;
    default:
      return E_FAIL;
  }
}

HRESULT StatusFromErrno(int error) {
  switch (error) {
    case 0:
      return S_OK;
    case EACCES:
    case EPERM:
    case EROFS:
      return STG_E_ACCESSDENIED;
    case ENOSPC:
    case EDQUOT:
      return STG_E_MEDIUMFULL;
    case ENOENT:
    case ENOTDIR:
      return STG_E_FILENOTFOUND;
    case ENOMEM:
      return E_OUTOFMEMORY;
    default:
      return STG_E_WRITEFAULT;
  }
}

namespace {

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

bool RefusedForWriting(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// True when the file at `path`, or the folder beside it in which SQLite keeps
// the write-ahead log and its index, may not be written.
bool CannotWrite(const std::string& path) {
  if (access(path.c_str(), W_OK) != 0) return RefusedForWriting(errno);
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0                ? "/"
                                                         : path.substr(0, slash);
  return access(folder.c_str(), W_OK) != 0 && RefusedForWriting(errno);
}

// `path` as the path of an SQLite file URI: every byte but the unreserved
// ones and "/" percent-encoded.
std::string UriPath(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : path) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
        c == '.' || c == '_' || c == '-' || c == '~') {
      uri.push_back(static_cast<char>(c));
    } else {
      uri.push_back('%');
      uri.push_back(kHex[c >> 4]);
      uri.push_back(kHex[c & 0xF]);
    }
  }
  return uri;
}

}  // namespace

HRESULT Connection::Open(const std::string& path, std::unique_ptr<Connection>* out) {
  out->reset();
  if (Exists(path) && CannotWrite(path) && !Exists(path + "-wal")) {
    return OpenForReading(path, out);
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    HRESULT hr = StatusFromSqlite(rc);
    sqlite3_close(db);
    return hr;
  }
  std::unique_ptr<Connection> connection(new Connection(db));
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // The journal mode is kept in the file; the other settings are per
  // connection. Full synchronisation makes each committed change durable
  // when its call returns.
  HRESULT hr = connection->SetWalMode();
  if (SUCCEEDED(hr)) {
    hr = connection->Exec(
        "PRAGMA synchronous=FULL;"
        "PRAGMA journal_size_limit=67108864;");
  }
  if (FAILED(hr)) return hr;
  *out = std::move(connection);
  return S_OK;
}

HRESULT Connection::OpenForReading(const std::string& path, std::unique_ptr<Connection>* out) {
  // Without a write-ahead log the file holds every committed change, and
  // "immutable" keeps SQLite from creating the log's index beside it (which
  // it could not) or taking locks in it.
  const std::string uri = UriPath(path) + "?immutable=1";
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(uri.c_str(), &db,
                           SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    HRESULT hr = StatusFromSqlite(rc);
    sqlite3_close(db);
    return hr;
  }
  sqlite3_extended_result_codes(db, 1);
  out->reset(new Connection(db, true));
  return S_OK;
}

HRESULT Connection::SetWalMode() {
  // Turning a new file to WAL needs it alone for a moment. A connection that
  // finds another one opening the same new file at that moment is told
  // "busy" at once: SQLite does not wait through the busy handler there. So
  // wait here, for as long as the busy timeout.
  constexpr int kPauseMs = 5;
  for (int waited = 0;; waited += kPauseMs) {
    int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return S_OK;
    if ((rc & 0xFF) != SQLITE_BUSY || waited >= kBusyTimeoutMs) return Fail(rc);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs));
  }
}

Connection::~Connection() {
  if (InTransaction()) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  for (auto& [sql, stmt] : cache_) sqlite3_finalize(stmt);
  sqlite3_close(db_);
}

HRESULT Connection::Fail(int rc) {
  lastFailure_ = StatusFromSqlite(rc);
  return lastFailure_;
}

HRESULT Connection::Exec(const char* sql) {
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? S_OK : Fail(rc);
}

bool Connection::InTransaction() const { return sqlite3_get_autocommit(db_) == 0; }

int64_t Connection::Changes() const { return sqlite3_changes64(db_); }

HRESULT Connection::Cached(const char* sql, sqlite3_stmt** stmt) {
  auto found = cache_.find(sql);
  if (found != cache_.end()) {
    *stmt = found->second;
    return S_OK;
  }
  sqlite3_stmt* prepared = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &prepared, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(prepared);
    return Fail(rc);
  }
  cache_.emplace(sql, prepared);
  *stmt = prepared;
  return S_OK;
}

Statement::Statement(Connection& connection, const char* sql) : connection_(connection) {
  status_ = connection_.Cached(sql, &stmt_);
}

Statement::~Statement() {
  if (stmt_) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
}

void Statement::Bind(int index, int64_t value) {
  if (stmt_) sqlite3_bind_int64(stmt_, index, value);
}

void Statement::Bind(int index, std::string_view text) {
  if (stmt_) {
    sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
  }
}

void Statement::BindBlob(int index, const void* data, size_t size) {
  if (!stmt_) return;
  // A zero-length blob must still be a blob, not NULL.
  if (size == 0) {
    sqlite3_bind_zeroblob(stmt_, index, 0);
  } else {
    sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_STATIC);
  }
}

HRESULT Statement::Step() {
  if (!stmt_) return status_;
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return S_OK;
  if (rc == SQLITE_DONE) return S_FALSE;
  return connection_.Fail(rc);
}

HRESULT Statement::Run() {
  HRESULT hr = Step();
  if (hr == S_FALSE) return S_OK;
  if (hr == S_OK) return E_UNEXPECTED;  // a statement meant to yield no row
  return hr;
}

int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Statement::Text(int column) const { return std::string(Bytes(column)); }

std::string_view Statement::Bytes(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  if (!data || size <= 0) return {};
  return std::string_view(static_cast<const char*>(data), static_cast<size_t>(size));
}

Transaction::Transaction(Connection& connection, Kind kind)
    : connection_(connection), kind_(kind) {
  nested_ = connection_.InTransaction();
  if (nested_) {
    // Inside a batch: a write becomes a savepoint, so that a failing change
    // undoes itself and leaves the batch's earlier changes in place.
    if (kind_ == Kind::kWrite) status_ = connection_.Exec("SAVEPOINT change");
  } else {
    // A write takes the write lock at once, so that a change never has to
    // upgrade a read snapshot (which could fail without waiting).
    status_ = connection_.Exec(kind_ == Kind::kWrite ? "BEGIN IMMEDIATE" : "BEGIN");
  }
  open_ = SUCCEEDED(status_);
}

Transaction::~Transaction() {
  if (open_) Rollback();
}

HRESULT Transaction::Commit() {
  if (!open_) return FAILED(status_) ? status_ : E_UNEXPECTED;
  HRESULT hr = S_OK;
  if (nested_) {
    if (kind_ == Kind::kWrite) hr = connection_.Exec("RELEASE change");
  } else {
    hr = connection_.Exec("COMMIT");
  }
  if (FAILED(hr)) {
    Rollback();
    return hr;
  }
  open_ = false;
  return S_OK;
}

void Transaction::Rollback() {
  open_ = false;
  // SQLite undoes a whole transaction by itself after some errors (a full
  // disk, an I/O error); then there is nothing left to roll back here.
  if (!connection_.InTransaction()) return;
  if (nested_) {
    if (kind_ == Kind::kWrite) {
      sqlite3_exec(connection_.handle(), "ROLLBACK TO change; RELEASE change", nullptr, nullptr,
                   nullptr);
    }
  } else {
    sqlite3_exec(connection_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

}  // namespace vorn_store
