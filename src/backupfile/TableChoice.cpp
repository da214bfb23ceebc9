#include "backupfile/TableChoice.h"

#include <algorithm>
#include <set>

#include "backupfile/BackupDocument.h"
#include "component/Messages.h"
#include "component/Operation.h"
#include "platform/text/Strings.h"
#include "velabackup/Error.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela::backupfile {

namespace {

// The server's default schema, whose tables go by their name alone.
constexpr std::string_view kDefaultSchema = "public";
// The tables an error names when a pattern matches none of them.
constexpr std::size_t kTablesNamed = 8;

// The bytes of the UTF-8 character that begins at `at`.
std::size_t CharacterLength(std::string_view text, std::size_t at) {
  std::size_t length = 1;
  while (at + length < text.size() && (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80)
    ++length;
  return length;
}

// The wildcard match, * and ? over whole characters; `text` and `pattern` already in the case compared.
bool Wildcard(std::string_view pattern, std::string_view text) {
  std::size_t p = 0, t = 0;
  // Where the last * stood, and the text it was tried against: on a mismatch it takes one more character.
  std::size_t star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      t += CharacterLength(text, t);
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      resume += CharacterLength(text, resume);
      t = resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// Names compared as the engine compares them.
class NameSet {
 public:
  NameSet(const std::vector<std::string>& names, bool server) : server_(server) {
    for (const std::string& name : names) names_.insert(Key(name));
  }
  bool Has(std::string_view name) const { return !name.empty() && names_.contains(Key(name)); }
  bool Empty() const { return names_.empty(); }

 private:
  std::string Key(std::string_view name) const { return server_ ? std::string(name) : text::ToLower(name); }
  bool server_;
  std::set<std::string> names_;
};

std::string Qualified(const std::string& schema, const std::string& name) {
  return schema.empty() ? name : schema + "." + name;
}

}  // namespace

bool MatchesTablePattern(std::string_view pattern, std::string_view name, bool server) {
  if (!server) return Wildcard(text::ToLower(pattern), text::ToLower(name));
  const std::size_t dot = name.find('.');
  if (pattern.find('.') == std::string_view::npos)
    return Wildcard(pattern, dot == std::string_view::npos ? name : name.substr(dot + 1));
  if (dot != std::string_view::npos) return Wildcard(pattern, name);
  return Wildcard(pattern, std::string(kDefaultSchema) + "." + std::string(name));
}

std::vector<std::string> TablesLeftOut(const TableChoice& choice, const std::vector<std::string>& tables,
                                       bool server, const std::string& source) {
  auto matchesAny = [&](const std::vector<std::string>& patterns, const std::string& name) {
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
      return MatchesTablePattern(pattern, name, server);
    });
  };
  for (const auto& [patterns, what] :
       {std::pair{&choice.include, "to take"}, std::pair{&choice.exclude, "to leave out"}})
    for (const std::string& pattern : *patterns) {
      if (std::any_of(tables.begin(), tables.end(),
                      [&](const std::string& name) { return MatchesTablePattern(pattern, name, server); }))
        continue;
      std::string named;
      for (std::size_t i = 0; i < tables.size() && i < kTablesNamed; ++i)
        named += (i == 0 ? "" : ", ") + tables[i];
      if (tables.size() > kTablesNamed)
        named += " and " + std::to_string(tables.size() - kTablesNamed) + " more";
      throw Error(kInvalidArgument, kSourceComponent,
                  "The table pattern \"" + pattern + "\" (" + what + ") matches no table of " + source +
                      (tables.empty() ? ", which holds none" : "; its tables: " + named) +
                      (server ? "" : " (names compared without regard to letter case)"));
    }
  std::vector<std::string> leftOut;
  for (const std::string& name : tables)
    if ((!choice.include.empty() && !matchesAny(choice.include, name)) || matchesAny(choice.exclude, name))
      leftOut.push_back(name);
  return leftOut;
}

