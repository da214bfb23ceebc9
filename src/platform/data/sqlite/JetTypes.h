// How Jet's column types, values and default expressions live in an engine without column types.
//
// The engine keeps a declared type name per column and a storage class per value (integer, real, text,
// blob). On the way in it converts a value by the column's affinity, which the declared name sets: a name
// containing "INT" gives integer affinity; else "CHAR", "CLOB" or "TEXT" text; else "BLOB", or no name at
// all, none (every value keeps its class); else "REAL", "FLOA" or "DOUB" real; anything else numeric.
// The declaration carries the whole ADO type: one name per type code, with the size or the precision and
// scale in parentheses:
//
//   2 SMALLINT   3 INTEGER   4 FLOAT4   5 DOUBLE   6 CURRENCY BLOB   7 DATETIME   11 BOOLEAN
//   12 (no declared type)   17 TINYINT   20 BIGINT   72 GUID   128 BINARY(n)   130 CHAR(n)
//   131 DECIMAL BLOB(p,s)   202 VARCHAR(n)   203 TEXT   204 VARBINARY(n)   205 BLOB
//
// FLOAT4 and DOUBLE get real affinity, the integers integer affinity, texts text affinity.
//
// Decimals and currency declare "BLOB" so that the column converts nothing: each value is stored in the
// class that keeps its canonical text exactly, chosen when it is bound — a whole number within 64 bits as
// an integer, a number a double gives back digit for digit as a real, any other (more digits than a double
// holds) as its canonical text — so numbers compare, sort and sum as numbers, and every class reads back
// as the same Decimal. Numeric affinity would cut a long decimal text to a double's 15 digits; text
// affinity would make every value a text, compared and ordered as text. Files made earlier declared
// "CURRENCY TEXT" and "DECIMAL TEXT(p,s)" and hold canonical texts: they read as the same types and values.
//
// A column without a declared type is adVariant: every value keeps its class and reads and binds as an
// Integer, Double, Text or Binary value (an empty Binary too, which is not NULL).
//
// Declarations written by other programs are read by the same rules where they fit and by the engine's
// affinity otherwise.
//
// Values: dates are stored as "YYYY-MM-DD HH:MM:SS" text, Booleans as 1 / 0, GUIDs as "{...}" text,
// binaries as blobs (an empty one as an empty blob, not NULL). Other programs store values in forms these
// types do not have: an integer Unix time or a Julian day in a date column, a text in a number column, a blob
// in a text column. ReadValue gives such a value converted to the field's type where it can and, on request,
// also as the engine holds it; BindValue with adVariant stores a value back as it was held.
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

// Field value of a result column, read as the column's ADO type. When the engine holds it in a form other
// than that type's own (one BindValue would not store back as it is), `held` (when given) receives it in its
// storage class: Integer, Double, Text or Binary; otherwise `held` is left alone.
Value ReadValue(sqlite3_stmt* stmt, int column, int type, Value* held = nullptr);
// Binds a value for a column of the given ADO type; a value that does not convert fails with
// kTypeMismatch naming `context` (the table and column). adVariant binds every value in its own class.
void BindValue(sqlite3_stmt* stmt, int index, const Value& value, int type, std::string_view context);

// The engine's DEFAULT expression for a Jet default as written ("=Now()", "Yes", "\"abc\"", "12.5"), or
// nothing when the text has no meaning the engine can act on.
std::optional<std::string> EngineDefault(std::string_view jetDefault, int type);
// A Jet default for an engine default written by another program (CURRENT_TIMESTAMP gives "Now()").
std::string JetDefaultFromEngine(std::string_view engineDefault);

}  // namespace vela::data::sqlite
