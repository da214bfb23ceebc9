#include "platform/data/postgres/TsqlStatements.h"

#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/IndexNames.h"
#include "platform/data/postgres/ServerDefaults.h"
#include "platform/data/postgres/ServerProvider.h"
#include "platform/data/postgres/ServerSchema.h"
#include "platform/data/postgres/ServerValues.h"
#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {

namespace {

// NAMEDATALEN - 1: PostgreSQL cuts longer names short.

constexpr std::array<std::string_view, 5> kSystemTables = {"sysobjects", "syscolumns", "syscomments",
                                                           "sysreferences", "sysdatabases"};

bool IsSystemTable(const Token& token) {
  if (token.kind != TokenKind::Word && token.kind != TokenKind::Name) return false;
  for (std::string_view table : kSystemTables)
    if (text::EqualsNoCase(token.text, table)) return true;
  return false;
}

[[noreturn]] void ThrowStatementError(std::string message, std::string_view sql) {
  throw Error(kCommandError, kSource, std::move(message), {}, std::string(sql));
}

// A statement's tokens and their translation into PostgreSQL's dialect, range by range.
class Reader {
 public:
  Reader(std::string_view sql, bool numberPlaceholders, const SchemaTest& isSchema = {})
      : sql_(sql), tokens_(Tokenize(sql, Brackets::Jet)), number_(numberPlaceholders), isSchema_(isSchema) {}

  std::size_t Size() const { return tokens_.size(); }
  const Token& operator[](std::size_t i) const {
    static const Token kNone;
    return i < tokens_.size() ? tokens_[i] : kNone;
  }
  bool Is(std::size_t i, std::string_view word) const { return i < tokens_.size() && tokens_[i].Is(word); }
  // A name: a bare word or a quoted name (not a text).
  bool IsName(std::size_t i) const {
    return i < tokens_.size() && (tokens_[i].kind == TokenKind::Word || tokens_[i].kind == TokenKind::Name);
  }
  int Placeholders() const { return placeholders_; }
  const SchemaTest& Schemas() const { return isSchema_; }

  // The end of a dotted name ("dbo.[t]", "[s].[t]") starting at `i`; `i` itself when none starts there.
  std::size_t NameEnd(std::size_t i) const {
    if (!IsName(i)) return i;
    std::size_t end = i + 1;
    while (end + 1 < tokens_.size() && tokens_[end].IsPunct('.') && IsName(end + 1)) end += 2;
    return end;
  }

  // The tokens [first, last) in PostgreSQL's dialect, with the text between them kept as written.
  std::string Translate(std::size_t first, std::size_t last) {
    if (last > tokens_.size()) last = tokens_.size();
    if (first >= last) return {};
    std::string out;
    std::size_t copied = tokens_[first].begin;
    auto skip = [&](std::size_t from, std::size_t to) {  // drops tokens [from, to]
      out.append(sql_.substr(copied, tokens_[from].begin - copied));
      copied = tokens_[to].end;
    };
    for (std::size_t i = first; i < last; ++i) {
      const Token& token = tokens_[i];
      if (IsOwner(i) && i + 2 < last) {
        skip(i, i + 1);
        ++i;
      } else if (token.Is("NOT") && Is(i + 1, "FOR") && Is(i + 2, "REPLICATION") && i + 2 < last) {
        skip(i, i + 2);
        i += 2;
      } else if (token.kind == TokenKind::Name && token.quote == '[') {
        out.append(sql_.substr(copied, token.begin - copied));
        // The system tables are views with lower-case names; the dialect's names are of any case.
        out += IsSystemTable(token) ? QuoteName(text::ToLower(token.text))
                                    : BracketedNameSql(token.text, isSchema_);
        copied = token.end;
      } else if (number_ && token.kind == TokenKind::Parameter && token.text == "?") {
        out.append(sql_.substr(copied, token.begin - copied));
        out += "$" + std::to_string(++placeholders_);
        copied = token.end;
      }
    }
    // To the end, what follows the last token (a comment) is kept too.
    out.append(last == tokens_.size() ? sql_.substr(copied)
                                      : sql_.substr(copied, tokens_[last - 1].end - copied));
    return out;
  }

  // From token `i` to the end.
  std::string Rest(std::size_t i) { return Translate(i, tokens_.size()); }

