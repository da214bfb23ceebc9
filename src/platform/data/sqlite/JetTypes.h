// How Jet's column types, values and default expressions live in an engine without column types.
//
// The engine keeps a declared type name per column and little else, so the declaration carries the whole
// ADO type: one name per type code, with the size or the precision and scale in parentheses:
//
//   2 SMALLINT   3 INTEGER   4 FLOAT4   5 DOUBLE   6 CURRENCY TEXT   7 DATETIME   11 BOOLEAN   17 TINYINT
//   20 BIGINT    72 GUID     128 BINARY(n)   130 CHAR(n)   131 DECIMAL TEXT(p,s)   202 VARCHAR(n)
//   203 TEXT     204 VARBINARY(n)   205 BLOB
//
// The names are chosen for the engine's type affinity: currency and decimal declarations contain "TEXT" so
// that their values stay exact decimal text instead of being turned into binary floating point; FLOAT4 and
// DOUBLE get real affinity, the integers integer affinity. Declarations written by other programs are
// read by the same rules where they fit and by the engine's affinity otherwise.
//
// Values: dates are stored as "YYYY-MM-DD HH:MM:SS" text, currency and decimals as canonical decimal
// text, Booleans as 1 / 0, GUIDs as "{...}" text, binaries as blobs.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/data/Canonical.h"
#include "velabackup/data/Types.h"
#include "velabackup/data/Value.h"

namespace vela::data::sqlite {

struct ColumnType {
  int type = adVarWChar;
  std::int64_t definedSize = 0;
  int precision = 0;
  int numericScale = 0;
};

// The type a column asked for gets on this engine: Jet's own type for those it lacks (a tiny signed
// integer becomes an integer, ANSI texts Unicode texts, a timestamp a date, long texts lose their size).
// Fails with kNotSupported for a code this provider cannot store.
ColumnType EngineType(int type, std::int64_t definedSize, int precision, int numericScale);

std::string DeclarationFor(const ColumnType& type);
ColumnType TypeFromDeclaration(std::string_view declaration);

// The precision and scale Jet reports for a type; 0 for types that have none.
int NaturalPrecision(int type);
int NaturalScale(int type);

// Field value of a result column, read as the column's ADO type.
Value ReadValue(sqlite3_stmt* stmt, int column, int type);
// Binds a value for a column of the given ADO type; a value that does not convert fails with
// kTypeMismatch naming `context` (the table and column).
void BindValue(sqlite3_stmt* stmt, int index, const Value& value, int type, std::string_view context);

// The engine's DEFAULT expression for a Jet default as written ("=Now()", "Yes", "\"abc\"", "12.5"), or
// nothing when the text has no meaning the engine can act on.
std::optional<std::string> EngineDefault(std::string_view jetDefault, int type);
// A Jet default for an engine default written by another program (CURRENT_TIMESTAMP gives "Now()").
std::string JetDefaultFromEngine(std::string_view engineDefault);

}  // namespace vela::data::sqlite
