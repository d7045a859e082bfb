#include "platform/siptrunk_config.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/logger.h"
#include "platform/paths.h"
#include "platform/store_schema.h"
#include "platform/store_statement.h"

using siptrunk::StoreStatement;

// Owns one SQLite connection, opened at the first operation and again after
// any failure that leaves it untrustworthy (or when the file at the store path
// is no longer the one it opened). Every member is guarded by `mutex`; the
// client's operations are the only users.
struct CSIPTrunkConfig::Impl {
  explicit Impl(CSIPTrunkLogger* traceLogger) : logger(traceLogger) {}
  ~Impl() { Close(); }

  CSIPTrunkLogger* logger;
  std::mutex mutex;
  sqlite3* db = nullptr;  // nullptr: not open
  std::string path;       // the file `db` was opened from
  dev_t device = 0;       // ...and its identity when opened
  ino_t inode = 0;
  bool quiet = false;     // failures of the current operation are not traced
  // Set by each write of registered slaves: it failed on a store fault. Read
  // without the mutex (LastRegisteredSlaveWriteFailed).
  std::atomic<bool> slaveWriteFailed{false};
  // Registered-slave writes of this thread commit without a sync, and some
  // such commit waits for SyncRegisteredSlaves.
  std::thread::id deferringThread;
  bool slaveSyncDue = false;

  void Close() {
    if (db != nullptr) {
      SyncLogLocked();  // another connection may keep the log from being checkpointed at close
      sqlite3_close_v2(db);
    }
    db = nullptr;
  }

  void Trace(const char* line) {
    if (logger != nullptr) {
      logger->TRACE(3, "%s", line);
    } else {
      std::fputs(line, stderr);
    }
  }

  void TraceFailure(const char* operation, const std::string& message) {
    if (quiet) return;
    // The message is SQLite's or ours, never a value of the caller's, so no
    // password reaches the trace.
    const std::string line = std::string("ERROR: Store: ") + operation + " failed: " + message + "\n";
    Trace(line.c_str());
  }

