// The file-database provider ("Microsoft.Jet.OLEDB.4.0") on SQLite: a connection to one database file.
//
// Connection string: "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=<path>" with, for a protected file,
// "Jet OLEDB:Database Password=<password>" (see Protection.h). The password is never reported:
// ConnectionString() leaves it out.
//
// Rows added through updatable recordsets are written in batches, one transaction per batch, never one
// commit per row; any other use of the connection, and the recordset's Close, commits the open batch
// first, so work is durable at Close and statements always see the rows added before them.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "platform/data/sqlite/JetSchema.h"
#include "platform/data/sqlite/Protection.h"
#include "platform/data/sqlite/SqliteApi.h"
#include "velabackup/data/Connection.h"

namespace vela::data::sqlite {

inline constexpr const char* kProviderName = "Microsoft.Jet.OLEDB.4.0";
inline constexpr const char* kPasswordKey = "Jet OLEDB:Database Password";
inline constexpr int kApplicationId = 0x56454C41;  // "VELA": marks files made by this provider

class JetConnection final : public Connection {
 public:
  static std::unique_ptr<Connection> Open(std::string_view connectionString);
  static void Create(std::string_view connectionString);
  ~JetConnection() override;

  std::string ConnectionString() const override;
  std::string LoginConnectionString() const override { return connectionString_; }
  std::string Provider() const override { return kProviderName; }
  std::string EngineVersion() const override;
  bool IsOpen() const override { return db_ != nullptr; }
  void Close() override;
  int CommandTimeout() const override { return commandTimeout_; }
  void SetCommandTimeout(int seconds) override;
  CursorLocationEnum CursorLocation() const override { return cursorLocation_; }
  void SetCursorLocation(CursorLocationEnum location) override { cursorLocation_ = location; }
  void Execute(std::string_view sql) override;
  void Execute(std::string_view sql, std::span<const Parameter> parameters, bool prepared) override;
  std::unique_ptr<Recordset> OpenRecordset(std::string_view sql, CursorTypeEnum cursorType,
                                           LockTypeEnum lockType, CursorLocationEnum location) override;
  std::unique_ptr<Recordset> OpenSchemaColumns(std::string_view tableName) override;
  std::unique_ptr<Catalog> OpenCatalog() override;
  void SnapshotTo(const std::filesystem::path& file) override;
  void BeginReadSnapshot() override;
  void EndReadSnapshot() override;
  std::unique_ptr<Connection> OpenSnapshotReader() override;

  // For the provider's own objects.
  sqlite3* Db();
  JetSchema& Schema() { return schema_; }
  const std::filesystem::path& Path() const { return path_; }
  void CommitBatch();    // commits the open batch of added rows, if any
  void BatchRowAdded();  // counts a row into the batch, committing when it is full
  void BeginBatchRow();  // opens a batch when none is open

 private:
  JetConnection() : schema_(*this) {}

  std::string connectionString_;
  std::filesystem::path path_;
  DbHandle db_;
  JetSchema schema_;
  int commandTimeout_ = 30;
  CursorLocationEnum cursorLocation_ = adUseServer;
  bool snapshot_ = false;  // inside the read transaction BeginReadSnapshot began
  bool batchOpen_ = false;
  std::int64_t batchRows_ = 0;
  std::map<std::string, Statement> prepared_;
};

}  // namespace vela::data::sqlite
