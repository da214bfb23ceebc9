// Index names on the server. PostgreSQL keeps the names of indexes (and so of primary keys and unique
// constraints) in one namespace with the tables, where other engines keep them per table: two tables may
// each have an index "PrimaryKey", and an index may share its table's name. An index whose name is taken
// is made under a free name and carries the name it was given in its comment, which the catalog reads back.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vela::data::postgres {

// The bytes of a name the server keeps (NAMEDATALEN - 1); it cuts longer ones short.
inline constexpr std::size_t kMaxNameBytes = 63;

// The name with the suffix after it, the name cut (at a character's first byte, never inside a UTF-8
// sequence) so that both fit the bytes the server keeps.
inline std::string NameWithSuffix(std::string_view name, std::string_view suffix) {
  std::size_t room = suffix.size() < kMaxNameBytes ? kMaxNameBytes - suffix.size() : 0;
  if (name.size() > room) {
    while (room > 0 && (static_cast<unsigned char>(name[room]) & 0xC0) == 0x80) --room;
    name = name.substr(0, room);
  }
  return std::string(name) + std::string(suffix);
}

inline constexpr std::string_view kIndexNameMark = "VelaBackup index name: ";

// The comment an index made under another name carries.
inline std::string IndexNameComment(std::string_view givenName) {
  return std::string(kIndexNameMark) + std::string(givenName);
}

// The name an index was given, when its comment says it; nullopt otherwise.
inline std::optional<std::string> NameFromIndexComment(std::string_view comment) {
  if (!comment.starts_with(kIndexNameMark)) return std::nullopt;
  comment.remove_prefix(kIndexNameMark.size());
  if (comment.empty()) return std::nullopt;
  return std::string(comment);
}

}  // namespace vela::data::postgres