  // SQLite reads the file's header only when its cache is stale, and this
  // connection's own commits never make it stale: a header overwritten in
  // place would go unnoticed here while every other client finds no database.
  // The header is read through SQLite's own handle (a descriptor of ours,
  // when closed, would drop the POSIX locks SQLite holds on the file). A file
  // shorter than the header is accepted: a new store may still have all its
  // pages in the log.
  bool HeaderIntact() {
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || file == nullptr ||
        file->pMethods == nullptr) {
      return true;
    }
    static const char kMagic[] = "SQLite format 3";  // 16 bytes with its NUL, as in the file
    char header[sizeof kMagic];
    if (file->pMethods->xRead(file, header, sizeof header, 0) != SQLITE_OK) return true;
    return std::memcmp(header, kMagic, sizeof kMagic) == 0;
  }

  // Opens the store when it is not open, or when the file at the store path
  // was replaced or removed since it was opened.
  bool EnsureOpen(const char* operation) {
    const std::string current = siptrunk::StorePath();
    struct stat info;
    const bool exists = stat(current.c_str(), &info) == 0;
    if (db != nullptr) {
      if (exists && current == path && info.st_dev == device && info.st_ino == inode) {
        if (HeaderIntact()) return true;
        TraceFailure(operation, path + ": file is not a database (its header was overwritten)");
        return false;
      }
      Trace(("INFO: Store: " + path + " was replaced or removed; opening the store again\n").c_str());
      // The -wal and -shm files go by name, so they now sit beside the new
      // file while holding the old one's pages, and SQLite leaves them in
      // place when it closes a moved database. Emptying the log first keeps
      // the old pages from being read as part of the new file.
      sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
      Close();
    }
    if (!exists) Trace(("INFO: Store: " + current + " does not exist; creating a new store\n").c_str());
    std::string error;
    db = siptrunk::OpenStoreDatabase(current, /*create=*/true, &error);
    if (db == nullptr) {
      TraceFailure(operation, error);
      return false;
    }
    if (stat(current.c_str(), &info) != 0) {
      TraceFailure(operation, current + " vanished while it was opened");
      Close();
      return false;
    }
    path = current;
    device = info.st_dev;
    inode = info.st_ino;
    Trace(("INFO: Store: opened " + path + "\n").c_str());
    return true;
  }

  // Reports a failed SQLite call and drops the connection when it can no
  // longer be trusted, so that the next operation opens the file again.
  void Fail(const char* operation, int rc, const std::string& message) {
    TraceFailure(operation, message.empty() ? std::string(sqlite3_errstr(rc)) : message);
    if (siptrunk::StoreErrorNeedsReopen(rc)) Close();
  }

  // Runs a read under the lock. body(db, error) returns SQLITE_OK or an
  // SQLite error with *error set.
  template <typename Body>
  bool Read(const char* operation, Body&& body) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!EnsureOpen(operation)) return false;
    std::string error;
    const int rc = body(db, &error);
    if (rc != SQLITE_OK) {
      Fail(operation, rc, error);
      return false;
    }
    return true;
  }

  // Runs body(db, error) as one write transaction under the lock. A body that
  // returns kStoreRefused rolls back quietly (nothing to do) and gives false.
  // *failed (when given) tells a store fault from such a refusal; `traced`
  // false keeps the fault out of the trace.
  template <typename Body>
  bool Write(const char* operation, Body&& body, bool* failed = nullptr, bool traced = true, bool slaveWrite = false) {
    std::lock_guard<std::mutex> lock(mutex);
    const bool deferSync = slaveWrite && std::this_thread::get_id() == deferringThread;
    quiet = !traced;
    int rc = SQLITE_CANTOPEN;
    if (EnsureOpen(operation)) {
      std::string error;
      if (deferSync) rc = siptrunk::StoreExec(db, "PRAGMA synchronous=NORMAL", &error);
      if (!deferSync || rc == SQLITE_OK) {
        rc = siptrunk::StoreWriteTransaction(db, &error, [&]() { return body(db, &error); });
      }
      if (deferSync) {
        slaveSyncDue = slaveSyncDue || rc == SQLITE_OK;
        std::string restoreError;
        if (siptrunk::StoreExec(db, "PRAGMA synchronous=FULL", &restoreError) != SQLITE_OK) {
          TraceFailure(operation, restoreError);
          Close();  // reopened at FULL by the next operation
        }
      }
      if (rc != SQLITE_OK && rc != siptrunk::kStoreRefused) Fail(operation, rc, error);
    }
    quiet = false;
    if (failed != nullptr) *failed = rc != SQLITE_OK && rc != siptrunk::kStoreRefused;
    return rc == SQLITE_OK;
  }

  // A write of registered slaves: as Write, and it notes whether it failed.
  // On the deferring thread it commits without a sync (see
  // DeferSlaveSyncOnThisThread).
  template <typename Body>
  bool SlaveWrite(const char* operation, Body&& body) {
    bool failed = false;
    const bool ok = Write(operation, body, &failed, true, /*slaveWrite=*/true);
    slaveWriteFailed = failed;
    return ok;
  }

  // Syncs the log when a commit made without a sync waits for it; one sync
  // covers every commit before it. Called with the mutex held.
  int SyncLogLocked() {
    if (!slaveSyncDue || db == nullptr) return SQLITE_OK;
    slaveSyncDue = false;
    sqlite3_file* log = nullptr;
    int rc = sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log);
    if (rc == SQLITE_OK && log != nullptr && log->pMethods != nullptr) rc = log->pMethods->xSync(log, SQLITE_SYNC_NORMAL);
    return rc;
  }
};

