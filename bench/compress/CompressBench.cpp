// Packs one large table data file through the zip control at every compression level, and with each
// compressor and chunking under consideration, and prints time, archive size and peak memory, so that the
// zip control's choice (ZipControl.h: DeflateEffortFor, kDefaultChunkSize) can be checked.
//
//   bench_compress [rows = 1000000] [folder = <temporary folder>] [--file PATH] [--gzip BYTES]
//                  [--pg-dump BYTES] [--levels] [--all]
//
// The input is made by the project's own table data file writer: a 1,000,000-row table of nine columns
// (integer key, names with accented letters, decimals, dates, Booleans, integers, nullable notes, nullable
// 16-byte binary values in their Windows-1252 character form, product codes), about 234 MB of UTF-16LE.
// Every value is drawn from a seeded generator, so the file does not repeat itself the way a cycled sample
// would, and every run sees the same bytes. --file packs a data file taken from a real backup instead
// (bench/compress/run.sh takes the one of the host's sample database), which is left in place.
//
// The level curve packs the file at levels 0 to 12 as `velabackup save --level N` asks for them, and at
// the level the compressed mode picks; --gzip and --pg-dump give the sizes of the peers' backups of the
// same table (`sqlite3 .dump | gzip -9`, `pg_dump -Fc`) for the ratio columns. --levels prints the curve
// only; --all adds the slow options (zlib 9 through libzip).
//
// Each option runs in a child process: "peak" is that child's maximum resident set, "cpu" its user plus
// system time (above "wall" when several threads work). The archive is written beside the input and
// removed after its size is taken; the zip control's archives are also read back in full through libzip
// (not timed) to check the CRCs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backupfile/TableDataFile.h"
#include "platform/zip/ZipControl.h"
#include "velabackup/Error.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void MakeDataFile(const fs::path& path, long rows) {
  static const char* first[] = {"Ann",      "Jörg",  "Zoë",     "Liam", "Sofía", "Noah",  "Ingrid",
                                "François", "Mia",   "Luca",    "Aiko", "Björn", "Chloé", "David",
                                "Emma",     "Felix", "Günther", "Hana", "Ivan",  "Jules"};
  static const char* last[] = {"Smith",    "Müller", "Kraus",   "García",    "Nguyen",   "Rossi", "Dubois",
                               "Novák",    "Öztürk", "Schmidt", "Johansson", "Kowalski", "Brown", "Silva",
                               "Ødegaard", "Moreau", "Lee",     "Fischer",   "Martín",   "Weiß"};
  static const char* words[] = {
      "delivered", "to",    "the",     "customer", "order",    "paid",   "by",     "invoice",   "returned",
      "damaged",   "box",   "call",    "before",   "delivery", "urgent", "Zürich", "warehouse", "north",
      "gate",      "3",     "pallets", "of",       "spare",    "parts",  "and",    "a",         "refund",
      "pending",   "since", "Monday",  "über",     "café",     "crème",  "façade", "naïve",     "€"};
  std::mt19937_64 random(20240131);
  auto pick = [&](auto& list) { return std::string(list[random() % std::size(list)]); };
  vela::backupfile::TableDataFileWriter writer(path, static_cast<std::uint32_t>(rows));
  std::vector<std::uint8_t> bytes(16);
  char text[64];
  for (long row = 1; row <= rows; ++row) {
    writer.BeginRow();
    writer.WriteText(0, std::to_string(row));
    std::string name = pick(first);
    name += ' ';
    name += pick(last);
    writer.WriteText(1, name);
    std::snprintf(text, sizeof text, "%llu.%02llu", static_cast<unsigned long long>(random() % 100000),
                  static_cast<unsigned long long>(random() % 100));
    writer.WriteText(2, text);
    std::snprintf(text, sizeof text, "20%02d-%02d-%02d %02d:%02d:%02d", static_cast<int>(15 + random() % 10),
                  static_cast<int>(1 + random() % 12), static_cast<int>(1 + random() % 28),
                  static_cast<int>(random() % 24), static_cast<int>(random() % 60),
                  static_cast<int>(random() % 60));
    writer.WriteText(3, text);
    writer.WriteText(4, random() % 3 != 0 ? "-1" : "0");
    writer.WriteText(5, std::to_string(random() % 10000));
    if (random() % 2 == 0) {
      std::string note = pick(words);
      for (int n = static_cast<int>(random() % 7); n > 0; --n) note += " " + pick(words);
      writer.WriteText(6, note);
    }
    if (random() % 10 < 3) {
      for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
      writer.WriteBinary(7, bytes);
    }
    std::snprintf(text, sizeof text, "SKU-%c%c-%06llu", static_cast<char>('A' + random() % 26),
                  static_cast<char>('A' + random() % 26),
                  static_cast<unsigned long long>(random() % 1000000));
    writer.WriteText(8, text);
    writer.EndRow(false);
  }
  writer.Finish();
}