  // The text as written from token `i` to the end.
  std::string_view Written(std::size_t i) const {
    if (i >= tokens_.size()) return {};
    return sql_.substr(tokens_[i].begin, tokens_.back().end - tokens_[i].begin);
  }

 private:
  // "dbo" (bare or bracketed) before ".name", as the first part of a dotted name.
  bool IsOwner(std::size_t i) const {
    const Token& token = tokens_[i];
    bool dbo = token.Is("dbo") ||
               (token.kind == TokenKind::Name && token.quote == '[' && text::EqualsNoCase(token.text, "dbo"));
    return dbo && i + 2 < tokens_.size() && tokens_[i + 1].IsPunct('.') && IsName(i + 2) &&
           (i == 0 || !tokens_[i - 1].IsPunct('.'));
  }

  std::string_view sql_;
  std::vector<Token> tokens_;
  bool number_;
  SchemaTest isSchema_;
  int placeholders_ = 0;
};

// The parts of a dotted name given as text ("[t].[c]", "t.c", "dbo.t.c"), the owner "dbo" left out. A
// text that is no dotted name is split at its dots.
std::vector<std::string> NameParts(std::string_view text) {
  std::vector<std::string> parts;
  try {
    std::vector<Token> tokens = Tokenize(text, Brackets::Jet);
    bool dotted = !tokens.empty() && tokens.size() % 2 == 1;
    for (std::size_t i = 0; dotted && i < tokens.size(); ++i) {
      const Token& token = tokens[i];
      if (i % 2 == 1) {
        dotted = token.IsPunct('.');
      } else if (token.kind == TokenKind::Word || token.kind == TokenKind::Name) {
        parts.push_back(token.text);
      } else {
        dotted = false;
      }
    }
    if (!dotted) parts.clear();
  } catch (const Error&) {
    parts.clear();
  }
  if (parts.empty()) {
    std::size_t start = 0;
    for (std::size_t dot = text.find('.'); dot != std::string_view::npos; dot = text.find('.', start)) {
      parts.emplace_back(text.substr(start, dot - start));
      start = dot + 1;
    }
    parts.emplace_back(text.substr(start));
  }
  if (parts.size() > 1 && text::EqualsNoCase(parts.front(), "dbo")) parts.erase(parts.begin());
  return parts;
}

// EXEC sp_bindefault 'default', 'table.column' (the arguments may be named @defname and @objname).
TsqlStatement ReadBindDefault(Reader& reader, std::size_t i, std::string_view sql) {
  std::vector<std::string> positional;
  std::string defname, objname;
  while (i < reader.Size()) {
    std::string parameter;
    if (reader[i].kind == TokenKind::Parameter && reader[i + 1].IsPunct('=')) {
      parameter = text::ToLower(reader[i].text);
      i += 2;
    }
    if (reader.Is(i, "N") && reader[i + 1].kind == TokenKind::String && reader[i + 1].begin == reader[i].end)
      ++i;
    const Token& value = reader[i];
    if (value.kind != TokenKind::String && value.kind != TokenKind::Word && value.kind != TokenKind::Name)
      ThrowStatementError("sp_bindefault takes a default's name and a column as 'table.column'", sql);
    if (parameter == "@defname")
      defname = value.text;
    else if (parameter == "@objname")
      objname = value.text;
    else if (parameter.empty())
      positional.push_back(value.text);
    ++i;
    if (i < reader.Size() && !reader[i].IsPunct(',') && !reader[i].IsPunct(';'))
      ThrowStatementError("sp_bindefault takes a default's name and a column as 'table.column'", sql);
    ++i;
  }
  if (defname.empty() && !positional.empty()) defname = positional[0];
  if (objname.empty() && positional.size() > 1) objname = positional[1];
  if (defname.empty() || objname.empty())
    ThrowStatementError("sp_bindefault takes a default's name and a column as 'table.column'", sql);

  TsqlStatement statement;
  statement.kind = TsqlStatement::Kind::kBindDefault;
  statement.name = NameParts(defname).back();
  std::vector<std::string> object = NameParts(objname);
  if (object.size() < 2)
    ThrowStatementError("A default is bound to a column, named as 'table.column': " + objname, sql);
  statement.column = object.back();
  statement.tableName = object[object.size() - 2];
  statement.table = object.size() > 2 ? QuoteName(statement.tableName)
                                      : BracketedNameSql(statement.tableName, reader.Schemas());
  if (object.size() > 2) statement.table = QuoteName(object[object.size() - 3]) + "." + statement.table;
  return statement;
}

// The sequence behind each identity or serial column of the table $1: the one the column owns, or the
// one its nextval default draws from.
constexpr const char* kIdentitySequences = R"(
SELECT a.attname, q.seq::oid
  FROM pg_catalog.pg_attribute a
  LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum
 CROSS JOIN LATERAL (SELECT COALESCE(
          pg_catalog.pg_get_serial_sequence($1::text, a.attname)::pg_catalog.regclass,
          (SELECT dep.refobjid::pg_catalog.regclass FROM pg_catalog.pg_depend dep
             JOIN pg_catalog.pg_class s ON s.oid = dep.refobjid AND s.relkind = 'S'
            WHERE dep.classid = 'pg_catalog.pg_attrdef'::pg_catalog.regclass AND dep.objid = d.oid
              AND dep.refclassid = 'pg_catalog.pg_class'::pg_catalog.regclass LIMIT 1)) AS seq) q
 WHERE a.attrelid = $1::text::pg_catalog.regclass AND a.attnum > 0 AND NOT a.attisdropped
   AND q.seq IS NOT NULL
 ORDER BY a.attnum)";

