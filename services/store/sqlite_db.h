// The store server's one choke point around SQLite: a connection with cached
// statements, statements that step and read columns, transactions, and the
// mapping from SQLite result codes (and the errno values of the few
// file-system calls the server makes itself) to status codes.
//
// Nothing here is thread-safe on its own; StoreDatabase serialises every use
// of a connection with its mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/types.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vorn_store {

// Maps an SQLite result code (primary or extended) to a status: S_OK for
// SQLITE_OK, SQLITE_ROW and SQLITE_DONE; a negative status for every error.
HRESULT StatusFromSqlite(int rc);

// Maps an errno value of a file-system call to a status, as StatusFromSqlite
// does for SQLite.
HRESULT StatusFromErrno(int error);

class Connection {
 public:
  // Opens (creating when missing) the database file at `path` with the
  // store's settings: WAL journal, full synchronisation, a busy timeout.
  // When the file exists but cannot be opened for writing (the user may not
  // write it or its folder, or it is on a read-only mount) and it was closed
  // cleanly (no write-ahead log is left beside it), it is opened for reading
  // only and nothing is ever written to it or beside it; read_only() tells.
  // A store that was not closed cleanly needs writing to be recovered and
  // fails to open then.
  static HRESULT Open(const std::string& path, std::unique_ptr<Connection>* out);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs one or more statements without results.
  HRESULT Exec(const char* sql);

  // True while a transaction (a batch or a single change) is open.
  bool InTransaction() const;

  // Rows changed by the last INSERT, UPDATE or DELETE.
  int64_t Changes() const;

  // True for a connection opened for reading only.
  bool read_only() const { return readOnly_; }

  // The status of the last failing SQLite call on this connection.
  HRESULT last_failure() const { return lastFailure_; }

  sqlite3* handle() const { return db_; }

 private:
  friend class Statement;
  explicit Connection(sqlite3* db, bool readOnly = false) : db_(db), readOnly_(readOnly) {}
  // Opens a cleanly closed file that cannot be written, for reading only.
  static HRESULT OpenForReading(const std::string& path, std::unique_ptr<Connection>* out);
  // Puts the file in WAL mode, waiting while another connection is in the way.
  HRESULT SetWalMode();
  // A prepared statement for `sql`, kept for the connection's lifetime and
  // found again by the text's address.
  HRESULT Cached(const char* sql, sqlite3_stmt** stmt);
  HRESULT Fail(int rc);

  sqlite3* db_;
  const bool readOnly_;
  std::unordered_map<const char*, sqlite3_stmt*> cache_;
  HRESULT lastFailure_ = S_OK;
};

// One use of a cached statement: bind, step, read columns. The statement is
// reset when this object goes away. `sql` must be a string that outlives the
// connection (a literal).
class Statement {
 public:
  Statement(Connection& connection, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // S_OK when the statement was prepared; the failure otherwise. Every other
  // call on a statement that failed to prepare does nothing.
  HRESULT status() const { return status_; }

  void Bind(int index, int64_t value);
  void Bind(int index, std::string_view text);
  void BindBlob(int index, const void* data, size_t size);

  // S_OK with a row to read, S_FALSE when done, negative on failure.
  HRESULT Step();
  // Runs a statement that yields no row: S_OK when done.
  HRESULT Run();

  int64_t Int(int column) const;
  std::string Text(int column) const;
  // The bytes of a text or blob column, valid until the next Step.
  std::string_view Bytes(int column) const;

 private:
  Connection& connection_;
  sqlite3_stmt* stmt_ = nullptr;
  HRESULT status_;
};

// A transaction over one change. When the connection is already inside a
// transaction (an open batch) it becomes a savepoint of that transaction.
// A transaction not committed is rolled back when this object goes away.
class Transaction {
 public:
  enum class Kind { kRead, kWrite };
  Transaction(Connection& connection, Kind kind);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // S_OK when the transaction is open.
  HRESULT status() const { return status_; }
  // True when this transaction runs inside an enclosing one.
  bool nested() const { return nested_; }
  HRESULT Commit();

 private:
  void Rollback();

  Connection& connection_;
  Kind kind_;
  bool nested_ = false;
  bool open_ = false;
  HRESULT status_ = S_OK;
};

}  // namespace vorn_store
