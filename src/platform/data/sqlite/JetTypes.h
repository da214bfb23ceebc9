// How Jet's column types live in an engine without column types.
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
// FLOAT4 and DOUBLE get real affinity, the integers integer affinity, texts text affinity. Decimals and
// currency declare "BLOB" so that the column converts nothing (how their values are stored: JetValues.h).
// Files made earlier declared "CURRENCY TEXT" and "DECIMAL TEXT(p,s)": they read as the same types.
//
// A column without a declared type is adVariant: every value keeps its class.
//
// A column made from a server column is declared with the server's type name where that name reads as the
// same type and affinity (DeclarationFor with a server type), so that programs reading the file see the
// server's types and a restore onto the server makes them again.
//
// Declarations written by other programs are read by the same rules where they fit and by the engine's
// affinity otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "velabackup/data/Types.h"

namespace vela::data::sqlite {

// The file engine keeps any size it declares; the catalog's columns hold them as 32-bit numbers.
inline constexpr std::int64_t kLargestDeclaredSize = 2147483647;

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
// The declaration of a column made from a server column: the server's own type name where the engine reads
// it as the same type, of the same affinity ("date", "character varying(40)", "boolean", "uuid"), else the
// one above ("interval" would read as an integer, "numeric(12,2)" would turn long decimals into reals). The
// type code stays what the declaration reads as; the server's name is also kept beside it (JetSchema.h).
std::string DeclarationFor(const ColumnType& type, std::string_view serverType);
ColumnType TypeFromDeclaration(std::string_view declaration);

// The precision and scale Jet reports for a type; 0 for types that have none.
int NaturalPrecision(int type);
int NaturalScale(int type);

}  // namespace vela::data::sqlite
