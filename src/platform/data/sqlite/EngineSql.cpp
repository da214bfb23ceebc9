#include "platform/data/sqlite/EngineSql.h"

#include <memory>
#include <vector>

#include "platform/data/SqlText.h"
#include "platform/data/sqlite/SqliteApi.h"
#include "platform/text/Strings.h"
#include "velabackup/data/Catalog.h"

namespace vela::data::sqlite {
namespace {

// "the view \"Adults\"".
std::string Named(const std::string& kind, const std::string& name) {
  return "the " + kind + " \"" + name + "\"";
}

// The modules whose virtual tables a backup may make: the engine's full-text search and r-tree, which keep
// their rows in tables of their own ("<name>_data", "<name>_content", ...) and nothing outside them.
constexpr const char* kModules[] = {"fts3", "fts4", "fts5", "rtree"};

bool IsKnownModule(std::string_view module) {
  for (const char* known : kModules)
    if (text::EqualsNoCase(module, known)) return true;
  return false;
}

// Reads the statement's words in order; each step says what it found wrong, or "".
class FormReader {
 public:
  explicit FormReader(const std::vector<Token>& tokens) : tokens_(tokens) {}

  bool AtEnd() const { return at_ >= tokens_.size(); }
  bool Word(const char* word) {
    if (AtEnd() || tokens_[at_].kind != TokenKind::Word || !tokens_[at_].Is(word)) return false;
    ++at_;
    return true;
  }
  bool Punct(char c) {
    if (AtEnd() || !tokens_[at_].IsPunct(c)) return false;
    ++at_;
    return true;
  }
  // The name of `what`, which must be `wanted`, in no other schema.
  std::string Name(const std::string& what, const std::string& wanted) {
    if (AtEnd() || !tokens_[at_].IsName()) return "the SQL names no " + what;
    if (at_ + 2 < tokens_.size() && tokens_[at_].Is("IF") && tokens_[at_ + 1].Is("NOT"))
      return "the SQL makes the " + what + " only if it does not exist (IF NOT EXISTS)";
    const Token& name = tokens_[at_++];
    if (Punct('.')) return "the SQL names the schema \"" + name.text + "\"";
    if (!NamesEqual(name.text, wanted))
      return "the SQL names " + Named(what, name.text) + ", not \"" + wanted + "\"";
    return {};
  }
  // Where `word` first stands from here on, before the word `stop`; tokens_.size() when it does not.
  std::size_t Find(const char* word, const char* stop) const {
    for (std::size_t i = at_; i < tokens_.size(); ++i) {
      if (tokens_[i].kind != TokenKind::Word) continue;
      if (tokens_[i].Is(word)) return i;
      if (tokens_[i].Is(stop)) break;
    }
    return tokens_.size();
  }
  void MoveTo(std::size_t at) { at_ = at; }
  // The next word as written, "" when the next token is none.
  std::string Next() {
    if (AtEnd() || tokens_[at_].kind != TokenKind::Word) return {};
    return tokens_[at_++].text;
  }
  // Nothing but one ";" after the statement's last token `last`.
  std::string EndsAfter(std::size_t last) const {
    std::size_t next = last + 1;
    if (next < tokens_.size() && tokens_[next].IsPunct(';')) ++next;
    return next < tokens_.size() ? "the SQL holds more than one statement" : std::string();
  }
  // A statement without BEGIN ... END ends at its first ";".
  std::string EndsAtSemicolon() const {
    for (std::size_t i = at_; i < tokens_.size(); ++i)
      if (tokens_[i].IsPunct(';')) return EndsAfter(i - 1);
    return {};
  }
  // A trigger ends at the END that closes its BEGIN; a CASE inside has an END of its own.
  std::string EndsAtEnd() const {
    bool body = false;
    int cases = 0;
    for (std::size_t i = at_; i < tokens_.size(); ++i) {
      const Token& t = tokens_[i];
      if (!body && t.IsPunct(';')) return "the SQL holds more than one statement";
      if (t.kind != TokenKind::Word) continue;
      if (t.Is("CASE")) {
        ++cases;
      } else if (!body && t.Is("BEGIN")) {
        body = true;
      } else if (t.Is("END")) {
        if (cases > 0)
          --cases;
        else if (body)
          return EndsAfter(i);
      }
    }
    return "the SQL's trigger has no BEGIN ... END";
  }

