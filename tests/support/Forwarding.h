// Forwarding test doubles: each passes every call to a real object, so a test overrides just the call it
// needs to change (a failure injected into one statement, extra catalog entries). Every virtual of
// data::Catalog and data::Connection is forwarded: CheckForwarding.cmake (the test
// ForwardingCoversEveryVirtual) fails when the interfaces gain one that is not forwarded here.
#pragma once

#include <memory>

#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela::testing {

class ForwardingCatalog : public data::Catalog {
 public:
  explicit ForwardingCatalog(std::unique_ptr<data::Catalog> inner) : inner_(std::move(inner)) {}
  std::vector<Entry> ListTables() override { return inner_->ListTables(); }
  data::Table GetTable(std::string_view name) override { return inner_->GetTable(name); }
  void AppendTable(const data::Table& table) override { inner_->AppendTable(table); }
  void AppendTableInSchema(const data::Table& table, std::string_view schema) override {
    inner_->AppendTableInSchema(table, schema);
  }
  void AppendKey(std::string_view table, const data::Key& key) override { inner_->AppendKey(table, key); }
  void SetColumnProperty(std::string_view table, std::string_view column, std::string_view property,
                         const data::Value& value) override {
    inner_->SetColumnProperty(table, column, property, value);
  }
  void Refresh() override { inner_->Refresh(); }
  data::Properties NewColumnProperties() const override { return inner_->NewColumnProperties(); }
  std::vector<data::EngineObject> ListEngineObjects() override { return inner_->ListEngineObjects(); }
  void ApplyEngineObject(const data::EngineObject& object) override { inner_->ApplyEngineObject(object); }
  std::vector<data::EngineSetting> ListEngineSettings() override { return inner_->ListEngineSettings(); }
  std::vector<data::EngineState> ListEngineStates() override { return inner_->ListEngineStates(); }
  void ApplyEngineState(const data::EngineState& state) override { inner_->ApplyEngineState(state); }
  void ApplyEngineSetting(const data::EngineSetting& setting) override {
    inner_->ApplyEngineSetting(setting);
  }
  void RemoveForRestore(const std::vector<std::string>& tables,
                        const std::vector<std::string>& schemas) override {
    inner_->RemoveForRestore(tables, schemas);
  }

 protected:
  std::unique_ptr<data::Catalog> inner_;
};

class ForwardingConnection : public data::Connection {
 public:
  explicit ForwardingConnection(std::unique_ptr<data::Connection> inner) : inner_(std::move(inner)) {}
  std::string ConnectionString() const override { return inner_->ConnectionString(); }
  std::string LoginConnectionString() const override { return inner_->LoginConnectionString(); }
  std::string Provider() const override { return inner_->Provider(); }
  std::string EngineVersion() const override { return inner_->EngineVersion(); }
  bool IsOpen() const override { return inner_->IsOpen(); }
  void Close() override { inner_->Close(); }
  int CommandTimeout() const override { return inner_->CommandTimeout(); }
  void SetCommandTimeout(int seconds) override { inner_->SetCommandTimeout(seconds); }
  data::CursorLocationEnum CursorLocation() const override { return inner_->CursorLocation(); }
  void SetCursorLocation(data::CursorLocationEnum location) override { inner_->SetCursorLocation(location); }
  void Execute(std::string_view sql) override { inner_->Execute(sql); }
  void Execute(std::string_view sql, std::span<const data::Parameter> parameters, bool prepared) override {
    inner_->Execute(sql, parameters, prepared);
  }
  std::unique_ptr<data::Recordset> OpenRecordset(std::string_view sql, data::CursorTypeEnum cursorType,
                                                 data::LockTypeEnum lockType,
                                                 data::CursorLocationEnum location) override {
    return inner_->OpenRecordset(sql, cursorType, lockType, location);
  }
  std::unique_ptr<data::Recordset> OpenSchemaColumns(std::string_view table) override {
    return inner_->OpenSchemaColumns(table);
  }
  std::unique_ptr<data::Catalog> OpenCatalog() override { return inner_->OpenCatalog(); }
  void SnapshotTo(const std::filesystem::path& file) override { inner_->SnapshotTo(file); }
  void BeginReadSnapshot() override { inner_->BeginReadSnapshot(); }
  void EndReadSnapshot() override { inner_->EndReadSnapshot(); }
  std::unique_ptr<Connection> OpenSnapshotReader() override { return inner_->OpenSnapshotReader(); }
  void BeginTrans() override { inner_->BeginTrans(); }
  void CommitTrans() override { inner_->CommitTrans(); }

 protected:
  std::unique_ptr<data::Connection> inner_;
};

}  // namespace vela::testing
