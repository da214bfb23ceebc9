// The rows of a table into a server database: one parameterised INSERT per row, through one command whose
// parameters are made anew for each row. Identity values are kept as stored (IDENTITY_INSERT is on while
// the rows go in).
#include <optional>

#include "platform/data/SqlText.h"
#include "restore/RowTarget.h"
#include "restore/RowValues.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

namespace {

class InsertRows final : public RowTarget {
 public:
  InsertRows(Connection& connection, const std::string& tableName, const std::vector<ColumnInfo>& columns,
             const Separators& separators, ChangedValues& changed)
      : connection_(connection),
        tableName_(tableName),
        columns_(columns),
        separators_(separators),
        changed_(changed),
        insertInto_("INSERT INTO " + BracketName(tableName)),
        given_(columns.size(), false) {
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      if (columns_[i].nullableWithDefault) defaulted_.push_back(i);
      hasIdentity_ = hasIdentity_ || columns_[i].autoincrement;
    }
    if (hasIdentity_) connection_.Execute("SET IDENTITY_INSERT " + BracketName(tableName_) + " ON");
  }

  void BeginRow() override {
    if (command_ && rowPending_) Insert(true);
    if (!command_) command_.emplace(connection_);
    Clear();
    given_.assign(columns_.size(), false);
    rowPending_ = true;
    ++row_;
  }

  void Set(const backupfile::TableDataFileReader& field) override {
    const std::uint32_t index = field.FieldIndex();
    const ColumnInfo& column = columns_[index];
    Value value = ServerValue(column, field, separators_, text_, how_);
    if (!how_.empty()) changed_.Add(row_, column.name, how_);
    given_[index] = true;
    Append(column);
    const int type = column.dataType;
    const auto units = static_cast<std::int64_t>(field.Length());
    Parameter parameter = command_->CreateParameter(
        column.name, type, adParamInput, IsBinaryType(type) ? 99999999 : units + 1, std::move(value));
    if (type == adNumeric) {
      parameter.precision = column.precision;
      parameter.numericScale = column.numericScale;
    }
    command_->Parameters().push_back(std::move(parameter));
  }

  void DropRow() override {
    if (!command_) return;
    Clear();
    rowPending_ = false;
  }

  void Finish() override {
    if (command_ && rowPending_) Insert(false);
    if (hasIdentity_) connection_.Execute("SET IDENTITY_INSERT " + BracketName(tableName_) + " OFF");
  }

 private:
  void Clear() {
    command_->Parameters().clear();
    columnList_.clear();
    placeholders_.clear();
  }

  void Append(const ColumnInfo& column) {
    columnList_ += column.bracketed;
    columnList_ += ", ";
    placeholders_ += "?, ";
  }

  // The row begun goes in; a column with a default the file gave no value for gets NULL, as stored.
  void Insert(bool prepared) {
    rowPending_ = false;
    for (std::size_t i : defaulted_) {
      if (given_[i]) continue;
      Append(columns_[i]);
      command_->Parameters().push_back(
          command_->CreateParameter(columns_[i].name, columns_[i].dataType, adParamInput, 1, Value::Null()));
    }
    if (columnList_.empty()) {
      // A row whose every value was NULL or empty still is a row.
      command_->SetCommandText(insertInto_ + " DEFAULT VALUES");
    } else {
      columnList_.resize(columnList_.size() - 2);
      placeholders_.resize(placeholders_.size() - 2);
      std::string statement;
      statement.reserve(insertInto_.size() + columnList_.size() + placeholders_.size() + 12);
      statement.append(insertInto_).append(" (").append(columnList_).append(") VALUES(");
      statement.append(placeholders_).append(")");
      command_->SetCommandText(std::move(statement));
    }
    command_->SetPrepared(prepared);
    command_->Execute();
  }

  Connection& connection_;
  const std::string& tableName_;
  const std::vector<ColumnInfo>& columns_;
  const Separators& separators_;
  ChangedValues& changed_;
  const std::string insertInto_;
  std::vector<std::size_t> defaulted_;
  bool hasIdentity_ = false;
  std::optional<Command> command_;
  std::string columnList_, placeholders_;
  std::vector<bool> given_;
  // A row is pending from its start until the next row, the end or a corruption marker.
  bool rowPending_ = false;
  std::string text_;  // a value's text, reused from field to field
  std::string how_;   // how a value was changed for the server, empty when it was not
  std::int64_t row_ = 0;
};

}  // namespace

std::unique_ptr<RowTarget> MakeInsertRows(Connection& connection, const std::string& tableName,
                                          const std::vector<ColumnInfo>& columns,
                                          const Separators& separators, ChangedValues& changed) {
  return std::make_unique<InsertRows>(connection, tableName, columns, separators, changed);
}

}  // namespace vela
