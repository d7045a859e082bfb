#include "platform/store_admin.h"

#include <sqlite3.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <utility>

#include "platform/store_schema.h"
#include "platform/store_statement.h"

namespace siptrunk {

// One connection for the object's life, used from one thread.
struct StoreAdmin::Impl {
  explicit Impl(sqlite3* handle) : db(handle) {}
  ~Impl() { sqlite3_close_v2(db); }
  sqlite3* db;
};

namespace {

// A name as shown in a message: in quotes, bytes that are not printable
// written as \xNN so that no control character reaches a terminal.
std::string Quote(const std::string& text) {
  std::string out = "'";
  for (const unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out + "'";
}

// No field may hold a NUL byte: the message links end every item with one,
// so such a value could never be named in an update message.
bool CheckFields(std::initializer_list<std::pair<const char*, const std::string*>> fields, std::string* error) {
  for (const auto& field : fields) {
    if (field.second->find('\0') != std::string::npos) {
      *error = std::string("the ") + field.first + " holds a NUL byte";
      return false;
    }
  }
  return true;
}

bool CheckName(const char* what, const std::string& name, std::string* error) {
  if (name.empty()) {
    *error = std::string("a ") + what + " needs a name";
    return false;
  }
  return CheckFields({{"name", &name}}, error);
}

// Runs body() as one write transaction. The body fills *error itself when it
// refuses (kStoreRefused); an SQLite failure is reported as "<action>: <message>".
bool Edit(sqlite3* db, const std::string& action, std::string* error, const std::function<int(std::string*)>& body) {
  std::string sqliteError;
  std::string refusal;
  const int rc = StoreWriteTransaction(db, &sqliteError, [&]() {
    const int bodyRc = body(&refusal);
    if (bodyRc != SQLITE_OK && bodyRc != kStoreRefused && sqliteError.empty()) sqliteError = sqlite3_errmsg(db);
    return bodyRc;
  });
  if (rc == SQLITE_OK) return true;
  if (error != nullptr) {
    if (rc == kStoreRefused) {
      *error = refusal;
    } else {
      *error = action + ": " + (sqliteError.empty() ? std::string(sqlite3_errstr(rc)) : sqliteError);
    }
  }
  return false;
}

// Looks up the key of the row named `name` (0: no such row). SQLITE_OK or the
// SQLite failure.
int FindRow(sqlite3* db, const char* sql, const std::string& name, int64_t* id) {
  *id = 0;
  StoreStatement select(db, sql);
  select.Bind(1, name);
  const int rc = select.Step();
  if (rc == SQLITE_ROW) *id = select.Int(0);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Steps through every row of a query, handing each to onRow. SQLITE_OK or the
// failure, with its message in *message.
template <typename OnRow>
int ReadRows(sqlite3* db, const char* sql, std::string* message, OnRow&& onRow) {
  StoreStatement select(db, sql);
  int rc;
  while ((rc = select.Step()) == SQLITE_ROW) onRow(select);
  if (rc == SQLITE_DONE) return SQLITE_OK;
  *message = select.Error();
  return rc;
}

const char kFindSipTrunk[] = "SELECT id FROM sip_trunks WHERE name = ?1";
const char kFindTrunkToMaster[] = "SELECT id FROM trunks_to_master WHERE name = ?1";

int SetRole(sqlite3* db, const char* sql, bool on) {
  StoreStatement update(db, sql);
  update.Bind(1, static_cast<int64_t>(on ? 1 : 0));
  return update.Run();
}

}  // namespace

StoreAdmin::StoreAdmin(Impl* impl) : m_pImpl(impl) {}

StoreAdmin::~StoreAdmin() { delete m_pImpl; }

std::unique_ptr<StoreAdmin> StoreAdmin::Open(const std::string& path, bool create, std::string* error) {
  std::string message;
  sqlite3* db = OpenStoreDatabase(path, create, &message);
  if (db == nullptr) {
    if (error != nullptr) *error = "cannot open the store " + message;
    return nullptr;
  }
  return std::unique_ptr<StoreAdmin>(new StoreAdmin(new Impl(db)));
}

bool StoreAdmin::SetMasterEnabled(bool on, std::string* error) {
  return Edit(m_pImpl->db, "cannot switch the master role", error, [&](std::string*) {
    return SetRole(m_pImpl->db,
                   "INSERT INTO agent_roles (id, master_enabled) VALUES (1, ?1) "
                   "ON CONFLICT (id) DO UPDATE SET master_enabled = excluded.master_enabled",
                   on);
  });
}

bool StoreAdmin::SetSlaveEnabled(bool on, std::string* error) {
  return Edit(m_pImpl->db, "cannot switch the slave role", error, [&](std::string*) {
    return SetRole(m_pImpl->db,
                   "INSERT INTO agent_roles (id, slave_enabled) VALUES (1, ?1) "
                   "ON CONFLICT (id) DO UPDATE SET slave_enabled = excluded.slave_enabled",
                   on);
  });
}

bool StoreAdmin::AddSipTrunk(const SipTrunkRow& row, std::string* error) {
  std::string scratch;
  std::string* out = error != nullptr ? error : &scratch;
  if (!CheckName("SIP trunk", row.name, out) ||
      !CheckFields({{"user name", &row.user}, {"password", &row.password}}, out)) {
    return false;
  }
  sqlite3* db = m_pImpl->db;
  return Edit(db, "cannot add SIP trunk " + Quote(row.name), error, [&](std::string* refusal) {
    int64_t existing = 0;
    const int rc = FindRow(db, kFindSipTrunk, row.name, &existing);
    if (rc != SQLITE_OK) return rc;
    if (existing > 0) {
      *refusal = "a SIP trunk named " + Quote(row.name) + " already exists";
      return kStoreRefused;
    }
    StoreStatement insert(db, "INSERT INTO sip_trunks (name, user, password, symmetric_nat) VALUES (?1, ?2, ?3, ?4)");
    insert.Bind(1, row.name).Bind(2, row.user).Bind(3, row.password);
    insert.Bind(4, static_cast<int64_t>(row.symmetricNat ? 1 : 0));
    return insert.Run();
  });
}

bool StoreAdmin::EditSipTrunk(const std::string& oldName, const SipTrunkRow& row, bool renameOnly,
                              std::string* error) {
  std::string scratch;
  std::string* out = error != nullptr ? error : &scratch;
  if (!CheckName("SIP trunk", row.name, out) ||
      !CheckFields({{"user name", &row.user}, {"password", &row.password}}, out)) {
    return false;
  }
  sqlite3* db = m_pImpl->db;
  return Edit(db, "cannot edit SIP trunk " + Quote(oldName), error, [&](std::string* refusal) {
    int64_t id = 0;
    int rc = FindRow(db, kFindSipTrunk, oldName, &id);
    if (rc != SQLITE_OK) return rc;
    if (id == 0) {
      *refusal = "no SIP trunk named " + Quote(oldName);
      return kStoreRefused;
    }
    if (row.name != oldName) {
      int64_t clash = 0;
      rc = FindRow(db, kFindSipTrunk, row.name, &clash);
      if (rc != SQLITE_OK) return rc;
      if (clash > 0) {
        *refusal = "a SIP trunk named " + Quote(row.name) + " already exists";
        return kStoreRefused;
      }
    }
    if (renameOnly) {
      StoreStatement update(db, "UPDATE sip_trunks SET name = ?2 WHERE id = ?1");
      update.Bind(1, id).Bind(2, row.name);
      return update.Run();
    }
    StoreStatement update(db,
                          "UPDATE sip_trunks SET name = ?2, user = ?3, password = ?4, symmetric_nat = ?5 "
                          "WHERE id = ?1");
    update.Bind(1, id).Bind(2, row.name).Bind(3, row.user).Bind(4, row.password);
    update.Bind(5, static_cast<int64_t>(row.symmetricNat ? 1 : 0));
    return update.Run();
  });
}

namespace {

// Runs a bound statement that must change a row; one that changes none is
// refused with `missing` (the named row does not exist).
int ChangeExistingRow(sqlite3* db, StoreStatement& statement, const std::string& missing, std::string* refusal) {
  const int rc = statement.Run();
  if (rc != SQLITE_OK) return rc;
  if (sqlite3_changes(db) == 0) {
    *refusal = missing;
    return kStoreRefused;
  }
  return SQLITE_OK;
}

}  // namespace

bool StoreAdmin::DeleteSipTrunk(const std::string& name, std::string* error) {
  sqlite3* db = m_pImpl->db;
  return Edit(db, "cannot delete SIP trunk " + Quote(name), error, [&](std::string* refusal) {
    StoreStatement remove(db, "DELETE FROM sip_trunks WHERE name = ?1");
    remove.Bind(1, name);
    return ChangeExistingRow(db, remove, "no SIP trunk named " + Quote(name), refusal);
  });
}

namespace {

// The name and fields of a trunk towards a master, as an edit may store them.
bool CheckTrunkToMasterRow(const TrunkToMasterRow& row, std::string* error) {
  std::string scratch;
  std::string* out = error != nullptr ? error : &scratch;
  return CheckName("trunk towards a master", row.name, out) &&
         CheckFields({{"user name", &row.user},
                      {"password", &row.password},
                      {"master address", &row.masterAddr},
                      {"master port", &row.masterPort}},
                     out);
}

}  // namespace

// A new trunk is not registered: only the agent sets `registered`, when the
// user agent confirms a registration. row.registered is not read.
bool StoreAdmin::AddTrunkToMaster(const TrunkToMasterRow& row, std::string* error) {
  if (!CheckTrunkToMasterRow(row, error)) return false;
  sqlite3* db = m_pImpl->db;
  return Edit(db, "cannot add trunk towards a master " + Quote(row.name), error, [&](std::string* refusal) {
    int64_t existing = 0;
    const int rc = FindRow(db, kFindTrunkToMaster, row.name, &existing);
    if (rc != SQLITE_OK) return rc;
    if (existing > 0) {
      *refusal = "a trunk towards a master named " + Quote(row.name) + " already exists";
      return kStoreRefused;
    }
    StoreStatement insert(db,
                          "INSERT INTO trunks_to_master (name, user, password, master_address, master_port, "
                          "enabled, registered) VALUES (?1, ?2, ?3, ?4, ?5, ?6, 0)");
    insert.Bind(1, row.name).Bind(2, row.user).Bind(3, row.password).Bind(4, row.masterAddr);
    insert.Bind(5, row.masterPort).Bind(6, static_cast<int64_t>(row.enabled ? 1 : 0));
    return insert.Run();
  });
}

// The row keeps its place, its enabled and registered flags and the copy of
// what was last handed to the user agent (the agent withdraws that copy).
bool StoreAdmin::EditTrunkToMaster(const std::string& oldName, const TrunkToMasterRow& row, bool* paramsChanged,
                                   std::string* error) {
  if (paramsChanged != nullptr) *paramsChanged = false;
  if (!CheckTrunkToMasterRow(row, error)) return false;
  sqlite3* db = m_pImpl->db;
  bool changed = false;
  const bool ok = Edit(db, "cannot edit trunk towards a master " + Quote(oldName), error, [&](std::string* refusal) {
    StoreStatement select(db,
                          "SELECT id, user, password, master_address, master_port FROM trunks_to_master "
                          "WHERE name = ?1");
    select.Bind(1, oldName);
    const int step = select.Step();
    if (step == SQLITE_DONE) {
      *refusal = "no trunk towards a master named " + Quote(oldName);
      return kStoreRefused;
    }
    if (step != SQLITE_ROW) return step;
    const int64_t id = select.Int(0);
    changed = select.Text(1) != row.user || select.Text(2) != row.password || select.Text(3) != row.masterAddr ||
              select.Text(4) != row.masterPort;
    if (row.name != oldName) {
      int64_t clash = 0;
      const int rc = FindRow(db, kFindTrunkToMaster, row.name, &clash);
      if (rc != SQLITE_OK) return rc;
      if (clash > 0) {
        *refusal = "a trunk towards a master named " + Quote(row.name) + " already exists";
        return kStoreRefused;
      }
    }
    StoreStatement update(db,
                          "UPDATE trunks_to_master SET name = ?2, user = ?3, password = ?4, "
                          "master_address = ?5, master_port = ?6 WHERE id = ?1");
    update.Bind(1, id).Bind(2, row.name).Bind(3, row.user).Bind(4, row.password);
    update.Bind(5, row.masterAddr).Bind(6, row.masterPort);
    return update.Run();
  });
  if (ok && paramsChanged != nullptr) *paramsChanged = changed;
  return ok;
}

bool StoreAdmin::SetTrunkToMasterEnabled(const std::string& name, bool enabled, std::string* error) {
  sqlite3* db = m_pImpl->db;
  return Edit(db, std::string(enabled ? "cannot enable" : "cannot disable") + " trunk towards a master " + Quote(name),
              error, [&](std::string* refusal) {
                StoreStatement update(db, "UPDATE trunks_to_master SET enabled = ?2 WHERE name = ?1");
                update.Bind(1, name).Bind(2, static_cast<int64_t>(enabled ? 1 : 0));
                return ChangeExistingRow(db, update, "no trunk towards a master named " + Quote(name), refusal);
              });
}

bool StoreAdmin::DeleteTrunkToMaster(const std::string& name, std::string* error) {
  sqlite3* db = m_pImpl->db;
  return Edit(db, "cannot delete trunk towards a master " + Quote(name), error, [&](std::string* refusal) {
    StoreStatement remove(db, "DELETE FROM trunks_to_master WHERE name = ?1");
    remove.Bind(1, name);
    return ChangeExistingRow(db, remove, "no trunk towards a master named " + Quote(name), refusal);
  });
}

// One read transaction, so the snapshot is consistent across the tables even
// while the agent writes (WAL readers see the last commit before they began).
bool StoreAdmin::Read(StoreSnapshot* snapshot, std::string* error) {
  sqlite3* db = m_pImpl->db;
  StoreSnapshot result;
  std::string message;
  int rc = StoreExec(db, "BEGIN", &message);
  auto readAll = [&]() -> int {
    int step = ReadRows(db, "SELECT master_enabled, slave_enabled FROM agent_roles WHERE id = 1", &message,
                        [&](StoreStatement& row) {
                          result.masterEnabled = row.Int(0) != 0;
                          result.slaveEnabled = row.Int(1) != 0;
                        });
    if (step != SQLITE_OK) return step;
    step = ReadRows(db, "SELECT name, user, password, symmetric_nat FROM sip_trunks ORDER BY id", &message,
                    [&](StoreStatement& row) {
                      SipTrunkRow trunk;
                      trunk.name = row.Text(0);
                      trunk.user = row.Text(1);
                      trunk.password = row.Text(2);
                      trunk.symmetricNat = row.Int(3) != 0;
                      result.sipTrunks.push_back(std::move(trunk));
                    });
    if (step != SQLITE_OK) return step;
    step = ReadRows(db,
                    "SELECT name, user, password, master_address, master_port, enabled, registered "
                    "FROM trunks_to_master ORDER BY id",
                    &message, [&](StoreStatement& row) {
                      TrunkToMasterRow trunk;
                      trunk.name = row.Text(0);
                      trunk.user = row.Text(1);
                      trunk.password = row.Text(2);
                      trunk.masterAddr = row.Text(3);
                      trunk.masterPort = row.Text(4);
                      trunk.enabled = row.Int(5) != 0;
                      trunk.registered = row.Int(6) != 0;
                      result.trunksToMaster.push_back(std::move(trunk));
                    });
    if (step != SQLITE_OK) return step;
    return ReadRows(db, "SELECT user, password, address, port, since FROM registered_slaves ORDER BY id", &message,
                    [&](StoreStatement& row) {
                      RegisteredSlaveRow slave;
                      slave.user = row.Text(0);
                      slave.password = row.Text(1);
                      slave.address = row.Text(2);
                      slave.port = row.Text(3);
                      slave.since = row.Int(4);
                      result.registeredSlaves.push_back(std::move(slave));
                    });
  };
  if (rc == SQLITE_OK) rc = readAll();
  if (rc == SQLITE_OK) rc = StoreExec(db, "COMMIT", &message);
  if (rc != SQLITE_OK) {
    if (sqlite3_get_autocommit(db) == 0) {
      std::string ignored;
      StoreExec(db, "ROLLBACK", &ignored);
    }
    if (error != nullptr) *error = "cannot read the store: " + (message.empty() ? sqlite3_errstr(rc) : message);
    return false;
  }
  if (snapshot != nullptr) *snapshot = std::move(result);
  return true;
}

}  // namespace siptrunk
