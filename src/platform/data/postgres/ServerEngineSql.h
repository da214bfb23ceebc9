// Engine SQL from a backup on the server: the one place where this provider decides whether the statement
// an engine object was saved with may run.
//
// A backup file is untrusted input, and its SQL is the server's full language. What may run is exactly one
// statement of the form the object's kind allows, making the object the entry names (with its schema, or
// without one for an object of the default schema; an index, trigger, policy or constraint by its own name
// on the table the entry names):
//
//   schema      CREATE SCHEMA [IF NOT EXISTS] <name>                  (nothing after the name)
//   extension   CREATE EXTENSION IF NOT EXISTS <name> [WITH SCHEMA <schema>]
//   type        CREATE TYPE <name> AS ENUM | AS RANGE | AS (...)
//   domain      CREATE DOMAIN <name> AS ...
//   function    CREATE [OR REPLACE] FUNCTION <name> (...)             (never LANGUAGE c or internal)
//   procedure   CREATE [OR REPLACE] PROCEDURE <name> (...)            (the same)
//   aggregate   CREATE [OR REPLACE] AGGREGATE <name> (...)
//   sequence    CREATE SEQUENCE <name> ...
//   table       CREATE [UNLOGGED] TABLE <name> (...) | CREATE TABLE <name> PARTITION OF <table> ...
//   constraint  ALTER TABLE [ONLY] <table> ADD CONSTRAINT <name> CHECK | EXCLUDE ...   (one action)
//   index       CREATE [UNIQUE] INDEX <name> ON [ONLY] <table> ...
//   trigger     CREATE [OR REPLACE] [CONSTRAINT] TRIGGER <name> ... ON <table> ...
//   view        CREATE [OR REPLACE] VIEW <name> ... AS ...
//   materialized view  CREATE MATERIALIZED VIEW <name> ... AS ... WITH NO DATA
//   policy      CREATE POLICY <name> ON <table> ...
//
// never in the server's own schemas (pg_catalog, information_schema, pg_*). The statement is read with the
// server's own lexical rules: quoted names, strings with their E'' escapes, dollar-quoted bodies, nested
// comments. The server itself is then given the statement through the protocol that runs one statement
// only.
#pragma once

#include <string>

namespace vela::data {
struct EngineObject;
}

namespace vela::data::postgres {

// Why `object` may not be made from its SQL, or "" when it may.
std::string CheckServerEngineSql(const EngineObject& object);

}  // namespace vela::data::postgres
