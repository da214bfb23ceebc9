// The sample database: every column type a backup carries, NULLs in every nullable column, Unicode
// beyond the Basic Multilingual Plane, binary values holding all 256 byte values, dates, Booleans,
// currency and decimals, an autoincrement column with gaps and a seed above its maximum, defaults of each
// kind, primary keys, a unique index over a column holding NULLs, a composite index, foreign keys with
// cascade rules, a view, a VelaParams table, an empty table, names with blanks and reserved words, and a
// table of `rows` generated rows of eight mixed columns (for benchmarks).
#pragma once

#include <cstdint>
#include <string>

namespace vela::cli {

// Creates the database named by the connection string (one that exists is dropped first: a file database's
// file, a server database on its server) and fills it.
void MakeSampleDatabase(const std::string& connectionString, std::int64_t rows);

}  // namespace vela::cli