 private:
  const std::vector<Token>& tokens_;
  std::size_t at_ = 0;
};

// Why the object's SQL is not of the form its kind allows, or "".
std::string FormProblem(const EngineObject& object) {
  std::vector<Token> tokens;
  try {
    tokens = Tokenize(object.sql, Brackets::Engine);
  } catch (const Error&) {
    return "the SQL holds a quote that is not closed";
  }
  FormReader read(tokens);
  const std::string& kind = object.kind;
  if (kind != "table" && kind != "index" && kind != "view" && kind != "trigger")
    return "this provider makes no " + kind;
  if (!read.Word("CREATE")) return "the SQL is no CREATE statement";
  const std::string form = kind == "table"   ? "CREATE TABLE"
                           : kind == "index" ? "CREATE [UNIQUE] INDEX"
                           : kind == "view"  ? "CREATE VIEW"
                                             : "CREATE TRIGGER";
  if (kind == "index") read.Word("UNIQUE");
  // A virtual table of one of the engine's own modules (full-text search, r-tree) is a table too.
  const bool virtualTable = kind == "table" && read.Word("VIRTUAL");
  if (!read.Word(kind == "index" ? "INDEX" : kind.c_str()))
    return "the SQL is no " + form + " (a " + kind + " is made by " + form + " alone)";
  if (std::string problem = read.Name(kind, object.name); !problem.empty()) return problem;
  if (virtualTable) {
    if (!read.Word("USING")) return "the SQL names no module for the virtual table";
    if (!IsKnownModule(read.Next()))
      return "the SQL makes a virtual table of a module this provider does not make";
  } else if (kind == "table") {
    if (!read.Punct('(')) return "the SQL makes the table from no column list";
  } else if (kind == "index") {
    if (!read.Word("ON")) return "the SQL names no table after the index";
    if (std::string problem = read.Name("table", object.table); !problem.empty()) return problem;
  } else if (kind == "trigger") {
    std::size_t on = read.Find("ON", "BEGIN");
    read.MoveTo(on);
    if (!read.Word("ON")) return "the SQL names no table for the trigger";
    if (std::string problem = read.Name("table", object.table); !problem.empty()) return problem;
    return read.EndsAtEnd();
  }
  return read.EndsAtSemicolon();
}

// The engine's guard while one statement from a backup is prepared and run: the authorizer of the object's
// form, the connection defensive, the schema untrusted. What the connection had is put back at the end.
class Guard {
 public:
  Guard(sqlite3* db, const EngineObject& object)
      : db_(db), object_(object), virtual_(!VirtualTableModule(object.sql).empty()) {
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, -1, &defensive_);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, -1, &trusted_);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_set_authorizer(db_, &Guard::Decide, this);
  }
  ~Guard() {
    sqlite3_set_authorizer(db_, nullptr, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, trusted_, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, defensive_, nullptr);
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

  bool Made() const { return made_; }
  const std::string& Refusal() const { return refusal_; }

 private:
  static int Decide(void* self, int action, const char* first, const char* second, const char* schema,
                    const char*) {
    auto* guard = static_cast<Guard*>(self);
    std::string a = first ? first : "", b = second ? second : "";
    const bool main = schema != nullptr && std::string_view(schema) == "main";
    if (guard->Allows(action, a, b, main)) return SQLITE_OK;
    if (guard->refusal_.empty()) guard->refusal_ = Describe(action, a);
    return SQLITE_DENY;
  }

  bool Allows(int action, const std::string& a, const std::string& b, bool main) {
    const std::string& kind = object_.kind;
    // The tables a virtual table keeps its rows in are named after it ("notes_fts_data"); its module makes
    // and fills them while the virtual table is made.
    auto shadow = [&](const std::string& name) {
      return main && virtual_ && name.size() > object_.name.size() + 1 &&
             text::StartsWithNoCase(name, object_.name + "_");
    };
    auto own = [&](const char* made, int code) {
      bool mine = action == code && main && kind == made && NamesEqual(a, object_.name) &&
                  (kind == "table" || kind == "view" || NamesEqual(b, object_.table));
      made_ = made_ || mine;
      return mine;
    };
    switch (action) {
      case SQLITE_READ:
      case SQLITE_SELECT:
      case SQLITE_FUNCTION:
      case SQLITE_RECURSIVE:
        return true;
      case SQLITE_INSERT:
      case SQLITE_UPDATE:
      case SQLITE_DELETE:
        // The object's entry in the schema table; a virtual table's module writes its own tables.
        return (action != SQLITE_DELETE && main &&
                (text::EqualsNoCase(a, "sqlite_master") || text::EqualsNoCase(a, "sqlite_schema"))) ||
               shadow(a);
      case SQLITE_CREATE_TABLE:
        // The sequence table the engine makes for the first AUTOINCREMENT table.
        return (!virtual_ && own("table", action)) ||
               (main && kind == "table" && text::EqualsNoCase(a, "sqlite_sequence")) || shadow(a);
      case SQLITE_CREATE_VTABLE:
        // Of the module the statement names, checked against the known ones before it ran.
        return virtual_ && own("table", action) && IsKnownModule(b);
      case SQLITE_PRAGMA:
        // A full-text module reads the page size to size its blocks; it sets nothing.
        return main && virtual_ && text::EqualsNoCase(a, "page_size") && b.empty();
      case SQLITE_CREATE_INDEX:
        // A table's own indexes for its PRIMARY KEY and UNIQUE constraints.
        return own("index", action) ||
               (main && kind == "table" && (NamesEqual(b, object_.name) || shadow(b)) &&
                text::StartsWithNoCase(a, "sqlite_autoindex_"));
      case SQLITE_REINDEX:
        return main && kind == "index" && NamesEqual(a, object_.name);  // filling the index just made
      case SQLITE_CREATE_VIEW:
        return own("view", action);
      case SQLITE_CREATE_TRIGGER:
        return own("trigger", action);
      default:
        return false;
    }
  }

  static std::string Describe(int action, const std::string& name) {
    switch (action) {
      case SQLITE_ATTACH:
        return "the SQL would attach another database";
      case SQLITE_DETACH:
        return "the SQL would detach a database";
      case SQLITE_PRAGMA:
        return "the SQL would run PRAGMA " + name;
      case SQLITE_TRANSACTION:
      case SQLITE_SAVEPOINT:
        return "the SQL would begin or end a transaction";
      case SQLITE_INSERT:
      case SQLITE_UPDATE:
      case SQLITE_DELETE:
        return "the SQL would write to \"" + name + "\"";
      default:
        return "the SQL would act on \"" + name + "\" (the engine's action " + std::to_string(action) + ")";
    }
  }

  sqlite3* db_;
  const EngineObject& object_;
  const bool virtual_;  // the statement makes a virtual table, whose module makes tables of its own
  int defensive_ = 0;
  int trusted_ = 1;
  bool made_ = false;
  std::string refusal_;
};

using StatementHandle = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

// Makes the object under the guard; why it was refused, or "" when it was made. The engine's own failures
// are raised as it reports them.
std::string RunGuarded(sqlite3* db, const EngineObject& object) {
  if (std::string problem = FormProblem(object); !problem.empty()) return problem;
  const std::string context = object.kind + " " + object.name;
  const std::string& sql = object.sql;
  Guard guard(db, object);
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, &tail);
  StatementHandle statement(raw, sqlite3_finalize);
  if (!guard.Refusal().empty()) return guard.Refusal();
  if (rc != SQLITE_OK) ThrowPrepareError(db, rc, sql, context);
  if (raw == nullptr) return "the SQL holds no statement";
  if (!guard.Made()) return "the SQL does not make " + Named(object.kind, object.name);
  // After the statement, only blanks and comments: the engine finds no statement in the rest.
  const char* end = sql.data() + sql.size();
  sqlite3_stmt* next = nullptr;
  rc = sqlite3_prepare_v2(db, tail, static_cast<int>(end - tail), &next, nullptr);
  StatementHandle rest(next, sqlite3_finalize);
  if (rc != SQLITE_OK || next != nullptr) return "the SQL holds more than one statement";

  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
  }
  if (!guard.Refusal().empty()) return guard.Refusal();
  if (rc != SQLITE_DONE) ThrowEngineError(db, rc, context, sql);
  return {};
}

}  // namespace