std::string LeaveTablesOut(BackupDocument& document, const std::vector<std::string>& leftOut, bool server) {
  const NameSet out(leftOut, server);
  if (out.Empty()) return {};
  std::string lines;
  // The tables whose own statement names a table left out: made from their columns instead.
  std::vector<std::string> unwritten;
  for (std::vector<TableEntry>& group : document.groups) {
    std::erase_if(group,
                  [&](const TableEntry& entry) { return entry.IsTable() && out.Has(entry.QualifiedName()); });
    for (TableEntry& entry : group) {
      const std::size_t before = entry.keys.size();
      std::erase_if(entry.keys, [&](const KeyEntry& key) {
        if (!out.Has(key.relatedTable)) return false;
        lines +=
            "\nkey " + key.name + " of table " + entry.QualifiedName() + " (to " + key.relatedTable + ")";
        return true;
      });
      if (entry.keys.size() != before) unwritten.push_back(entry.QualifiedName());
    }
  }
  if (!document.engineObjects) return lines;
  EngineObjectsEntry& objects = *document.engineObjects;
  const NameSet rewritten(unwritten, server);
  // A sequence that numbers a column of a table left out goes with it, its position and comment too.
  std::vector<std::string> sequences;
  for (const data::EngineState& state : objects.states)
    if (state.kind == "sequence" && out.Has(state.table))
      sequences.push_back(Qualified(state.schema, state.name));
  const NameSet sequencesOut(sequences, server);
  // A table keeps its own statement where the provider can say it without those keys.
  std::vector<std::string> said;
  for (data::EngineObject& object : objects.objects)
    if (object.kind == "table" && rewritten.Has(object.name))
      if (std::optional<std::string> sql = data::TableWithoutKeysTo(
              objects.provider, object, [&](std::string_view name) { return out.Has(name); })) {
        object.sql = std::move(*sql);
        said.push_back(object.name);
      }
  const NameSet resaid(said, server);
  std::erase_if(objects.objects, [&](const data::EngineObject& object) {
    const bool belongs = object.kind == "table" ? out.Has(object.name) ||
                                                      (rewritten.Has(object.name) && !resaid.Has(object.name))
                         : object.kind == "sequence" ? sequencesOut.Has(object.name)
                                                     : out.Has(object.table);
    // The statement of a table left out goes unsaid with its table.
    if (belongs && !(object.kind == "table" && out.Has(object.name))) {
      lines += '\n';
      lines += DescribeEngineObject(object);
      if (object.kind == "table") lines += ": its own statement, which names a table left out";
    }
    return belongs;
  });
  std::erase_if(objects.states, [&](const data::EngineState& state) {
    const std::string name = Qualified(state.schema, state.name);
    const bool onTable = state.kind == "row security" || state.kind == "trigger" ||
                         state.kind == "deferrable" ||
                         (state.kind == "comment" && (state.on == "table" || state.on == "column"));
    const bool belongs = (onTable && out.Has(name)) || out.Has(state.table) ||
                         (state.kind == "comment" && state.on == "sequence" && sequencesOut.Has(name));
    if (belongs) {
      lines += '\n';
      lines += DescribeEngineState(state);
    }
    return belongs;
  });
  return lines;
}

void CheckChoiceFitsMode(const TableChoice& choice, BackupModeEnum mode) {
  if (mode != bmDirectCopy || (!choice.ChoosesTables() && !choice.schemaOnly)) return;
  throw Error(kInvalidArgument, kSourceComponent,
              "A direct copy holds the whole database with its rows: a choice of tables or of the structure "
              "only needs a text backup (compressed or uncompressed)");
}

void TellWhatWentWithTables(Operation& operation, const std::string& lines) {
  if (lines.empty()) return;
  constexpr std::int32_t kInformationOk = 64;
  std::int32_t answer = kAnswerOk;
  operation.RaiseShowMessage(GetMessageText(65, lines), kInformationOk, kWentWithTablesGuid, answer);
}

}  // namespace vela::backupfile
