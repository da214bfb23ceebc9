// The restore: a backup file into a new database.
//
// The archive is unpacked into the work folder, but for the table data files, which are read where they lie
// in it as each table is restored; a file of an older layout is handed to the user as a
// folder; a text backup gets a new, empty target database that is rebuilt table by table (structure,
// rows, defaults, indexes), then its foreign keys; a direct copy is put back whole. A cancelled restore, or
// one whose foreign keys the target refuses, drops the partly built target and returns False. A failure
// leaves the work folder and the partly built target as they are; the next restore of the same object
// starts from a clean work folder. Where the target exists and the restore replaces only part of it, or the
// login owns it but may not create databases, the restore works on the target itself within one transaction
// on the server, and on a copy of the file made aside (InPlace.cpp), with the same promise.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "backupfile/BackupDocument.h"
#include "component/Operation.h"
#include "restore/RowTarget.h"
#include "velabackup/Enums.h"
#include "velabackup/TableChoice.h"

namespace vela {

class Error;
class Procedure;
namespace backupfile {
class MemberIndex;
}  // namespace backupfile
namespace zip {
class ArchiveReader;
struct MemberStat;
}  // namespace zip
namespace data {
class Catalog;
class Connection;
struct Column;
struct Table;
class Value;
}  // namespace data

class Restorer {
 public:
  // `mode` is the object's backup mode; the restore sets it to the mode the backup file records.
  // `role`: the role the server restore's statements run as; empty: the login's own.
  Restorer(Operation& operation, BackupModeEnum& mode, std::string role = {})
      : operation_(operation), m_BackupMode(mode), m_Role(std::move(role)) {}

  // A protected target file may be replaced by a plain one.
  bool m_ReplaceProtectedWithPlain = false;
  // The restore brings back tables chosen by name: into an existing target it replaces only the tables it
  // restores and keeps the target's others.
  bool m_ReplaceChosenTablesOnly = false;
  // The tables the restore brings back, and whether with their rows (CBackup::Tables).
  TableChoice m_Tables;
  // How many tables a restore into a new server database makes and fills at once, each on a connection of
  // its own; the file engine, which writes on one connection at a time, and a restore in place take them
  // one by one. The events, the notices and the database made are the same whatever the number.
  std::size_t m_Jobs = 1;

  // True when the restore ran to its end.
  bool Restore(const std::string& connectionString, const std::string& sourceFilePath,
               bool intelligentTableStructure, const std::string& msAccessIgnoreRelations,
               const std::string& msAccessDBPassword);

  // The password of an encrypted backup file (CBackup::SetArchivePassword); without one, the password
  // given for a new file database (MSAccessDBPassword, else the connection string's) is tried. A text
  // backup that was encrypted restores into a protected file: with the password given for it, else with
  // the backup file's, as the database it was saved from was protected.
  void SetArchivePassword(std::string password) { m_ArchivePassword = std::move(password); }

 private:
  struct RestorationObjects {
    std::optional<backupfile::BackupDocument> document;
    std::unique_ptr<data::Connection> connection;
    std::unique_ptr<data::Catalog> catalog;
    RestorationObjects();
    ~RestorationObjects();
  };
  void InitializeRestorationObjects(const std::string& connectionString, RestorationObjects& objects);

  // The two kinds of restore. Each builds the new database aside and returns whether it is complete;
  // Conclude then puts it in the target's place (and only then raises RestoreAdditionalFiles and the final
  // event; a cancel from them changes nothing), or drops it when the restore was cancelled, and returns
  // the restore's result. They run within the Restore procedure (`at`).
  bool RestoreDirectCopy(Procedure& at, const std::string& connectionString,
                         const std::string& msAccessDBPassword, RestorationObjects& objects);
  bool RestoreText(Procedure& at, const std::string& connectionString, const backupfile::MemberIndex& members,
                   const std::string& msAccessIgnoreRelations, const std::string& msAccessDBPassword,
                   RestorationObjects& objects);
  bool Conclude(Procedure& at, bool success, const std::string& connectionString,
                RestorationObjects& objects);

  // Takes the tables the choice leaves out, and what refers to them, out of the document (tables named as
  // saved; `serverNames`: the backup is of a server database), and the rows the restore does not bring
  // back out of the restore folder; a pattern that matches no table of the backup fails the restore.
  void ChooseTables(backupfile::BackupDocument& document, bool serverNames);

  // A backup file of an older layout: unpacked into a folder for the user instead.
  void HandleObsoleteBackupVersion(const std::string& connectionString, const std::string& sourceFilePath);

  // The target database. The new one is made aside (m_Aside: a file beside the target, a database on the
  // same server) and takes the target's place only when the restore succeeded; a failed, refused or
  // cancelled restore removes it and leaves the target as it was.
  bool CreateDatabase(const std::string& connectionString, const std::string& msAccessDBPassword);

