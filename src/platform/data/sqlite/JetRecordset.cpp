#include "platform/data/sqlite/JetRecordset.h"

#include <algorithm>

#include "platform/data/SqlText.h"
#include "platform/data/sqlite/JetConnection.h"
#include "platform/data/sqlite/JetValues.h"
#include "platform/text/Strings.h"

namespace vela::data::sqlite {
namespace {

[[noreturn]] void NoCurrentRow() {
  ThrowNoCurrentRow(kSource);
}
[[noreturn]] void NotUpdatable() {
  ThrowNotUpdatable(kSource);
}
[[noreturn]] void NoSuchField(std::size_t index) {
  ThrowNoSuchField(kSource, index);
}

}  // namespace

std::vector<FieldInfo> DescribeFields(JetConnection& connection, sqlite3_stmt* stmt, bool hasRow) {
  std::vector<FieldInfo> fields;
  int count = sqlite3_column_count(stmt);
  for (int i = 0; i < count; ++i) {
    FieldInfo field;
    field.name = sqlite3_column_name(stmt, i);
    std::optional<ColumnType> type;
    const char* table = sqlite3_column_table_name(stmt, i);
    const char* origin = sqlite3_column_origin_name(stmt, i);
    if (table != nullptr && origin != nullptr) {
      if (const TableInfo* info = connection.Schema().FindTable(table))
        if (const ColumnInfo* column = info->Find(origin)) type = column->type;
    }
    if (!type) {
      if (const char* declared = sqlite3_column_decltype(stmt, i)) type = TypeFromDeclaration(declared);
    }
    if (!type) {
      // An expression: the engine only knows the type of its value.
      int storage = hasRow ? sqlite3_column_type(stmt, i) : SQLITE_NULL;
      ColumnType t;
      if (storage == SQLITE_INTEGER) {
        std::int64_t v = sqlite3_column_int64(stmt, i);
        t.type = (v >= INT32_MIN && v <= INT32_MAX) ? adInteger : adBigInt;
      } else if (storage == SQLITE_FLOAT) {
        t.type = adDouble;
      } else if (storage == SQLITE_BLOB) {
        t.type = adLongVarBinary;
      } else {
        t.type = adVarWChar;
        t.definedSize = 255;
      }
      t.precision = NaturalPrecision(t.type);
      type = t;
    }
    field.type = type->type;
    field.definedSize = type->definedSize;
    field.precision = type->precision;
    field.numericScale = type->numericScale;
    fields.push_back(std::move(field));
  }
  return fields;
}

// ---- StreamingRecordset ---------------------------------------------------------------------------------

StreamingRecordset::StreamingRecordset(JetConnection& connection, Statement statement)
    : connection_(connection), statement_(std::move(statement)) {
  eof_ = !statement_.Step();
  fields_ = DescribeFields(connection_, statement_.get(), !eof_);
  row_.resize(fields_.size());
  held_.resize(fields_.size());
  if (!eof_) {
    ReadRow();
    LookAhead();
  }
}

// The statement is always one row ahead of the current row, so that it finishes (and releases the
// engine for schema changes) as soon as the last row has been read, not when the caller moves past it.
void StreamingRecordset::LookAhead() {
  hasNext_ = statement_.Step();
  if (!hasNext_) statement_.Reset();
}

void StreamingRecordset::ReadRow() {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    Value& held = held_[i];
    if (!held.IsEmpty()) held = Value();
    row_[i] = ReadValue(statement_.get(), static_cast<int>(i), fields_[i].type, &held);
  }
}

void StreamingRecordset::MoveNext() {
  if (eof_ || !statement_) NoCurrentRow();
  if (!hasNext_) {
    eof_ = true;
    return;
  }
  ReadRow();
  LookAhead();
}

const FieldInfo& StreamingRecordset::Field(std::size_t index) const {
  if (index >= fields_.size()) NoSuchField(index);
  return fields_[index];
}

const Value& StreamingRecordset::GetValue(std::size_t index) const {
  if (index >= fields_.size()) NoSuchField(index);
  if (eof_) NoCurrentRow();
  return row_[index];
}

const Value& StreamingRecordset::GetStoredValue(std::size_t index) const {
  if (index >= fields_.size()) NoSuchField(index);
  if (eof_) NoCurrentRow();
  return held_[index];
}

void StreamingRecordset::Sort(std::string_view) {
  throw Error(kNotSupported, kSource, "Sort needs a client-side cursor (adUseClient)");
}

