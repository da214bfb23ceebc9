// The server's objects the catalog's tables, columns, indexes and keys cannot describe, read from the
// server's own catalog in the save's snapshot, each in the statement the server itself gives for it
// (pg_get_functiondef, pg_get_viewdef, pg_get_triggerdef, pg_get_constraintdef, pg_get_indexdef,
// pg_get_partkeydef, pg_get_expr, format_type) read with an empty search path, so that every name in them
// carries its schema:
//
//   before the rows  schemas, extensions, enum / domain / composite / range types, functions and
//                    procedures whose signature needs no table, aggregates, sequences, and the tables
//                    whose columns the catalog cannot name (arrays, enums, domains, timestamptz, numeric
//                    without precision, identity ALWAYS, collations ...) or that are partitioned or
//                    partitions, made by their own CREATE TABLE (columns, defaults, identity, NOT NULL)
//   after the rows   functions that need a table, CHECK and EXCLUDE constraints, indexes over
//                    expressions, part of the rows, other methods or INCLUDE columns, views and
//                    materialized views in the order they depend on each other, triggers, policies
//
// and their state as typed values: sequence positions, comments, materialized views to fill, row-level
// security, foreign keys' deferral. What an extension made is its own and left out; ownership and grants
// are left out. A database of plain tables gives none but its sequences' positions.
#pragma once

#include <vector>

#include "platform/data/postgres/ServerSession.h"
#include "velabackup/data/Catalog.h"

namespace vela::data::postgres {

std::vector<EngineObject> ListServerObjects(ServerSession& session);
std::vector<EngineState> ListServerStates(ServerSession& session);

// Makes the object from its SQL when CheckServerEngineSql allows it, in a savepoint of its own when the
// session is in a transaction; refused SQL fails with kCommandError having run nothing.
void ApplyServerObject(ServerSession& session, const EngineObject& object);
// Gives the named object its state, names quoted and values bound as parameters or quoted texts.
void ApplyServerState(ServerSession& session, const EngineState& state);

}  // namespace vela::data::postgres
