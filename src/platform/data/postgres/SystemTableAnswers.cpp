#include "platform/data/postgres/SystemTableAnswers.h"

#include "platform/data/BufferedRecordset.h"
#include "platform/data/Canonical.h"
#include "platform/data/SqlText.h"
#include "platform/data/postgres/IndexNames.h"
#include "platform/data/postgres/ServerProvider.h"
#include "platform/data/postgres/ServerValues.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {

namespace {

// The server's type numbers of the columns a kept value is compared with.
constexpr Oid kNameType = 19, kInt8Type = 20, kInt2Type = 21, kInt4Type = 23, kTextType = 25, kOidType = 26,
              kVarcharType = 1043;

// Words that end the conditions of a query or join them otherwise than by AND.
bool EndsConditions(const Token& token) {
  for (std::string_view word : {"OR", "BETWEEN", "ORDER", "GROUP", "HAVING", "UNION", "EXCEPT", "INTERSECT",
                                "LIMIT", "OFFSET", "FETCH", "FOR", "INTO", "WINDOW"})
    if (token.Is(word)) return true;
  return token.IsPunct(';');
}

bool IsNameToken(const Token& token) {
  return token.kind == TokenKind::Word || token.kind == TokenKind::Name;
}

}  // namespace

std::optional<EqualityQuery> ReadEqualityQuery(std::string_view sql) {
  std::vector<Token> tokens;
  try {
    tokens = Tokenize(sql, Brackets::Jet);
  } catch (const Error&) {
    return std::nullopt;
  }
  if (tokens.size() < 4 || !tokens[0].Is("SELECT") || tokens[1].Is("DISTINCT") || tokens[1].Is("TOP") ||
      tokens[1].Is("ALL"))
    return std::nullopt;
  auto written = [&](std::size_t first, std::size_t last) {  // tokens [first, last) as written
    return std::string(sql.substr(tokens[first].begin, tokens[last - 1].end - tokens[first].begin));
  };

  // FROM and WHERE at the top level; the select list calls no function.
  std::size_t from = 0, where = 0;
  int depth = 0;
  for (std::size_t i = 1; i < tokens.size() && where == 0; ++i) {
    if (tokens[i].IsPunct('(')) {
      if (from == 0) return std::nullopt;
      ++depth;
    } else if (tokens[i].IsPunct(')')) {
      --depth;
    } else if (depth == 0 && from == 0 && tokens[i].Is("FROM")) {
      from = i;
    } else if (depth == 0 && from != 0 && tokens[i].Is("WHERE")) {
      where = i;
    } else if (depth == 0 && EndsConditions(tokens[i])) {
      return std::nullopt;
    }
  }
  if (from <= 1 || where <= from + 1 || where + 1 >= tokens.size()) return std::nullopt;

  // The conditions, joined by AND at the top level.
  EqualityQuery query;
  std::vector<std::string> columns, others;
  std::size_t start = where + 1;
  depth = 0;
  for (std::size_t i = start; i <= tokens.size(); ++i) {
    if (i < tokens.size()) {
      const Token& token = tokens[i];
      if (token.IsPunct('(')) ++depth;
      if (token.IsPunct(')')) --depth;
      if (depth == 0 && EndsConditions(token)) return std::nullopt;
      if (depth != 0 || !token.Is("AND")) continue;
    }
    if (i == start) return std::nullopt;
    // name[.name ...] = 'text' | number
    std::size_t at = start;
    while (at + 1 < i && IsNameToken(tokens[at]) && tokens[at + 1].IsPunct('.')) at += 2;
    const bool equality = at + 3 == i && IsNameToken(tokens[at]) && tokens[at + 1].IsPunct('=') &&
                          (tokens[at + 2].kind == TokenKind::String ||
                           (tokens[at + 2].kind == TokenKind::Number &&
                            tokens[at + 2].text.find_first_not_of("0123456789") == std::string::npos));
    if (equality) {
      columns.push_back(written(start, at + 1));
      query.values.push_back(tokens[at + 2].text);
      query.numbers.push_back(tokens[at + 2].kind == TokenKind::Number);
    } else {
      others.push_back(written(start, i));
    }
    start = i + 1;
  }
  if (columns.empty()) return std::nullopt;

  query.wide = "SELECT ";
  for (const std::string& column : columns) query.wide += column + ", ";
  query.wide += written(1, where);
  for (std::size_t i = 0; i < others.size(); ++i) query.wide += (i == 0 ? " WHERE " : " AND ") + others[i];
  return query;
}

std::unique_ptr<Recordset> SystemTableAnswers::Answer(std::string_view sql) {
  std::optional<EqualityQuery> query = ReadEqualityQuery(sql);
  if (!query) return nullptr;
  ResultHandle& wide = wide_[query->wide];
  if (wide == nullptr) wide = read_(query->wide);
  const PGresult* r = wide.get();
  const int kept = static_cast<int>(query->values.size());
  if (PQnfields(r) <= kept) return nullptr;

  // Each column's test, as the server compares the column with the value written.
  std::vector<std::function<bool(const char*)>> tests;
  for (int c = 0; c < kept; ++c) {
    const std::string& value = query->values[c];
    const Oid type = PQftype(r, c);
    if (type == kNameType || type == kTextType || type == kVarcharType) {
      if (query->numbers[c]) return nullptr;
      // A name holds as many bytes as the server keeps, and so does the text compared with it.
      std::string wanted = type == kNameType ? NameWithSuffix(value, "") : value;
      tests.push_back([wanted = std::move(wanted)](const char* cell) { return wanted == cell; });
    } else if (type == kInt2Type || type == kInt4Type || type == kInt8Type || type == kOidType) {
      std::int64_t wanted = 0;
      if (!ParseInt(value, wanted)) return nullptr;
      tests.push_back([wanted](const char* cell) {
        std::int64_t held = 0;
        return ParseInt(cell, held) && held == wanted;
      });
    } else {
      return nullptr;
    }
  }

  std::vector<FieldInfo> fields;
  for (int c = kept; c < PQnfields(r); ++c) fields.push_back(FieldFromResult(r, c));
  std::vector<std::vector<Value>> rows;
  for (int row = 0; row < PQntuples(r); ++row) {
    bool match = true;
    for (int c = 0; c < kept && match; ++c)
      match = !PQgetisnull(r, row, c) && tests[c](PQgetvalue(r, row, c));
    if (!match) continue;
    std::vector<Value>& values = rows.emplace_back();
    for (int c = kept; c < PQnfields(r); ++c) values.push_back(ValueFromResult(r, row, c));
  }
  return std::make_unique<BufferedRecordset>(std::move(fields), std::move(rows), kSource);
}

}  // namespace vela::data::postgres
