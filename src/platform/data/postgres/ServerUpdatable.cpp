// The rows are read through a server-side cursor in batches of a few megabytes, in a transaction the
// recordset begins when the session has none (a cursor lives in a transaction). Rows added with AddNew go
// to the end, as on the file provider: the first AddNew ends the reading, closes the cursor and commits
// the transaction the recordset began, so each added row is then its own statement and a refused one
// leaves the others standing. When the caller has a transaction of its own, each row is added under a
// savepoint for the same reason.
#include "platform/data/postgres/ServerUpdatable.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <vector>

#include "platform/data/BufferedRecordset.h"
#include "platform/data/Canonical.h"
#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerValues.h"

namespace vela::data::postgres {

namespace {

// How many rows the first fetch asks for, and the size a batch aims at; later fetches ask for as many
// rows as fill it at the size the rows had so far.
constexpr int kFirstBatchRows = 64;
constexpr int kMaxBatchRows = 4096;
constexpr std::int64_t kBatchBytes = 4 << 20;

class UpdatableRecordset final : public ResultRecordset {
 public:
  UpdatableRecordset(ServerSession& session, std::string statement)
      : session_(&session), statement_(std::move(statement)) {
    static std::atomic<unsigned> counter{0};
    cursor_ = "vela_rows_" + std::to_string(++counter);
    began_ = !session_->InTransaction();
    if (began_) session_->RunServerSql("BEGIN");
    try {
      session_->RunServerSql("DECLARE " + QuoteName(cursor_) + " NO SCROLL CURSOR FOR " + statement_);
      open_ = true;
      Fetch(kFirstBatchRows);
      FindTable();
    } catch (...) {
      EndReading(false);
      throw;
    }
  }
  ~UpdatableRecordset() override {
    try {
      Close();
    } catch (...) {
      // A destructor cannot report; Close() is where failures surface.
    }
  }

  bool Eof() const override { return editMode_ != adEditAdd && !added_ && row_ >= PQntuples(batch_.get()); }
  void MoveNext() override;
  const Value& GetValue(std::size_t index) const override;
  void Sort(std::string_view) override {
    throw Error(kNotSupported, kSource, "Sorting an updatable recordset is not supported");
  }
  void AddNew() override;
  void SetValue(std::size_t index, const Value& value) override;
  void Update() override;
  void CancelUpdate() override {
    pending_.clear();
    editMode_ = adEditNone;
  }
  EditModeEnum EditMode() const override { return editMode_; }
  void Close() override;

 private:
  void Fetch(int rows);
  void FindTable();
  // Closes the cursor and, when `commit`, commits the transaction this recordset began (else rolls it
  // back).
  void EndReading(bool commit);
  std::string InsertSql() const;
  std::vector<Parameter> InsertParameters() const;
  [[noreturn]] void Refused(const Error& error);

  ServerSession* session_;
  std::string statement_;
  std::string cursor_;
  bool began_ = false;
  bool open_ = false;       // the cursor is open
  bool exhausted_ = false;  // the cursor has given its last row
  bool closed_ = false;

  ResultHandle batch_;
  int row_ = 0;
  std::vector<Value> values_;  // of the current row of the batch

  std::string table_;                 // schema-qualified, quoted
  std::string tableName_;             // for messages
  std::vector<std::string> columns_;  // the table's column behind each field

