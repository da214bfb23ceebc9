// The recordsets of the file-database provider.
//
//   StreamingRecordset  forward-only, read-only, server-side: one prepared statement stepped row by row;
//                       only the current row is held.
//   BufferedRecordset   client-side (and the scrollable read-only cursors): see platform/data.
//   UpdatableRecordset  a rowset of one table that accepts AddNew ... Update; each added row is one
//                       INSERT of the fields that were set (unset fields take their defaults), counted into
//                       the connection's batch.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/data/BufferedRecordset.h"
#include "platform/data/sqlite/SqliteApi.h"
#include "velabackup/data/Connection.h"

namespace vela::data::sqlite {

class JetConnection;

// Field descriptions of a prepared statement; fields whose type only the data tells (expressions) take
// it from the statement's current row.
std::vector<FieldInfo> DescribeFields(JetConnection& connection, sqlite3_stmt* stmt, bool hasRow);

class StreamingRecordset : public Recordset {
 public:
  StreamingRecordset(JetConnection& connection, Statement statement);

  bool Eof() const override { return eof_; }
  void MoveNext() override;
  std::int64_t RecordCount() const override { return -1; }
  std::size_t FieldCount() const override { return fields_.size(); }
  const FieldInfo& Field(std::size_t index) const override;
  const Value& GetValue(std::size_t index) const override;
  const Value& GetStoredValue(std::size_t index) const override;
  void Sort(std::string_view fieldName) override;
  void AddNew() override;
  void SetValue(std::size_t index, const Value& value) override;
  void Update() override;
  void CancelUpdate() override;
  EditModeEnum EditMode() const override { return adEditNone; }
  void Close() override;

 protected:
  void ReadRow();
  void LookAhead();

  JetConnection& connection_;
  Statement statement_;
  std::vector<FieldInfo> fields_;
  std::vector<Value> row_;
  std::vector<Value> held_;  // per field: the value as the engine holds it when not in the type's form
  bool eof_ = true;
  bool hasNext_ = false;
};

class UpdatableRecordset final : public StreamingRecordset {
 public:
  UpdatableRecordset(JetConnection& connection, Statement statement);
  ~UpdatableRecordset() override;

  bool Eof() const override { return editMode_ == adEditNone && eof_; }
  void MoveNext() override;
  const Value& GetValue(std::size_t index) const override;
  void AddNew() override;
  void SetValue(std::size_t index, const Value& value) override;
  void SetStoredValue(std::size_t index, const Value& value) override;
  void Update() override;
  void CancelUpdate() override;
  EditModeEnum EditMode() const override { return editMode_; }
  void Close() override;

 private:
  std::string table_;
  std::vector<std::string> columns_;   // the table column behind each field
  std::vector<std::string> contexts_;  // "table.column" for failure texts, made once rather than per value
  EditModeEnum editMode_ = adEditNone;
  bool readerDone_ = false;
  std::vector<Value> pending_;
  std::vector<bool> assigned_;
  std::vector<bool> asStored_;  // fields set with SetStoredValue, bound in their own class
  std::map<std::vector<bool>, Statement> inserts_;  // one statement per set of assigned fields
  bool closed_ = false;
};

}  // namespace vela::data::sqlite
