// Between the component's values and PostgreSQL's: parameters (bound in text form, binaries as bytea in
// binary form) and result values (read by the column's type OID into ADO types and Values). Statements
// are read into PostgreSQL's dialect by TsqlStatements.h.
#pragma once

#include <libpq-fe.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velabackup/data/Connection.h"

namespace vela::data::postgres {

// The parameters of one call in the arrays PQexecParams takes; the arrays point into this object.
class BoundParameters {
 public:
  BoundParameters() = default;
  explicit BoundParameters(std::span<const Parameter> parameters) { Bind(parameters); }
  // Binds another call's parameters in place of the last, keeping the room the last took.
  void Bind(std::span<const Parameter> parameters);
  int Count() const { return static_cast<int>(types_.size()); }
  const Oid* Types() const { return types_.data(); }
  const char* const* Values() const { return values_.data(); }
  const int* Lengths() const { return lengths_.data(); }
  const int* Formats() const { return formats_.data(); }
  // The type OIDs as one text, to tell statements prepared for different types apart.
  std::string TypeKey() const;
  // Whether some value is a caller's text the server is to read as a number, date, Boolean or GUID: only
  // the server can tell whether it reads, and the caller is owed the answer at once.
  bool HasTextsToRead() const { return textsToRead_; }

 private:
  bool textsToRead_ = false;
  std::vector<std::string> texts_;
  std::vector<Oid> types_;
  std::vector<const char*> values_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
};

// What a recordset reports of a result column, from its type OID and modifier.
FieldInfo FieldFromResult(const PGresult* result, int column);

// What the server's recordsets share: their fields, taken from the first result's columns, and rows read
// forward without a count known beforehand.
class ResultRecordset : public Recordset {
 public:
  std::int64_t RecordCount() const override { return -1; }
  std::size_t FieldCount() const override { return fields_.size(); }
  const FieldInfo& Field(std::size_t index) const override;

 protected:
  std::vector<FieldInfo> fields_;
};
// One value of a result in text form, as the Value of the field's type.
Value ValueFromResult(const PGresult* result, int row, int column);
// A value that is not NULL, in the server's text form (`length` bytes, followed by a NUL), as the Value of
// a column of `type`.
Value ValueFromText(Oid type, const char* text, int length);

}  // namespace vela::data::postgres
