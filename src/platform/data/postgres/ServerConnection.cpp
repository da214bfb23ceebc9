#include "platform/data/postgres/ServerConnection.h"

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/data/BufferedRecordset.h"
#include "platform/data/SqlText.h"
#include "platform/data/postgres/CopySender.h"
#include "platform/data/postgres/InsertRuns.h"
#include "platform/data/postgres/PgApi.h"
#include "platform/data/postgres/ServerAddress.h"
#include "platform/data/postgres/ServerInPlace.h"
#include "platform/data/postgres/ServerObjects.h"
#include "platform/data/postgres/ServerSchema.h"
#include "platform/data/postgres/ServerSession.h"
#include "platform/data/postgres/ServerUpdatable.h"
#include "platform/data/postgres/ServerValues.h"
#include "platform/data/postgres/SystemTableAnswers.h"
#include "platform/data/postgres/TsqlStatements.h"
#include "platform/text/Strings.h"
#include "platform/utils/KeyValue.h"

namespace vela::data::postgres {

namespace {

[[noreturn]] void ThrowNotSupported(std::string_view what) {
  throw Error(kNotSupported, kSource, std::string(what) + " is not supported by this provider yet");
}

// Notices (a table dropped that did not exist, an implicit index) are the server's remarks, not failures;
// the default processor would write them to standard error.
void IgnoreNotice(void*, const char*) noexcept {}

// The catalog is a view of the session's schema; it holds nothing of its own.
class ServerCatalog final : public Catalog {
 public:
  explicit ServerCatalog(ServerSession& session) : session_(session), schema_(session) {}

  std::vector<Entry> ListTables() override { return schema_.ListTables(); }
  Table GetTable(std::string_view name) override { return schema_.GetTable(name); }
  void AppendTable(const Table& table) override { schema_.AppendTable(table); }
  void AppendTableInSchema(const Table& table, std::string_view schema) override {
    schema_.AppendTable(table, schema);
  }
  void AppendKey(std::string_view tableName, const Key& key) override { schema_.AppendKey(tableName, key); }
  void SetColumnProperty(std::string_view tableName, std::string_view columnName, std::string_view property,
                         const Value& value) override {
    schema_.SetColumnProperty(tableName, columnName, property, value);
  }
  void Refresh() override {}
  Properties NewColumnProperties() const override { return schema_.NewColumnProperties(); }
  std::vector<EngineObject> ListEngineObjects() override { return ListServerObjects(session_); }
  void ApplyEngineObject(const EngineObject& object) override { ApplyServerObject(session_, object); }
  std::vector<EngineState> ListEngineStates() override { return ListServerStates(session_); }
  void ApplyEngineState(const EngineState& state) override { ApplyServerState(session_, state); }
  void RemoveForRestore(const std::vector<std::string>& tables,
                        const std::vector<std::string>& schemas) override {
    RemoveServerObjectsForRestore(session_, tables, schemas);
  }

 private:
  ServerSession& session_;
  ServerSchema schema_;
};

class ServerConnection;

// A forward-only, read-only recordset streaming its rows one at a time. A single SELECT comes as the rows of
// a COPY in text form, read a line at a time, after the same SELECT with no rows has told the columns;
// any other statement comes in libpq's single-row mode, which builds a result of its own for every row.
class StreamingRecordset final : public ResultRecordset {
 public:
  StreamingRecordset(ServerConnection& connection, std::string statement);
  ~StreamingRecordset() override { Close(); }

  bool Eof() const override { return !onRow_; }
  void MoveNext() override;
  const Value& GetValue(std::size_t index) const override {
    if (!onRow_) ThrowNoCurrentRow(kSource);
    if (index >= values_.size()) ThrowNoSuchField(kSource, index);
    return values_[index];
  }
  void Sort(std::string_view) override { ThrowNotSupported("Sorting a forward-only recordset"); }
  void AddNew() override { ThrowNotUpdatable(kSource); }
  void SetValue(std::size_t, const Value&) override { ThrowNotUpdatable(kSource); }
  void Update() override { ThrowNotUpdatable(kSource); }
  void CancelUpdate() override { ThrowNotUpdatable(kSource); }
  EditModeEnum EditMode() const override { return adEditNone; }
  void Close() override;

 private:
  // Reads the columns from the empty result before the COPY, then enters the COPY.
  void StartCopy(PGconn* conn);
  // Takes the next row, or the end of the rows (then the stream is drained).
  void Fetch();
  void FetchLine(PGconn* conn);
  void ReadLine(char* line, int length);
  void Finish();

