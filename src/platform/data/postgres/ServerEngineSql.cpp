#include "platform/data/postgres/ServerEngineSql.h"

#include <cctype>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/text/Strings.h"
#include "velabackup/data/Catalog.h"

namespace vela::data::postgres {
namespace {

enum class Lexeme { Word, Name, String, Number, Punct };

struct ServerToken {
  Lexeme kind = Lexeme::Punct;
  std::string text;  // Word: folded to lower case as the server folds it; Name: as quoted; others as read

  bool Is(std::string_view word) const { return kind == Lexeme::Word && text == word; }
  bool IsPunct(char c) const { return kind == Lexeme::Punct && text.size() == 1 && text[0] == c; }
};

bool StartsWord(unsigned char c) {
  return std::isalpha(c) || c == '_' || c >= 0x80;
}
bool InWord(unsigned char c) {
  return StartsWord(c) || std::isdigit(c) || c == '$';
}

// The server's lexical rules, as far as a statement's form needs them; nullopt for a quote, dollar quote
// or comment that is not closed.
std::optional<std::vector<ServerToken>> Lex(std::string_view sql) {
  std::vector<ServerToken> tokens;
  std::size_t i = 0;
  const std::size_t n = sql.size();
  // A quoted run from `i` (on the opening quote); a doubled quote stands for one, and with `escapes` a
  // backslash takes the next character as it stands.
  auto quoted = [&](char close, bool escapes, std::string& out) -> bool {
    ++i;
    while (i < n) {
      if (escapes && sql[i] == '\\' && i + 1 < n) {
        out += sql[i + 1];
        i += 2;
        continue;
      }
      if (sql[i] == close) {
        if (i + 1 < n && sql[i + 1] == close) {
          out += close;
          i += 2;
          continue;
        }
        ++i;
        return true;
      }
      out += sql[i++];
    }
    return false;
  };
  while (i < n) {
    const auto c = static_cast<unsigned char>(sql[i]);
    if (std::isspace(c)) {
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      while (i < n && sql[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      int depth = 0;
      do {
        if (sql.compare(i, 2, "/*") == 0) {
          ++depth;
          i += 2;
        } else if (sql.compare(i, 2, "*/") == 0) {
          --depth;
          i += 2;
        } else {
          ++i;
        }
      } while (depth > 0 && i < n);
      if (depth > 0) return std::nullopt;
      continue;
    }
    ServerToken token;
    // E'...', B'...', X'...', N'...' and U&'...': a string with its prefix; only E'' reads backslashes.
    const bool prefixed =
        (c == 'e' || c == 'E' || c == 'b' || c == 'B' || c == 'x' || c == 'X' || c == 'n' || c == 'N') &&
        i + 1 < n && sql[i + 1] == '\'';
    const bool unicode =
        (c == 'u' || c == 'U') && i + 2 < n && sql[i + 1] == '&' && (sql[i + 2] == '\'' || sql[i + 2] == '"');
    if (prefixed || unicode) {
      i += unicode ? 2 : 1;
      const char quote = sql[i];
      token.kind = quote == '"' ? Lexeme::Name : Lexeme::String;
      if (!quoted(quote, c == 'e' || c == 'E', token.text)) return std::nullopt;
    } else if (c == '\'') {
      token.kind = Lexeme::String;
      if (!quoted('\'', false, token.text)) return std::nullopt;
    } else if (c == '"') {
      token.kind = Lexeme::Name;
      if (!quoted('"', false, token.text)) return std::nullopt;
    } else if (c == '$' && i + 1 < n && std::isdigit(static_cast<unsigned char>(sql[i + 1]))) {
      token.kind = Lexeme::Number;  // a parameter, $1
      std::size_t start = i++;
      while (i < n && std::isdigit(static_cast<unsigned char>(sql[i]))) ++i;
      token.text = std::string(sql.substr(start, i - start));
    } else if (c == '$') {
      // $tag$ ... $tag$: the tag is a word or nothing.
      std::size_t close = i + 1;
      while (close < n && sql[close] != '$' && InWord(static_cast<unsigned char>(sql[close]))) ++close;
      if (close >= n || sql[close] != '$') {
        token.text = "$";
        ++i;
      } else {
        const std::string tag(sql.substr(i, close - i + 1));
        const std::size_t end = sql.find(tag, close + 1);
        if (end == std::string_view::npos) return std::nullopt;
        token.kind = Lexeme::String;
        token.text = std::string(sql.substr(close + 1, end - close - 1));
        i = end + tag.size();
      }
    } else if (std::isdigit(c) ||
               (c == '.' && i + 1 < n && std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
      token.kind = Lexeme::Number;
      std::size_t start = i;
      while (i < n && (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '.' || sql[i] == '_'))
        ++i;
      token.text = std::string(sql.substr(start, i - start));
    } else if (StartsWord(c)) {
      token.kind = Lexeme::Word;
      std::size_t start = i;
      while (i < n && InWord(static_cast<unsigned char>(sql[i]))) ++i;
      token.text = text::ToLower(sql.substr(start, i - start));
    } else {
      token.text = std::string(1, static_cast<char>(c));
      ++i;
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

// A name in the server's own schemas, where nothing from a backup is made.
bool ServerSchemaName(const std::string& schema) {
  return text::StartsWithNoCase(schema, "pg_") || text::EqualsNoCase(schema, "information_schema");
}

// Reads the statement's tokens in order; each step says what it found wrong, or "".
class ServerForm {
 public:
  explicit ServerForm(const std::vector<ServerToken>& tokens) : tokens_(tokens) {}

  bool AtEnd() const { return at_ >= tokens_.size(); }
  bool Word(const char* word) {
    if (AtEnd() || !tokens_[at_].Is(word)) return false;
    ++at_;
    return true;
  }
  bool Punct(char c) {
    if (AtEnd() || !tokens_[at_].IsPunct(c)) return false;
    ++at_;
    return true;
  }
  // A name, with its schema when one is given: "schema.name" or "name".
  std::optional<std::pair<std::string, std::string>> ReadName() {
    auto part = [&]() -> std::optional<std::string> {
      if (AtEnd()) return std::nullopt;
      const ServerToken& t = tokens_[at_];
      if (t.kind != Lexeme::Word && t.kind != Lexeme::Name) return std::nullopt;
      ++at_;
      return t.text;
    };
    std::optional<std::string> first = part();
    if (!first) return std::nullopt;
    if (!Punct('.')) return std::make_pair(std::string(), *first);
    std::optional<std::string> second = part();
    if (!second) return std::nullopt;
    return std::make_pair(*first, *second);
  }
  // The name of `what`, which must be `wanted`: "schema.name", or "name" for one of the default schema.
  // `bare`: the object lives in its table's schema and is named without one.
  std::string Name(const std::string& what, const std::string& wanted, bool bare = false) {
    std::optional<std::pair<std::string, std::string>> name = ReadName();
    if (!name) return "the SQL names no " + what;
    const auto& [schema, object] = *name;
    if (bare && !schema.empty()) return "the SQL names the " + what + " with a schema";
    if (!schema.empty() && ServerSchemaName(schema))
      return "the SQL makes the " + what + " in the server's own schema \"" + schema + "\"";
    const std::string given = schema.empty() || schema == "public" ? object : schema + "." + object;
    if (given != wanted)
      return "the SQL names the " + what + " \"" + (schema.empty() ? object : schema + "." + object) +
             "\", not \"" + wanted + "\"";
    return {};
  }
  // Exactly one statement: at most one ";", at the end.
  std::string OneStatement() const {
    for (std::size_t i = 0; i < tokens_.size(); ++i)
      if (tokens_[i].IsPunct(';') && i + 1 != tokens_.size()) return "the SQL holds more than one statement";
    return {};
  }
  // Nothing more but the closing ";".
  std::string Ends() const {
    if (AtEnd() || (at_ + 1 == tokens_.size() && tokens_[at_].IsPunct(';'))) return {};
    return "the SQL holds more than the statement of its form";
  }
  // Whether `word` stands outside parentheses from here on, and where; tokens_.size() when it does not.
  std::size_t FindOutside(const char* word) const {
    int depth = 0;
    for (std::size_t i = at_; i < tokens_.size(); ++i) {
      if (tokens_[i].IsPunct('(')) ++depth;
      if (tokens_[i].IsPunct(')')) --depth;
      if (depth == 0 && tokens_[i].Is(word)) return i;
    }
    return tokens_.size();
  }
  bool HasOutside(const char* word) const { return FindOutside(word) < tokens_.size(); }
  bool CommaOutside() const {
    int depth = 0;
    for (std::size_t i = at_; i < tokens_.size(); ++i) {
      if (tokens_[i].IsPunct('(')) ++depth;
      if (tokens_[i].IsPunct(')')) --depth;
      if (depth == 0 && tokens_[i].IsPunct(',')) return true;
    }
    return false;
  }
  // The statement's last words, before its closing ";".
  bool EndsWith(std::initializer_list<const char*> words) const {
    std::size_t end = tokens_.size();
    if (end > 0 && tokens_[end - 1].IsPunct(';')) --end;
    if (end < words.size()) return false;
    std::size_t i = end - words.size();
    for (const char* word : words)
      if (!tokens_[i++].Is(word)) return false;
    return true;
  }
  // The language the LANGUAGE clause names (outside parentheses, where an argument may be called
  // "language"), folded as the server folds a word; "sql" when there is none (a body in standard SQL).
  std::string Language() const {
    int depth = 0;
    for (std::size_t i = 0; i + 1 < tokens_.size(); ++i) {
      if (tokens_[i].IsPunct('(')) ++depth;
      if (tokens_[i].IsPunct(')')) --depth;
      if (depth == 0 && tokens_[i].Is("language") && tokens_[i + 1].kind != Lexeme::Punct)
        return tokens_[i + 1].text;
    }
    return "sql";
  }
  void MoveTo(std::size_t at) { at_ = at; }

 private:
  const std::vector<ServerToken>& tokens_;
  std::size_t at_ = 0;
};

std::string FormProblem(const EngineObject& object) {
  std::optional<std::vector<ServerToken>> tokens = Lex(object.sql);
  if (!tokens) return "the SQL holds a quote, dollar quote or comment that is not closed";
  ServerForm read(*tokens);
  if (std::string problem = read.OneStatement(); !problem.empty()) return problem;
  const std::string& kind = object.kind;
  if (kind == "constraint") {
    if (!read.Word("alter") || !read.Word("table"))
      return "the SQL is no ALTER TABLE ... ADD CONSTRAINT (a constraint is made by that alone)";
    read.Word("only");
    if (std::string problem = read.Name("table", object.table); !problem.empty()) return problem;
    if (!read.Word("add") || !read.Word("constraint")) return "the SQL does not add a constraint";
    if (std::string problem = read.Name(kind, object.name, true); !problem.empty()) return problem;
    if (!read.Word("check") && !read.Word("exclude")) return "the SQL adds no CHECK or EXCLUDE constraint";
    if (read.CommaOutside()) return "the SQL does more to the table than add the constraint";
    return {};
  }
  if (!read.Word("create")) return "the SQL is no CREATE statement";
  if (kind == "schema") {
    if (!read.Word("schema")) return "the SQL is no CREATE SCHEMA";
    if (read.Word("if") && !(read.Word("not") && read.Word("exists"))) return "the SQL is no CREATE SCHEMA";
    if (std::string problem = read.Name(kind, object.name); !problem.empty()) return problem;
    if (ServerSchemaName(object.name)) return "the SQL makes one of the server's own schemas";
    return read.Ends();
  }
  if (kind == "extension") {
    if (!read.Word("extension") || !read.Word("if") || !read.Word("not") || !read.Word("exists"))
      return "the SQL is no CREATE EXTENSION IF NOT EXISTS";
    if (std::string problem = read.Name(kind, object.name, true); !problem.empty()) return problem;
    if (read.Word("with")) {
      if (!read.Word("schema") || !read.ReadName()) return "the SQL gives the extension more than its schema";
    }
    return read.Ends();
  }
  if (kind == "function" || kind == "procedure" || kind == "aggregate") {
    if (read.Word("or") && !read.Word("replace")) return "the SQL is no CREATE OR REPLACE";
    if (!read.Word(kind.c_str())) return "the SQL is no CREATE " + text::ToUpper(kind);
    if (std::string problem = read.Name(kind, object.name); !problem.empty()) return problem;
    if (!read.Punct('(')) return "the SQL gives the " + kind + " no argument list";
    // Code in another language may reach the server's files, programs or network when it runs (C, the
    // untrusted procedural languages): a restore makes routines of SQL and PL/pgSQL only.
    if (const std::string language = read.Language(); language != "sql" && language != "plpgsql")
      return "the SQL's " + kind + " is written in the language " + language +
             ", and a restore makes routines in sql and plpgsql only";
    return {};
  }
  if (kind == "type" || kind == "domain" || kind == "sequence") {
    if (!read.Word(kind.c_str())) return "the SQL is no CREATE " + text::ToUpper(kind);
    if (std::string problem = read.Name(kind, object.name); !problem.empty()) return problem;
    if (kind == "type" && !(read.Word("as") && (read.Word("enum") || read.Word("range") || read.Punct('('))))
      return "the SQL makes no enum, range or composite type";
    if (kind == "domain" && !read.Word("as")) return "the SQL makes the domain over no type";
    return {};
  }
  if (kind == "table") {
    read.Word("unlogged");
    if (!read.Word("table")) return "the SQL is no CREATE TABLE";
    if (std::string problem = read.Name(kind, object.name); !problem.empty()) return problem;
    if (read.Word("partition")) {
      if (!read.Word("of") || !read.ReadName()) return "the SQL makes the table a partition of no table";
      return {};
    }
    if (!read.Punct('(')) return "the SQL makes the table from no column list";
    return {};
  }
  if (kind == "index") {
    read.Word("unique");
    if (!read.Word("index")) return "the SQL is no CREATE [UNIQUE] INDEX";
    if (std::string problem = read.Name(kind, object.name, true); !problem.empty()) return problem;
    if (!read.Word("on")) return "the SQL names no table after the index";
    read.Word("only");
    return read.Name("table", object.table);
  }
  if (kind == "trigger") {
    if (read.Word("or") && !read.Word("replace")) return "the SQL is no CREATE OR REPLACE";
    read.Word("constraint");
    if (!read.Word("trigger")) return "the SQL is no CREATE TRIGGER";
    if (std::string problem = read.Name(kind, object.name, true); !problem.empty()) return problem;
    read.MoveTo(read.FindOutside("on"));
    if (!read.Word("on")) return "the SQL names no table for the trigger";
    return read.Name("table", object.table);
  }
  if (kind == "view" || kind == "materialized view") {
    if (kind == "view" && read.Word("or") && !read.Word("replace")) return "the SQL is no CREATE OR REPLACE";
    if (kind == "materialized view" && !read.Word("materialized"))
      return "the SQL is no CREATE MATERIALIZED VIEW";
    if (!read.Word("view")) return "the SQL is no CREATE VIEW";
    if (std::string problem = read.Name(kind, object.name); !problem.empty()) return problem;
    if (!read.HasOutside("as")) return "the SQL gives the view no query";
    if (kind == "materialized view" && !read.EndsWith({"with", "no", "data"}))
      return "the SQL fills the materialized view as it makes it (no WITH NO DATA)";
    return {};
  }
  if (kind == "policy") {
    if (!read.Word("policy")) return "the SQL is no CREATE POLICY";
    if (std::string problem = read.Name(kind, object.name, true); !problem.empty()) return problem;
    if (!read.Word("on")) return "the SQL names no table for the policy";
    return read.Name("table", object.table);
  }
  return "this provider makes no " + kind;
}

}  // namespace

std::string CheckServerEngineSql(const EngineObject& object) {
  return FormProblem(object);
}

}  // namespace vela::data::postgres
