// How Jet's values live in an engine that keeps a storage class per value (integer, real, text, blob), and
// not per column (JetTypes.h).
//
// Dates are stored as "YYYY-MM-DD HH:MM:SS" text, Booleans as 1 / 0, GUIDs as "{...}" text, binaries as
// blobs (an empty one as an empty blob, not NULL).
//
// Decimals and currency are stored in the class that keeps their canonical text exactly, chosen when they
// are bound (ClassOfDecimal) — a whole number within 64 bits as an integer, a number a double gives back
// digit for digit as a real, any other (more digits than a double holds) as its canonical text — so
// numbers compare, sort and sum as numbers, and every class reads back as the same Decimal. Numeric
// affinity would cut a long decimal text to a double's 15 digits; text affinity would make every value a
// text, compared and ordered as text. Files made earlier hold canonical texts: they read as the same values.
//
// A column without a declared type (adVariant) reads and binds every value as an Integer, Double, Text or
// Binary value (an empty Binary too, which is not NULL).
//
// Other programs store values in forms these types do not have: an integer Unix time or a Julian day in a
// date column, a text in a number column, a blob in a text column. ReadValue gives such a value converted
// to the field's type where it can and, on request, also as the engine holds it; BindValue with adVariant
// stores a value back as it was held.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/data/Canonical.h"
#include "velabackup/data/Types.h"
#include "velabackup/data/Value.h"

namespace vela::data::sqlite {

// Field value of a result column, read as the column's ADO type. When the engine holds it in a form other
// than that type's own (one BindValue would not store back as it is), `held` (when given) receives it in its
// storage class: Integer, Double, Text or Binary; otherwise `held` is left alone.
Value ReadValue(sqlite3_stmt* stmt, int column, int type, Value* held = nullptr);
// Binds a value for a column of the given ADO type; a value that does not convert fails with
// kTypeMismatch naming `context` (the table and column). adVariant binds every value in its own class.
// A long text or byte array is bound where it is: `value` must stay unchanged until the statement has
// stepped, and every parameter is bound again before the next step.
void BindValue(sqlite3_stmt* stmt, int index, const Value& value, int type, std::string_view context);

// The class a decimal's canonical text is stored in (see above), with the number in that class. Up to 15
// significant digits always come back from a double; longer ones are tried.
enum class DecimalClass { kInteger, kReal, kText };
DecimalClass ClassOfDecimal(const std::string& canonical, std::int64_t& whole, double& real);

}  // namespace vela::data::sqlite
