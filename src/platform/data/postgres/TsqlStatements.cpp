#include "platform/data/postgres/TsqlStatements.h"

#include "platform/data/postgres/PgValues.h"

namespace vela::data::postgres {

void TsqlStatements::Execute(std::string_view sql) {
  session_->RunServerSql(ToServerSql(sql, false));
}

std::string TsqlStatements::Query(std::string_view sql) {
  return ToServerSql(sql, false);
}

}  // namespace vela::data::postgres
