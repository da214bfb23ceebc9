#include "platform/data/SqlText.h"

#include <cctype>

#include "platform/text/Strings.h"
#include "velabackup/Error.h"
#include "velabackup/data/Types.h"

namespace vela::data {

namespace {

// Built by appending: "x" + text + "x" trips a false overlap warning of GCC 12's optimiser.
std::string Enclosed(char open, std::string_view inner, char close) {
  std::string out;
  out.reserve(inner.size() + 2);
  out += open;
  out += inner;
  out += close;
  return out;
}

}  // namespace

std::string BracketName(std::string_view name) {
  return Enclosed('[', text::ReplaceAll(name, "]", "]]"), ']');
}
std::string EscapeText(std::string_view text) {
  return text::ReplaceAll(text, "'", "''");
}
std::string QuoteText(std::string_view text) {
  return Enclosed('\'', EscapeText(text), '\'');
}

std::string RuleWords(int rule) {
  switch (rule) {
    case adRICascade:
      return "CASCADE";
    case adRISetNull:
      return "SET NULL";
    case adRISetDefault:
      return "SET DEFAULT";
    case adRIRestrict:
      return "RESTRICT";
    default:
      return {};
  }
}

std::string Unbracket(std::string_view name) {
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    return text::ReplaceAll(name.substr(1, name.size() - 2), "]]", "]");
  return std::string(name);
}

namespace {

bool IsWordChar(unsigned char c) {
  return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80;
}

[[noreturn]] void Unterminated(std::string_view what, std::size_t at) {
  throw Error(kCommandError, kSourceData,
              "Syntax error: unterminated " + std::string(what) + " at position " + std::to_string(at + 1));
}

// Reads a quoted run starting at `i` (on the opening quote); a doubled closing quote stands for one.
std::size_t ReadQuoted(std::string_view sql, std::size_t i, char close, bool doubling, std::string& out) {
  std::size_t start = i++;
  while (i < sql.size()) {
    if (sql[i] == close) {
      if (doubling && i + 1 < sql.size() && sql[i + 1] == close) {
        out += close;
        i += 2;
        continue;
      }
      return i + 1;
    }
    out += sql[i++];
  }
  Unterminated(close == '\'' ? "text" : "name", start);
}

}  // namespace

bool Token::Is(std::string_view word) const {
  return kind == TokenKind::Word && text::EqualsNoCase(text, word);
}

std::vector<Token> Tokenize(std::string_view sql, Brackets brackets) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < sql.size()) {
    unsigned char c = static_cast<unsigned char>(sql[i]);
    if (std::isspace(c)) {
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      while (i < sql.size() && sql[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      std::size_t close = sql.find("*/", i + 2);
      i = close == std::string_view::npos ? sql.size() : close + 2;
      continue;
    }
    Token token;
    token.begin = i;
    if ((c == 'x' || c == 'X') && i + 1 < sql.size() && sql[i + 1] == '\'') {
      std::string ignored;
      i = ReadQuoted(sql, i + 1, '\'', true, ignored);
      token.kind = TokenKind::Blob;
      token.text = std::string(sql.substr(token.begin, i - token.begin));
    } else if (c == '\'') {
      token.kind = TokenKind::String;
      i = ReadQuoted(sql, i, '\'', true, token.text);
    } else if (c == '"' || c == '`') {
      token.kind = TokenKind::Name;
      token.quote = static_cast<char>(c);
      i = ReadQuoted(sql, i, static_cast<char>(c), true, token.text);
    } else if (c == '[') {
      token.kind = TokenKind::Name;
      token.quote = '[';
      i = ReadQuoted(sql, i, ']', brackets == Brackets::Jet, token.text);
    } else if (std::isdigit(c) ||
               (c == '.' && i + 1 < sql.size() && std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
      token.kind = TokenKind::Number;
      while (i < sql.size()) {
        unsigned char d = static_cast<unsigned char>(sql[i]);
        if (std::isalnum(d) || d == '.') {
          ++i;
        } else if ((d == '+' || d == '-') && (sql[i - 1] == 'e' || sql[i - 1] == 'E')) {
          ++i;
        } else {
          break;
        }
      }
      token.text = std::string(sql.substr(token.begin, i - token.begin));
    } else if (c == '?' || c == ':' || c == '@' ||
               (c == '$' && i + 1 < sql.size() && IsWordChar(sql[i + 1]))) {
      token.kind = TokenKind::Parameter;
      ++i;
      while (i < sql.size() && IsWordChar(static_cast<unsigned char>(sql[i]))) ++i;
      token.text = std::string(sql.substr(token.begin, i - token.begin));
    } else if (IsWordChar(c)) {
      token.kind = TokenKind::Word;
      while (i < sql.size() && IsWordChar(static_cast<unsigned char>(sql[i]))) ++i;
      token.text = std::string(sql.substr(token.begin, i - token.begin));
    } else {
      token.kind = TokenKind::Punct;
      token.text = std::string(1, static_cast<char>(c));
      ++i;
    }
    token.end = i;
    tokens.push_back(std::move(token));
  }
  return tokens;
}

std::string QuoteName(std::string_view name) {
  return Enclosed('"', text::ReplaceAll(name, "\"", "\"\""), '"');
}

std::string RewriteBrackets(std::string_view jetSql) {
  std::string out;
  out.reserve(jetSql.size() + 8);
  std::size_t copied = 0;
  for (const Token& token : Tokenize(jetSql, Brackets::Jet)) {
    if (token.kind != TokenKind::Name || token.quote != '[') continue;
    out.append(jetSql.substr(copied, token.begin - copied));
    out += QuoteName(token.text);
    copied = token.end;
  }
  out.append(jetSql.substr(copied));
  return out;
}

std::string InsertStatement(std::string_view table, const std::vector<bool>& assigned,
                            const std::vector<std::string>& columns, bool numbered) {
  std::string names, marks;
  int parameter = 0;
  for (std::size_t i = 0; i < assigned.size(); ++i) {
    if (!assigned[i]) continue;
    if (!names.empty()) {
      names += ", ";
      marks += ", ";
    }
    names += QuoteName(columns[i]);
    marks += numbered ? "$" + std::to_string(++parameter) : "?";
  }
  std::string sql = "INSERT INTO " + std::string(table);
  return sql + (names.empty() ? std::string(" DEFAULT VALUES") : " (" + names + ") VALUES (" + marks + ")");
}

}  // namespace vela::data
