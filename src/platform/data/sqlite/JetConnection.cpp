#include "platform/data/sqlite/JetConnection.h"

#include <system_error>

#include "platform/data/sqlite/JetProvider.h"
#include "platform/data/sqlite/JetRecordset.h"
#include "platform/data/sqlite/JetStatements.h"
#include "platform/data/sqlite/JetValues.h"
#include "platform/text/Strings.h"
#include "platform/utils/KeyValue.h"

namespace vela::data::sqlite {
namespace {

constexpr std::int64_t kBatchRows = 20000;  // rows per transaction when rows are added one by one
constexpr int kOpenBusyMilliseconds = 2000;

}  // namespace

std::unique_ptr<Connection> JetConnection::Open(std::string_view connectionString) {
  std::unique_ptr<JetConnection> c(new JetConnection());
  c->connectionString_ = std::string(connectionString);
  c->path_ = utils::KeyValue(connectionString, "Data Source", ";");
  if (c->path_.empty()) throw Error(kInvalidArgument, kSource, "The connection string names no Data Source");
  std::string password = utils::KeyValue(connectionString, kPasswordKey, ";");

  // A password is never dropped: a plain file refuses one rather than stay plain behind it. An empty file
  // opened with a password becomes a protected database at its first write.
  switch (InspectFile(c->path_)) {
    case FileKind::Missing:
      throw Error(kFileNotFound, kSource, "Could not find file " + Quoted(c->path_) + ".");
    case FileKind::Plain:
      if (!password.empty())
        throw Error(kAuthenticationFailed, kSource,
                    "Not a valid password: the database " + Quoted(c->path_) +
                        " is not protected with a password, so it does not open with one.");
      break;
    case FileKind::Protected:
      if (password.empty())
        throw Error(kAuthenticationFailed, kSource,
                    "Not a valid password: the database " + Quoted(c->path_) +
                        " is protected with a password (or is not a database file).");
      break;
    case FileKind::Empty:
    case FileKind::Unreadable:
      break;
  }
  c->db_ = OpenEngine(c->path_, password, false);
  sqlite3_busy_timeout(c->db_.get(), kOpenBusyMilliseconds);
  ProbeFile(c->db_.get(), c->path_, !password.empty());
  // A file built aside is nobody's database until it is complete and renamed into place: a kill leaves
  // the target as it was whatever the file holds, so it needs no journal on the disk and no sync at each
  // commit (it is synced once before the rename), and the one connection building it keeps its lock
  // rather than take and check it again for every statement. The journal in memory still rolls back a
  // refused change.
  if (IsBuiltAside(c->path_))
    ExecAll(c->db_.get(),
            "PRAGMA journal_mode=MEMORY; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE");
  ExecAll(c->db_.get(), "PRAGMA foreign_keys=ON");
  c->SetCommandTimeout(c->commandTimeout_);
  return c;
}

void JetConnection::Create(std::string_view connectionString) {
  std::filesystem::path path = utils::KeyValue(connectionString, "Data Source", ";");
  if (path.empty()) throw Error(kInvalidArgument, kSource, "The connection string names no Data Source");
  std::string password = utils::KeyValue(connectionString, kPasswordKey, ";");
  std::error_code ec;
  if (std::filesystem::exists(path, ec))
    throw Error(kPathAccess, kSource, "Database already exists: " + Quoted(path) + ".");
  try {
    DbHandle db = OpenEngine(path, password, true);
    // Writing the header makes the file a database now rather than at its first table.
    ExecAll(db.get(), "PRAGMA application_id=" + std::to_string(kApplicationId), path.string());
    db.reset();
    if (!password.empty() && InspectFile(path) != FileKind::Protected)
      throw Error(kGeneralFailure, kSource, "The database " + Quoted(path) + " could not be encrypted");
  } catch (...) {
    std::filesystem::remove(path, ec);
    throw;
  }
}

JetConnection::~JetConnection() {
  try {
    Close();
  } catch (...) {
    // Close() reports; a destructor cannot.
  }
}

std::string JetConnection::EngineVersion() const {
  return std::string("SQLite ") + sqlite3_libversion();
}

std::string JetConnection::ConnectionString() const {
  return RemovePasswords(connectionString_);
}

void JetConnection::Close() {
  if (!db_) return;
  CommitBatch();
  snapshot_ = false;  // the engine ends a read transaction left open with the connection
  prepared_.clear();
  schema_.Invalidate();
  schema_.ReleaseStatements();
  db_.reset();
}

void JetConnection::BeginReadSnapshot() {
  CommitBatch();
  if (snapshot_ || !sqlite3_get_autocommit(Db())) return;  // a transaction of the caller's stays as it is
  // The first read takes the shared lock that keeps the file as it is until the end (in write-ahead mode,
  // the log as it stood then): every statement after it reads that one state, without taking the lock and
  // checking the file again each time. The file's journal mode stays its own.
  ExecAll(Db(), "BEGIN");
  try {
    ExecAll(Db(), "SELECT count(*) FROM sqlite_master");
  } catch (...) {
    sqlite3_exec(Db(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  snapshot_ = true;
}

void JetConnection::EndReadSnapshot() {
  if (!snapshot_) return;
  snapshot_ = false;
  CommitBatch();
  if (db_ && !sqlite3_get_autocommit(db_.get())) ExecAll(db_.get(), "COMMIT");
}

std::unique_ptr<Connection> JetConnection::OpenSnapshotReader() {
  if (!snapshot_) return nullptr;
  // A file in write-ahead mode lets writers commit while this connection reads: the reader opens the very
  // state this one reads. In the other modes this connection's shared lock lets no writer commit, so a
  // reader that begins while it is held reads the same state. A reader that cannot begin at once (a
  // writer waits for the lock, the file is held exclusively) is none: one connection reads it all.
  sqlite3_snapshot* moment = nullptr;
  Statement journal(Db(), "PRAGMA journal_mode");
  const bool wal = journal.Step() && text::EqualsNoCase(journal.Text(0), "wal");
  journal = Statement();
  if (wal && sqlite3_snapshot_get(Db(), "main", &moment) != SQLITE_OK) return nullptr;
  std::unique_ptr<sqlite3_snapshot, decltype(&sqlite3_snapshot_free)> held(moment, &sqlite3_snapshot_free);
  std::unique_ptr<Connection> opened;
  try {
    opened = Open(connectionString_);
  } catch (const Error&) {
    return nullptr;
  }
  auto& reader = static_cast<JetConnection&>(*opened);
  sqlite3_busy_timeout(reader.Db(), 0);
  ExecAll(reader.Db(), "BEGIN");
  const bool began =
      (moment == nullptr || sqlite3_snapshot_open(reader.Db(), "main", moment) == SQLITE_OK) &&
      sqlite3_exec(reader.Db(), "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!began) return nullptr;
  reader.snapshot_ = true;
  reader.SetCommandTimeout(commandTimeout_);
  return opened;
}

void JetConnection::SetCommandTimeout(int seconds) {
  commandTimeout_ = seconds;
  // Jet cannot stop a running statement; the timeout bounds how long a locked database is waited for.
  if (db_) sqlite3_busy_timeout(db_.get(), seconds > 0 ? seconds * 1000 : INT32_MAX);
}

sqlite3* JetConnection::Db() {
  if (!db_) throw Error(kGeneralFailure, kSource, "Operation is not allowed when the connection is closed");
  return db_.get();
}

void JetConnection::BeginBatchRow() {
  if (!batchOpen_ && sqlite3_get_autocommit(Db())) {
    ExecAll(Db(), "BEGIN");
    batchOpen_ = true;
    batchRows_ = 0;
  }
}

void JetConnection::BatchRowAdded() {
  if (batchOpen_ && ++batchRows_ >= kBatchRows) CommitBatch();
}

void JetConnection::CommitBatch() {
  if (!batchOpen_ || !db_) return;
  batchOpen_ = false;
  batchRows_ = 0;
  if (!sqlite3_get_autocommit(db_.get()))
    ExecAll(db_.get(), "COMMIT", "committing added rows to " + path_.string());
}

void JetConnection::Execute(std::string_view sql) {
  CommitBatch();
  std::vector<Token> tokens = Tokenize(sql, Brackets::Jet);
  if (auto index = ParseCreateIndex(tokens, sql)) return schema_.CreateIndex(*index);
  if (auto constraint = ParseAddConstraint(tokens, sql)) return schema_.AddConstraint(*constraint);
  if (auto drop = ParseDropIndex(tokens)) return schema_.DropIndex(*drop);
  ExecAll(Db(), RewriteBrackets(sql));
  // A table dropped and made again under its name must not inherit the old table's properties.
  if (tokens.size() >= 3 && tokens[0].Is("DROP") && tokens[1].Is("TABLE")) {
    std::size_t at = 2;
    if (tokens[at].Is("IF") && tokens.size() >= 5) at = 4;
    if (tokens[at].IsName()) schema_.ForgetTable(tokens[at].text);
  }
}

void JetConnection::Execute(std::string_view sql, std::span<const Parameter> parameters, bool prepared) {
  CommitBatch();
  std::string text = RewriteBrackets(sql);
  Statement once;
  Statement* stmt = &once;
  if (prepared) {
    auto found = prepared_.find(text);
    if (found == prepared_.end()) {
      if (prepared_.size() >= 32) prepared_.clear();
      found = prepared_.emplace(text, Statement(Db(), text)).first;
    }
    stmt = &found->second;
  } else {
    once = Statement(Db(), text);
  }
  int expected = sqlite3_bind_parameter_count(stmt->get());
  if (expected != static_cast<int>(parameters.size()))
    throw Error(kInvalidArgument, kSource,
                "The statement takes " + std::to_string(expected) + " parameters but " +
                    std::to_string(parameters.size()) + " were given (" + text + ")");
  stmt->Reset();
  for (std::size_t i = 0; i < parameters.size(); ++i)
    BindValue(stmt->get(), static_cast<int>(i + 1), parameters[i].value, parameters[i].type,
              parameters[i].name.empty() ? "parameter " + std::to_string(i + 1) : parameters[i].name);
  while (stmt->Step()) {
  }
  stmt->Reset();
}

std::unique_ptr<Recordset> JetConnection::OpenRecordset(std::string_view sql, CursorTypeEnum cursorType,
                                                        LockTypeEnum lockType, CursorLocationEnum location) {
  CommitBatch();
  std::string text = RewriteBrackets(sql);
  Statement stmt(Db(), text);
  if (lockType != adLockReadOnly) return std::make_unique<UpdatableRecordset>(*this, std::move(stmt));
  if (location == adUseServer && cursorType == adOpenForwardOnly)
    return std::make_unique<StreamingRecordset>(*this, std::move(stmt));
  bool hasRow = stmt.Step();
  std::vector<FieldInfo> fields = DescribeFields(*this, stmt.get(), hasRow);
  std::vector<std::vector<Value>> rows;
  for (; hasRow; hasRow = stmt.Step()) {
    std::vector<Value> row;
    row.reserve(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i)
      row.push_back(ReadValue(stmt.get(), static_cast<int>(i), fields[i].type));
    rows.push_back(std::move(row));
  }
  return std::make_unique<BufferedRecordset>(std::move(fields), std::move(rows), kSource);
}

std::unique_ptr<Recordset> JetConnection::OpenSchemaColumns(std::string_view tableName) {
  CommitBatch();
  return schema_.SchemaColumns(tableName);
}

void JetConnection::SnapshotTo(const std::filesystem::path& file) {
  CommitBatch();
  sqlite3* source = Db();
  std::error_code ec;
  std::filesystem::remove(file, ec);
  std::filesystem::remove(file.string() + "-journal", ec);
  try {
    // A protected database is copied protected, with the same password (and a salt of its own).
    std::string password = utils::KeyValue(connectionString_, kPasswordKey, ";");
    DbHandle target = OpenEngine(file, password, true);
    CopyDatabase(source, target.get(), "snapshot of " + path_.string() + " to " + file.string());
    target.reset();
    if (!password.empty() && InspectFile(file) != FileKind::Protected)
      throw Error(kGeneralFailure, kSource, "The snapshot " + Quoted(file) + " could not be encrypted");
  } catch (...) {
    std::filesystem::remove(file, ec);
    throw;
  }
}

}  // namespace vela::data::sqlite