  ServerConnection* connection_;
  std::string statement_;
  bool copy_ = false;    // the rows come as COPY lines
  bool inCopy_ = false;  // and the server has lines still to send
  std::vector<Oid> types_;
  bool onRow_ = false;
  std::vector<Value> values_;
  bool streaming_ = true;
};

// The open connections of this process, so that a database can be dropped once our own connections to
// it are closed.
struct OpenSessions {
  std::mutex mutex;
  std::set<ServerConnection*> sessions;
};
OpenSessions& Sessions() {
  static OpenSessions open;
  return open;
}

class ServerConnection final : public Connection, public ServerSession {
 public:
  ServerConnection(ConnHandle conn, std::string connectionString, ServerAddress address)
      : conn_(std::move(conn)), connectionString_(std::move(connectionString)), address_(std::move(address)) {
    PQsetNoticeProcessor(conn_.get(), &IgnoreNotice, nullptr);
    std::lock_guard lock(Sessions().mutex);
    Sessions().sessions.insert(this);
  }
  ~ServerConnection() override {
    {
      std::lock_guard lock(Sessions().mutex);
      Sessions().sessions.erase(this);
    }
    try {
      Close();
    } catch (const Error&) {
      // Nobody is left to hear of rows the server refused at the end; the caller that wanted them closes.
    }
  }
  // Closes without completing a run of rows: the server rolls back what it had of it.
  void Abandon() {
    sender_.reset();
    run_.reset();
    if (stream_ != nullptr) stream_->Close();
    conn_.reset();
  }

  std::string ConnectionString() const override { return RemovePasswords(connectionString_); }
  std::string LoginConnectionString() const override { return connectionString_; }
  std::string Provider() const override { return kServerProviderName; }
  std::string EngineVersion() const override {
    const char* version = conn_ ? PQparameterStatus(conn_.get(), "server_version") : nullptr;
    return version != nullptr ? std::string("PostgreSQL ") + version : std::string();
  }
  bool IsOpen() const override { return conn_ != nullptr; }
  void Close() override {
    if (stream_ != nullptr) stream_->Close();
    if (conn_ != nullptr && run_) {
      // Rows still on their way are made durable, as each INSERT would have been on its own.
      try {
        EndRun();
      } catch (...) {
        conn_.reset();
        throw;
      }
    }
    conn_.reset();
  }

  // How long a command may wait, as the caller asks; the server's own statement_timeout is left alone,
  // since a backup's reading and a restore's loading of a large table are one statement each and may
  // rightly take longer than any command timeout.
  int CommandTimeout() const override { return commandTimeout_; }
  void SetCommandTimeout(int seconds) override { commandTimeout_ = seconds < 0 ? 0 : seconds; }
  CursorLocationEnum CursorLocation() const override { return cursorLocation_; }
  void SetCursorLocation(CursorLocationEnum location) override { cursorLocation_ = location; }

  // Whatever a statement changes, nothing read before it answers a query after it.
  void Execute(std::string_view sql) override {
    Forget();
    dialect_.Execute(sql);
  }

  void Execute(std::string_view sql, std::span<const Parameter> parameters, bool prepared) override {
    // A run of the same INSERT goes to the server as one COPY; a statement sent unprepared is the last of
    // its run (a restore sends each table's last row so), and the run ends with it.
    // A row with a text the server is to read as another type is sent on its own, so that a text it
    // cannot read fails this call.
    if (prepared || run_) {
      BoundParameters& row = row_;
      row.Bind(parameters);
      if (!row.HasTextsToRead()) {
        const std::vector<int>* positions = run_ ? run_->Positions(sql, parameters.size()) : nullptr;
        if (positions == nullptr && prepared) {
          if (std::optional<InsertShape> shape = ReadInsert(sql, parameters.size(), SchemasOf(*this))) {
            StartRun(*shape);
            positions = run_->Positions(sql, parameters.size());
          }
        }
        if (positions != nullptr) {
          run_->Append(row, *positions, sender_->Chunk());
          if (sender_->Chunk().size() >= CopySender::kChunkBytes) SendRunBuffer();
          if (!prepared) EndRun();
          return;
        }
      }
    }
    int placeholders = 0;
    std::string statement = ToServerSql(sql, true, &placeholders, SchemasOf(*this));
    if (static_cast<std::size_t>(placeholders) != parameters.size())
      throw Error(kInvalidArgument, kSource,
                  "The statement has " + std::to_string(placeholders) + " placeholders but " +
                      std::to_string(parameters.size()) + " parameters were given",
                  {}, statement);
    ResultHandle result = Run(statement, parameters, prepared);
    Check(result.get(), statement);
  }

