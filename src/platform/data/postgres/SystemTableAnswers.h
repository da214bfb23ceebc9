// Queries of the system tables answered from one read of them. The views that stand in for sysobjects,
// syscolumns, syscomments and sysreferences are evaluated over the whole catalog whatever a query asks of
// them, so a save that asks for one column (or one default, one key) at a time would read the whole catalog
// once per column. While the connection reads one moment of the database (a read snapshot, in which
// nothing changes), a query of the form
//
//   SELECT list FROM tables WHERE a.x = 'text' AND b.y = 12 [AND other conditions]
//
// is answered instead from the rows of
//
//   SELECT a.x, b.y, list FROM tables [WHERE other conditions]
//
// read once for every query of that form, the rows whose a.x and b.y equal the values kept (as the server
// compares them: a name cut to the bytes it keeps, numbers as numbers). Any other query, and a condition
// over a column of another type, goes to the server as it stands.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data/postgres/PgApi.h"
#include "velabackup/data/Connection.h"

namespace vela::data::postgres {

// A query of the form above, read from a statement of the component's dialect.
struct EqualityQuery {
  std::string wide;                 // the query without the equalities, their columns first
  std::vector<std::string> values;  // the values the columns are compared with, in order
  std::vector<bool> numbers;        // whether each value is written as a number
};

// The query's form, or nullopt for a statement of any other form (a select list with a function call, a
// DISTINCT, an OR, a clause after the conditions ...).
std::optional<EqualityQuery> ReadEqualityQuery(std::string_view sql);

class SystemTableAnswers {
 public:
  // `read` runs a query of the component's dialect and gives its whole result.
  explicit SystemTableAnswers(std::function<ResultHandle(const std::string&)> read)
      : read_(std::move(read)) {}

  // The answer to `sql`, when it is of the form above; nullptr otherwise.
  std::unique_ptr<Recordset> Answer(std::string_view sql);
  // Forgets every read: the next query reads again.
  void Clear() { wide_.clear(); }

 private:
  std::function<ResultHandle(const std::string&)> read_;
  std::map<std::string, ResultHandle> wide_;  // by the wide query
};

}  // namespace vela::data::postgres