namespace {

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

bool SameRegistration(const CSIPTrunkBase::STRegistrationParam& a, const CSIPTrunkBase::STRegistrationParam& b) {
  return a.sUserName == b.sUserName && a.sHostAddr == b.sHostAddr && a.sHostPort == b.sHostPort;
}

// Finishes a statement that returns no row; SQLITE_OK or the error in *error.
int RunStatement(StoreStatement& statement, std::string* error) {
  const int rc = statement.Run();
  if (rc != SQLITE_OK) *error = statement.Error();
  return rc;
}

// Steps through every row, handing each to onRow; SQLITE_OK or the error.
template <typename OnRow>
int ForEachRow(StoreStatement& statement, std::string* error, OnRow&& onRow) {
  int rc;
  while ((rc = statement.Step()) == SQLITE_ROW) onRow(statement);
  if (rc == SQLITE_DONE) return SQLITE_OK;
  *error = statement.Error();
  return rc;
}

// Records a registration, or refreshes it when the same user, address and port
// are already stored (then its password follows the new one and `since` stays).
int UpsertRegistration(sqlite3* db, const CSIPTrunkBase::STRegistrationParam& param, std::string* error) {
  const int64_t now = Now();
  StoreStatement upsert(db,
                        "INSERT INTO registered_slaves (user, password, address, port, since, refreshed) "
                        "VALUES (?1, ?2, ?3, ?4, ?5, ?5) "
                        "ON CONFLICT (user, address, port) DO UPDATE SET "
                        "password = excluded.password, refreshed = excluded.refreshed");
  upsert.Bind(1, param.sUserName).Bind(2, param.sUserPasswd).Bind(3, param.sHostAddr).Bind(4, param.sHostPort);
  upsert.Bind(5, now);
  return RunStatement(upsert, error);
}

// Sets a column of one trunk towards a master; kStoreRefused when no trunk has the name.
int UpdateTrunkToMaster(sqlite3* db, const char* sql, const std::string& name, std::string* error) {
  StoreStatement update(db, sql);
  update.Bind(1, name);
  const int rc = RunStatement(update, error);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_changes(db) > 0 ? SQLITE_OK : siptrunk::kStoreRefused;
}

}  // namespace

CSIPTrunkConfig::CSIPTrunkConfig(CSIPTrunkLogger* logger) : m_pImpl(new Impl(logger)) {}

CSIPTrunkConfig::~CSIPTrunkConfig() { delete m_pImpl; }

bool CSIPTrunkConfig::GetSIPTrunkAgentStates(CSIPTrunkBase::STAgentStates& states) {
  states.bMasterEnabled = false;
  states.bSlaveEnabled = false;
  bool master = false;
  bool slave = false;
  const bool ok = m_pImpl->Read("GetSIPTrunkAgentStates", [&](sqlite3* db, std::string* error) {
    StoreStatement select(db, "SELECT master_enabled, slave_enabled FROM agent_roles WHERE id = 1");
    return ForEachRow(select, error, [&](StoreStatement& row) {
      master = row.Int(0) != 0;
      slave = row.Int(1) != 0;
    });
  });
  if (ok) {
    states.bMasterEnabled = master;
    states.bSlaveEnabled = slave;
  }
  return ok;
}

bool CSIPTrunkConfig::InitRegisterSlaveList(std::vector<CSIPTrunkBase::STRegistrationParam>& slaves) {
  std::vector<CSIPTrunkBase::STRegistrationParam> stored;
  const bool ok = m_pImpl->Read("InitRegisterSlaveList", [&](sqlite3* db, std::string* error) {
    StoreStatement select(db, "SELECT user, password, address, port FROM registered_slaves ORDER BY id");
    return ForEachRow(select, error, [&](StoreStatement& row) {
      CSIPTrunkBase::STRegistrationParam param;
      param.sUserName = row.Text(0);
      param.sUserPasswd = row.Text(1);
      param.sHostAddr = row.Text(2);
      param.sHostPort = row.Text(3);
      stored.push_back(std::move(param));
    });
  });
  if (!ok) return false;  // the table is left as it was
  for (auto& param : stored) {
    bool present = false;
    for (const auto& entry : slaves) {
      if (SameRegistration(entry, param)) {
        present = true;
        break;
      }
    }
    if (!present) slaves.push_back(std::move(param));
  }
  return true;
}

bool CSIPTrunkConfig::GetMasterAccesibleUsersList(std::vector<CSIPTrunkBase::STAccessibleUser>& users) {
  std::vector<CSIPTrunkBase::STAccessibleUser> stored;
  const bool ok = m_pImpl->Read("GetMasterAccesibleUsersList", [&](sqlite3* db, std::string* error) {
    StoreStatement select(db, "SELECT name, user, password FROM sip_trunks ORDER BY id");
    return ForEachRow(select, error, [&](StoreStatement& row) {
      CSIPTrunkBase::STAccessibleUser user;
      user.sTrunkName = row.Text(0);
      user.sUserName = row.Text(1);
      user.sUserPasswd = row.Text(2);
      stored.push_back(std::move(user));
    });
  });
  if (!ok) return false;
  for (auto& user : stored) users.push_back(std::move(user));
  return true;
}