  std::unique_ptr<Recordset> OpenRecordset(std::string_view sql, CursorTypeEnum cursorType,
                                           LockTypeEnum lockType, CursorLocationEnum location) override {
    const bool streams = location == adUseServer && cursorType == adOpenForwardOnly;
    // Within a read snapshot the system tables stay as they were read first.
    if (snapshot_ && lockType == adLockReadOnly && !streams && ReadTsqlStatement(sql).systemTables)
      if (std::unique_ptr<Recordset> answer = answers_.Answer(sql)) return answer;
    std::string statement = dialect_.Query(sql);
    if (lockType != adLockReadOnly) {
      Forget();
      return OpenUpdatableRecordset(*this, std::move(statement));
    }
    if (streams) return std::make_unique<StreamingRecordset>(*this, std::move(statement));
    ResultHandle result = Run(statement, {}, false);
    Check(result.get(), statement);
    const PGresult* r = result.get();
    std::vector<FieldInfo> fields;
    for (int c = 0; c < PQnfields(r); ++c) fields.push_back(FieldFromResult(r, c));
    std::vector<std::vector<Value>> rows(static_cast<std::size_t>(PQntuples(r)));
    for (int row = 0; row < PQntuples(r); ++row) {
      rows[row].reserve(fields.size());
      for (int c = 0; c < PQnfields(r); ++c) rows[row].push_back(ValueFromResult(r, row, c));
    }
    return std::make_unique<BufferedRecordset>(std::move(fields), std::move(rows), kSource);
  }

  std::unique_ptr<Recordset> OpenSchemaColumns(std::string_view tableName) override {
    return ServerSchema(*this).SchemaColumns(tableName);
  }
  std::unique_ptr<Catalog> OpenCatalog() override {
    Ready("OpenCatalog");  // a closed connection has no catalog to give
    return std::make_unique<ServerCatalog>(*this);
  }
  void SnapshotTo(const std::filesystem::path&) override {
    throw Error(kNotSupported, kSource, "A server database has no file to copy");
  }

