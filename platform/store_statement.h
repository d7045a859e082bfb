// Small helpers over the SQLite C interface for the store clients
// (CSIPTrunkConfig and StoreAdmin): a prepared statement that owns itself and
// carries its first error, and one write transaction.
//
// Values always travel as bound parameters; SQL text is a constant of the
// caller's. Strings are byte strings: they are bound with their length and read
// back with theirs, so no byte is changed on the way.
//
// Not thread-safe by itself: each object belongs to the caller's thread for
// the duration of one store operation, under the client's own lock.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace siptrunk {

// Result a transaction body returns when it declines to go on for a reason of
// its own (a missing row, a name already taken): the transaction is rolled
// back and no SQLite error is reported. Outside SQLite's range of codes.
constexpr int kStoreRefused = -1;

class StoreStatement {
 public:
  StoreStatement(sqlite3* db, const char* sql) : m_db(db) {
    m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr);
    if (m_rc != SQLITE_OK) CaptureError();
  }
  ~StoreStatement() { sqlite3_finalize(m_stmt); }
  StoreStatement(const StoreStatement&) = delete;
  StoreStatement& operator=(const StoreStatement&) = delete;

  // Parameters are numbered from 1. A failed prepare or bind makes every
  // later call a no-op and Step() return that failure.
  StoreStatement& Bind(int index, const std::string& text) {
    if (m_rc == SQLITE_OK) {
      m_rc = sqlite3_bind_text64(m_stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
      if (m_rc != SQLITE_OK) CaptureError();
    }
    return *this;
  }
  StoreStatement& Bind(int index, int64_t value) {
    if (m_rc == SQLITE_OK) {
      m_rc = sqlite3_bind_int64(m_stmt, index, value);
      if (m_rc != SQLITE_OK) CaptureError();
    }
    return *this;
  }

  // SQLITE_ROW, SQLITE_DONE or the (extended) error code.
  int Step() {
    if (m_rc != SQLITE_OK) return m_rc;
    const int rc = sqlite3_step(m_stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      m_rc = rc;
      CaptureError();
    }
    return rc;
  }

  // Runs a statement that returns no row to its end: SQLITE_OK or the error.
  int Run() {
    int rc = Step();
    while (rc == SQLITE_ROW) rc = Step();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  }

  // Column values of the current row (columns numbered from 0). NULL reads as
  // an empty string or 0.
  std::string Text(int column) const {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(m_stmt, column));
    const int size = sqlite3_column_bytes(m_stmt, column);
    if (data == nullptr || size <= 0) return std::string();
    return std::string(data, static_cast<size_t>(size));
  }
  bool IsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
  int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }

  // The SQLite message of the first failure, taken when it happened.
  const std::string& Error() const { return m_error; }

 private:
  void CaptureError() {
    if (m_error.empty()) m_error = sqlite3_errmsg(m_db);
  }

  sqlite3* m_db;
  sqlite3_stmt* m_stmt = nullptr;
  int m_rc = SQLITE_OK;
  std::string m_error;
};

// Runs a constant SQL text with no parameters and no rows (BEGIN, COMMIT...).
inline int StoreExec(sqlite3* db, const char* sql, std::string* error) {
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK && error != nullptr && error->empty()) *error = sqlite3_errmsg(db);
  return rc;
}

// One write transaction: BEGIN IMMEDIATE (waits for the write lock up to the
// busy timeout), the body, COMMIT; ROLLBACK when anything fails. The body
// returns SQLITE_OK to commit, an SQLite error code (message in *error) or
// kStoreRefused. Returns SQLITE_OK when committed, else the failure.
template <typename Body>
int StoreWriteTransaction(sqlite3* db, std::string* error, Body&& body) {
  int rc = StoreExec(db, "BEGIN IMMEDIATE", error);
  if (rc != SQLITE_OK) return rc;
  rc = body();
  if (rc == SQLITE_OK) rc = StoreExec(db, "COMMIT", error);
  if (rc != SQLITE_OK && sqlite3_get_autocommit(db) == 0) {
    // The error text stays the one of the failure, not the rollback's.
    std::string ignored;
    StoreExec(db, "ROLLBACK", &ignored);
  }
  return rc;
}

// True when an error means the connection can no longer be trusted (the file
// is damaged, gone, replaced, or no longer writable through this handle): the
// client closes it and opens the file again at its next operation.
inline bool StoreErrorNeedsReopen(int rc) {
  switch (rc & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_PROTOCOL:
      return true;
    default:
      return false;
  }
}

}  // namespace siptrunk
