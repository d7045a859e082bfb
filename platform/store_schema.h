// The store's schema, in one place for the agent and the settings client.
// docs/store.md describes it.
#pragma once

#include <string>

struct sqlite3;

namespace siptrunk {

constexpr int kStoreSchemaVersion = 1;
constexpr int kStoreBusyTimeoutMs = 2000;

// Opens the database at `path` with the project's settings (WAL, full
// durability, busy timeout, foreign keys) and creates or upgrades the schema.
// create false: a missing file is an error. On failure returns nullptr and
// says why in *error (the handle is closed).
sqlite3* OpenStoreDatabase(const std::string& path, bool create, std::string* error);

}  // namespace siptrunk
