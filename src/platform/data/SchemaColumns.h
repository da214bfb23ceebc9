// The fields of the COLUMNS schema rowset, which every provider fills with its own rows.
#pragma once

#include <string>
#include <vector>

#include "velabackup/data/Connection.h"

namespace vela::data {

inline std::vector<FieldInfo> SchemaColumnsFields() {
  auto field = [](std::string name, int type) {
    return FieldInfo{std::move(name), type, 0, FixedPrecision(type), 0};
  };
  return {
      field("TABLE_NAME", adVarWChar),
      field("COLUMN_NAME", adVarWChar),
      field("ORDINAL_POSITION", adInteger),
      field("COLUMN_HASDEFAULT", adBoolean),
      field("COLUMN_DEFAULT", adLongVarWChar),
      field("COLUMN_FLAGS", adInteger),
      field("IS_NULLABLE", adBoolean),
      field("DATA_TYPE", adSmallInt),
      field("CHARACTER_MAXIMUM_LENGTH", adInteger),
      field("CHARACTER_OCTET_LENGTH", adInteger),
      field("NUMERIC_PRECISION", adSmallInt),
      field("NUMERIC_SCALE", adSmallInt),
      field("DATETIME_PRECISION", adInteger),
      field("DESCRIPTION", adLongVarWChar),
  };
}

}  // namespace vela::data