// The schema of the table $1 and whether the name $2 is taken there by a relation or by a constraint of
// the table.
constexpr const char* kIndexNameTaken = R"(
SELECT n.nspname,
       EXISTS (SELECT 1 FROM pg_catalog.pg_class o
                WHERE o.relname = $2::pg_catalog.name AND o.relnamespace = c.relnamespace)
       OR EXISTS (SELECT 1 FROM pg_catalog.pg_constraint k
                   WHERE k.conrelid = c.oid AND k.conname = $2::pg_catalog.name)
  FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
 WHERE c.oid = pg_catalog.to_regclass($1::text))";

// The system tables the component's catalog queries read, over the relations of the user schemas the login
// may use, named as the catalog names them ("schema.table" outside public). Ids are pg_class oids for tables
// and views, pg_constraint oids for keys, pg_attrdef oids for defaults; column numbers are attnum.
std::string SystemViewsSql() {
  const std::string relations = R"(
  SELECT c.oid, CASE WHEN n.nspname = 'public' THEN c.relname
                     ELSE (n.nspname || '.' || c.relname)::pg_catalog.name END AS relname, c.relkind
    FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
   WHERE c.relkind IN ('r', 'p', 'v', 'm') AND n.nspname NOT LIKE 'pg\_%'
     AND n.nspname <> 'information_schema' AND pg_catalog.has_schema_privilege(n.oid, 'USAGE'))";
  // A column whose values come from a sequence, and its default when it has one of its own.
  const std::string columns = R"(
  SELECT a.attrelid, a.attnum, a.attname, a.attnotnull, d.oid AS defaultid,
         e.expr, a.attidentity <> '' OR COALESCE(e.expr LIKE 'nextval(%', false) AS counter
    FROM pg_catalog.pg_attribute a JOIN r ON r.oid = a.attrelid
    LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum AND a.attgenerated = ''
   CROSS JOIN LATERAL (SELECT pg_catalog.pg_get_expr(d.adbin, d.adrelid) AS expr) e
   WHERE a.attnum > 0 AND NOT a.attisdropped)";
  std::string keyColumns;
  for (int i = 1; i <= 16; ++i) {
    std::string n = std::to_string(i);
    keyColumns += ", COALESCE(k.conkey[" + n + "], 0) AS fkey" + n;
  }
  for (int i = 1; i <= 16; ++i) {
    std::string n = std::to_string(i);
    keyColumns += ", COALESCE(k.confkey[" + n + "], 0) AS rkey" + n;
  }
  return "CREATE TEMP VIEW sysobjects AS WITH r AS (" + relations + ")," + R"(
  t AS (SELECT r.oid, r.relname, CASE WHEN r.relkind IN ('r', 'p') THEN 'U' ELSE 'V' END AS type FROM r),
  k AS (SELECT k.oid, k.conname, k.conrelid, CASE k.contype WHEN 'f' THEN 'F' WHEN 'p' THEN 'PK'
          WHEN 'u' THEN 'UQ' WHEN 'c' THEN 'C' ELSE 'X' END AS type
          FROM pg_catalog.pg_constraint k JOIN r ON r.oid = k.conrelid)
