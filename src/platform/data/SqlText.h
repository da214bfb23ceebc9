// SQL text as the data layer reads and writes it, for every engine.
//
// The component speaks one dialect: names in brackets ([name], a "]" inside doubled), texts in single
// quotes (a "'" inside doubled). BracketName and QuoteText are the one place where a name or a text is put
// into SQL: a backup file is untrusted input, and a table called "a]; DROP TABLE b" must stay one name.
// A provider whose engine quotes names otherwise reads the component's statements with the tokenizer,
// which knows both quoting conventions, and rewrites the bracketed names (RewriteBrackets); it never edits
// a statement by replacing text in it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vela::data {

// "[" + name with every "]" doubled + "]".
std::string BracketName(std::string_view name);
// The text with every "'" doubled, for use between quotes.
std::string EscapeText(std::string_view text);
// "'" + EscapeText(text) + "'".
std::string QuoteText(std::string_view text);
// A name as the catalog knows it: one enclosing "[...]" pair removed (with "]]" inside read as "]");
// a name without brackets is returned unchanged.
std::string Unbracket(std::string_view name);
// The words of a foreign key's rule (RuleEnum) after ON DELETE / ON UPDATE, the same on both engines;
// empty for NO ACTION, which both take when the rule is left unsaid.
std::string RuleWords(int rule);

enum class TokenKind { Word, Name, String, Number, Blob, Parameter, Punct };

struct Token {
  TokenKind kind = TokenKind::Punct;
  std::string text;       // Word/Name: the name without quotes; String: the value; others: as written
  char quote = 0;         // Name: the opening quote character ('"', '[', '`')
  std::size_t begin = 0;  // span in the source text
  std::size_t end = 0;

  bool Is(std::string_view word) const;  // a bare word, compared without regard to case
  bool IsPunct(char c) const { return kind == TokenKind::Punct && text.size() == 1 && text[0] == c; }
  bool IsName() const {
    return kind == TokenKind::Word || kind == TokenKind::Name || kind == TokenKind::String;
  }
};

enum class Brackets { Engine, Jet };

// Comments and blanks are dropped. An unterminated quote fails with kCommandError.
std::vector<Token> Tokenize(std::string_view sql, Brackets brackets);

std::string QuoteName(std::string_view name);  // "name", a '"' doubled

// The INSERT of the columns a new row was given (assigned[i]: column i has a value): "INSERT INTO table
// ("a", "b") VALUES (?, ?)", with the engine's placeholders ("$1", "$2" when `numbered`), or "INSERT INTO
// table DEFAULT VALUES" for a row given none. `table` is put in as it stands.
std::string InsertStatement(std::string_view table, const std::vector<bool>& assigned,
                            const std::vector<std::string>& columns, bool numbered);

// The Jet text with every [bracketed] name turned into a "quoted" one; nothing else changes.
std::string RewriteBrackets(std::string_view jetSql);

}  // namespace vela::data
