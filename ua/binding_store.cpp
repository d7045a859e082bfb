#include "ua/binding_store.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/store_statement.h"

namespace siptrunk {
namespace ua {

namespace {

constexpr int kBusyTimeoutMs = 2000;  // only the UA writes the file; a backup being taken may hold it
constexpr size_t kMaxField = 1024;    // longer text in a row is damage

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS bindings ("
    "  user TEXT PRIMARY KEY NOT NULL,"
    "  contact TEXT NOT NULL,"
    "  host_name TEXT NOT NULL,"
    "  address TEXT NOT NULL,"
    "  port INTEGER NOT NULL,"
    "  expires_at INTEGER NOT NULL"  // wall-clock seconds since 1970
    ");"
    "PRAGMA user_version=1;";

// Why a row read back (user, contact, host_name, address, port, expires_at)
// is unusable; empty when it is fine.
std::string CheckRow(sqlite3_stmt* row) {
  for (int column = 0; column < 6; ++column) {
    const int want = column < 4 ? SQLITE_TEXT : SQLITE_INTEGER;
    if (sqlite3_column_type(row, column) != want) return "field " + std::to_string(column) + " of the wrong type";
  }
  for (int column = 0; column < 4; ++column) {
    if (static_cast<size_t>(sqlite3_column_bytes(row, column)) > kMaxField) return "overlong field";
  }
  const auto text = [row](int column) {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(row, column));
    return data ? std::string(data, static_cast<size_t>(sqlite3_column_bytes(row, column))) : std::string();
  };
  if (text(0).empty() || text(0).find('\0') != std::string::npos) return "empty user";
  if (text(1).compare(0, 4, "sip:") != 0 && text(1).compare(0, 5, "sips:") != 0) return "contact not a SIP URI";
  in_addr a;
  if (inet_pton(AF_INET, text(3).c_str(), &a) != 1) return "address not IPv4";
  const int64_t port = sqlite3_column_int64(row, 4);
  if (port < 0 || port > 65535) return "port out of range";
  if (sqlite3_column_int64(row, 5) < 0) return "negative expiry";
  return std::string();
}

}  // namespace

BindingStore::~BindingStore() { sqlite3_close(m_db); }

bool BindingStore::Open(const std::string& path, std::string* error) {
  // Mode 0600 from the start: contacts and addresses are nobody else's.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  close(fd);
  if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
      sqlite3_db_readonly(m_db, "main") == 1) {
    *error = path + ": " + (m_db ? sqlite3_errmsg(m_db) : "cannot open") + " (read-only?)";
    sqlite3_close(m_db);
    m_db = nullptr;
    return false;
  }
  sqlite3_extended_result_codes(m_db, 1);
  sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
  sqlite3_db_config(m_db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  std::string why;
  bool wal = false;
  int64_t v = -1;
  {  // both statements end before the transaction below
    StoreStatement journal(m_db, "PRAGMA journal_mode=WAL");
    wal = journal.Step() == SQLITE_ROW && journal.Text(0) == "wal";
    StoreStatement version(m_db, "PRAGMA user_version");
    if (version.Step() == SQLITE_ROW) v = version.Int(0);
  }
  if (!wal || v < 0 || v > 1) {
    why = !wal ? "cannot switch to WAL mode" : "not a binding file of this version (user_version " +
                                                   std::to_string(v) + ")";
  } else if (StoreExec(m_db, "PRAGMA synchronous=FULL", &why) != SQLITE_OK ||
             StoreWriteTransaction(m_db, &why, [&] { return StoreExec(m_db, kSchema, &why); }) != SQLITE_OK) {
    if (why.empty()) why = sqlite3_errmsg(m_db);
  }
  if (!why.empty()) {
    *error = path + ": " + why;
    sqlite3_close(m_db);
    m_db = nullptr;
    return false;
  }
  return true;
}

std::vector<Binding> BindingStore::Load(uint64_t wallNow, uint64_t steadyNow, uint32_t maxSeconds,
                                        std::vector<std::string>* diagnostics) {
  std::vector<Binding> out;
  std::vector<int64_t> bad;  // by rowid, deleted after the walk
  if (!m_db) return out;
  sqlite3_stmt* row = nullptr;
  if (sqlite3_prepare_v2(m_db, "SELECT user, contact, host_name, address, port, expires_at, rowid FROM bindings",
                         -1, &row, nullptr) != SQLITE_OK) {
    diagnostics->push_back(std::string("cannot read the bindings: ") + sqlite3_errmsg(m_db));
    return out;
  }
  int rc;
  while ((rc = sqlite3_step(row)) == SQLITE_ROW) {
    const std::string why = CheckRow(row);
    if (!why.empty()) {
      diagnostics->push_back("binding row " + std::to_string(sqlite3_column_int64(row, 6)) + " dropped: " + why);
      bad.push_back(sqlite3_column_int64(row, 6));
      continue;
    }
    Binding b;
    b.user = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
    b.contact = reinterpret_cast<const char*>(sqlite3_column_text(row, 1));
    b.hostName = reinterpret_cast<const char*>(sqlite3_column_text(row, 2));
    b.addr = reinterpret_cast<const char*>(sqlite3_column_text(row, 3));
    b.port = static_cast<uint16_t>(sqlite3_column_int64(row, 4));
    const uint64_t wall = static_cast<uint64_t>(sqlite3_column_int64(row, 5));
    const uint64_t left = wall > wallNow ? wall - wallNow : 0;
    b.expiresAt = steadyNow + (left > maxSeconds ? maxSeconds : left);
    if (left == 0) b.expiresAt = 0;  // expired while we were down
    out.push_back(std::move(b));
  }
  if (rc != SQLITE_DONE) diagnostics->push_back(std::string("reading the bindings stopped: ") + sqlite3_errmsg(m_db));
  sqlite3_finalize(row);
  std::string error;
  if (!bad.empty() && StoreWriteTransaction(m_db, &error, [&] {
        for (const int64_t id : bad) {
          const int r = StoreStatement(m_db, "DELETE FROM bindings WHERE rowid = ?").Bind(1, id).Run();
          if (r != SQLITE_OK) return r;
        }
        return SQLITE_OK;
      }) != SQLITE_OK) {
    diagnostics->push_back("cannot delete the bad rows: " + error);
  }
  return out;
}

bool BindingStore::Sync(const Bindings& bindings, const std::vector<std::string>& users, uint64_t wallNow,
                        uint64_t steadyNow, std::string* error) {
  if (!m_db || users.empty()) return m_db != nullptr;
  const int rc = StoreWriteTransaction(m_db, error, [&]() -> int {
    for (const std::string& user : users) {
      const std::optional<Binding> b = bindings.Find(user);
      int r;
      if (b) {
        const uint64_t wall = b->expiresAt > steadyNow ? wallNow + (b->expiresAt - steadyNow) : 0;
        StoreStatement put(m_db,
                           "INSERT OR REPLACE INTO bindings (user, contact, host_name, address, port, expires_at) "
                           "VALUES (?, ?, ?, ?, ?, ?)");
        r = put.Bind(1, b->user).Bind(2, b->contact).Bind(3, b->hostName).Bind(4, b->addr)
                .Bind(5, static_cast<int64_t>(b->port)).Bind(6, static_cast<int64_t>(wall)).Run();
        if (r != SQLITE_OK) *error = put.Error();
      } else {
        StoreStatement del(m_db, "DELETE FROM bindings WHERE user = ?");
        r = del.Bind(1, user).Run();
        if (r != SQLITE_OK) *error = del.Error();
      }
      if (r != SQLITE_OK) return r;
    }
    return SQLITE_OK;
  });
  if (rc == SQLITE_OK) ++m_commits;
  return rc == SQLITE_OK;
}

void BindingStore::ReleaseMemory() {
  if (m_db) sqlite3_db_release_memory(m_db);
}

}  // namespace ua
}  // namespace siptrunk
