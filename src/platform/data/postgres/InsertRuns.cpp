#include "platform/data/postgres/InsertRuns.h"

#include <vector>

#include "platform/data/SqlText.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {

std::optional<std::string> CopyStatementFor(std::string_view insertSql, std::size_t parameters) {
  std::vector<Token> tokens;
  try {
    tokens = Tokenize(insertSql, Brackets::Jet);
  } catch (const Error&) {
    return std::nullopt;
  }
  std::size_t at = 0;
  auto next = [&]() -> const Token* { return at < tokens.size() ? &tokens[at++] : nullptr; };
  auto punct = [&](char c) {
    const Token* token = next();
    return token != nullptr && token->IsPunct(c);
  };
  const Token* token = next();
  if (token == nullptr || !token->Is("INSERT")) return std::nullopt;
  token = next();
  if (token == nullptr || !token->Is("INTO")) return std::nullopt;
  const Token* table = next();
  if (table == nullptr || (table->kind != TokenKind::Name && table->kind != TokenKind::Word))
    return std::nullopt;
  if (!punct('(')) return std::nullopt;
  std::string columns;
  std::size_t count = 0;
  for (;;) {
    const Token* column = next();
    if (column == nullptr || (column->kind != TokenKind::Name && column->kind != TokenKind::Word))
      return std::nullopt;
    columns += (count++ == 0 ? "" : ", ") + QuoteName(column->text);
    token = next();
    if (token == nullptr) return std::nullopt;
    if (token->IsPunct(')')) break;
    if (!token->IsPunct(',')) return std::nullopt;
  }
  token = next();
  if (token == nullptr || !token->Is("VALUES") || !punct('(')) return std::nullopt;
  for (std::size_t i = 0; i < count; ++i) {
    token = next();
    if (token == nullptr || token->kind != TokenKind::Parameter || token->text != "?") return std::nullopt;
    if (!punct(i + 1 == count ? ')' : ',')) return std::nullopt;
  }
  if (at != tokens.size() || count != parameters) return std::nullopt;
  // A bare word is a name the server folds to lower case, as it would in the INSERT.
  std::string name = table->kind == TokenKind::Name ? QuoteName(table->text) : table->text;
  return "COPY " + name + " (" + columns + ") FROM STDIN";
}

void AppendCopyRow(const BoundParameters& row, std::string& buffer) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < row.Count(); ++i) {
    if (i > 0) buffer += '\t';
    const char* value = row.Values()[i];
    if (value == nullptr) {
      buffer += "\\N";
      continue;
    }
    if (row.Formats()[i] == 1) {
      // bytea in its hex form, its backslash doubled for COPY.
      const int length = row.Lengths()[i];
      buffer += "\\\\x";
      for (int b = 0; b < length; ++b) {
        auto byte = static_cast<unsigned char>(value[b]);
        buffer += kHex[byte >> 4];
        buffer += kHex[byte & 15];
      }
      continue;
    }
    for (const char* c = value; *c != '\0'; ++c) {
      switch (*c) {
        case '\\':
          buffer += "\\\\";
          break;
        case '\t':
          buffer += "\\t";
          break;
        case '\n':
          buffer += "\\n";
          break;
        case '\r':
          buffer += "\\r";
          break;
        default:
          buffer += *c;
      }
    }
  }
  buffer += '\n';
}

}  // namespace vela::data::postgres
