// PostgreSQL's types and ADO's, both ways: what a column or result field of a server type reads as, and
// the server type a column of an ADO type is made with. The catalog and the recordsets read types through
// the same function, so a table's columns and its rows' fields agree.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vela::data::postgres {

// The type OIDs of the built-in types (pg_type.oid; fixed in every server).
namespace pgtype {
enum : Oid {
  kBool = 16,
  kBytea = 17,
  kChar = 18,
  kName = 19,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kText = 25,
  kOid = 26,
  kFloat4 = 700,
  kFloat8 = 701,
  kBpchar = 1042,
  kVarchar = 1043,
  kDate = 1082,
  kTime = 1083,
  kTimestamp = 1114,
  kTimestampTz = 1184,
  kNumeric = 1700,
  kUuid = 2950,
};
}  // namespace pgtype

// The largest precision of a numeric and the largest length of a varchar or char the server makes.
inline constexpr std::int64_t kLargestNumericPrecision = 1000;
inline constexpr std::int64_t kLargestTextLength = 10485760;

// An ADO type with its size, precision and scale.
struct AdoType {
  int type = 0;                  // DataTypeEnum
  std::int64_t definedSize = 0;  // characters for texts, bytes for a GUID; 0 otherwise
  int precision = 0;
  int numericScale = 0;
};

// What a value of the base type `type` with the type modifier `modifier` (atttypmod, PQfmod; -1 when
// none) reads as. A domain is read as its base type: the caller resolves it first. A type without an ADO
// counterpart (json, arrays, intervals, enums, ...) reads as a long text, its text form.
AdoType AdoTypeFor(Oid type, int modifier);

// The server type a column of the ADO type is made with ("varchar(40)", "numeric(12,3)", "bytea");
// nullopt for a code that is no ADO type this provider makes.
std::optional<std::string> ServerTypeFor(int type, std::int64_t definedSize, int precision, int numericScale);

}  // namespace vela::data::postgres
