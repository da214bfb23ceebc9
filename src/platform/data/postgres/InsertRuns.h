// Runs of parameterised INSERTs into one table, as a restore sends one per row, travel to the server as one
// COPY: the run's columns are the table's, each row's parameters become a line of COPY's text format, and a
// column a row leaves out is NULL there, as it would be in the INSERT, when the column has no default.
// The server reads each value with its column type's input, as it reads a parameter.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data/postgres/ServerValues.h"
#include "platform/data/postgres/TsqlStatements.h"

namespace vela::data::postgres {

// "INSERT INTO [t] ([a], [b]) VALUES (?, ?)", read.
struct InsertShape {
  std::string table;  // as the server names it: "t" quoted, or a bare word as it stood
  std::string given;  // as the statement names it, which later INSERTs of the run name alike
  std::vector<std::string> columns;
};

// The shape of an INSERT of that form with as many placeholders as `parameters`; nullopt for any other
// statement, which then runs on its own. A "[schema.table]" names the table of that schema (SchemaTest).
std::optional<InsertShape> ReadInsert(std::string_view sql, std::size_t parameters,
                                      const SchemaTest& isSchema = {});

// A column of a table as a run sees it.
struct RunColumn {
  std::string name;
  bool fillable = false;  // no default, identity or generated value: leaving it out means NULL
};

class InsertRun {
 public:
  // A run over `table`'s columns that `first` names, and those the table has that any row may leave out.
  InsertRun(const InsertShape& first, const std::vector<RunColumn>& tableColumns);

  const std::string& Copy() const { return copy_; }
  // Where each parameter of an INSERT goes among the run's columns, or nullptr when the INSERT cannot
  // join the run (another table, a column the run lacks, or a column with a default left out).
  const std::vector<int>* Positions(std::string_view sql, std::size_t parameters);
  // Appends one row to `out` as a line of COPY's text format.
  void Append(const BoundParameters& row, const std::vector<int>& positions, std::string& out);

 private:
  std::string table_;
  std::string given_;
  std::vector<RunColumn> columns_;
  std::string copy_;
  std::vector<int> values_;  // scratch: the parameter of each run column, -1 for none
  std::map<std::string, std::optional<std::vector<int>>, std::less<>> shapes_;
  // The shape asked for last, which the next row of a run most often has again.
  std::string lastSql_;
  const std::vector<int>* lastPositions_ = nullptr;
};

}  // namespace vela::data::postgres
