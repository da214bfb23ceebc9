// Throughput and peak memory of the file-database provider against the sqlite3 shell.
//
// For each row count the benchmark runs four phases, each in a child process of its own so that its peak
// resident memory (from wait4) belongs to that phase alone:
//   insert  the provider: a new file, one table of 8 mixed columns, AddNew/Update per row, Close
//   read    the provider: the forward-only cursor over SELECT * FROM [t], every value touched
//   dump    the shell: sqlite3 <file> .dump > dump.sql
//   load    the shell: sqlite3 <new file> < dump.sql
// Usage: bench_sqlite_provider [row counts, comma-separated; default 100000,1000000] [work folder]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "velabackup/Error.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace {

using namespace vela::data;
namespace fs = std::filesystem;

std::string Cs(const fs::path& file) {
  return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file.string();
}

Column Col(const char* name, int type, std::int64_t size = 0) {
  Column c;
  c.name = name;
  c.type = type;
  c.definedSize = size;
  return c;
}

void Insert(const fs::path& file, long rows) {
  CreateDatabase(Cs(file));
  auto db = OpenConnection(Cs(file));
  Table t;
  t.name = "Bench Rows";
  t.columns = {Col("ID", adInteger),         Col("Name", adVarWChar, 50), Col("Score", adDouble),
               Col("Amount", adCurrency),    Col("Created", adDate),      Col("Active", adBoolean),
               Col("Data", adVarBinary, 16), Col("Notes", adLongVarWChar)};
  Index pk;
  pk.name = "PrimaryKey";
  pk.primaryKey = pk.unique = true;
  pk.columns = {Col("ID", adInteger)};
  t.indexes = {pk};
  db->OpenCatalog()->AppendTable(t);
  auto rs = db->OpenRecordset("SELECT * FROM [Bench Rows]", adOpenDynamic, adLockOptimistic, adUseServer);
  std::string notes(80, 'n');
  char date[32];
  for (long i = 0; i < rows; ++i) {
    rs->AddNew();
    rs->SetValue(0, Value(i + 1));
    rs->SetValue(1, Value("Customer name " + std::to_string(i)));
    rs->SetValue(2, Value(i * 0.25));
    rs->SetValue(
        3, Value::Decimal(std::to_string(i % 1000000) + "." + std::to_string(1000 + i % 10000).substr(1)));
    std::snprintf(date, sizeof date, "20%02ld-%02ld-%02ld %02ld:%02ld:%02ld", i % 30, 1 + i % 12, 1 + i % 28,
                  i % 24, i % 60, (i / 60) % 60);
    rs->SetValue(4, Value::Date(date));
    rs->SetValue(5, Value(i % 2 == 0));
    Bytes data(16);
    for (int b = 0; b < 16; ++b) data[b] = static_cast<std::uint8_t>(i >> (b % 8) * 8);
    rs->SetValue(6, Value(std::move(data)));
    notes[i % notes.size()] = static_cast<char>('a' + i % 26);
    rs->SetValue(7, Value(notes));
    rs->Update();
  }
  rs->Close();
}

void Read(const fs::path& file, long expected) {
  auto db = OpenConnection(Cs(file));
  auto rs = db->OpenRecordset("SELECT * FROM [Bench Rows]", adOpenForwardOnly, adLockReadOnly, adUseServer);
  long rows = 0;
  std::size_t touched = 0;
  for (; !rs->Eof(); rs->MoveNext(), ++rows)
    for (std::size_t f = 0; f < rs->FieldCount(); ++f) touched += rs->GetValue(f).IsNull() ? 0 : 1;
  if (rows != expected || touched != static_cast<std::size_t>(rows) * 8) {
    std::fprintf(stderr, "read %ld rows, expected %ld\n", rows, expected);
    std::exit(1);
  }
}

struct Phase {
  double seconds = 0;
  long maxRssKiB = 0;
};

// Runs `work` in a child process; its wall time and its own peak resident memory.
template <class Work>
Phase Measure(Work&& work) {
  std::fflush(nullptr);  // the child must not print what the parent has buffered
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) std::perror("fork"), std::exit(1);
  if (pid == 0) {
    int rc = 0;
    try {
      rc = work();
    } catch (const vela::Error& e) {
      std::fprintf(stderr, "%s\n", e.Description().c_str());
      rc = 1;
    }
    std::fflush(nullptr);
    _exit(rc);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Phase phase;
  phase.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  phase.maxRssKiB = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "a benchmark phase failed\n");
    std::exit(1);
  }
  return phase;
}

Phase Shell(const std::string& command) {
  return Measure([&] { return execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr)); });
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<long> counts;
  std::string list = argc > 1 ? argv[1] : "100000,1000000";
  for (std::size_t pos = 0; pos < list.size();) {
    std::size_t comma = list.find(',', pos);
    counts.push_back(std::stol(list.substr(pos, comma - pos)));
    pos = comma == std::string::npos ? list.size() : comma + 1;
  }
  fs::path dir = argc > 2 ? fs::path(argv[2])
                          : fs::temp_directory_path() / ("vela-bench-sqlite-" + std::to_string(getpid()));
  fs::create_directories(dir);
  if (std::system("sqlite3 -version >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "the sqlite3 shell is needed (Debian package sqlite3)\n");
    return 1;
  }

  std::printf("%10s | %-28s | %12s | %9s | %12s\n", "rows", "phase", "rows/s", "seconds", "peak RSS KiB");
  for (long rows : counts) {
    fs::path ours = dir / ("provider-" + std::to_string(rows) + ".mdb");
    fs::path dump = dir / ("dump-" + std::to_string(rows) + ".sql");
    fs::path loaded = dir / ("shell-" + std::to_string(rows) + ".db");
    fs::remove(ours), fs::remove(dump), fs::remove(loaded);
    Phase insert = Measure([&] { return Insert(ours, rows), 0; });
    Phase read = Measure([&] { return Read(ours, rows), 0; });
    Phase dumped = Shell("sqlite3 '" + ours.string() + "' .dump > '" + dump.string() + "'");
    Phase load = Shell("sqlite3 '" + loaded.string() + "' < '" + dump.string() + "'");
    auto line = [&](const char* name, const Phase& p) {
      std::printf("%10ld | %-28s | %12.0f | %9.2f | %12ld\n", rows, name, rows / p.seconds, p.seconds,
                  p.maxRssKiB);
    };
    line("provider insert (AddNew)", insert);
    line("shell load of the dump", load);
    line("provider read (forward-only)", read);
    line("shell .dump", dumped);
    std::printf("%10ld | insert / shell load = %.2f, read / shell .dump = %.2f (throughput ratios)\n", rows,
                load.seconds / insert.seconds, dumped.seconds / read.seconds);
    fs::remove(ours), fs::remove(dump), fs::remove(loaded);
  }
  fs::remove_all(dir);
  return 0;
}
