#include "platform/store_schema.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/store_statement.h"

namespace siptrunk {
namespace {

// Version 1 of the schema. Every table keeps its rows in insertion order by
// their integer key (a new row always gets a key above every existing one;
// an update keeps its key), which is the order the agent's tables need.
// Strings are byte strings stored as TEXT and compared with BINARY collation
// (exact bytes). Booleans are 0/1.
const char kSchemaV1[] =
    "CREATE TABLE agent_roles ("
    "  id INTEGER PRIMARY KEY CHECK (id = 1),"
    "  master_enabled INTEGER NOT NULL DEFAULT 0 CHECK (master_enabled IN (0, 1)),"
    "  slave_enabled INTEGER NOT NULL DEFAULT 0 CHECK (slave_enabled IN (0, 1))"
    ");"
    "INSERT INTO agent_roles (id) VALUES (1);"
    "CREATE TABLE sip_trunks ("
    "  id INTEGER PRIMARY KEY,"
    "  name TEXT NOT NULL UNIQUE,"
    "  user TEXT NOT NULL,"
    "  password TEXT NOT NULL,"
    "  symmetric_nat INTEGER NOT NULL DEFAULT 0 CHECK (symmetric_nat IN (0, 1))"
    ");"
    "CREATE TABLE trunks_to_master ("
    "  id INTEGER PRIMARY KEY,"
    "  name TEXT NOT NULL UNIQUE,"
    "  user TEXT NOT NULL,"
    "  password TEXT NOT NULL,"
    "  master_address TEXT NOT NULL,"
    "  master_port TEXT NOT NULL,"
    "  enabled INTEGER NOT NULL DEFAULT 0 CHECK (enabled IN (0, 1)),"
    "  registered INTEGER NOT NULL DEFAULT 0 CHECK (registered IN (0, 1)),"
    "  sent_user TEXT,"
    "  sent_password TEXT,"
    "  sent_address TEXT,"
    "  sent_port TEXT"
    ");"
    "CREATE TABLE registered_slaves ("
    "  id INTEGER PRIMARY KEY,"
    "  user TEXT NOT NULL,"
    "  password TEXT NOT NULL,"
    "  address TEXT NOT NULL,"
    "  port TEXT NOT NULL,"
    "  since INTEGER NOT NULL,"
    "  refreshed INTEGER NOT NULL,"
    "  UNIQUE (user, address, port)"
    ");";

std::string Describe(sqlite3* db, int rc) {
  if (db != nullptr) return sqlite3_errmsg(db);
  return sqlite3_errstr(rc);
}

// Runs a pragma or query that answers with one row of one column.
int QuerySingle(sqlite3* db, const char* sql, std::string* text, int64_t* number, std::string* error) {
  StoreStatement statement(db, sql);
  const int rc = statement.Step();
  if (rc == SQLITE_ROW) {
    if (text != nullptr) *text = statement.Text(0);
    if (number != nullptr) *number = statement.Int(0);
    return SQLITE_OK;
  }
  if (rc == SQLITE_DONE) {
    *error = std::string("no answer to \"") + sql + "\"";
    return SQLITE_ERROR;
  }
  *error = statement.Error();
  return rc;
}

// The store holds passwords in clear: a file this process creates is readable
// by its owner only (SQLite gives the -wal and -shm files the same mode). The
// directory is made when missing, one level only.
bool CreateStoreFile(const std::string& path, std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) return true;
  if (errno != ENOENT) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  const auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "cannot create directory " + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return true;  // another process was first
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  close(fd);
  return true;
}

// Waits for a lock held by another connection (the settings client's, or the
// agent's), trying again every millisecond for up to kStoreBusyTimeoutMs.
// SQLite's own busy timeout backs off to 100 ms between tries, so a client
// that commits back to back could hold the lock at every try and starve the
// other for the whole timeout; short, even tries find the gap between two
// transactions. A connection is used by one thread at a time and the handler
// runs on it, so the start of the current wait is kept per thread; try 0 of a
// wait marks it.
int WaitWhileBusy(void* /*unused*/, int tries) {
  thread_local std::chrono::steady_clock::time_point waitBegan;
  const auto now = std::chrono::steady_clock::now();
  if (tries == 0) waitBegan = now;
  if (now - waitBegan >= std::chrono::milliseconds(kStoreBusyTimeoutMs)) return 0;  // give up: SQLITE_BUSY
  sqlite3_sleep(1);
  return 1;
}

// Reads, without writing anything, whether the file is a store this program
// may use: a store of our schema version or older, or an empty database (a
// new file). Anything else is left exactly as it is.
// *version receives the store's schema version (0: empty database).
int CheckItIsOurs(sqlite3* db, int64_t* version, std::string* error) {
  // One statement reads both from one snapshot: read one after the other, a
  // client creating the schema in between would show tables with version 0.
  StoreStatement query(db,
                       "SELECT (SELECT user_version FROM pragma_user_version), (SELECT count(*) FROM sqlite_schema)");
  const int rc = query.Step();
  if (rc != SQLITE_ROW) {
    *error = rc == SQLITE_DONE ? std::string("no answer about the store's schema") : query.Error();
    return rc == SQLITE_DONE ? SQLITE_ERROR : rc;
  }
  *version = query.Int(0);
  const int64_t objects = query.Int(1);
  if (*version > kStoreSchemaVersion) {
    *error = "the store has schema version " + std::to_string(*version) + ", newer than this program's version " +
             std::to_string(kStoreSchemaVersion) + "; refusing to use it";
    return kStoreRefused;
  }
  if (*version < 0) {
    *error = "the store has an invalid schema version " + std::to_string(*version);
    return kStoreRefused;
  }
  if (*version == 0 && objects != 0) {
    *error = "the file is an SQLite database of another program (it has tables but no store schema version)";
    return kStoreRefused;
  }
  return SQLITE_OK;
}

int SetUpJournal(sqlite3* db, std::string* error) {
  std::string mode;
  int rc = QuerySingle(db, "PRAGMA journal_mode=WAL", &mode, nullptr, error);
  if (rc != SQLITE_OK) return rc;
  if (mode != "wal") {
    *error = "cannot switch the store to WAL mode (journal mode is " + mode + ")";
    return SQLITE_ERROR;
  }
  // FULL: in WAL mode each commit syncs the log, so a committed row survives
  // a power cut (NORMAL could lose the last commits).
  rc = StoreExec(db, "PRAGMA synchronous=FULL", error);
  if (rc != SQLITE_OK) return rc;
  return StoreExec(db, "PRAGMA foreign_keys=ON", error);
}

// Creates the schema in an empty database, or upgrades an older one, in one
// transaction. `version` is what CheckItIsOurs found before the lock.
int CreateOrUpgradeSchema(sqlite3* db, int64_t version, std::string* error) {
  if (version == kStoreSchemaVersion) return SQLITE_OK;
  return StoreWriteTransaction(db, error, [&]() -> int {
    // Another client may have created or changed the schema meanwhile:
    // decide again under the write lock.
    int rc = CheckItIsOurs(db, &version, error);
    if (rc != SQLITE_OK || version == kStoreSchemaVersion) return rc;
    if (version == 0) {
      rc = StoreExec(db, kSchemaV1, error);
      if (rc != SQLITE_OK) return rc;
      version = 1;
    }
    // Upgrades from older versions go here, one step per version.
    static_assert(kStoreSchemaVersion == 1, "add the upgrade step and the user_version statement");
    if (version != kStoreSchemaVersion) {
      *error = "no upgrade from store schema version " + std::to_string(version);
      return kStoreRefused;
    }
    // A pragma takes no bound parameter; the value is our own constant.
    return StoreExec(db, "PRAGMA user_version=1", error);
  });
}

}  // namespace