// libzip doing the compression itself with zlib, as it would without our own deflate.
void PackWithLibzip(const fs::path& input, const fs::path& archive, int level) {
  int error = 0;
  zip_t* zip = zip_open(archive.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (zip == nullptr) throw std::runtime_error("zip_open failed");
  zip_source_t* source = zip_source_file(zip, input.c_str(), 0, -1);
  zip_int64_t index = zip_file_add(zip, input.filename().c_str(), source, 0);
  if (index < 0 ||
      zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE,
                               static_cast<zip_uint32_t>(level)) != 0 ||
      zip_close(zip) != 0)
    throw std::runtime_error(std::string("libzip: ") + zip_strerror(zip));
}

// effort, threads, chunk: 0 keeps the control's own choice.
void PackWithControl(const fs::path& input, const fs::path& archive, int level, int effort, unsigned threads,
                     std::size_t chunk) {
  vela::zip::ZipControl control;
  control.SetArchivePath(archive);
  control.SetFiles({input});
  control.SetCompressionLevel(level);
  if (effort > 0) control.SetDeflateEffort(effort);
  if (threads > 0) control.SetThreads(threads);
  if (chunk > 0) control.SetChunkSize(chunk);
  control.Pack();
}

bool ReadsBack(const fs::path& archive) {
  int error = 0;
  zip_t* zip = zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  if (zip == nullptr) return false;
  bool good = true;
  std::vector<char> buffer(1 << 20);
  for (zip_int64_t i = 0; good && i < zip_get_num_entries(zip, 0); ++i) {
    zip_file_t* file = zip_fopen_index(zip, static_cast<zip_uint64_t>(i), 0);
    zip_int64_t count = 0;
    while (file != nullptr && (count = zip_fread(file, buffer.data(), buffer.size())) > 0) {
    }
    good = file != nullptr && count == 0;
    if (file != nullptr) zip_fclose(file);
  }
  zip_discard(zip);
  return good;
}

struct Option {
  std::string name;
  std::function<void(const fs::path&, const fs::path&)> pack;
  bool ours;
};

// The peers' sizes for the ratio columns; 0 when not given.
struct Peers {
  double gzip = 0;
  double pgDump = 0;
};

std::string Ratio(std::uintmax_t size, double peer) {
  if (peer <= 0) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(size) / peer);
  return text;
}

void Run(const Option& option, const fs::path& input, const Peers& peers) {
  const fs::path archive = input.parent_path() / "bench.zip";
  auto start = Clock::now();
  pid_t child = fork();
  if (child == 0) {
    try {
      option.pack(input, archive);
      _exit(0);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s: %s\n", option.name.c_str(), error.what());
      _exit(1);
    }
  }
  int status = 0;
  struct rusage usage {};
  wait4(child, &status, 0, &usage);
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("%-36s failed\n", option.name.c_str());
    return;
  }
  auto size = fs::file_size(archive);
  const char* check = option.ours ? (ReadsBack(archive) ? "ok" : "BAD") : "-";
  std::printf("%-36s %7.2f %7.2f %12llu %6.1f %% %7s %7s %7.1f  %s\n", option.name.c_str(), wall, cpu,
              static_cast<unsigned long long>(size),
              100.0 * static_cast<double>(size) / static_cast<double>(fs::file_size(input)),
              Ratio(size, peers.gzip).c_str(), Ratio(size, peers.pgDump).c_str(),
              static_cast<double>(usage.ru_maxrss) / 1024.0, check);
  std::fflush(stdout);
  fs::remove(archive);
}