  // Where a text restore builds (InPlace.cpp). Aside: a new database, as above. In place: on the existing
  // server target itself, inside one transaction that only Conclude commits, for a login that owns the
  // target but may not create databases, and for chosen tables replaced in an existing target; a failure
  // or cancel closes the connection uncommitted and the target stays as it was. Copy aside: chosen tables
  // replaced in an existing file, in a consistent copy of it that is put in place as a new file would be.
  enum class Placing { kAside, kInPlace, kCopyAside };
  Placing m_Placing = Placing::kAside;
  // Chooses the placing, makes or opens what the restore builds in and opens `objects` on it; false when
  // refused.
  bool OpenBuild(const std::string& connectionString, const std::string& msAccessDBPassword,
                 RestorationObjects& objects);
  // Removes from a target built in place or copied aside what the restore replaces: the document's tables
  // when chosen tables are replaced, else every object of the schemas the document's tables are in. False,
  // with the objects in the way named (message 70), when something stops that; nothing is changed then.
  bool MakeRoom(const std::string& connectionString, const backupfile::BackupDocument& document,
                data::Catalog& catalog);
  // The connection string that opens a new file database made with a password: a caller who gave the
  // password for the new file but not in the connection string would otherwise be locked out of it.
  static std::string WithDatabasePassword(const std::string& connectionString, const std::string& password);
  // The connection string under the restore's role, if it has one.
  std::string WithRole(const std::string& connectionString) const;
  // Whether the target may be replaced by what the restore makes: a protected file is replaced by a plain
  // one only when the caller allows it; a refusal is shown and recorded. Asked before anything is made.
  bool MayReplaceTarget(const std::string& connectionString, const std::string& msAccessDBPassword);
  // The connection string of the database to build aside (m_Aside), once the leftovers of restores of the
  // same target that did not finish, and work folders nobody holds, are removed (a notice names them).
  std::string NewAside(const std::string& connectionString);
  bool DropDatabase(const std::string& connectionString);
  bool PutInPlace(const std::string& connectionString);
  // The connection string of the database to build aside, under the restore's role.
  std::string AsideOf(const std::string& connectionString) const;
  // Fails when the restore has a role and the target is no server database, or the login may not become
  // the role there.
  void CheckRole(const std::string& connectionString) const;
  // Removes the database built aside, if one is left; nothing it meets on the way is raised.
  void DropAside() noexcept;

  // A file database holds 64-bit integers in any integer column and texts and numbers of any length
  // whatever a column declares: onto the server a column whose saved values are wider than its type (the
  // document's MaxLength, MaxDigits, MaxScale) gets a type that holds them.
  static void WidenFileColumns(backupfile::BackupDocument& document);

  // Tables and columns: each table created through the catalog with its columns mapped to the target
  // engine, its rows loaded, its stored defaults applied and its indexes built.
  void RestoreTables(const backupfile::BackupDocument& document, data::Connection& connection,
                     data::Catalog& catalog);
  // One entry of the document, with the progress of its group.
  struct TableItem {
    const backupfile::TableEntry* entry;
    std::int32_t percent;
  };
  // What the restore of every table reads: the separators its rows were saved with, and the file tables
  // that travel with their own statement (by lower-case name).
  // With several jobs, `making` has them make their tables one at a time: the server finds the names of a
  // new table's schema and objects free by reading its catalog before it makes them.
  struct TableSettings {
    Separators separators;
    std::map<std::string, const data::EngineObject*> statements;
    std::mutex* making = nullptr;
  };
  // Makes one entry's table, fills it and makes its defaults and indexes (`at`: RestoreTables' own).
  void RestoreEntry(Procedure& at, const backupfile::TableEntry& entry, std::int32_t percent,
                    const backupfile::BackupDocument& document, const TableSettings& settings,
                    data::Connection& connection, data::Catalog& catalog);
  // Tables at once (TablesAtOnce.cpp): how many jobs the entries get, and their restore on that many
  // connections to the database built aside. Each entry is restored by a restorer of its own on a job, its
  // events raised here in the entries' order; what it leaves to tell is taken over in that order too.
  // RestoreTablesAtOnce is false, having done nothing, when the server takes no further session.
  std::size_t TablesAtOnce(const std::vector<TableItem>& items) const;
  bool RestoreTablesAtOnce(Procedure& at, const std::vector<TableItem>& items,
                           const backupfile::BackupDocument& document, const TableSettings& settings);
  // The restorer of one entry on a job: the settings of `main`, the events of `operation`, the backup file
  // read through `archive` (the job's own), and nothing yet to tell.
  Restorer(const Restorer& main, Operation& operation, std::shared_ptr<const zip::ArchiveReader> archive);
  // What the restorer of one entry leaves to tell, after what this one has.
  void TakeOver(const Restorer& entry);
  void RestoreTable(const backupfile::TableEntry& table, data::Catalog& catalog);
  // Makes a file table by the statement it was saved with; false, with the refusal recorded, when the
  // target refuses it (the catalog makes it then).
  bool MakeAsWritten(const data::EngineObject& statement, data::Catalog& catalog);
  bool MadeAsWritten(std::string_view table) const;
  // The target refusing an object is recorded (the object is left out); a disk or memory that fails under
  // it is thrown on, ending the restore, since what was being written may be gone with the object.
  void RecordRefusal(const Error& error, const char* where, const Procedure& at);
  std::int64_t CountRows(const std::string& table, data::Connection& connection);
  // The indexes of a table made as written that its statement did not make and no engine object makes.
  backupfile::TableEntry IndexesBeyondStatement(const backupfile::TableEntry& entry, const data::Table& made,
                                                const backupfile::BackupDocument& document) const;
  // Whether an index engine object is one of its table's document indexes the restore already made.
  bool MadeFromDocument(const data::EngineObject& object, const backupfile::BackupDocument& document) const;
  bool ColumnHasPK(const backupfile::TableEntry& table, const std::string& columnName);
  void RestoreTableDefault(const backupfile::TableEntry& entry, const data::Table& table,
                           data::Connection& connection);
  void SetColumnDefault(const std::string& tableName, const data::Column& column, const data::Value& value,
                        data::Connection& connection);

