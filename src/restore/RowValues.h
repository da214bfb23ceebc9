// The value of a table data file's field as each target engine takes it.
#pragma once

#include <string>

#include "restore/RowTarget.h"
#include "velabackup/data/Value.h"

namespace vela {

// For a file database: a value held with its class stays in that class (Recordset::SetStoredValue);
// one in its column's form is read in the column's type.
data::Value FileValue(const ColumnInfo& column, const backupfile::TableDataFileReader& field,
                      const Separators& separators, std::string& text);
// For a server database: every value in its column's type; a date held as a number is read as the file
// engine reads one (seconds since 1970, a Julian day), of any year from 1 on. A value the server cannot
// store as it is stored is changed, and `how` says how ("NUL replaced by U+FFFD", "not a date, left
// empty"); `how` is empty for every other value.
data::Value ServerValue(const ColumnInfo& column, const backupfile::TableDataFileReader& field,
                        const Separators& separators, std::string& text, std::string& how);

}  // namespace vela