bool CSIPTrunkConfig::GetSlaveAccesibleUsersList(std::vector<CSIPTrunkBase::STAccessibleSlave>& trunks) {
  std::vector<CSIPTrunkBase::STAccessibleSlave> stored;
  const bool ok = m_pImpl->Read("GetSlaveAccesibleUsersList", [&](sqlite3* db, std::string* error) {
    StoreStatement select(db,
                          "SELECT name, user, password, master_address, master_port, registered "
                          "FROM trunks_to_master WHERE enabled = 1 ORDER BY id");
    return ForEachRow(select, error, [&](StoreStatement& row) {
      CSIPTrunkBase::STAccessibleSlave trunk;
      trunk.sTrunkName = row.Text(0);
      trunk.sUserName = row.Text(1);
      trunk.sUserPasswd = row.Text(2);
      trunk.sHostAddr = row.Text(3);
      trunk.sHostPort = row.Text(4);
      trunk.bActive = row.Int(5) != 0;
      trunk.nLastError = 0;
      // A restart announces no success; a first failure and the recovery after it are announced.
      trunk.bNotifySuccess = false;
      stored.push_back(std::move(trunk));
    });
  });
  if (!ok) return false;
  for (auto& trunk : stored) trunks.push_back(std::move(trunk));
  return true;
}

// True when the fields were filled; false when the trunk is missing, when
// (forRegister) it is disabled, or on a store failure. Every field is empty then.
bool CSIPTrunkConfig::GetTrunkToMasterParams(const std::string& name, CSIPTrunkBase::STRegistrationFields& fields,
                                             const bool& forRegister) {
  fields = CSIPTrunkBase::STRegistrationFields();
  const bool wantConfigured = forRegister;
  bool found = false;
  CSIPTrunkBase::STRegistrationFields result;
  const bool ok = m_pImpl->Read("GetTrunkToMasterParams", [&](sqlite3* db, std::string* error) {
    StoreStatement select(db,
                          "SELECT user, password, master_address, master_port, enabled, "
                          "sent_user, sent_password, sent_address, sent_port "
                          "FROM trunks_to_master WHERE name = ?1");
    select.Bind(1, name);
    return ForEachRow(select, error, [&](StoreStatement& row) {
      if (wantConfigured) {
        if (row.Int(4) == 0) return;  // disabled: nothing to register
        found = true;
        result.sUserName = row.Text(0);
        result.sUserPasswd = row.Text(1);
        result.sHostAddr = row.Text(2);
        result.sHostPort = row.Text(3);
        return;
      }
      // To withdraw: what the user agent was given, when it was given anything.
      found = true;
      const int first = row.IsNull(5) ? 0 : 5;
      result.sUserName = row.Text(first + 0);
      result.sUserPasswd = row.Text(first + 1);
      result.sHostAddr = row.Text(first + 2);
      result.sHostPort = row.Text(first + 3);
    });
  });
  if (!ok || !found) return false;
  fields = result;
  return true;
}

int CSIPTrunkConfig::GetStateOfTrunkToMaster(const std::string& name) {
  int state = 0;
  m_pImpl->Read("GetStateOfTrunkToMaster", [&](sqlite3* db, std::string* error) {
    StoreStatement select(db, "SELECT enabled FROM trunks_to_master WHERE name = ?1");
    select.Bind(1, name);
    return ForEachRow(select, error, [&](StoreStatement& row) { state = row.Int(0) != 0 ? 1 : 0; });
  });
  return state;
}

// False when no trunk has the name (nothing traced) or on a store failure.
bool CSIPTrunkConfig::ChangeTrunkToMasterConfig(const std::string& name) {
  return m_pImpl->Write("ChangeTrunkToMasterConfig", [&](sqlite3* db, std::string* error) {
    return UpdateTrunkToMaster(db,
                               "UPDATE trunks_to_master SET sent_user = user, sent_password = password, "
                               "sent_address = master_address, sent_port = master_port WHERE name = ?1",
                               name, error);
  });
}

bool CSIPTrunkConfig::SetTrunkToMasterActiveState(const std::string& name) {
  return m_pImpl->Write("SetTrunkToMasterActiveState", [&](sqlite3* db, std::string* error) {
    return UpdateTrunkToMaster(db, "UPDATE trunks_to_master SET registered = 1 WHERE name = ?1", name, error);
  });
}