SELECT t.oid::bigint AS id, t.relname AS name, t.type, t.type AS xtype, 0::bigint AS parent_obj FROM t
UNION ALL SELECT k.oid::bigint, k.conname, k.type, k.type, k.conrelid::bigint FROM k
UNION ALL SELECT d.oid::bigint, (r.relname || '_' || a.attname)::name, 'D', 'D', r.oid::bigint
  FROM pg_catalog.pg_attrdef d JOIN r ON r.oid = d.adrelid
  JOIN pg_catalog.pg_attribute a ON a.attrelid = d.adrelid AND a.attnum = d.adnum
 WHERE a.attidentity = '' AND a.attgenerated = ''
   AND pg_catalog.pg_get_expr(d.adbin, d.adrelid) NOT LIKE 'nextval(%';
CREATE TEMP VIEW syscolumns AS WITH r AS ()" +
         relations + "), a AS (" + columns + R"()
SELECT a.attrelid::bigint AS id, a.attnum AS colid, a.attname AS name,
       CASE WHEN a.counter THEN 128 ELSE 0 END + CASE WHEN a.attnotnull THEN 0 ELSE 8 END AS status,
       CASE WHEN a.attnotnull THEN 0 ELSE 1 END AS isnullable,
       CASE WHEN a.defaultid IS NULL OR a.counter THEN 0 ELSE a.defaultid::bigint END AS cdefault
  FROM a;
CREATE TEMP VIEW syscomments AS WITH r AS ()" +
         relations + "), a AS (" + columns + R"()
SELECT a.defaultid::bigint AS id,
       CASE WHEN a.expr ~ '^''-?[0-9]+(\.[0-9]+)?''::(smallint|integer|bigint|numeric|real|double precision)$'
            THEN pg_catalog.substring(a.expr, '^''([^'']*)''')
            ELSE pg_catalog.regexp_replace(a.expr, '(::[a-z][a-z0-9_ ]*(\([0-9, ]*\))?(\[\])*)+$', '')
       END AS text
  FROM a WHERE a.defaultid IS NOT NULL AND NOT a.counter;
CREATE TEMP VIEW sysreferences AS WITH r AS ()" +
         relations + R"()
SELECT k.oid::bigint AS constid, k.conrelid::bigint AS fkeyid, k.confrelid::bigint AS rkeyid,
       pg_catalog.cardinality(k.conkey)::smallint AS keycnt)" +
         keyColumns + R"(
  FROM pg_catalog.pg_constraint k JOIN r ON r.oid = k.conrelid WHERE k.contype = 'f';
CREATE TEMP VIEW sysdatabases AS
SELECT d.datname AS name, d.oid::bigint AS dbid FROM pg_catalog.pg_database d)";
}

}  // namespace

SchemaTest SchemasOf(ServerSession& session) {
  return [&session](std::string_view name) {
    if (name.empty() || name == kDefaultSchema) return false;
    ResultHandle found = session.QueryServerSql("SELECT 1 FROM pg_catalog.pg_namespace WHERE nspname = $1",
                                                std::vector<std::string>{std::string(name)});
    return PQntuples(found.get()) > 0;
  };
}

std::string BracketedNameSql(std::string_view name, const SchemaTest& isSchema) {
  std::size_t dot = name.find('.');
  if (isSchema && dot != std::string_view::npos && dot > 0 && dot + 1 < name.size() &&
      isSchema(name.substr(0, dot)))
    return QuoteName(name.substr(0, dot)) + "." + QuoteName(name.substr(dot + 1));
  return QuoteName(name);
}

std::string ToServerSql(std::string_view sql, bool numberPlaceholders, int* placeholders,
                        const SchemaTest& isSchema) {
  Reader reader(sql, numberPlaceholders, isSchema);
  std::string out = reader.Rest(0);
  if (placeholders != nullptr) *placeholders = reader.Placeholders();
  return out;
}

