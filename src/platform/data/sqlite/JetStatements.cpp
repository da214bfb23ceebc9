#include "platform/data/sqlite/JetStatements.h"

#include <algorithm>
#include <cctype>

#include "platform/data/sqlite/SqliteApi.h"
#include "platform/text/Strings.h"
#include "velabackup/Error.h"
#include "velabackup/data/Types.h"

namespace vela::data::sqlite {
namespace {

// A cursor over tokens with the few moves the parsers need.
class Reader {
 public:
  Reader(const std::vector<Token>& tokens, std::size_t pos, std::size_t end)
      : tokens_(tokens), pos_(pos), end_(end) {}

  bool AtEnd() const { return pos_ >= end_; }
  const Token* Peek(std::size_t ahead = 0) const {
    return pos_ + ahead < end_ ? &tokens_[pos_ + ahead] : nullptr;
  }
  std::size_t Pos() const { return pos_; }
  const Token& Next() { return tokens_[pos_++]; }
  bool Accept(std::string_view word) {
    if (!AtEnd() && tokens_[pos_].Is(word)) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AcceptPunct(char c) {
    if (!AtEnd() && tokens_[pos_].IsPunct(c)) {
      ++pos_;
      return true;
    }
    return false;
  }
  // A possibly qualified name ("main"."t" gives t).
  std::optional<std::string> Name() {
    if (AtEnd() || !tokens_[pos_].IsName()) return std::nullopt;
    std::string name = tokens_[pos_++].text;
    if (!AtEnd() && tokens_[pos_].IsPunct('.') && Peek(1) != nullptr && Peek(1)->IsName()) {
      ++pos_;
      name = tokens_[pos_++].text;
    }
    return name;
  }
  // Skips a parenthesised group when one starts here.
  void SkipGroup() {
    if (!AcceptPunct('(')) return;
    int depth = 1;
    while (!AtEnd() && depth > 0) {
      const Token& t = Next();
      if (t.IsPunct('(')) ++depth;
      if (t.IsPunct(')')) --depth;
    }
  }
  // "(a [COLLATE x] [ASC|DESC], b ...)": the leading name of each item.
  std::vector<std::string> NameList(std::vector<std::pair<std::size_t, std::size_t>>* spans = nullptr) {
    std::vector<std::string> names;
    if (!AcceptPunct('(')) return names;
    while (!AtEnd() && !Peek()->IsPunct(')')) {
      std::size_t itemBegin = Peek()->begin;
      if (Peek()->IsName()) names.push_back(Peek()->text);
      int depth = 0;
      std::size_t itemEnd = itemBegin;
      while (!AtEnd()) {
        const Token& t = *Peek();
        if (depth == 0 && (t.IsPunct(',') || t.IsPunct(')'))) break;
        if (t.IsPunct('(')) ++depth;
        if (t.IsPunct(')')) --depth;
        itemEnd = t.end;
        ++pos_;
      }
      if (spans) spans->push_back({itemBegin, itemEnd});
      AcceptPunct(',');
    }
    AcceptPunct(')');
    return names;
  }

 private:
  const std::vector<Token>& tokens_;
  std::size_t pos_;
  std::size_t end_;
};

bool StartsConstraint(const Token& t) {
  return t.Is("CONSTRAINT") || t.Is("PRIMARY") || t.Is("UNIQUE") || t.Is("CHECK") || t.Is("FOREIGN") ||
         t.Is("REFERENCES") || t.Is("NOT") || t.Is("NULL") || t.Is("DEFAULT") || t.Is("COLLATE") ||
         t.Is("GENERATED") || t.Is("AS");
}

// "REFERENCES t (cols) [ON DELETE x] [ON UPDATE y] ..." from the REFERENCES keyword on; rules are
// collected when the caller wants them.
void ReadReferences(Reader& r, ConstraintDef& c, std::string* deleteRule, std::string* updateRule) {
  r.Accept("REFERENCES");
  if (auto table = r.Name()) c.refTable = *table;
  if (r.Peek() && r.Peek()->IsPunct('(')) c.refColumns = r.NameList();
  while (r.Accept("ON")) {
    bool isDelete = r.Accept("DELETE");
    if (!isDelete) r.Accept("UPDATE");
    std::string action;
    while (!r.AtEnd() && r.Peek()->kind == TokenKind::Word && !r.Peek()->Is("ON") && !r.Peek()->Is("MATCH") &&
           !r.Peek()->Is("NOT") && !r.Peek()->Is("DEFERRABLE")) {
      if (!action.empty()) action += ' ';
      action += text::ToUpper(r.Next().text);
    }
    std::string* target = isDelete ? deleteRule : updateRule;
    if (target) *target = action;
  }
}

// A table-level constraint from its first token (CONSTRAINT, PRIMARY, UNIQUE, FOREIGN, CHECK).
ConstraintDef ReadTableConstraint(Reader& r, std::string* deleteRule = nullptr,
                                  std::string* updateRule = nullptr) {
  ConstraintDef c;
  c.begin = r.Peek()->begin;
  if (r.Accept("CONSTRAINT")) {
    if (auto name = r.Name()) c.name = *name;
  }
  if (!r.AtEnd()) c.keyword = r.Peek()->begin;
  if (r.Accept("PRIMARY")) {
    r.Accept("KEY");
    c.kind = ConstraintDef::PrimaryKey;
    c.columns = r.NameList();
  } else if (r.Accept("UNIQUE")) {
    c.kind = ConstraintDef::Unique;
    c.columns = r.NameList();
  } else if (r.Accept("FOREIGN")) {
    r.Accept("KEY");
    c.kind = ConstraintDef::ForeignKey;
    c.columns = r.NameList();
    if (r.Peek() && r.Peek()->Is("REFERENCES")) ReadReferences(r, c, deleteRule, updateRule);
  }
  return c;
}

}  // namespace

int RuleCode(std::string_view action) {
  if (text::EqualsNoCase(action, "CASCADE")) return adRICascade;
  if (text::EqualsNoCase(action, "SET NULL")) return adRISetNull;
  if (text::EqualsNoCase(action, "SET DEFAULT")) return adRISetDefault;
  if (text::EqualsNoCase(action, "RESTRICT")) return adRIRestrict;
  return adRINone;
}

std::optional<TableDef> ParseCreateTable(std::string_view sql) {
  std::vector<Token> tokens;
  try {
    tokens = Tokenize(sql, Brackets::Engine);
  } catch (const Error&) {
    return std::nullopt;
  }
  Reader r(tokens, 0, tokens.size());
  if (!r.Accept("CREATE")) return std::nullopt;
  if (!r.Accept("TEMP")) r.Accept("TEMPORARY");
  if (!r.Accept("TABLE")) return std::nullopt;
  if (r.Accept("IF")) {
    r.Accept("NOT");
    r.Accept("EXISTS");
  }
  TableDef def;
  def.sql = std::string(sql);
  auto name = r.Name();
  if (!name || !r.AcceptPunct('(')) return std::nullopt;
  def.name = *name;

  std::size_t next = r.Pos();
  while (next < tokens.size()) {
    // One item: a column definition or a table constraint, up to a comma or the closing ")" at depth 0.
    std::size_t itemStart = next;
    std::size_t itemEnd = itemStart;
    int depth = 0;
    for (; itemEnd < tokens.size(); ++itemEnd) {
      const Token& t = tokens[itemEnd];
      if (depth == 0 && (t.IsPunct(',') || t.IsPunct(')'))) break;
      if (t.IsPunct('(')) ++depth;
      if (t.IsPunct(')')) --depth;
    }
    if (itemEnd >= tokens.size()) return std::nullopt;
    Reader item(tokens, itemStart, itemEnd);
    const Token& first = tokens[itemStart];
    if (itemStart == itemEnd) {
      // an empty item: malformed
      return std::nullopt;
    }
    if (first.Is("CONSTRAINT") || first.Is("PRIMARY") || first.Is("UNIQUE") || first.Is("FOREIGN") ||
        first.Is("CHECK")) {
      ConstraintDef c = ReadTableConstraint(item);
      c.end = tokens[itemEnd - 1].end;
      def.constraints.push_back(std::move(c));
    } else {
      ColumnDef column;
      column.name = item.Next().text;
      column.begin = first.begin;
      column.end = tokens[itemEnd - 1].end;
      std::size_t typeBegin = 0, typeEnd = 0;
      while (!item.AtEnd() && !StartsConstraint(*item.Peek())) {
        const Token& t = *item.Peek();
        if (typeBegin == 0) typeBegin = t.begin;
        if (t.IsPunct('(')) {
          item.SkipGroup();
          typeEnd = tokens[item.Pos() - 1].end;
        } else {
          typeEnd = item.Next().end;
        }
      }
      if (typeEnd > typeBegin) column.type = std::string(sql.substr(typeBegin, typeEnd - typeBegin));
      std::string pendingName;
      std::size_t pendingBegin = 0;
      while (!item.AtEnd()) {
        const Token& t = *item.Peek();
        std::size_t at = t.begin;
        if (item.Accept("CONSTRAINT")) {
          pendingBegin = at;
          if (auto n = item.Name()) pendingName = *n;
          continue;
        }
        ConstraintDef c;
        c.columnLevel = true;
        c.columns = {column.name};
        c.begin = pendingName.empty() ? at : pendingBegin;
        c.keyword = at;
        c.name = pendingName;
        if (item.Accept("PRIMARY")) {
          item.Accept("KEY");
          c.kind = ConstraintDef::PrimaryKey;
          while (!item.AtEnd() && !StartsConstraint(*item.Peek())) {
            if (item.Peek()->Is("AUTOINCREMENT")) c.autoincrement = true;
            item.Next();
          }
        } else if (item.Accept("UNIQUE")) {
          c.kind = ConstraintDef::Unique;
        } else if (item.Peek()->Is("REFERENCES")) {
          c.kind = ConstraintDef::ForeignKey;
          ReadReferences(item, c, nullptr, nullptr);
        } else {
          // NOT NULL, DEFAULT, CHECK, COLLATE ...: skipped with whatever belongs to them.
          item.Next();
          while (!item.AtEnd() && !StartsConstraint(*item.Peek())) {
            if (item.Peek()->IsPunct('('))
              item.SkipGroup();
            else
              item.Next();
          }
          pendingName.clear();
          continue;
        }
        c.end = item.Pos() > 0 ? tokens[item.Pos() - 1].end : at;
        pendingName.clear();
        def.constraints.push_back(std::move(c));
      }
      def.columns.push_back(std::move(column));
    }
    if (tokens[itemEnd].IsPunct(')')) {
      def.bodyEnd = tokens[itemEnd].begin;
      return def;
    }
    next = itemEnd + 1;
  }
  return std::nullopt;
}

std::optional<std::string> WithoutKeysTo(std::string_view sql,
                                         const std::function<bool(std::string_view table)>& leftOut) {
  const std::optional<TableDef> def = ParseCreateTable(sql);
  if (!def) return std::nullopt;
  const std::vector<Token> tokens = Tokenize(sql, Brackets::Engine);
  std::vector<std::pair<std::size_t, std::size_t>> cuts;  // [begin, end) of the text to take out
  for (const ConstraintDef& c : def->constraints) {
    if (c.kind != ConstraintDef::ForeignKey || !leftOut(c.refTable)) continue;
    std::size_t begin = c.begin, end = c.end;
    if (c.columnLevel) {
      // The clauses the column's reading passed over as its own: MATCH, [NOT] DEFERRABLE, INITIALLY.
      std::size_t t = 0;
      while (t < tokens.size() && tokens[t].begin < end) ++t;
      while (t < tokens.size()) {
        const Token& k = tokens[t];
        const std::size_t words =
            k.Is("MATCH") || k.Is("INITIALLY") ||
                    (k.Is("NOT") && t + 1 < tokens.size() && tokens[t + 1].Is("DEFERRABLE"))
                ? 2
            : k.Is("DEFERRABLE") ? 1
                                 : 0;
        if (words == 0 || t + words > tokens.size()) break;
        end = tokens[t + words - 1].end;
        t += words;
      }
    } else {
      // A table's constraint goes with the comma before it.
      for (const Token& k : tokens)
        if (k.end <= c.begin && k.IsPunct(',')) begin = k.begin;
    }
    cuts.emplace_back(begin, end);
  }
  std::string result(sql);
  std::sort(cuts.rbegin(), cuts.rend());
  for (const auto& [begin, end] : cuts) result.erase(begin, end - begin);
  return result;
}

std::optional<CreateIndexStatement> ParseCreateIndex(const std::vector<Token>& tokens, std::string_view sql) {
  Reader r(tokens, 0, tokens.size());
  CreateIndexStatement s;
  if (!r.Accept("CREATE")) return std::nullopt;
  s.unique = r.Accept("UNIQUE");
  if (!r.Accept("CLUSTERED")) r.Accept("NONCLUSTERED");
  if (!r.Accept("INDEX")) return std::nullopt;
  if (r.Accept("IF")) {
    r.Accept("NOT");
    r.Accept("EXISTS");
  }
  auto name = r.Name();
  if (!name || !r.Accept("ON")) return std::nullopt;
  auto table = r.Name();
  if (!table) return std::nullopt;
  s.name = *name;
  s.table = *table;
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  s.columns = r.NameList(&spans);
  if (s.columns.empty()) return std::nullopt;
  for (auto [b, e] : spans) s.columnTexts.push_back(RewriteBrackets(sql.substr(b, e - b)));
  if (r.Accept("WITH")) {
    while (!r.AtEnd()) {
      if (r.Accept("PRIMARY"))
        s.primary = true;
      else
        r.Next();
    }
  }
  if (!r.AtEnd() && !r.Peek()->IsPunct(';')) return std::nullopt;
  return s;
}

std::optional<AddConstraintStatement> ParseAddConstraint(const std::vector<Token>& tokens, std::string_view) {
  Reader r(tokens, 0, tokens.size());
  AddConstraintStatement s;
  if (!r.Accept("ALTER") || !r.Accept("TABLE")) return std::nullopt;
  auto table = r.Name();
  if (!table || !r.Accept("ADD") || r.AtEnd()) return std::nullopt;
  const Token& next = *r.Peek();
  if (!(next.Is("CONSTRAINT") || next.Is("PRIMARY") || next.Is("UNIQUE") || next.Is("FOREIGN")))
    return std::nullopt;
  s.table = *table;
  s.constraint = ReadTableConstraint(r, &s.deleteRule, &s.updateRule);
  if (s.constraint.kind == ConstraintDef::Other || s.constraint.columns.empty()) return std::nullopt;
  while (!r.AtEnd() && !r.Peek()->IsPunct(';')) r.Next();  // conflict clauses and the like
  return s;
}

std::optional<DropIndexStatement> ParseDropIndex(const std::vector<Token>& tokens) {
  Reader r(tokens, 0, tokens.size());
  if (!r.Accept("DROP") || !r.Accept("INDEX")) return std::nullopt;
  auto name = r.Name();
  if (!name || !r.Accept("ON")) return std::nullopt;
  auto table = r.Name();
  if (!table) return std::nullopt;
  return DropIndexStatement{*name, *table};
}

}  // namespace vela::data::sqlite