bool CSIPTrunkConfig::SetTrunkToMasterInActiveState(const std::string& name) {
  return m_pImpl->Write("SetTrunkToMasterInActiveState", [&](sqlite3* db, std::string* error) {
    return UpdateTrunkToMaster(db, "UPDATE trunks_to_master SET registered = 0 WHERE name = ?1", name, error);
  });
}

// Both cases are the same write: a new registration of a slave that is already
// stored refreshes the row (password and refreshed) and keeps its place and
// `since`; a repeated registration of a slave that is missing records it anew.
bool CSIPTrunkConfig::SetRegisterParam(const CSIPTrunkBase::STRegistrationParam& param, const bool& alreadyRegistered) {
  return m_pImpl->SlaveWrite(alreadyRegistered ? "SetRegisterParam(refresh)" : "SetRegisterParam",
                             [&](sqlite3* db, std::string* error) { return UpsertRegistration(db, param, error); });
}

// False when no such registration was stored.
bool CSIPTrunkConfig::SetUnregisterParam(const CSIPTrunkBase::STRegistrationParam& param) {
  return m_pImpl->SlaveWrite("SetUnregisterParam", [&](sqlite3* db, std::string* error) {
    StoreStatement remove(db, "DELETE FROM registered_slaves WHERE user = ?1 AND address = ?2 AND port = ?3");
    remove.Bind(1, param.sUserName).Bind(2, param.sHostAddr).Bind(3, param.sHostPort);
    const int rc = RunStatement(remove, error);
    if (rc != SQLITE_OK) return rc;
    return sqlite3_changes(db) > 0 ? SQLITE_OK : siptrunk::kStoreRefused;
  });
}

// The moved row keeps its user, password, place and `since`; it takes the
// address and port of `to`. When the row it would become is already stored,
// the `from` row is dropped instead (the unique key allows one row per user,
// address and port) and the existing row is refreshed. When `from` is not
// stored, the moved registration is recorded anew, so the store ends up
// holding the registration the agent's table now has.
bool CSIPTrunkConfig::ChangeRegisterParam(const CSIPTrunkBase::STRegistrationParam& from,
                                          const CSIPTrunkBase::STRegistrationParam& to) {
  return m_pImpl->SlaveWrite("ChangeRegisterParam", [&](sqlite3* db, std::string* error) {
    const int64_t now = Now();
    CSIPTrunkBase::STRegistrationParam moved = from;
    moved.sHostAddr = to.sHostAddr;
    moved.sHostPort = to.sHostPort;

    if (!SameRegistration(from, moved)) {
      StoreStatement target(db,
                            "SELECT 1 FROM registered_slaves WHERE user = ?1 AND address = ?2 AND port = ?3");
      target.Bind(1, moved.sUserName).Bind(2, moved.sHostAddr).Bind(3, moved.sHostPort);
      const int step = target.Step();
      if (step != SQLITE_ROW && step != SQLITE_DONE) {
        *error = target.Error();
        return step;
      }
      if (step == SQLITE_ROW) {
        StoreStatement remove(db, "DELETE FROM registered_slaves WHERE user = ?1 AND address = ?2 AND port = ?3");
        remove.Bind(1, from.sUserName).Bind(2, from.sHostAddr).Bind(3, from.sHostPort);
        const int rc = RunStatement(remove, error);
        if (rc != SQLITE_OK) return rc;
        StoreStatement refresh(db,
                               "UPDATE registered_slaves SET refreshed = ?4 "
                               "WHERE user = ?1 AND address = ?2 AND port = ?3");
        refresh.Bind(1, moved.sUserName).Bind(2, moved.sHostAddr).Bind(3, moved.sHostPort).Bind(4, now);
        return RunStatement(refresh, error);
      }
    }
    StoreStatement move(db,
                        "UPDATE registered_slaves SET address = ?4, port = ?5, refreshed = ?6 "
                        "WHERE user = ?1 AND address = ?2 AND port = ?3");
    move.Bind(1, from.sUserName).Bind(2, from.sHostAddr).Bind(3, from.sHostPort);
    move.Bind(4, moved.sHostAddr).Bind(5, moved.sHostPort).Bind(6, now);
    const int rc = RunStatement(move, error);
    if (rc != SQLITE_OK || sqlite3_changes(db) > 0) return rc;
    return UpsertRegistration(db, moved, error);
  });
}

