// The rows of a table into a file database: one updatable recordset on the table, each row added and
// written when the next one begins. Identity values are kept as stored, and the column's next
// autoincrement value (its "Seed") is moved past the highest restored one.
#include <limits>
#include <optional>

#include "platform/data/SqlText.h"
#include "restore/RowTarget.h"
#include "restore/RowValues.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

namespace {

class RecordsetRows final : public RowTarget {
 public:
  RecordsetRows(Connection& connection, Catalog& catalog, const std::string& tableName,
                const std::vector<ColumnInfo>& columns, const Separators& separators)
      : connection_(connection),
        catalog_(catalog),
        tableName_(tableName),
        columns_(columns),
        separators_(separators) {
    for (const ColumnInfo& column : columns_)
      if (column.autoincrement) {
        Table table = catalog_.GetTable(tableName_);
        if (const Column* found = FindByName(table.columns, column.name)) identity_ = found->name;
        break;
      }
    for (std::size_t i = 0; i < columns_.size(); ++i)
      if (columns_[i].nullableWithDefault) defaulted_.push_back(i);
    // The document's columns, in its order: a table made by its own statement may have columns the engine
    // computes, which take no values.
    std::string list;
    for (const ColumnInfo& column : columns_) list += (list.empty() ? "" : ", ") + column.bracketed;
    rows_ = connection_.OpenRecordset("SELECT " + list + " FROM " + BracketName(tableName_), adOpenDynamic,
                                      adLockOptimistic, adUseServer);
  }

  void BeginRow() override {
    if (Pending()) rows_->Update();
    rows_->AddNew();
    // A value absent from the file is NULL; left alone, the column would take its default.
    for (std::size_t i : defaulted_) rows_->SetValue(i, Value::Null());
  }

  void Set(const backupfile::TableDataFileReader& field) override {
    const std::uint32_t index = field.FieldIndex();
    Value value = FileValue(columns_[index], field, separators_, text_);
    if (field.Class() == backupfile::TableDataFileReader::ValueClass::kColumn)
      rows_->SetValue(index, value);
    else
      rows_->SetStoredValue(index, value);
  }

  void DropRow() override {
    if (Pending()) rows_->CancelUpdate();
  }

  void Finish() override {
    if (Pending()) rows_->Update();
    rows_->Close();
    if (identity_) MoveSeed(*identity_);
  }

 private:
  bool Pending() const { return !rows_->Eof() && rows_->EditMode() == adEditAdd; }

  void MoveSeed(const std::string& identity) {
    catalog_.Refresh();
    Table table = catalog_.GetTable(tableName_);
    const Column* column = FindByName(table.columns, identity);
    std::int64_t seed = column != nullptr ? column->properties["Seed"].AsInt() : 1;
    std::unique_ptr<Recordset> maximum = connection_.OpenRecordset(
        "SELECT MAX(" + BracketName(identity) + ") AS MaxIdentity FROM " + BracketName(tableName_),
        adOpenDynamic, adLockReadOnly, adUseClient);
    const Value& highest = maximum->GetValue("MaxIdentity");
    // Past the highest restored value; a table already at the largest value keeps that as its seed (it
    // has no next value, in the source as here) instead of wrapping round.
    std::int64_t newSeed = 1;
    if (!highest.IsNullOrEmpty()) {
      const std::int64_t top = highest.AsInt();
      newSeed = top < std::numeric_limits<std::int64_t>::max() ? top + 1 : top;
    }
    maximum->Close();
    if (seed < newSeed) catalog_.SetColumnProperty(tableName_, identity, "Seed", Value(newSeed));
  }

  Connection& connection_;
  Catalog& catalog_;
  const std::string& tableName_;
  const std::vector<ColumnInfo>& columns_;
  const Separators& separators_;
  std::optional<std::string> identity_;  // the catalog's name of the autoincrement column
  std::vector<std::size_t> defaulted_;
  std::unique_ptr<Recordset> rows_;
  std::string text_;  // a value's text, reused from field to field
};

}  // namespace

std::unique_ptr<RowTarget> MakeRecordsetRows(Connection& connection, Catalog& catalog,
                                             const std::string& tableName,
                                             const std::vector<ColumnInfo>& columns,
                                             const Separators& separators) {
  return std::make_unique<RecordsetRows>(connection, catalog, tableName, columns, separators);
}

}  // namespace vela
