// The registrar's bindings on disk: one SQLite file of the UA's own
// (<state>/siptrunk-ua.db, beside the agent's store, never shared with it),
// so that a restart or a power cut does not forget which slave devices are
// registered (docs/ua.md, "Bindings across restarts").
//
// Expiry is kept as wall-clock seconds: the steady clock starts again at each
// boot. A binding read back is checked field by field; a bad row is dropped
// with a diagnostic and deleted.
//
// Durability: WAL with synchronous=FULL. A binding is committed before the
// agent is told of it, so that every slave the agent admits is one the UA
// will confirm again (or confirm gone) after a power cut; NORMAL could lose
// the last commits while the agent's own (FULL) commit survived, leaving an
// address admitted for good.
//
// Owned and used by the event-loop thread only; no locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ua/bindings.h"

struct sqlite3;

namespace siptrunk {
namespace ua {

class BindingStore {
 public:
  BindingStore() = default;
  ~BindingStore();
  BindingStore(const BindingStore&) = delete;
  BindingStore& operator=(const BindingStore&) = delete;

  // Opens (creating when missing) the file at `path`; false with *error.
  bool Open(const std::string& path, std::string* error);
  // Every valid binding, expiry turned from wall-clock to steady seconds
  // (`wallNow`, `steadyNow`); what is left of a binding is at most
  // `maxSeconds`, in case the wall clock went back. A bad row is reported
  // in *diagnostics and deleted.
  std::vector<Binding> Load(uint64_t wallNow, uint64_t steadyNow, uint32_t maxSeconds,
                            std::vector<std::string>* diagnostics);
  // Writes the bindings of `users` as `bindings` holds them now (a user
  // without a binding is deleted), all in one transaction. Expiry is turned
  // from steady to wall-clock seconds. False with *error (nothing written).
  bool Sync(const Bindings& bindings, const std::vector<std::string>& users, uint64_t wallNow, uint64_t steadyNow,
            std::string* error);
  bool open() const { return m_db != nullptr; }
  // Gives back the page cache (refilled from the file at the next write).
  void ReleaseMemory();
  uint64_t commits() const { return m_commits; }

 private:
  sqlite3* m_db = nullptr;
  uint64_t m_commits = 0;
};

}  // namespace ua
}  // namespace siptrunk