TsqlStatement ReadTsqlStatement(std::string_view sql, const SchemaTest& isSchema) {
  Reader reader(sql, false, isSchema);
  TsqlStatement statement;
  const std::size_t size = reader.Size();
  using Kind = TsqlStatement::Kind;

  // SET IDENTITY_INSERT table ON | OFF
  if (reader.Is(0, "SET") && reader.Is(1, "IDENTITY_INSERT")) {
    std::size_t end = reader.NameEnd(2);
    if (end > 2 && (reader.Is(end, "ON") || reader.Is(end, "OFF")) && end + 1 >= size) {
      statement.kind = Kind::kIdentityInsert;
      statement.table = reader.Translate(2, end);
      statement.tableName = reader[end - 1].text;
      statement.on = reader.Is(end, "ON");
      return statement;
    }
  }

  // CREATE DEFAULT name AS value
  if (reader.Is(0, "CREATE") && reader.Is(1, "DEFAULT")) {
    std::size_t end = reader.NameEnd(2);
    if (end > 2 && reader.Is(end, "AS") && end + 1 < size) {
      statement.kind = Kind::kCreateDefault;
      statement.name = reader[end - 1].text;
      statement.text = std::string(reader.Written(end + 1));
      while (!statement.text.empty() && statement.text.back() == ';') statement.text.pop_back();
      return statement;
    }
  }

  // [EXEC[UTE]] [dbo.]sp_bindefault arguments
  {
    std::size_t at = reader.Is(0, "EXEC") || reader.Is(0, "EXECUTE") ? 1 : 0;
    std::size_t end = reader.NameEnd(at);
    if (end > at && text::EqualsNoCase(reader[end - 1].text, "sp_bindefault"))
      return ReadBindDefault(reader, end, sql);
  }

  // CREATE [UNIQUE] [CLUSTERED | NONCLUSTERED] INDEX name ON table (columns) ...
  if (reader.Is(0, "CREATE")) {
    std::size_t i = 1;
    bool unique = reader.Is(i, "UNIQUE");
    if (unique) ++i;
    bool clustered = reader.Is(i, "CLUSTERED");
    if (clustered || reader.Is(i, "NONCLUSTERED")) ++i;
    if (reader.Is(i, "INDEX") && reader.IsName(i + 1) && reader.Is(i + 2, "ON") &&
        reader.NameEnd(i + 3) > i + 3) {
      statement.kind = Kind::kCreateIndex;
      statement.name = reader[i + 1].text;
      statement.clustered = clustered;
      statement.table = reader.Translate(i + 3, reader.NameEnd(i + 3));
      statement.text = unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ";
      statement.tail = " ON " + reader.Rest(i + 3);
      return statement;
    }
  }

  // ALTER TABLE table ADD CONSTRAINT name PRIMARY KEY | UNIQUE [CLUSTERED | NONCLUSTERED] (columns)
  if (reader.Is(0, "ALTER") && reader.Is(1, "TABLE")) {
    std::size_t end = reader.NameEnd(2);
    std::size_t i = end + 3;
    bool primary = reader.Is(i, "PRIMARY") && reader.Is(i + 1, "KEY");
    if (end > 2 && reader.Is(end, "ADD") && reader.Is(end + 1, "CONSTRAINT") && reader.IsName(end + 2) &&
        (primary || reader.Is(i, "UNIQUE"))) {
      i += primary ? 2 : 1;
      statement.clustered = reader.Is(i, "CLUSTERED");
      if (statement.clustered || reader.Is(i, "NONCLUSTERED")) ++i;
      statement.kind = Kind::kCreateIndex;
      statement.name = reader[end + 2].text;
      statement.table = reader.Translate(2, end);
      statement.text = "ALTER TABLE " + statement.table + " ADD CONSTRAINT ";
      statement.tail = std::string(primary ? " PRIMARY KEY " : " UNIQUE ") + reader.Rest(i);
      return statement;
    }
  }

  // CREATE DATABASE name ... / DROP DATABASE [IF EXISTS] name ...
  if ((reader.Is(0, "CREATE") || reader.Is(0, "DROP")) && reader.Is(1, "DATABASE")) {
    bool drop = reader.Is(0, "DROP");
    std::size_t at = drop && reader.Is(2, "IF") && reader.Is(3, "EXISTS") ? 4 : 2;
    if (reader.IsName(at)) {
      statement.kind = drop ? Kind::kDropDatabase : Kind::kCreateDatabase;
      statement.name = reader[at].text;
      CheckDatabaseName(statement.name, sql);
      statement.text = reader.Rest(0);
      return statement;
    }
  }

  statement.text = reader.Rest(0);
  for (std::size_t i = 0; i < size && !statement.systemTables; ++i)
    statement.systemTables = IsSystemTable(reader[i]);
  return statement;
}

