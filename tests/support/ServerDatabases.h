// Databases on the PostgreSQL test cluster (scripts/pg_cluster.sh) for tests of the server engine. With
// VELA_TEST_PG=1 the cluster must be there and a test fails without it; otherwise the tests are skipped
// with a message saying how to run them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/data/SqlText.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela::testing {

// An environment variable's value; empty when it is not set.
inline std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

inline bool ServerTestsWanted() {
  return Env("VELA_TEST_PG") == "1";
}

// The connection string of a database on the local server, reached through PGHOST / PGPORT / PGUSER.
inline std::string ServerDatabase(const std::string& name) {
  return "Provider=SQLOLEDB.1;Data Source=(local);Initial Catalog=" + name;
}

// The database a server connection string names.
inline std::string ServerDatabaseName(const std::string& connectionString) {
  return utils::KeyValue(connectionString, "Initial Catalog", ";");
}

// A database name no other test of any process uses at the same time.
inline std::string UniqueServerName(const std::string& prefix) {
  static int counter = 0;
  return prefix + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

// The first value of a query on a connection string's database; Null when it gives no row.
inline data::Value Scalar(const std::string& connectionString, const std::string& sql) {
  std::unique_ptr<data::Connection> connection = data::OpenConnection(connectionString);
  auto rows =
      connection->OpenRecordset(sql, data::adOpenForwardOnly, data::adLockReadOnly, data::adUseServer);
  return rows->Eof() ? data::Value::Null() : data::Value(rows->GetValue(std::size_t{0}));
}

// Skips the test when server tests are not wanted; fails it when they are and the cluster is missing.
#define VELA_REQUIRE_SERVER()                                                                            \
  do {                                                                                                   \
    if (!::vela::testing::ServerTestsWanted())                                                           \
      GTEST_SKIP() << "PostgreSQL tests skipped: set VELA_TEST_PG=1 and the environment printed by "     \
                      "`scripts/pg_cluster.sh start`";                                                   \
    try {                                                                                                \
      ::vela::data::OpenConnection(::vela::testing::ServerDatabase("Master"))->Close();                  \
    } catch (const ::vela::Error& e) {                                                                   \
      FAIL() << "VELA_TEST_PG=1 but the PostgreSQL test cluster cannot be reached: " << e.Description(); \
    }                                                                                                    \
  } while (false)

// Drops the databases a test names when it ends.
class ServerDatabaseGuard {
 public:
  ServerDatabaseGuard() = default;
  ServerDatabaseGuard(const ServerDatabaseGuard&) = delete;
  ServerDatabaseGuard& operator=(const ServerDatabaseGuard&) = delete;
  ~ServerDatabaseGuard() {
    for (const std::string& name : names_) {
      try {
        data::DropDatabase(ServerDatabase(name));
      } catch (const Error&) {
      }
    }
  }
  // A new name, dropped at the end; its connection string.
  std::string Add(const std::string& prefix) {
    names_.push_back(UniqueServerName(prefix));
    return ServerDatabase(names_.back());
  }

 private:
  std::vector<std::string> names_;
};

// A test with a database of its own on the test cluster, made through the maintenance database before
// the test and dropped after it (with whatever else the test names in dropAfterwards_). A derived SetUp
// calls this one first and returns when the test was skipped or failed.
class ServerDatabaseTest : public ::testing::Test {
 protected:
  explicit ServerDatabaseTest(std::string prefix) : prefix_(std::move(prefix)) {}

  void SetUp() override {
    VELA_REQUIRE_SERVER();
    maintenance_ = data::OpenConnection(ServerDatabase("Master"));
    database_ = UniqueServerName(prefix_);
    maintenance_->Execute("CREATE DATABASE " + data::BracketName(database_));
    db_ = data::OpenConnection(ServerDatabase(database_));
  }

  void TearDown() override {
    db_.reset();
    if (maintenance_ == nullptr) return;
    dropAfterwards_.push_back(database_);
    for (const std::string& name : dropAfterwards_)
      maintenance_->Execute("DROP DATABASE IF EXISTS " + data::BracketName(name) + " WITH (FORCE)");
  }

  // Whether SetUp ended early (the test skipped or failed).
  bool NotSetUp() const { return IsSkipped() || HasFatalFailure(); }

  std::unique_ptr<data::Connection> maintenance_;
  std::unique_ptr<data::Connection> db_;
  std::string database_;
  std::vector<std::string> dropAfterwards_;

 private:
  std::string prefix_;
};

}  // namespace vela::testing
