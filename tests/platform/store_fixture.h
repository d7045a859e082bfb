// Shared set-up of the store tests: a fresh state and logs directory per test
// (STATE_DIRECTORY / LOGS_DIRECTORY point there), the real trace logger, and
// helpers to poke at the SQLite file directly.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/logger.h"
#include "platform/paths.h"
#include "platform/siptrunk_config.h"
#include "platform/store_admin.h"

namespace storetest {

inline CSIPTrunkBase::STRegistrationParam Reg(const std::string& user, const std::string& password,
                                              const std::string& address, const std::string& port) {
  return CSIPTrunkBase::STRegistrationParam{user, password, address, port};
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// Runs SQL on the file through a connection of the test's own.
inline std::string RawExec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string error;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
  } else {
    sqlite3_busy_timeout(db, 5000);
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) error = message ? message : "?";
    sqlite3_free(message);
  }
  sqlite3_close(db);
  return error;
}

class StoreFixture : public ::testing::Test {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/siptrunk-store-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    stateDir_ = root_ + "/state";
    logsDir_ = root_ + "/logs";
    ASSERT_EQ(mkdir(stateDir_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(logsDir_.c_str(), 0700), 0);
    setenv("STATE_DIRECTORY", stateDir_.c_str(), 1);
    setenv("LOGS_DIRECTORY", logsDir_.c_str(), 1);
    logger_ = std::make_unique<CSIPTrunkLogger>("store-test.log");
  }

  void TearDown() override {
    config_.reset();
    logger_.reset();
    chmod(stateDir_.c_str(), 0700);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  CSIPTrunkConfig& Config() {
    if (!config_) config_ = std::make_unique<CSIPTrunkConfig>(logger_.get());
    return *config_;
  }

  std::unique_ptr<siptrunk::StoreAdmin> OpenAdmin(const std::string& path = siptrunk::StorePath()) {
    std::string error;
    auto admin = siptrunk::StoreAdmin::Open(path, true, &error);
    if (!admin) ADD_FAILURE() << "cannot open the store: " << error;
    return admin;
  }

  siptrunk::StoreSnapshot Snapshot() {
    siptrunk::StoreSnapshot snapshot;
    std::string error;
    auto admin = OpenAdmin();
    if (admin && !admin->Read(&snapshot, &error)) ADD_FAILURE() << error;
    return snapshot;
  }

  std::string StorePath() const { return stateDir_ + "/siptrunk.db"; }
  std::string Trace() const { return ReadFile(logsDir_ + "/store-test.log"); }

  std::string root_;
  std::string stateDir_;
  std::string logsDir_;
  std::unique_ptr<CSIPTrunkLogger> logger_;
  std::unique_ptr<CSIPTrunkConfig> config_;
};

}  // namespace storetest
