// Engine SQL from a backup: the one place where this provider runs the statement an engine object (a
// view, a trigger, an index over expressions or part of the rows, a table definition) was saved with.
//
// A backup file is untrusted input, and its SQL is the engine's full language. What runs is exactly one
// statement of the form the object's kind allows, making the object of that name:
//
//   table    CREATE TABLE <name> (...)
//            CREATE VIRTUAL TABLE <name> USING fts3|fts4|fts5|rtree (...)
//   index    CREATE [UNIQUE] INDEX <name> ON <table> (...)
//   view     CREATE VIEW <name> ...
//   trigger  CREATE TRIGGER <name> ... ON <table> ... END
//
// never TEMP, never in another schema, never IF NOT EXISTS. A virtual table is made only of the engine's own
// modules named above; the tables its module keeps its rows in ("<name>_data", ...) are its module's to
// make and fill. The statement runs
// under the engine's guard: an authorizer that allows the CREATE of that object and what the engine does
// for it (reads, functions, its entry in the schema table, the sequence table of an AUTOINCREMENT table,
// a virtual table's own tables named after it)
// and refuses everything else (ATTACH, DETACH, PRAGMA, VACUUM, transactions, writes to or the making or
// dropping of any other object), with the connection defensive and the schema untrusted while it runs.
#pragma once

#include <string>
#include <string_view>

struct sqlite3;

namespace vela::data {
struct EngineObject;
}

namespace vela::data::sqlite {

// Makes `object` from its SQL on `db`. SQL of another form, or that would do anything else, fails with
// kCommandError saying why, having run nothing; the engine's own refusal fails as the engine reports it.
// The authorizer and settings the connection had are put back, whatever happens (the provider sets no
// authorizer of its own otherwise).
void RunEngineSql(sqlite3* db, const EngineObject& object);

// The module of a CREATE VIRTUAL TABLE statement in lower case ("fts5"), "" for any other statement.
std::string VirtualTableModule(std::string_view sql);

// Fails with kCommandError: the object's SQL was not run, and why.
[[noreturn]] void RefuseEngineSql(const EngineObject& object, const std::string& why);

// Why `object` cannot be made from its SQL, or "" when it can, without a database: the form above, and for
// the objects that need no other (a table, a view) the statement made in an empty database in memory under
// the same guard.
std::string CheckEngineSql(const EngineObject& object);

}  // namespace vela::data::sqlite