std::string VirtualTableModule(std::string_view sql) {
  std::vector<Token> tokens;
  try {
    tokens = Tokenize(sql, Brackets::Engine);
  } catch (const Error&) {
    return {};
  }
  if (tokens.size() < 6 || !tokens[0].Is("CREATE") || !tokens[1].Is("VIRTUAL") || !tokens[2].Is("TABLE"))
    return {};
  // CREATE VIRTUAL TABLE [IF NOT EXISTS] [schema.]name USING module
  for (std::size_t i = 3; i + 1 < tokens.size(); ++i)
    if (tokens[i].Is("USING") && tokens[i + 1].kind == TokenKind::Word)
      return text::ToLower(tokens[i + 1].text);
  return {};
}

void RefuseEngineSql(const EngineObject& object, const std::string& why) {
  throw Error(kCommandError, kSource,
              "The SQL of " + Named(object.kind, object.name) + " in the backup was not run: " + why);
}

void RunEngineSql(sqlite3* db, const EngineObject& object) {
  if (std::string why = RunGuarded(db, object); !why.empty()) RefuseEngineSql(object, why);
}

std::string CheckEngineSql(const EngineObject& object) {
  if (object.kind == "index" || object.kind == "trigger") return FormProblem(object);
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  DbHandle db(raw);
  if (rc != SQLITE_OK) return "the SQL could not be tried: " + std::string(sqlite3_errstr(rc));
  try {
    return RunGuarded(db.get(), object);
  } catch (const Error& error) {
    return error.Description();
  }
}

}  // namespace vela::data::sqlite