  EditModeEnum editMode_ = adEditNone;
  std::vector<Value> pending_;  // the row being added
  std::vector<bool> assigned_;
  bool added_ = false;  // the last added row is the current one
};

void UpdatableRecordset::Fetch(int rows) {
  batch_ = session_->QueryServerSql("FETCH FORWARD " + std::to_string(rows) + " FROM " + QuoteName(cursor_));
  const PGresult* r = batch_.get();
  if (fields_.empty())
    for (int c = 0; c < PQnfields(r); ++c) fields_.push_back(FieldFromResult(r, c));
  row_ = 0;
  values_.clear();
  if (PQntuples(r) < rows) {
    exhausted_ = true;
    // Nothing more to read: the transaction need not outlast the rows in hand.
    EndReading(true);
  }
  if (PQntuples(r) > 0)
    for (int c = 0; c < PQnfields(r); ++c) values_.push_back(ValueFromResult(r, 0, c));
}

void UpdatableRecordset::FindTable() {
  const PGresult* r = batch_.get();
  Oid table = PQnfields(r) > 0 ? PQftable(r, 0) : InvalidOid;
  std::map<int, int> columnOf;  // field -> column number
  for (int c = 0; c < PQnfields(r); ++c) {
    if (PQftable(r, c) != table || PQftablecol(r, c) <= 0) table = InvalidOid;
    columnOf[c] = PQftablecol(r, c);
  }
  if (table == InvalidOid)
    throw Error(
        kNotSupported, kSource,
        "The recordset cannot be updated: its fields are not the columns of one table (" + statement_ + ")");
  ResultHandle names = session_->QueryServerSql(
      "SELECT n.nspname, c.relname, a.attnum, a.attname FROM pg_catalog.pg_class c "
      "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
      "JOIN pg_catalog.pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 WHERE c.oid = $1",
      std::vector<std::string>{std::to_string(table)});
  const PGresult* n = names.get();
  std::map<int, std::string> attributes;
  for (int row = 0; row < PQntuples(n); ++row) {
    table_ = QuoteName(CellText(n, row, 0)) + "." + QuoteName(CellText(n, row, 1));
    tableName_ = CellText(n, row, 1);
    attributes[std::stoi(CellText(n, row, 2))] = CellText(n, row, 3);
  }
  for (int c = 0; c < PQnfields(r); ++c) {
    auto found = attributes.find(columnOf[c]);
    if (found == attributes.end())
      throw Error(kNotSupported, kSource, "The recordset cannot be updated: a field has no column");
    columns_.push_back(found->second);
  }
}

void UpdatableRecordset::EndReading(bool commit) {
  bool wasOpen = open_;
  open_ = false;
  if (wasOpen && !began_) session_->RunServerSql("CLOSE " + QuoteName(cursor_));
  if (began_) {
    began_ = false;
    session_->RunServerSql(commit ? "COMMIT" : "ROLLBACK");
  }
}

void UpdatableRecordset::MoveNext() {
  if (editMode_ == adEditAdd) Update();
  if (added_) {
    added_ = false;
    row_ = PQntuples(batch_.get());  // added rows come after the rows read
    return;
  }
  if (row_ >= PQntuples(batch_.get())) ThrowNoCurrentRow(kSource);
  ++row_;
  values_.clear();
  const PGresult* r = batch_.get();
  if (row_ >= PQntuples(r) && !exhausted_ && open_) {
    // The next batch, sized by the rows read so far.
    std::int64_t bytes = 0;
    for (int row = 0; row < PQntuples(r); ++row)
      for (int c = 0; c < PQnfields(r); ++c) bytes += PQgetlength(r, row, c) + 8;
    std::int64_t perRow = std::max<std::int64_t>(1, bytes / std::max(1, PQntuples(r)));
    Fetch(static_cast<int>(std::clamp<std::int64_t>(kBatchBytes / perRow, 1, kMaxBatchRows)));
    return;
  }
  if (row_ < PQntuples(r))
    for (int c = 0; c < PQnfields(r); ++c) values_.push_back(ValueFromResult(r, row_, c));
}

const Value& UpdatableRecordset::GetValue(std::size_t index) const {
  if (index >= fields_.size()) ThrowNoSuchField(kSource, index);
  if (editMode_ == adEditAdd || added_) return pending_[index];
  if (values_.empty()) ThrowNoCurrentRow(kSource);
  return values_[index];
}

void UpdatableRecordset::AddNew() {
  if (closed_) ThrowNoCurrentRow(kSource);
  if (editMode_ == adEditAdd) Update();
  if (!exhausted_) {
    // New rows go to the end: the reading is done with.
    exhausted_ = true;
    EndReading(true);
    batch_.reset();
    values_.clear();
    row_ = 0;
  }
  pending_.assign(fields_.size(), Value::Null());
  assigned_.assign(fields_.size(), false);
  added_ = false;
  editMode_ = adEditAdd;
}

void UpdatableRecordset::SetValue(std::size_t index, const Value& value) {
  if (index >= fields_.size()) ThrowNoSuchField(kSource, index);
  if (editMode_ != adEditAdd)
    throw Error(kNotSupported, kSource,
                "Only a row begun with AddNew can be given values (table " + tableName_ + ")");
  // A number for a date is an automation date, which the server does not read as one.
  const bool number = value.GetKind() == Value::Kind::Double || value.GetKind() == Value::Kind::Integer;
  pending_[index] =
      number && IsDateType(fields_[index].type) ? Value::Date(DateFromOleDays(value.AsDouble())) : value;
  assigned_[index] = true;
}

std::string UpdatableRecordset::InsertSql() const {
  return InsertStatement(table_, assigned_, columns_, true);
}

std::vector<Parameter> UpdatableRecordset::InsertParameters() const {
  std::vector<Parameter> parameters;
  for (std::size_t i = 0; i < assigned_.size(); ++i) {
    if (!assigned_[i]) continue;
    const FieldInfo& field = fields_[i];
    parameters.push_back(Parameter{field.name, field.type, adParamInput, field.definedSize, pending_[i],
                                   field.precision, field.numericScale});
  }
  return parameters;
}

void UpdatableRecordset::Update() {
  if (editMode_ != adEditAdd) return;
  const std::string sql = InsertSql();
  const std::vector<Parameter> parameters = InsertParameters();
  const bool guarded = session_->InTransaction();
  if (guarded) session_->RunServerSql("SAVEPOINT vela_row");
  try {
    session_->RunServerSql(sql, parameters);
  } catch (const Error& error) {
    if (guarded) session_->RunServerSql("ROLLBACK TO SAVEPOINT vela_row; RELEASE SAVEPOINT vela_row");
    Refused(error);
  }
  if (guarded) session_->RunServerSql("RELEASE SAVEPOINT vela_row");
  editMode_ = adEditNone;
  added_ = true;
}

// A value the server could not read as its column's type (IsValueMismatch) is a type mismatch naming
// the field: each value set is tried alone to find it. Any other refusal is the server's error, naming
// the table.
void UpdatableRecordset::Refused(const Error& error) {
  if (IsValueMismatch(error.EngineCode())) {
    for (std::size_t i = 0; i < assigned_.size(); ++i) {
      if (!assigned_[i]) continue;
      std::vector<Parameter> one = {Parameter{fields_[i].name, fields_[i].type, adParamInput,
                                              fields_[i].definedSize, pending_[i], fields_[i].precision,
                                              fields_[i].numericScale}};
      const bool guarded = session_->InTransaction();
      session_->RunServerSql(guarded ? "SAVEPOINT vela_probe" : "BEGIN");
      std::string code;
      try {
        session_->RunServerSql("INSERT INTO " + table_ + " (" + QuoteName(columns_[i]) + ") VALUES ($1)",
                               one);
      } catch (const Error& probe) {
        code = probe.EngineCode();
      }
      session_->RunServerSql(guarded ? "ROLLBACK TO SAVEPOINT vela_probe; RELEASE SAVEPOINT vela_probe"
                                     : "ROLLBACK");
      if (IsValueMismatch(code))
        throw Error(kTypeMismatch, kSource,
                    "Data type mismatch in field \"" + fields_[i].name + "\" of table \"" + tableName_ +
                        "\": " + error.Description(),
                    error.EngineCode(), error.Statement());
    }
    throw Error(kTypeMismatch, kSource,
                "Data type mismatch in a row of table \"" + tableName_ + "\": " + error.Description(),
                error.EngineCode(), error.Statement());
  }
  Error named = error;
  if (error.Description().find(tableName_) == std::string::npos)
    named.AppendToDescription(" (table \"" + tableName_ + "\")");
  throw named;
}

void UpdatableRecordset::Close() {
  if (closed_) return;
  closed_ = true;
  editMode_ = adEditNone;
  pending_.clear();
  batch_.reset();
  values_.clear();
  EndReading(true);
}

}  // namespace

std::unique_ptr<Recordset> OpenUpdatableRecordset(ServerSession& session, std::string statement) {
  return std::make_unique<UpdatableRecordset>(session, std::move(statement));
}

}  // namespace vela::data::postgres