  // One REPEATABLE READ, READ ONLY transaction: its first query takes the snapshot every later one reads.
  // The views over the catalog are made before it, since a read-only transaction creates nothing.
  void BeginReadSnapshot() override {
    if (snapshot_ || InTransaction()) return;
    dialect_.MakeSystemViews();
    ExecuteServerSql("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    Forget();
    snapshot_ = true;
  }
  void EndReadSnapshot() override {
    if (!snapshot_) return;
    snapshot_ = false;
    exported_.clear();
    Forget();
    if (stream_ != nullptr) stream_->Close();
    // Nothing was written: a transaction a failed read ended is closed the same way.
    if (conn_ != nullptr) ExecuteServerSql("COMMIT");
  }
  bool InReadSnapshot() const { return snapshot_; }
  // A reader in the same snapshot: this transaction's snapshot, exported once, imported by a new session
  // of the same login before it reads anything.
  std::unique_ptr<Connection> OpenSnapshotReader() override {
    if (!snapshot_) return nullptr;
    if (exported_.empty()) {
      ResultHandle result = QueryServerSql("SELECT pg_export_snapshot()", {});
      exported_ = PQgetvalue(result.get(), 0, 0);
    }
    // A server that takes no more sessions (its connection limit reached) leaves the reading to this one.
    std::unique_ptr<Connection> opened;
    try {
      opened = OpenServerConnection(LoginConnectionString());
    } catch (const Error&) {
      return nullptr;
    }
    auto& reader = static_cast<ServerConnection&>(*opened);
    reader.dialect_.MakeSystemViews();
    reader.ExecuteServerSql("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    reader.ExecuteServerSql("SET TRANSACTION SNAPSHOT " + QuoteText(exported_));
    reader.Forget();
    reader.snapshot_ = true;
    return opened;
  }

  // Within it every statement runs in a savepoint of its own (Guarded), so that one the server refuses
  // undoes itself and leaves the transaction usable, as a refused statement outside one would.
  void BeginTrans() override {
    if (InTransaction())
      throw Error(kCommandError, kSource, "The connection is inside a transaction already");
    ExecuteServerSql("BEGIN");
    work_ = true;
  }
  void CommitTrans() override {
    if (!work_) throw Error(kCommandError, kSource, "The connection began no transaction to commit");
    if (run_) EndRun();
    work_ = false;
    ExecuteServerSql("COMMIT");
  }

  // For the streaming recordset: the connection, ready for a new command.
  PGconn* Ready(std::string_view statement) {
    if (run_) EndRun();
    if (conn_ == nullptr)
      throw Error(kServerGone, kSource, "The connection is closed", {}, std::string(statement));
    if (stream_ != nullptr)
      throw Error(
          kCommandError, kSource,
          "A forward-only recordset is still open on this connection; close it before the next command", {},
          std::string(statement));
    return conn_.get();
  }
  void SetStream(StreamingRecordset* stream) { stream_ = stream; }
  PGconn* Handle() const { return conn_.get(); }

  // ServerSession
  void RunServerSql(const std::string& sql) override {
    Forget();
    ExecuteServerSql(sql);
  }
  std::vector<ResultHandle> QueryServerSqlAll(const std::string& sql) override {
    std::vector<ResultHandle> results;
    ExecuteServerSql(sql, &results);
    return results;
  }
  SchemaSnapshot* ReadSnapshot() override { return snapshot_ ? &schema_ : nullptr; }
  ResultHandle QueryServerSql(const std::string& sql, std::span<const std::string> parameters) override {
    return QueryTexts(sql, parameters, false);
  }
  ResultHandle QueryPreparedServerSql(const std::string& sql,
                                      std::span<const std::string> parameters) override {
    return QueryTexts(sql, parameters, true);
  }
  ResultHandle QueryTexts(const std::string& sql, std::span<const std::string> parameters, bool prepared) {
    PGconn* conn = Ready(sql);
    std::vector<const char*> values;
    values.reserve(parameters.size());
    for (const std::string& parameter : parameters) values.push_back(parameter.c_str());
    // The parameters' types are the server's to infer, which a statement prepared for typed ones is not.
    const char* name = prepared ? Prepared("texts|" + sql, sql, 0, nullptr) : nullptr;
    ResultHandle result = InStep(sql, [&] {
      const int count = static_cast<int>(values.size());
      return ResultHandle{
          name != nullptr
              ? PQexecPrepared(conn, name, count, values.data(), nullptr, nullptr, 0)
              : PQexecParams(conn, sql.c_str(), count, nullptr, values.data(), nullptr, nullptr, 0)};
    });
    if (result == nullptr) ThrowConnectionError(conn, sql);
    Check(result.get(), sql);
    return result;
  }
  void RunServerSql(const std::string& sql, std::span<const Parameter> parameters) override {
    Forget();
    ResultHandle result = Run(sql, parameters, true);
    Check(result.get(), sql);
  }
  bool InTransaction() override {
    if (run_) EndRun();
    return conn_ != nullptr && PQtransactionStatus(conn_.get()) != PQTRANS_IDLE;
  }
  const ServerAddress& Address() const override { return address_; }

 private:
  // Whether a statement runs in a savepoint of its own: inside the transaction BeginTrans began, unless it
  // is itself one of the transaction's (a savepoint of the caller's must outlive it).
  bool Guarded(std::string_view statement) const {
    if (!work_) return false;
    const std::size_t start = statement.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) return false;
    for (std::string_view control : {"SAVEPOINT", "RELEASE", "ROLLBACK", "BEGIN", "COMMIT", "START", "END"})
      if (text::StartsWithNoCase(statement.substr(start), control)) return false;
    return true;
  }
  // Runs `run` (which returns the server's result) in its own savepoint when the statement is guarded: a
  // result that failed rolls back to it, one that did not releases it.
  template <class Run>
  ResultHandle InStep(std::string_view statement, const Run& run) {
    if (!Guarded(statement)) return run();
    RunOne("SAVEPOINT vela_step");
    ResultHandle result = run();
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    const bool failed =
        status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_EMPTY_QUERY;
    if (PQstatus(conn_.get()) == CONNECTION_OK)
      RunOne(failed ? "ROLLBACK TO SAVEPOINT vela_step; RELEASE SAVEPOINT vela_step"
                    : "RELEASE SAVEPOINT vela_step");
    return result;
  }
  // A statement of the transaction's own, run as it stands.
  void RunOne(const char* statement) {
    ResultHandle result{PQexec(conn_.get(), statement)};
    if (result == nullptr) ThrowConnectionError(conn_.get(), statement);
    Check(result.get(), statement);
  }

  // What was read once is read again when next asked for.
  void Forget() {
    answers_.Clear();
    schema_ = SchemaSnapshot();
  }

  // Runs statements without parameters (several may be separated by ";"); every result is checked, and
  // kept in `results` when it is given.
  void ExecuteServerSql(const std::string& statement, std::vector<ResultHandle>* results = nullptr) {
    PGconn* conn = Ready(statement);
    if (!Guarded(statement)) return SendAll(conn, statement, results);
    RunOne("SAVEPOINT vela_step");
    try {
      SendAll(conn, statement, results);
    } catch (const Error&) {
      if (PQstatus(conn) == CONNECTION_OK)
        RunOne("ROLLBACK TO SAVEPOINT vela_step; RELEASE SAVEPOINT vela_step");
      throw;
    }
    RunOne("RELEASE SAVEPOINT vela_step");
  }
  void SendAll(PGconn* conn, const std::string& statement, std::vector<ResultHandle>* results) {
    if (!PQsendQuery(conn, statement.c_str())) ThrowConnectionError(conn, statement);
    ResultHandle failed;
    while (ResultHandle result{PQgetResult(conn)}) {
      ExecStatusType status = PQresultStatus(result.get());
      if (failed == nullptr && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK &&
          status != PGRES_EMPTY_QUERY)
        failed = std::move(result);
      else if (results != nullptr)
        results->push_back(std::move(result));
    }
    if (failed != nullptr) ThrowResultError(failed.get(), conn, statement);
  }

  ResultHandle Run(const std::string& statement, std::span<const Parameter> parameters, bool prepared) {
    PGconn* conn = Ready(statement);
    BoundParameters bound(parameters);
    const char* preparedName =
        prepared ? Prepared(bound.TypeKey() + "|" + statement, statement, bound.Count(), bound.Types())
                 : nullptr;
    ResultHandle result = InStep(statement, [&] {
      return ResultHandle{preparedName != nullptr
                              ? PQexecPrepared(conn, preparedName, bound.Count(), bound.Values(),
                                               bound.Lengths(), bound.Formats(), 0)
                              : PQexecParams(conn, statement.c_str(), bound.Count(), bound.Types(),
                                             bound.Values(), bound.Lengths(), bound.Formats(), 0)};
    });
    if (result == nullptr) ThrowConnectionError(conn, statement);
    return result;
  }

  // The name of the statement prepared under `key` (its parameters' types and text), prepared when first
  // asked for.
  const char* Prepared(std::string key, const std::string& statement, int count, const Oid* types) {
    PGconn* conn = conn_.get();
    auto found = prepared_.find(key);
    if (found == prepared_.end()) {
      std::string name = "vela_" + std::to_string(prepared_.size() + 1);
      ResultHandle made = InStep(statement, [&] {
        return ResultHandle{PQprepare(conn, name.c_str(), statement.c_str(), count, types)};
      });
      if (made == nullptr) ThrowConnectionError(conn, statement);
      Check(made.get(), statement);
      found = prepared_.emplace(std::move(key), std::move(name)).first;
    }
    return found->second.c_str();
  }

  // Starts a run of rows into the table an INSERT names: a transaction of its own unless one is open, and
  // the COPY over the table's columns.
  void StartRun(const InsertShape& shape) {
    if (run_) EndRun();
    std::vector<RunColumn> columns;
    ResultHandle read = QueryPreparedServerSql(
        "SELECT a.attname, NOT (a.atthasdef OR a.attidentity <> '' OR a.attgenerated <> '') "
        "FROM pg_catalog.pg_attribute a WHERE a.attrelid = $1::regclass AND a.attnum > 0 "
        "AND NOT a.attisdropped ORDER BY a.attnum",
        std::vector<std::string>{shape.table});
    for (int row = 0; row < PQntuples(read.get()); ++row)
      columns.push_back(RunColumn{PQgetvalue(read.get(), row, 0), PQgetvalue(read.get(), row, 1)[0] == 't'});
    InsertRun run(shape, columns);
    PGconn* conn = Ready(run.Copy());
    ownTransaction_ = PQtransactionStatus(conn) == PQTRANS_IDLE;
    if (ownTransaction_) ExecuteServerSql("BEGIN");
    runStep_ = Guarded(run.Copy());
    if (runStep_) RunOne("SAVEPOINT vela_run");
    ResultHandle started{PQexec(conn, run.Copy().c_str())};
    if (started == nullptr) ThrowConnectionError(conn, run.Copy());
    if (PQresultStatus(started.get()) != PGRES_COPY_IN) {
      RollBackRun();
      ThrowResultError(started.get(), conn, run.Copy());
    }
    run_.emplace(std::move(run));
    sender_ = std::make_unique<CopySender>(conn);
  }

  // Hands the rows encoded so far to the sender; a failed send (the server gone) ends the run.
  void SendRunBuffer() {
    if (sender_->Send()) return;
    sender_.reset();
    std::string copy = run_->Copy();
    run_.reset();
    ThrowConnectionError(conn_.get(), copy);
  }

  // Ends the run: the rows are sent and, in the run's own transaction, committed. A row the server
  // refuses fails the whole run with the server's message and where it stood (the line and column).
  void EndRun() {
    InsertRun run = std::move(*run_);
    run_.reset();
    // The connection is this thread's again once the sender is done, however it ends.
    const bool sent = std::unique_ptr<CopySender>(std::move(sender_))->Finish();
    PGconn* conn = conn_.get();
    if (!sent || PQputCopyEnd(conn, nullptr) != 1) ThrowConnectionError(conn, run.Copy());
    ResultHandle failed;
    while (ResultHandle result{PQgetResult(conn)}) {
      if (failed == nullptr && PQresultStatus(result.get()) != PGRES_COMMAND_OK) failed = std::move(result);
    }
    if (failed != nullptr) {
      RollBackRun();
      ThrowResultError(failed.get(), conn, run.Copy(), true);
    }
    if (runStep_) {
      runStep_ = false;
      RunOne("RELEASE SAVEPOINT vela_run");
    }
    if (ownTransaction_) {
      ownTransaction_ = false;
      ExecuteServerSql("COMMIT");
    }
  }

  void RollBackRun() {
    if (runStep_) {
      runStep_ = false;
      ResultHandle ignored{PQexec(conn_.get(), "ROLLBACK TO SAVEPOINT vela_run; RELEASE SAVEPOINT vela_run")};
    }
    if (!ownTransaction_) return;
    ownTransaction_ = false;
    ResultHandle ignored{PQexec(conn_.get(), "ROLLBACK")};
  }

  void Check(const PGresult* result, std::string_view statement) {
    ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_EMPTY_QUERY)
      ThrowResultError(result, conn_.get(), statement);
  }