std::string IndexNameCandidate(std::string_view name, int attempt) {
  return NameWithSuffix(name, attempt > 0 ? "_" + std::to_string(attempt + 1) : "");
}

void TsqlStatements::Execute(std::string_view sql) {
  TsqlStatement statement = ReadTsqlStatement(sql, schemas_);
  using Kind = TsqlStatement::Kind;
  switch (statement.kind) {
    case Kind::kPlain:
      if (statement.systemTables) MakeSystemViews();
      session_->RunServerSql(statement.text);
      return;
    case Kind::kIdentityInsert:
      // PostgreSQL's identity columns (GENERATED BY DEFAULT) and serial columns take given values as they
      // stand; only the sequence is behind once the values are in.
      if (statement.on) {
        identityInsert_ = statement.table;
      } else {
        EndIdentityInsert(statement, sql);
        identityInsert_.clear();
      }
      return;
    case Kind::kCreateDefault:
      defaults_[text::ToLower(statement.name)] = statement.text;
      return;
    case Kind::kBindDefault:
      BindDefault(statement, sql);
      return;
    case Kind::kCreateIndex:
      CreateIndex(statement);
      return;
    case Kind::kCreateDatabase:
      CreateServerDatabase(*session_, statement.name, statement.text);
      return;
    case Kind::kDropDatabase:
      DropDatabase(statement);
      return;
  }
}

std::string TsqlStatements::Query(std::string_view sql) {
  TsqlStatement statement = ReadTsqlStatement(sql, schemas_);
  if (statement.kind != TsqlStatement::Kind::kPlain)
    ThrowStatementError("The statement returns no rows; it cannot open a recordset", sql);
  if (statement.systemTables) MakeSystemViews();
  return statement.text;
}

void TsqlStatements::MakeSystemViews() {
  if (systemViews_) return;
  session_->RunServerSql(SystemViewsSql());
  systemViews_ = true;
}

void TsqlStatements::EndIdentityInsert(const TsqlStatement& statement, std::string_view sql) {
  std::string table = statement.table;
  ResultHandle sequences;
  try {
    sequences = session_->QueryServerSql(kIdentitySequences, std::span<const std::string>(&table, 1));
  } catch (const Error& error) {
    throw Error(error.Number(), kSource, error.Description(), error.EngineCode(), std::string(sql));
  }
  for (int row = 0; row < PQntuples(sequences.get()); ++row) {
    // The sequence continues after the highest value given, and never goes back.
    std::string sequence = PQgetvalue(sequences.get(), row, 1);
    session_->QueryServerSql(
        "SELECT pg_catalog.setval($1::oid::pg_catalog.regclass, s.m) FROM (SELECT max(" +
            QuoteName(PQgetvalue(sequences.get(), row, 0)) + ")::bigint AS m FROM " + table +
            ") AS s JOIN pg_catalog.pg_sequence q ON q.seqrelid = $1::oid "
            "WHERE s.m IS NOT NULL AND q.seqincrement > 0 "
            "AND s.m >= COALESCE(pg_catalog.pg_sequence_last_value($1::oid::pg_catalog.regclass), "
            "q.seqstart)",
        std::span<const std::string>(&sequence, 1));
  }
}

void TsqlStatements::BindDefault(const TsqlStatement& statement, std::string_view sql) {
  const std::string column = statement.tableName + "." + statement.column;
  auto found = defaults_.find(text::ToLower(statement.name));
  if (found == defaults_.end())
    ThrowStatementError("The default \"" + statement.name + "\" to bind to " + column + " does not exist",
                        sql);

  // The column's type as recordsets report it, which is what the default's value is read against.
  int type = adEmpty;
  try {
    ResultHandle probe = session_->QueryServerSql("SELECT " + QuoteName(statement.column) + " FROM " +
                                                  statement.table + " LIMIT 0");
    type = FieldFromResult(probe.get(), 0).type;
  } catch (const Error& error) {
    throw Error(
        kCommandError, kSource,
        "Cannot bind the default \"" + statement.name + "\" to " + column + ": " + error.Description(),
        error.EngineCode(), std::string(sql));
  }
  std::optional<std::string> value = ServerDefaultSql(found->second, type);
  if (!value)
    ThrowStatementError("The default \"" + statement.name + "\" of column " + column +
                            " is no value, text or known function; it is not set",
                        sql);
  session_->RunServerSql("ALTER TABLE " + statement.table + " ALTER COLUMN " + QuoteName(statement.column) +
                         " SET DEFAULT " + *value);
}

