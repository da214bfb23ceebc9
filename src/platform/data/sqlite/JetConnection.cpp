#include "platform/data/sqlite/JetConnection.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "platform/data/sqlite/JetRecordset.h"
#include "platform/data/sqlite/JetStatements.h"
#include "platform/data/sqlite/JetTypes.h"
#include "platform/utils/KeyValue.h"

namespace vela::data::sqlite {
namespace {

constexpr std::int64_t kBatchRows = 20000;  // rows per transaction when rows are added one by one
constexpr int kOpenBusyMilliseconds = 2000;
constexpr int kApplicationId = 0x56454C41;  // "VELA": marks files made by this provider

std::string Quoted(const std::filesystem::path& path) {
  return "'" + path.string() + "'";
}

// Opens the engine on a path (plain) or a URI (protected); fails with the path named.
DbHandle OpenEngine(const std::filesystem::path& path, const CipherRegistration* cipher, bool create) {
  // A connection belongs to one thread at a time, so the engine need not lock around every call.
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  std::string name;
  const char* vfs = nullptr;
  if (cipher) {
    name = cipher->Uri(path);
    flags |= SQLITE_OPEN_URI;
    vfs = CipherVfsName();
  } else {
    // An absolute path never reads as a "file:" URI.
    name = std::filesystem::absolute(path).string();
  }
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(name.c_str(), &raw, flags, vfs);
  DbHandle db(raw);
  if (rc != SQLITE_OK) {
    std::string message = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    throw Error(kPathAccess, kSource, "Could not open the database " + Quoted(path) + ": " + message);
  }
  sqlite3_extended_result_codes(db.get(), 1);
  // A double-quoted name no column has must fail, not turn into a text: "DELETE ... WHERE [nope] = 'nope'"
  // would otherwise delete every row. Schemas other programs wrote keep their old reading.
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  return db;
}

// Runs a statement as a first touch of the file, turning the engine's complaints into messages about the
// file.
void ProbeFile(sqlite3* db, const std::filesystem::path& path, std::string_view sql) {
  try {
    ExecAll(db, sql);
  } catch (const Error& e) {
    if (e.Number() == kBadFileFormat)
      throw Error(kBadFileFormat, kSource,
                  "Unrecognized database format " + Quoted(path) + " (" + e.Description() + ")");
    if (e.Number() == kPathAccess)
      throw Error(kPathAccess, kSource,
                  "The database " + Quoted(path) + " cannot be used: it is locked or not accessible (" +
                      e.Description() + ")");
    throw;
  }
}

}  // namespace

std::unique_ptr<Connection> JetConnection::Open(std::string_view connectionString) {
  std::unique_ptr<JetConnection> c(new JetConnection());
  c->connectionString_ = std::string(connectionString);
  c->path_ = utils::KeyValue(connectionString, "Data Source", ";");
  if (c->path_.empty()) throw Error(kInvalidArgument, kSource, "The connection string names no Data Source");
  std::string password = utils::KeyValue(connectionString, kPasswordKey, ";");

  Salt salt{};
  switch (InspectFile(c->path_, &salt)) {
    case FileKind::Missing:
      throw Error(kFileNotFound, kSource, "Could not find file " + Quoted(c->path_) + ".");
    case FileKind::Protected: {
      if (password.empty())
        throw Error(kAuthenticationFailed, kSource,
                    "Not a valid password: the database " + Quoted(c->path_) +
                        " is protected with a password (or is not a database file).");
      std::shared_ptr<const CipherKey> key = CipherKey::Derive(password, salt);
      if (!KeyOpensFile(c->path_, *key))
        throw Error(kAuthenticationFailed, kSource,
                    "Not a valid password for the database " + Quoted(c->path_) + ".");
      c->cipher_ = std::make_unique<CipherRegistration>(std::move(key));
      break;
    }
    case FileKind::Empty:
    case FileKind::Plain:
      break;  // an unprotected file opens whatever password is given, as with Jet
  }
  c->db_ = OpenEngine(c->path_, c->cipher_.get(), false);
  sqlite3_busy_timeout(c->db_.get(), kOpenBusyMilliseconds);
  ProbeFile(c->db_.get(), c->path_, "SELECT count(*) FROM sqlite_master");
  // Temporary data stays in memory (the VFS refuses temporary files); a larger cache saves decryptions.
  if (c->cipher_)
    ExecAll(c->db_.get(), "PRAGMA temp_store=MEMORY; PRAGMA journal_mode=DELETE; PRAGMA cache_size=-16384");
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
    std::unique_ptr<CipherRegistration> cipher;
    if (!password.empty())
      cipher = std::make_unique<CipherRegistration>(CipherKey::Derive(password, CipherKey::NewSalt()));
    DbHandle db = OpenEngine(path, cipher.get(), true);
    if (cipher) {
      int reserve = kCipherReserve;
      sqlite3_file_control(db.get(), "main", SQLITE_FCNTL_RESERVE_BYTES, &reserve);
      ExecAll(db.get(),
              "PRAGMA page_size=" + std::to_string(kCipherPageSize) + "; PRAGMA journal_mode=DELETE");
    }
    // Writing the header makes the file a database now rather than at its first table.
    ExecAll(db.get(), "PRAGMA application_id=" + std::to_string(kApplicationId), path.string());
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

std::string JetConnection::ConnectionString() const {
  return RemovePasswords(connectionString_);
}

void JetConnection::Close() {
  if (!db_) return;
  CommitBatch();
  prepared_.clear();
  schema_.Invalidate();
  db_.reset();
  cipher_.reset();
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
    // A protected database is copied protected: the copy shares its salt and so its password.
    DbHandle target = OpenEngine(file, cipher_.get(), true);
    if (cipher_) {
      int reserve = kCipherReserve;
      sqlite3_file_control(target.get(), "main", SQLITE_FCNTL_RESERVE_BYTES, &reserve);
    }
    sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", source, "main");
    if (backup == nullptr)
      ThrowEngineError(target.get(), sqlite3_errcode(target.get()), "snapshot to " + file.string());
    int rc;
    while ((rc = sqlite3_backup_step(backup, 1024)) == SQLITE_OK || rc == SQLITE_BUSY ||
           rc == SQLITE_LOCKED) {
      if (rc != SQLITE_OK) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE)
      ThrowEngineError(rc, sqlite3_errstr(rc), "snapshot of " + path_.string() + " to " + file.string());
    rc = sqlite3_errcode(target.get());
    if (rc != SQLITE_OK && rc != SQLITE_DONE)
      ThrowEngineError(target.get(), rc, "snapshot to " + file.string());
  } catch (...) {
    std::filesystem::remove(file, ec);
    throw;
  }
}

}  // namespace vela::data::sqlite