  // The table data files the document names, which the unpacking leaves in the backup file.
  std::unordered_set<std::string> DataMembers(const zip::ArchiveReader& archive) const;
  // The member that holds the table's data file, read where it lies in the backup file; nullptr when there
  // is none, or its rows were left out: the table is made without rows.
  const zip::MemberStat* DataMember(const backupfile::TableEntry& table) const;
  // Data: the rows of one table data file into its freshly created table, through the row target of the
  // target engine (RowTarget.h). The number of rows handed to the table.
  std::int64_t RestoreData(const backupfile::TableEntry& table, const zip::MemberStat& dataMember,
                           data::Connection& connection, const std::string& tableName, data::Catalog& catalog,
                           const Separators& separators, std::int32_t progress, ChangedValues& changed);

  // Indexes: the primary key and the indexes of one restored table, each as one statement; an index the
  // target engine refuses is left out and named (LeaveIndexOut), the names told once every table is made.
  void RestoreIndexes(const backupfile::TableEntry& table, data::Connection& connection,
                      const data::Table& catalogTable);
  void LeaveIndexOut(const std::string& table, const std::string& index, const std::string& reason);
  bool TableHaveDuplicate(const std::string& tableName, const std::vector<data::Column>& columns,
                          data::Connection& connection);
  std::string GetIndexFields(const std::vector<data::Column>& columns);
  std::string QuoteObjectName(std::string_view name) const;

  // Keys: the foreign keys of every restored table, once all tables hold their rows. A key the engine
  // rejects is recorded, shown to the host and ends the pass with False.
  bool RestoreForeignKeys(const backupfile::BackupDocument& document, data::Connection& connection,
                          data::Catalog& catalog, const std::string& msAccessIgnoreRelations);
  bool RestoreKeys(const backupfile::TableEntry& table, data::Connection& connection,
                   const data::Table& catalogTable, data::Catalog& catalog, bool foreignOnly,
                   const std::string& msAccessIgnoreRelations);

  // Engine objects: what the document carries in the source engine's own SQL (views, triggers, indexes
  // over expressions or part of the rows, table definitions), made when the target is the same provider:
  // those marked BeforeRows before the tables (`beforeRows`), the others and the objects' typed state once
  // the rows and keys are in place. Each object left out is named in one notice to the host, after the
  // second pass.
  void RestoreEngineObjects(const backupfile::BackupDocument& document, data::Connection& connection,
                            data::Catalog& catalog, bool beforeRows);

  const Utils& utils() const { return operation_.utils(); }

  Operation& operation_;
  BackupModeEnum& m_BackupMode;
  DataProvider m_Provider = dpUnknown;
  std::string m_RestoreFolder;
  // The backup file, open from the unpacking to the end of the restore, and its members by exact name.
  std::shared_ptr<const zip::ArchiveReader> m_Archive;
  std::unordered_map<std::string, const zip::MemberStat*> m_Members;
  std::string m_DataFolder;             // the restore folder as a member name prefix: "" or "folder/"
  std::set<std::string> m_RowsLeftOut;  // the data members of the tables made without rows
  std::string m_Role;                   // the role the server restore runs as; empty: the login's own
  std::string m_Aside;                  // the connection string of the database being built aside
  std::string m_ArchivePassword;
  bool m_CorruptionFound = false;
  bool m_IntelligentTableStructure = false;
  bool m_SameEngine = false;     // a text backup of the target's own engine: names and rules kept as saved
  std::string m_IndexesLeftOut;  // a line for each index the target refused
  // The file tables made by their own statement before their rows (lower-case names): their keys are in
  // it, their other indexes travel as engine objects.
  std::set<std::string> m_MadeAsWritten;
  std::set<std::string> m_MadeTables;  // server tables an engine object made before the rows: not made again
  std::string m_ObjectsLeftOut;        // a line for each engine object or state left out
  // By table, the column types and values the target holds otherwise than the backup (another engine's).
  std::string m_HeldOtherwise;
};

}  // namespace vela