bool CSIPTrunkConfig::LastRegisteredSlaveWriteFailed() const { return m_pImpl->slaveWriteFailed; }

void CSIPTrunkConfig::DeferSlaveSyncOnThisThread() {
  std::lock_guard<std::mutex> lock(m_pImpl->mutex);
  m_pImpl->deferringThread = std::this_thread::get_id();
}

bool CSIPTrunkConfig::SyncRegisteredSlaves() {
  std::lock_guard<std::mutex> lock(m_pImpl->mutex);
  const int rc = m_pImpl->SyncLogLocked();
  if (rc == SQLITE_OK) return true;
  m_pImpl->Fail("SyncRegisteredSlaves", rc, "");
  m_pImpl->Close();
  m_pImpl->slaveWriteFailed = true;
  return false;
}

bool CSIPTrunkConfig::WriteRegisteredSlaves(const std::vector<CSIPTrunkBase::STRegistrationParam>& table,
                                            const std::vector<CSIPTrunkBase::STRegistrationParam>& forget) {
  using Key = std::tuple<std::string, std::string, std::string>;
  struct Row {
    int64_t id = -1;  // -1: in the table, not stored
    int64_t since = 0;
    int64_t refreshed = 0;
    std::string password;
    bool done = false;  // written in its place
  };
  auto keyOf = [](const CSIPTrunkBase::STRegistrationParam& p) { return Key(p.sUserName, p.sHostAddr, p.sHostPort); };
  return m_pImpl->Write(
      "WriteRegisteredSlaves",
      [&](sqlite3* db, std::string* error) {
        std::map<Key, Row> stored;
        for (const auto& entry : table) stored[keyOf(entry)];
        for (const auto& key : forget) {
          if (stored.count(keyOf(key)) != 0) continue;  // registered again since
          StoreStatement remove(db, "DELETE FROM registered_slaves WHERE user = ?1 AND address = ?2 AND port = ?3");
          remove.Bind(1, key.sUserName).Bind(2, key.sHostAddr).Bind(3, key.sHostPort);
          const int rc = RunStatement(remove, error);
          if (rc != SQLITE_OK) return rc;
        }
        StoreStatement select(db, "SELECT id, user, address, port, since, refreshed, password FROM registered_slaves");
        int rc = ForEachRow(select, error, [&](StoreStatement& row) {
          auto it = stored.find(Key(row.Text(1), row.Text(2), row.Text(3)));
          if (it == stored.end()) return;
          it->second.id = row.Int(0);
          it->second.since = row.Int(4);
          it->second.refreshed = row.Int(5);
          it->second.password = row.Text(6);
        });
        if (rc != SQLITE_OK) return rc;
        const int64_t now = Now();
        int64_t lastId = -1;
        bool appending = false;  // from the first row out of the table's order on, rows go to the end
        for (const auto& entry : table) {
          Row& row = stored[keyOf(entry)];
          if (row.done) continue;  // a second entry of one registration: its first place counts
          if (!appending && row.id > lastId) {
            lastId = row.id;
            if (row.password != entry.sUserPasswd) {
              StoreStatement update(db, "UPDATE registered_slaves SET password = ?2 WHERE id = ?1");
              update.Bind(1, row.id).Bind(2, entry.sUserPasswd);
              if ((rc = RunStatement(update, error)) != SQLITE_OK) return rc;
            }
          } else {
            appending = true;
            if (row.id >= 0) {
              StoreStatement remove(db, "DELETE FROM registered_slaves WHERE id = ?1");
              remove.Bind(1, row.id);
              if ((rc = RunStatement(remove, error)) != SQLITE_OK) return rc;
            } else {
              row.since = row.refreshed = now;
            }
            StoreStatement insert(db,
                                  "INSERT INTO registered_slaves (user, password, address, port, since, refreshed) "
                                  "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
            insert.Bind(1, entry.sUserName).Bind(2, entry.sUserPasswd).Bind(3, entry.sHostAddr);
            insert.Bind(4, entry.sHostPort).Bind(5, row.since).Bind(6, row.refreshed);
            if ((rc = RunStatement(insert, error)) != SQLITE_OK) return rc;
          }
          row.done = true;
        }
        return SQLITE_OK;
      },
      nullptr, /*traced=*/false);
}