void PrintHeading(const char* title) {
  std::printf("\n%s\n%-36s %7s %7s %12s %8s %7s %7s %7s  %s\n", title, "option", "wall s", "cpu s",
              "archive B", "of input", "x gzip", "x pg", "peak MB", "reads back");
}

}  // namespace

int main(int argc, char** argv) {
  long rows = 1000000;
  fs::path folder = fs::temp_directory_path();
  fs::path given;
  Peers peers;
  bool all = false;
  bool levelsOnly = false;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    bool hasValue = i + 1 < argc;
    if (argument == "--all") {
      all = true;
    } else if (argument == "--levels") {
      levelsOnly = true;
    } else if (argument == "--file" && hasValue) {
      given = argv[++i];
    } else if (argument == "--gzip" && hasValue) {
      peers.gzip = std::atof(argv[++i]);
    } else if (argument == "--pg-dump" && hasValue) {
      peers.pgDump = std::atof(argv[++i]);
    } else if (argument.starts_with("--")) {
      std::fprintf(stderr, "bench_compress: unknown option %s\n", argument.c_str());
      return 2;
    } else {
      positional.push_back(argument);
    }
  }
  if (!positional.empty()) rows = std::atol(positional[0].c_str());
  if (positional.size() > 1) folder = positional[1];
  const fs::path input = given.empty() ? folder / "vela-compress-bench.dat" : given;

  try {
    auto start = Clock::now();
    if (given.empty()) {
      MakeDataFile(input, rows);
      std::printf("input: %ld rows, ", rows);
    } else {
      std::printf("input: %s, ", input.c_str());
    }
    std::printf("%llu bytes of UTF-16LE (made in %.1f s), %u hardware threads\n",
                static_cast<unsigned long long>(fs::file_size(input)),
                std::chrono::duration<double>(Clock::now() - start).count(),
                std::thread::hardware_concurrency());
  } catch (const vela::Error& error) {
    std::fprintf(stderr, "%s\n", error.Description().c_str());
    return 1;
  }

  using std::placeholders::_1;
  using std::placeholders::_2;
  PrintHeading("Levels, as `velabackup save --level N` asks for them (effort N), on the default threads");
  for (int level = 0; level <= vela::zip::kMaxCompressionLevel; ++level)
    Run({"level " + std::to_string(level), std::bind(PackWithControl, _1, _2, level, level, 0, 0), true},
        input, peers);
  Run({"compressed mode (level 9 = effort " + std::to_string(vela::zip::DeflateEffortFor(9)) + ")",
       std::bind(PackWithControl, _1, _2, 9, 0, 0, 0), true},
      input, peers);

  if (!levelsOnly) {
    auto libzip = [](int level) {
      return Option{"libzip + zlib " + std::to_string(level), std::bind(PackWithLibzip, _1, _2, level),
                    false};
    };
    auto control = [](int effort, unsigned threads, std::size_t chunk) {
      std::string name = "libdeflate " + std::to_string(effort) + ", " + std::to_string(threads) + " thread" +
                         (threads > 1 ? "s" : "") + ", " + std::to_string(chunk >> 10) + " KiB";
      return Option{name, std::bind(PackWithControl, _1, _2, 9, effort, threads, chunk), true};
    };
    std::vector<Option> options;
    if (all) options.push_back(libzip(9));
    options.push_back(libzip(6));
    options.push_back(libzip(1));
    for (int effort : {6, 7}) {
      options.push_back(control(effort, 1, vela::zip::kDefaultChunkSize));
      for (std::size_t chunk :
           {std::size_t{1} << 20, std::size_t{4} << 20, std::size_t{8} << 20, std::size_t{16} << 20})
        options.push_back(control(effort, 2, chunk));
    }
    PrintHeading("Threads and chunk sizes");
    for (const Option& option : options) Run(option, input, peers);
  }
  if (given.empty()) fs::remove(input);
  return 0;
}
