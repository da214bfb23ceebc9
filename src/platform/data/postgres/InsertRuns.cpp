#include "platform/data/postgres/InsertRuns.h"

#include <vector>

#include "platform/data/SqlText.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {

std::optional<InsertShape> ReadInsert(std::string_view insertSql, std::size_t parameters,
                                      const SchemaTest& isSchema) {
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
  InsertShape shape;
  std::size_t count = 0;
  for (;;) {
    const Token* column = next();
    if (column == nullptr || (column->kind != TokenKind::Name && column->kind != TokenKind::Word))
      return std::nullopt;
    shape.columns.push_back(column->text);
    ++count;
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
  shape.table = table->kind == TokenKind::Name ? BracketedNameSql(table->text, isSchema) : table->text;
  shape.given = (table->kind == TokenKind::Name ? "[" : "") + table->text;
  return shape;
}

InsertRun::InsertRun(const InsertShape& first, const std::vector<RunColumn>& tableColumns)
    : table_(first.table), given_(first.given) {
  auto named = [&](const std::string& name) {
    for (const std::string& column : first.columns)
      if (column == name) return true;
    return false;
  };
  for (const RunColumn& column : tableColumns)
    if (column.fillable || named(column.name)) columns_.push_back(column);
  // Columns the table does not report (it could not be read) still go as the INSERT names them.
  for (const std::string& name : first.columns) {
    bool known = false;
    for (const RunColumn& column : columns_) known = known || column.name == name;
    if (!known) columns_.push_back(RunColumn{name, false});
  }
  copy_ = "COPY " + table_ + " (";
  for (std::size_t i = 0; i < columns_.size(); ++i)
    copy_ += (i == 0 ? "" : ", ") + QuoteName(columns_[i].name);
  copy_ += ") FROM STDIN";
}

const std::vector<int>* InsertRun::Positions(std::string_view sql, std::size_t parameters) {
  if (lastPositions_ != nullptr && sql == lastSql_ && lastPositions_->size() == parameters)
    return lastPositions_;
  auto found = shapes_.find(sql);
  if (found == shapes_.end()) {
    std::optional<std::vector<int>> positions;
    std::optional<InsertShape> shape = ReadInsert(sql, parameters);
    if (shape && shape->given == given_) {
      positions.emplace();
      std::vector<bool> given(columns_.size(), false);
      for (const std::string& name : shape->columns) {
        int at = -1;
        for (std::size_t i = 0; i < columns_.size() && at < 0; ++i)
          if (columns_[i].name == name && !given[i]) at = static_cast<int>(i);
        if (at < 0) {
          positions.reset();
          break;
        }
        given[at] = true;
        positions->push_back(at);
      }
      for (std::size_t i = 0; positions && i < columns_.size(); ++i)
        if (!given[i] && !columns_[i].fillable) positions.reset();
    }
    if (shapes_.size() >= 4096) {
      shapes_.clear();  // a bound for tables with very many NULL patterns
      lastPositions_ = nullptr;
    }
    found = shapes_.emplace(std::string(sql), std::move(positions)).first;
  }
  if (!found->second) return nullptr;
  lastSql_.assign(sql);
  lastPositions_ = &*found->second;
  return lastPositions_;
}

namespace {

// A text value as COPY's text format reads it: backslash, tab, newline and carriage return escaped; the
// runs between them go in whole.
void AppendEscaped(std::string& out, const char* value) {
  const char* run = value;
  for (const char* p = value;; ++p) {
    const char c = *p;
    if (c != '\\' && c != '\t' && c != '\n' && c != '\r' && c != '\0') continue;
    out.append(run, p);
    if (c == '\0') return;
    out += '\\';
    out += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
    run = p + 1;
  }
}

// bytea in its hex form, its backslash doubled for COPY.
void AppendHex(std::string& out, const char* value, int length) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::size_t at = out.size();
  out.resize(at + 3 + 2 * static_cast<std::size_t>(length));
  char* to = out.data() + at;
  *to++ = '\\';
  *to++ = '\\';
  *to++ = 'x';
  for (int b = 0; b < length; ++b) {
    const auto byte = static_cast<unsigned char>(value[b]);
    *to++ = kHex[byte >> 4];
    *to++ = kHex[byte & 15];
  }
}

}  // namespace

void InsertRun::Append(const BoundParameters& row, const std::vector<int>& positions, std::string& out) {
  values_.assign(columns_.size(), -1);
  for (std::size_t i = 0; i < positions.size(); ++i) values_[positions[i]] = static_cast<int>(i);
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    if (c > 0) out += '\t';
    const int i = values_[c];
    const char* value = i < 0 ? nullptr : row.Values()[i];
    if (value == nullptr)
      out += "\\N";
    else if (row.Formats()[i] == 1)
      AppendHex(out, value, row.Lengths()[i]);
    else
      AppendEscaped(out, value);
  }
  out += '\n';
}

}  // namespace vela::data::postgres
