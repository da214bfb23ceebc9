// Packs one large table data file with each compressor under consideration and prints time, archive size
// and peak memory, so that the zip control's choice (ZipControl.h, DeflateEffortFor) can be checked.
//
//   bench_compress [rows = 1000000] [folder = <temporary folder>] [--all]
//
// The input is made by the project's own table data file writer: a 1,000,000-row table of nine columns
// (integer key, names with accented letters, decimals, dates, Booleans, integers, nullable notes, nullable
// 16-byte binary values in their Windows-1252 character form, product codes), about 234 MB of UTF-16LE.
// Every value is drawn from a seeded generator, so the file does not repeat itself the way a cycled sample
// would, and every run sees the same bytes.
//
// Each option runs in a child process: "peak" is that child's maximum resident set, "cpu" its user plus
// system time (above "wall" when several threads work). The archive is written beside the input and
// removed after its size is taken; the zip control's archives are also read back in full through libzip
// (not timed) to check the CRCs. --all adds the slow options (zlib 9 through libzip, libdeflate 12).
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
    writer.WriteText(1, pick(first) + " " + pick(last));
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

void Run(const Option& option, const fs::path& input) {
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
    std::printf("%-34s failed\n", option.name.c_str());
    return;
  }
  auto size = fs::file_size(archive);
  const char* check = option.ours ? (ReadsBack(archive) ? "ok" : "BAD") : "-";
  std::printf("%-34s %7.2f %7.2f %12llu %6.1f %% %7.1f  %s\n", option.name.c_str(), wall, cpu,
              static_cast<unsigned long long>(size),
              100.0 * static_cast<double>(size) / static_cast<double>(fs::file_size(input)),
              static_cast<double>(usage.ru_maxrss) / 1024.0, check);
  std::fflush(stdout);
  fs::remove(archive);
}

}  // namespace

int main(int argc, char** argv) {
  long rows = 1000000;
  fs::path folder = fs::temp_directory_path();
  bool all = false;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--all") == 0)
      all = true;
    else
      positional.emplace_back(argv[i]);
  }
  if (!positional.empty()) rows = std::atol(positional[0].c_str());
  if (positional.size() > 1) folder = positional[1];
  const fs::path input = folder / "vela-compress-bench.dat";

  try {
    auto start = Clock::now();
    MakeDataFile(input, rows);
    std::printf("input: %ld rows, %llu bytes of UTF-16LE (made in %.1f s), %u hardware threads\n\n", rows,
                static_cast<unsigned long long>(fs::file_size(input)),
                std::chrono::duration<double>(Clock::now() - start).count(),
                std::thread::hardware_concurrency());
  } catch (const vela::Error& error) {
    std::fprintf(stderr, "%s\n", error.Description().c_str());
    return 1;
  }

  using std::placeholders::_1;
  using std::placeholders::_2;
  auto libzip = [](int level) {
    return Option{"libzip + zlib " + std::to_string(level), std::bind(PackWithLibzip, _1, _2, level), false};
  };
  auto control = [](int effort, unsigned threads, std::size_t chunk, std::string note = "") {
    std::string name = "libdeflate " + std::to_string(effort) + ", " + std::to_string(threads) + " thread" +
                       (threads > 1 ? "s" : "") + ", " + std::to_string(chunk >> 10) + " KiB" + note;
    return Option{name, std::bind(PackWithControl, _1, _2, 9, effort, threads, chunk), true};
  };
  std::vector<Option> options;
  options.push_back({"stored (level 0)", std::bind(PackWithControl, _1, _2, 0, 0, 0, 0), true});
  if (all) options.push_back(libzip(9));
  options.push_back(libzip(6));
  options.push_back(libzip(1));
  for (int effort : {1, 4, 6, 9}) {
    options.push_back(control(effort, 1, 1 << 20));
    options.push_back(control(effort, 2, 1 << 20));
  }
  for (int effort : {5, 7, 8}) options.push_back(control(effort, 2, 1 << 20));
  options.push_back(control(6, 2, 256 << 10));
  options.push_back(control(6, 2, 4 << 20));
  if (all) options.push_back(control(12, 2, 1 << 20));
  options.push_back(
      {"zip control at level 9 (defaults)", std::bind(PackWithControl, _1, _2, 9, 0, 0, 0), true});

  std::printf("%-34s %7s %7s %12s %8s %7s  %s\n", "option", "wall s", "cpu s", "archive B", "ratio",
              "peak MB", "reads back");
  for (const Option& option : options) Run(option, input);
  fs::remove(input);
  return 0;
}
