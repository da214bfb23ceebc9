// The statements this provider must understand itself: CREATE TABLE as the engine stores it, Jet's CREATE
// INDEX, ALTER TABLE ... ADD CONSTRAINT and DROP INDEX, read from the tokens of platform/data/SqlText.h.
//
// Jet brackets a name as [name], doubling a "]" inside it; the engine would end the name at the first
// "]". Every Jet text is therefore rewritten into the engine's double-quoted form before it runs, and
// names this provider writes itself are always double-quoted (QuoteName), never bracketed.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data/SqlText.h"

namespace vela::data::sqlite {

// The rule (RuleEnum) of a referential action as written: "CASCADE", "SET NULL", "SET DEFAULT"; any other
// text is no rule.
int RuleCode(std::string_view action);

// A PRIMARY KEY, UNIQUE or FOREIGN KEY constraint, at column or table level.
struct ConstraintDef {
  enum Kind { PrimaryKey, Unique, ForeignKey, Other };
  Kind kind = Other;
  std::string name;                  // empty when the schema gives none
  std::vector<std::string> columns;  // the constrained columns (column level: the column itself)
  std::string refTable;
  std::vector<std::string> refColumns;
  bool autoincrement = false;
  bool columnLevel = false;
  std::size_t begin = 0, end = 0;  // the constraint's text, "CONSTRAINT name" included
  std::size_t keyword = 0;         // where PRIMARY / UNIQUE / FOREIGN / REFERENCES starts
};

struct ColumnDef {
  std::string name;
  std::string type;  // the declared type as written
  std::size_t begin = 0, end = 0;
};

// A CREATE TABLE statement as the engine keeps it in its schema.
struct TableDef {
  std::string name;
  std::vector<ColumnDef> columns;
  std::vector<ConstraintDef> constraints;  // column-level ones first within their column, in text order
  std::size_t bodyEnd = 0;                 // position of the ")" that closes the definitions
  std::string sql;                         // the text parsed
};
std::optional<TableDef> ParseCreateTable(std::string_view sql);

// The CREATE TABLE statement `sql` without its foreign keys to the tables `leftOut` names (with their
// CONSTRAINT names, rules, MATCH and deferral); nullopt when the statement cannot be read.
std::optional<std::string> WithoutKeysTo(std::string_view sql,
                                         const std::function<bool(std::string_view table)>& leftOut);

// CREATE [UNIQUE] [CLUSTERED] INDEX name ON table (columns) [WITH PRIMARY | DISALLOW NULL | IGNORE NULL]
struct CreateIndexStatement {
  bool unique = false;
  bool primary = false;
  std::string name;
  std::string table;
  std::vector<std::string> columnTexts;  // each "name [ASC|DESC]" already in engine form
  std::vector<std::string> columns;
};
std::optional<CreateIndexStatement> ParseCreateIndex(const std::vector<Token>& tokens, std::string_view sql);

// ALTER TABLE table ADD [CONSTRAINT name] PRIMARY KEY | UNIQUE | FOREIGN KEY ...
struct AddConstraintStatement {
  std::string table;
  ConstraintDef constraint;
  std::string deleteRule, updateRule;  // "CASCADE", "SET NULL", ... as written
};
std::optional<AddConstraintStatement> ParseAddConstraint(const std::vector<Token>& tokens,
                                                         std::string_view sql);

// DROP INDEX name ON table (Jet's form; the engine's own form passes through unchanged)
struct DropIndexStatement {
  std::string name;
  std::string table;
};
std::optional<DropIndexStatement> ParseDropIndex(const std::vector<Token>& tokens);

}  // namespace vela::data::sqlite