void StreamingRecordset::AddNew() {
  NotUpdatable();
}
void StreamingRecordset::SetValue(std::size_t, const Value&) {
  NotUpdatable();
}
void StreamingRecordset::Update() {
  NotUpdatable();
}
void StreamingRecordset::CancelUpdate() {
  NotUpdatable();
}

void StreamingRecordset::Close() {
  statement_ = Statement();
  eof_ = true;
  hasNext_ = false;
}

// ---- UpdatableRecordset ---------------------------------------------------------------------------------

UpdatableRecordset::UpdatableRecordset(JetConnection& connection, Statement statement)
    : StreamingRecordset(connection, std::move(statement)) {
  sqlite3_stmt* stmt = statement_.get();
  for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
    const char* table = sqlite3_column_table_name(stmt, i);
    const char* origin = sqlite3_column_origin_name(stmt, i);
    if (table == nullptr || origin == nullptr || (!table_.empty() && !text::EqualsNoCase(table_, table)))
      throw Error(kNotSupported, kSource,
                  "The recordset cannot be updated: its fields are not the columns of one table (" +
                      std::string(sqlite3_sql(stmt)) + ")");
    table_ = table;
    columns_.push_back(origin);
  }
  if (table_.empty())
    throw Error(kNotSupported, kSource, "The recordset cannot be updated: it has no fields");
}

UpdatableRecordset::~UpdatableRecordset() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; Close() is where failures surface.
  }
}

void UpdatableRecordset::MoveNext() {
  if (editMode_ == adEditAdd) Update();
  if (readerDone_) {
    eof_ = true;
    return;
  }
  StreamingRecordset::MoveNext();
}

const Value& UpdatableRecordset::GetValue(std::size_t index) const {
  if (editMode_ != adEditAdd) return StreamingRecordset::GetValue(index);
  if (index >= pending_.size()) NoSuchField(index);
  return pending_[index];
}

void UpdatableRecordset::AddNew() {
  if (closed_) NoCurrentRow();
  if (editMode_ == adEditAdd) Update();
  if (!readerDone_) {
    // New rows go to the end; the reading statement is done with, so no read is open while rows are added.
    statement_.Reset();
    readerDone_ = true;
    held_.assign(fields_.size(), Value());  // the rows from here on are the added ones, held as given
  }
  pending_.assign(fields_.size(), Value::Null());
  assigned_.assign(fields_.size(), false);
  asStored_.assign(fields_.size(), false);
  editMode_ = adEditAdd;
}

void UpdatableRecordset::SetValue(std::size_t index, const Value& value) {
  if (index >= fields_.size()) NoSuchField(index);
  if (editMode_ != adEditAdd)
    throw Error(kNotSupported, kSource,
                "Only a row begun with AddNew can be given values (table " + table_ + ")");
  pending_[index] = value;
  assigned_[index] = true;
  asStored_[index] = false;
}

void UpdatableRecordset::SetStoredValue(std::size_t index, const Value& value) {
  SetValue(index, value);
  asStored_[index] = true;
}

void UpdatableRecordset::Update() {
  if (editMode_ != adEditAdd) return;
  auto found = inserts_.find(assigned_);
  if (found == inserts_.end()) {
    if (inserts_.size() >= 64) inserts_.clear();  // a bound on statements for tables with many null patterns
    std::string sql = InsertStatement(QuoteName(table_), assigned_, columns_, false);
    found = inserts_.emplace(assigned_, Statement(connection_.Db(), sql, "table " + table_)).first;
  }
  Statement& insert = found->second;
  if (contexts_.empty())
    for (const std::string& column : columns_) contexts_.push_back(table_ + "." + column);
  insert.Reset();
  int parameter = 0;
  for (std::size_t i = 0; i < assigned_.size(); ++i) {
    if (!assigned_[i]) continue;
    BindValue(insert.get(), ++parameter, pending_[i], asStored_[i] ? adVariant : fields_[i].type,
              contexts_[i]);
  }
  connection_.BeginBatchRow();
  insert.Step();
  insert.Reset();
  connection_.BatchRowAdded();
  row_ = std::move(pending_);
  pending_.clear();
  eof_ = false;
  editMode_ = adEditNone;
}

void UpdatableRecordset::CancelUpdate() {
  pending_.clear();
  editMode_ = adEditNone;
}

void UpdatableRecordset::Close() {
  if (closed_) return;
  closed_ = true;
  editMode_ = adEditNone;
  inserts_.clear();
  StreamingRecordset::Close();
  connection_.CommitBatch();
}

}  // namespace vela::data::sqlite
