// The tables a save takes from a database, or a restore from a backup, by the patterns of a TableChoice,
// and what of the backup document goes with the tables left out.
//
// Names are as the component gives them: a table of the server's default schema by its name, one of another
// schema as "schema.table". A pattern is a table's name with the wildcards * (any run of characters, none
// too) and ? (one character), compared as the engine compares names: without regard to letter case on the
// file engine, exactly on the server. On the server a pattern with a dot names the schema too ("sales.*",
// "public.orders", "*.log"); one without a dot matches the table's own name in whichever schema it is. On
// the file engine, which has no schemas, a pattern matches the whole name, dots and all.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "velabackup/Enums.h"
#include "velabackup/TableChoice.h"

namespace vela {
class Operation;
}  // namespace vela

namespace vela::backupfile {

struct BackupDocument;

// Whether `pattern` matches the table `name`; `server`: the names are a server database's.
bool MatchesTablePattern(std::string_view pattern, std::string_view name, bool server);

// The names of `tables` the choice leaves out (those no include pattern matches, when there are any, and
// those an exclude pattern matches), in their order. A pattern that matches none of `tables` fails with
// kInvalidArgument naming it and a few of the tables; `source` says where they are ("the database").
std::vector<std::string> TablesLeftOut(const TableChoice& choice, const std::vector<std::string>& tables,
                                       bool server, const std::string& source);

// Takes out of `document` (tables named as saved: name with schema beside) the tables named in `leftOut`
// and what refers to them: the keys of other tables to them, the engine objects and states that belong
// to them (an index, trigger, check, policy, comment, a sequence's position with its sequence), and the
// own statement of a table that has a key to one of them (the table is then made from its columns, and
// its other keys from the document). One line for each thing taken out but the tables themselves, for
// the notice that names them; empty when there is none.
std::string LeaveTablesOut(BackupDocument& document, const std::vector<std::string>& leftOut, bool server);

// A direct copy is the whole database: a choice of tables, or of structure only, fails with
// kInvalidArgument before anything is written.
void CheckChoiceFitsMode(const TableChoice& choice, BackupModeEnum mode);

// The one notice (OK) naming what went with the tables left out, when something did.
void TellWhatWentWithTables(Operation& operation, const std::string& lines);

}  // namespace vela::backupfile
