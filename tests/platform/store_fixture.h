// The store tests' set-up: fresh STATE_DIRECTORY and LOGS_DIRECTORY per test,
// the real trace logger, and a connection of the test's own to the SQLite file.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "platform/logger.h"
#include "platform/paths.h"
#include "platform/siptrunk_config.h"
#include "platform/store_admin.h"
#include "tests/platform/link_test_support.h"

namespace storetest {

using Reg = CSIPTrunkBase::STRegistrationParam;  // {user, password, address, port}

// Runs SQL on the file (created when missing); returns the error, empty on success.
inline std::string RawExec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  char* message = nullptr;
  sqlite3_open(path.c_str(), &db);  // a failure leaves db in an error state that the exec reports
  sqlite3_busy_timeout(db, 5000);
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  const std::string error = rc == SQLITE_OK ? "" : message != nullptr ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  sqlite3_close(db);
  return error;
}

// Members go in reverse order: the client before the logger, both before the directories.
class StoreFixture : public ::testing::Test {
 public:
  CSIPTrunkConfig& Config() {
    if (!config_) config_ = std::make_unique<CSIPTrunkConfig>(logger_.get());
    return *config_;
  }
  std::unique_ptr<siptrunk::StoreAdmin> OpenAdmin() {
    auto admin = siptrunk::StoreAdmin::Open(siptrunk::StorePath(), true, &error);
    if (!admin) ADD_FAILURE() << "cannot open the store: " << error;
    return admin;
  }
  siptrunk::StoreSnapshot Snapshot() {
    siptrunk::StoreSnapshot snapshot;
    auto admin = OpenAdmin();
    if (admin && !admin->Read(&snapshot, &error)) ADD_FAILURE() << error;
    return snapshot;
  }
  std::string StorePath() const { return state_.Path() + "/siptrunk.db"; }

  linktest::ScopedRuntimeDirectory state_{"STATE_DIRECTORY"}, logs_{"LOGS_DIRECTORY"};
  std::unique_ptr<CSIPTrunkLogger> logger_ = std::make_unique<CSIPTrunkLogger>("store-test.log");
  std::unique_ptr<CSIPTrunkConfig> config_;
  std::string error;  // the last failure a store call gave
};

}  // namespace storetest