  ConnHandle conn_;
  std::string connectionString_;
  int commandTimeout_ = 30;
  CursorLocationEnum cursorLocation_ = adUseServer;
  std::map<std::string, std::string> prepared_;  // types and statement -> prepared statement name
  StreamingRecordset* stream_ = nullptr;
  ServerAddress address_;
  // The run of rows on its way to the server as one COPY, and the thread sending it; the row being bound.
  std::optional<InsertRun> run_;
  std::unique_ptr<CopySender> sender_;
  BoundParameters row_;
  bool ownTransaction_ = false;
  bool runStep_ = false;   // the run has a savepoint of its own in the transaction BeginTrans began
  bool work_ = false;      // inside the transaction BeginTrans began
  bool snapshot_ = false;  // inside the read-only transaction BeginReadSnapshot began
  std::string exported_;   // the snapshot's name, once another session was given it
  TsqlStatements dialect_{*this};
  // What a read snapshot read once: the system tables' rows, the catalog.
  SystemTableAnswers answers_{[this](const std::string& sql) {
    std::string statement = dialect_.Query(sql);
    ResultHandle result = Run(statement, {}, false);
    Check(result.get(), statement);
    return result;
  }};
  SchemaSnapshot schema_;
};

// Whether the statement is one SELECT that reads as a subquery and as the query of a COPY: no INTO, no
// second statement.
bool CopiesOut(const std::string& statement) {
  std::vector<Token> tokens;
  try {
    tokens = Tokenize(statement, Brackets::Engine);
  } catch (const Error&) {
    return false;
  }
  if (tokens.empty() || !tokens.front().Is("SELECT")) return false;
  for (const Token& token : tokens)
    if (token.Is("INTO") || token.IsPunct(';')) return false;
  return true;
}

// A field of a COPY line with its escapes read, in place; returns its length.
std::size_t UnescapeCopyField(char* begin, char* end) {
  char* in = static_cast<char*>(std::memchr(begin, '\\', static_cast<std::size_t>(end - begin)));
  if (in == nullptr) return static_cast<std::size_t>(end - begin);
  char* out = in;
  while (in < end) {
    if (*in != '\\') {
      char* next = static_cast<char*>(std::memchr(in, '\\', static_cast<std::size_t>(end - in)));
      if (next == nullptr) next = end;
      std::memmove(out, in, static_cast<std::size_t>(next - in));
      out += next - in;
      in = next;
      continue;
    }
    if (++in == end) break;
    char c = *in++;
    switch (c) {
      case 'b':
        c = '\b';
        break;
      case 'f':
        c = '\f';
        break;
      case 'n':
        c = '\n';
        break;
      case 'r':
        c = '\r';
        break;
      case 't':
        c = '\t';
        break;
      case 'v':
        c = '\v';
        break;
      default:
        if (c >= '0' && c <= '7') {
          int value = c - '0';
          for (int digits = 1; digits < 3 && in < end && *in >= '0' && *in <= '7'; ++digits)
            value = value * 8 + (*in++ - '0');
          c = static_cast<char>(value);
        }
        break;
    }
    *out++ = c;
  }
  return static_cast<std::size_t>(out - begin);
}

StreamingRecordset::StreamingRecordset(ServerConnection& connection, std::string statement)
    : connection_(&connection), statement_(std::move(statement)) {
  PGconn* conn = connection_->Ready(statement_);
  copy_ = CopiesOut(statement_);
  // Both statements go in one message: one exchange, and outside a transaction one snapshot for both. The
  // statement ends on a line of its own, so that a comment at its end stays its own.
  const bool sent =
      copy_ ? PQsendQuery(conn, ("SELECT * FROM (" + statement_ + "\n) AS vela_rows LIMIT 0; COPY (" +
                                 statement_ + "\n) TO STDOUT")
                                    .c_str())
            : PQsendQueryParams(conn, statement_.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
  if (!sent) ThrowConnectionError(conn, statement_);
  connection_->SetStream(this);
  if (copy_) {
    StartCopy(conn);
  } else if (!PQsetSingleRowMode(conn)) {
    Finish();
    ThrowConnectionError(conn, statement_);
  }
  Fetch();
}

void StreamingRecordset::StartCopy(PGconn* conn) {
  for (ExecStatusType expected : {PGRES_TUPLES_OK, PGRES_COPY_OUT}) {
    ResultHandle result{PQgetResult(conn)};
    if (result == nullptr) {
      Finish();
      ThrowConnectionError(conn, statement_);
    }
    if (PQresultStatus(result.get()) != expected) {
      Finish();
      ThrowResultError(result.get(), conn, statement_);
    }
    if (expected != PGRES_TUPLES_OK) continue;
    for (int c = 0; c < PQnfields(result.get()); ++c) {
      fields_.push_back(FieldFromResult(result.get(), c));
      types_.push_back(PQftype(result.get(), c));
    }
  }
  inCopy_ = true;
}

void StreamingRecordset::Fetch() {
  onRow_ = false;
  values_.clear();
  if (!streaming_) return;
  PGconn* conn = connection_->Handle();
  if (copy_) return FetchLine(conn);
  ResultHandle result{PQgetResult(conn)};
  ExecStatusType status = result != nullptr ? PQresultStatus(result.get()) : PGRES_COMMAND_OK;
  if (result != nullptr && fields_.empty() && (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK)) {
    for (int c = 0; c < PQnfields(result.get()); ++c) fields_.push_back(FieldFromResult(result.get(), c));
  }
  switch (status) {
    case PGRES_SINGLE_TUPLE:
      values_.reserve(fields_.size());
      for (int c = 0; c < PQnfields(result.get()); ++c)
        values_.push_back(ValueFromResult(result.get(), 0, c));
      onRow_ = true;
      return;
    case PGRES_TUPLES_OK:
    case PGRES_COMMAND_OK:
    case PGRES_EMPTY_QUERY:
      Finish();
      return;
    default:
      Finish();
      ThrowResultError(result.get(), conn, statement_);
  }
}

void StreamingRecordset::FetchLine(PGconn* conn) {
  char* line = nullptr;
  const int length = PQgetCopyData(conn, &line, 0);
  if (length > 0) {
    std::unique_ptr<char, decltype(&PQfreemem)> held(line, &PQfreemem);
    ReadLine(line, length);
    onRow_ = true;
    return;
  }
  // The rows are done (-1) or the connection failed (-2); the COPY's result tells which.
  inCopy_ = false;
  ResultHandle result{PQgetResult(conn)};
  const ExecStatusType status = result != nullptr ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  Finish();
  if (status == PGRES_COMMAND_OK) return;
  if (result == nullptr) ThrowConnectionError(conn, statement_);
  ThrowResultError(result.get(), conn, statement_);
}

// One line of the COPY's text form: the fields apart by tabs, "\N" for NULL, the rest with its escapes. Every
// field is read where it stands, its separator overwritten by the NUL a value's text ends with (the line
// itself ends with one after its newline).
void StreamingRecordset::ReadLine(char* line, int length) {
  char* end = line + length;
  if (end > line && end[-1] == '\n') --end;
  values_.reserve(types_.size());
  char* field = line;
  for (std::size_t c = 0; c < types_.size(); ++c) {
    char* stop = static_cast<char*>(std::memchr(field, '\t', static_cast<std::size_t>(end - field)));
    if (stop == nullptr) stop = end;
    if ((stop == end) != (c + 1 == types_.size()))
      throw Error(kCommandError, kSource, "The server sent a row with another number of columns", {},
                  statement_);
    if (stop - field == 2 && field[0] == '\\' && field[1] == 'N') {
      values_.push_back(Value::Null());
    } else {
      const std::size_t size = UnescapeCopyField(field, stop);
      field[size] = '\0';
      values_.push_back(ValueFromText(types_[c], field, static_cast<int>(size)));
    }
    field = stop + 1;
  }
}

void StreamingRecordset::Finish() {
  if (!streaming_) return;
  streaming_ = false;
  PGconn* conn = connection_->Handle();
  char* line = nullptr;
  while (inCopy_ && PQgetCopyData(conn, &line, 0) > 0) PQfreemem(line);
  inCopy_ = false;
  while (ResultHandle rest{PQgetResult(conn)}) {
  }
  connection_->SetStream(nullptr);
}

void StreamingRecordset::MoveNext() {
  if (!onRow_) ThrowNoCurrentRow(kSource);
  Fetch();
}

void StreamingRecordset::Close() {
  onRow_ = false;
  values_.clear();
  if (!streaming_) return;
  // Rows not read yet are not worth fetching: the server is asked to stop sending them, and what it sent
  // already is read and dropped. Within a read snapshot they are read and dropped all the same: a query
  // stopped there would end the transaction, and the snapshot with it.
  if (connection_->InReadSnapshot()) {
    Finish();
    return;
  }
  if (PGcancel* cancel = PQgetCancel(connection_->Handle())) {
    char message[256];
    PQcancel(cancel, message, sizeof message);
    PQfreeCancel(cancel);
  }
  Finish();
}

}  // namespace

namespace {

// How long opening a connection may wait on the server.
constexpr int kConnectTimeoutMs = 30000;

// Connects without blocking so that the error verbosity can be raised before the login: the server's
// refusal then carries its SQLSTATE, which tells a refused login from an unknown database.
ConnHandle Connect(const ConnectParameters& parameters) {
  ConnHandle conn{PQconnectStartParams(parameters.Keywords(), parameters.Values(), 0)};
  if (conn == nullptr) throw Error(kOutOfMemory, kSource, "Out of memory opening a server connection");
  if (PQstatus(conn.get()) == CONNECTION_BAD) return conn;
  PQsetErrorVerbosity(conn.get(), PQERRORS_VERBOSE);
  PostgresPollingStatusType status = PGRES_POLLING_WRITING;
  while (status != PGRES_POLLING_OK && status != PGRES_POLLING_FAILED) {
    pollfd wait{PQsocket(conn.get()), static_cast<short>(status == PGRES_POLLING_READING ? POLLIN : POLLOUT),
                0};
    int ready = poll(&wait, 1, kConnectTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return nullptr;  // timed out
    status = PQconnectPoll(conn.get());
  }
  PQsetErrorVerbosity(conn.get(), PQERRORS_DEFAULT);
  return conn;
}

// The SQLSTATE in a verbose connection message ("...FATAL:  3D000: database ... does not exist"),
// removed from the message, which keeps its first line.
std::string TakeSqlState(std::string& message) {
  std::string state;
  for (const char* severity : {"FATAL:  ", "ERROR:  "}) {
    std::size_t at = message.find(severity);
    if (at == std::string::npos) continue;
    std::size_t code = at + std::strlen(severity);
    if (code + 7 <= message.size() && message.compare(code + 5, 2, ": ") == 0) {
      state = message.substr(code, 5);
      message.erase(code, 7);
    }
    break;
  }
  std::size_t line = message.find('\n');
  if (line != std::string::npos) message.resize(line);
  return state;
}

}  // namespace

std::unique_ptr<Connection> OpenServerConnection(std::string_view connectionString) {
  ServerAddress address = ReadServerAddress(connectionString);
  ConnectParameters parameters(address);
  ConnHandle conn = Connect(parameters);
  std::string where = "database \"" + address.database + "\" on server " + address.ServerName() +
                      (address.user.empty() ? "" : " as user \"" + address.user + "\"");
  if (conn == nullptr)
    throw Error(kServerGone, kSource, "Cannot open " + where + ": the server does not answer");
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    std::string message = PQerrorMessage(conn.get());
    std::string state = TakeSqlState(message);
    // A login the server refused (class 28), a database it does not have (3D000), else no server reached.
    std::int32_t number = state.starts_with("28") ? kAuthenticationFailed
                          : state.empty()
                              ? (PQconnectionNeedsPassword(conn.get()) ? kAuthenticationFailed : kServerGone)
                              : kCommandError;
    throw Error(number, kSource, "Cannot open " + where + ": " + message, std::move(state), {});
  }
  std::string role = address.role;
  auto connection =
      std::make_unique<ServerConnection>(std::move(conn), std::string(connectionString), std::move(address));
  // Everything the session runs from here on runs as the role, with the role's rights only.
  if (!role.empty()) {
    try {
      connection->RunServerSql("SET ROLE " + QuoteName(role));
    } catch (const Error& error) {
      throw Error(kAuthenticationFailed, kSource,
                  "Cannot run as role \"" + role + "\" on " + where + ": " + error.Description(),
                  error.EngineCode(), {});
    }
  }
  return connection;
}

void CloseSessionsTo(const ServerAddress& address, std::string_view database) {
  std::lock_guard lock(Sessions().mutex);
  for (ServerConnection* session : Sessions().sessions) {
    const ServerAddress& reached = session->Address();
    if (reached.host == address.host && reached.port == address.port && reached.database == database)
      session->Abandon();
  }
}

}  // namespace vela::data::postgres