sqlite3* OpenStoreDatabase(const std::string& path, bool create, std::string* error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  error->clear();
  if (path.empty()) {
    *error = "no store path";
    return nullptr;
  }
  if (path.find('\0') != std::string::npos) {
    *error = "the store path holds a NUL byte";
    return nullptr;
  }
  if (create) {
    if (!CreateStoreFile(path, error)) return nullptr;
  } else {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
      *error = path + ": " + std::strerror(errno);
      return nullptr;
    }
  }

  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    *error = path + ": " + Describe(db, rc);
    sqlite3_close(db);
    return nullptr;
  }
  // SQLite falls back to a read-only handle when the file cannot be written;
  // the store must take writes, so that is a failure here.
  if (sqlite3_db_readonly(db, "main") == 1) {
    *error = path + ": the file is read-only";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_handler(db, WaitWhileBusy, nullptr);
  // No writes to the schema tables through SQL, no malformed-schema tricks.
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  int64_t version = 0;
  rc = CheckItIsOurs(db, &version, error);
  if (rc == SQLITE_OK) rc = SetUpJournal(db, error);
  if (rc == SQLITE_OK) rc = CreateOrUpgradeSchema(db, version, error);
  if (rc != SQLITE_OK) {
    if (error->empty()) *error = sqlite3_errstr(rc);
    *error = path + ": " + *error;
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

}  // namespace siptrunk