void TsqlStatements::CreateIndex(const TsqlStatement& statement) {
  auto clusterOn = [&](const std::string& name) {
    return statement.clustered ? "; ALTER TABLE " + statement.table + " CLUSTER ON " + QuoteName(name)
                               : std::string();
  };
  // Whether the name is taken: the schema the table is in, and whether a relation of that schema or a
  // constraint of the table has the name. No such table gives nothing.
  auto taken = [&](const std::string& name) -> std::optional<std::pair<std::string, bool>> {
    std::array<std::string, 2> parameters{statement.table, name};
    ResultHandle result = session_->QueryServerSql(kIndexNameTaken, parameters);
    if (PQntuples(result.get()) == 0) return std::nullopt;
    return std::pair{std::string(PQgetvalue(result.get(), 0, 0)),
                     std::string_view(PQgetvalue(result.get(), 0, 1)) == "t"};
  };
  // Whether a refused statement lost its name to another. A name another session takes while this one makes
  // its index (a restore's jobs make indexes at once) is refused as a duplicate in the server's own list of
  // relations once the other commits: a duplicate that the name is now taken by tells it from a unique
  // index the rows do not fit.
  auto lostName = [&](const Error& error, const std::string& name) {
    if (error.EngineCode() == "42P07" || error.EngineCode() == "42710") return true;
    if (error.EngineCode() != "23505" || session_->InTransaction()) return false;
    std::optional<std::pair<std::string, bool>> now = taken(name);
    return now && now->second;
  };
  // Most names are free: the index is made under its own name at once, and a free one is looked for only
  // when the server says the name is taken (by a relation of the schema, or a constraint of the table).
  // Inside a transaction begun by another, a refused statement would end it: the names are asked first.
  if (statement.name.size() <= kMaxNameBytes && !session_->InTransaction()) {
    try {
      session_->RunServerSql(statement.text + QuoteName(statement.name) + statement.tail +
                             clusterOn(statement.name));
      return;
    } catch (const Error& error) {
      if (!lostName(error, statement.name)) throw;
    }
  }
  // Another session may also take the free name found before this one makes its index: outside a
  // transaction the next free name is looked for then.
  constexpr int kAttempts = 10000, kRaces = 8;
  for (int race = 0;; ++race) {
    std::string name, schema;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      name = IndexNameCandidate(statement.name, attempt);
      std::optional<std::pair<std::string, bool>> now = taken(name);
      // No such table: the statement goes as it is, for the server to refuse.
      if (!now) break;
      schema = now->first;
      if (!now->second) break;
      if (attempt + 1 == kAttempts)
        throw Error(kCommandError, kSource, "No free name for the index \"" + statement.name + "\"", {},
                    statement.text + QuoteName(statement.name) + statement.tail);
    }
    std::string sql = statement.text + QuoteName(name) + statement.tail;
    if (name != statement.name && !schema.empty())
      sql += "; COMMENT ON INDEX " + QuoteName(schema) + "." + QuoteName(name) + " IS " +
             QuoteText(IndexNameComment(statement.name));
    sql += clusterOn(name);
    // One text: the server runs it as one transaction, so the index comes with its comment or not at all.
    try {
      session_->RunServerSql(sql);
      return;
    } catch (const Error& error) {
      if (race + 1 == kRaces || session_->InTransaction() || !lostName(error, name)) throw;
    }
  }
}

void TsqlStatements::DropDatabase(const TsqlStatement& statement) {
  // This session's own database cannot be dropped; the server says so.
  if (session_->Address().database != statement.name) CloseSessionsTo(session_->Address(), statement.name);
  DropServerDatabase(*session_, statement.name, statement.text);
}

}  // namespace vela::data::postgres
