// Writes a generated table of eight mixed columns into a table data file and reads it back, converting
// every value the way the restore does, and prints the throughput of both.
//
//   bench_datafile [rows = 1000000] [path = <temporary folder>/vela-bench.dat]
//
// The default makes a file of about 234 MB. Both passes run through the page cache (the file is neither
// synced nor evicted), so the figures are the cost of the format code, not of the disk.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "backupfile/TableDataFile.h"
#include "velabackup/Error.h"

namespace {

using Clock = std::chrono::steady_clock;

// One row of the table apart from its ID: a pool of these is cycled so that making values costs nothing.
struct Sample {
  std::string name, amount, created, active, quantity, note;
  std::vector<std::uint8_t> photo;
  bool noteIsNull;
};

std::vector<Sample> MakeSamples() {
  const char* names[] = {"Ann Smith", "M\xC3\xBCller J\xC3\xB6rg", "Zo\xC3\xAB Kraus", "Li Wei \xE6\x9D\x8E"};
  std::vector<Sample> samples;
  for (int i = 0; i < 1024; ++i) {
    Sample s;
    s.name = std::string(names[i % 4]) + std::to_string(i % 100);
    s.amount = std::to_string(1000 + i) + "." + std::to_string(10 + i % 90);
    char date[32];
    std::snprintf(date, sizeof date, "2024-%02d-%02d %02d:%02d:%02d", 1 + i % 12, 1 + i % 28, i % 24, i % 60,
                  (i * 7) % 60);
    s.created = date;
    s.active = i % 3 ? "-1" : "0";
    s.quantity = std::to_string(i % 100);
    for (int b = 0; b < 16; ++b) s.photo.push_back(static_cast<std::uint8_t>(i * 31 + b * 17));
    s.noteIsNull = i % 2 == 0;
    s.note = "note [" + std::to_string(i) + "] for row ...";
    samples.push_back(std::move(s));
  }
  return samples;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 1000000;
  const std::filesystem::path path =
      argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path() / "vela-bench.dat";
  const std::vector<Sample> samples = MakeSamples();

  try {
    auto start = Clock::now();
    {
      vela::backupfile::TableDataFileWriter writer(path, static_cast<std::uint32_t>(rows));
      char id[16];
      for (long row = 0; row < rows; ++row) {
        const Sample& s = samples[row % samples.size()];
        writer.BeginRow();
        writer.WriteText(0, std::string_view(id, std::to_chars(id, id + sizeof id, row + 1).ptr - id));
        writer.WriteText(1, s.name);
        writer.WriteText(2, s.amount);
        writer.WriteText(3, s.created);
        writer.WriteText(4, s.active);
        writer.WriteBinary(5, s.photo);
        if (!s.noteIsNull) writer.WriteText(6, s.note);
        writer.WriteText(7, s.quantity);
        writer.EndRow(false);
      }
      writer.Finish();
    }
    const double writeSeconds = Seconds(start);
    const double megabytes = static_cast<double>(std::filesystem::file_size(path)) / 1e6;

    start = Clock::now();
    long readRows = 0, fields = 0;
    std::uint64_t checksum = 0;
    std::string text;
    std::vector<std::uint8_t> bytes;
    vela::backupfile::TableDataFileReader reader(path, 8);
    using Token = vela::backupfile::TableDataFileReader::Token;
    for (Token token = reader.Next(); token != Token::kEnd; token = reader.Next()) {
      if (reader.StartsRow()) ++readRows;
      if (token != Token::kField) continue;
      ++fields;
      if (reader.IsBinary()) {
        bytes.clear();
        reader.AppendBytes(bytes);
        checksum += bytes.size();
      } else {
        text.clear();
        reader.AppendText(text);
        checksum += text.size();
      }
    }
    const double readSeconds = Seconds(start);

    std::printf("rows %ld, file %.1f MB\n", rows, megabytes);
    std::printf("write %.2f s  %.0f MB/s\n", writeSeconds, megabytes / writeSeconds);
    std::printf("read  %.2f s  %.0f MB/s  (%ld rows, %ld fields, %llu value bytes)\n", readSeconds,
                megabytes / readSeconds, readRows, fields, static_cast<unsigned long long>(checksum));
    std::filesystem::remove(path);
    return readRows == rows ? 0 : 1;
  } catch (const vela::Error& error) {
    std::fprintf(stderr, "%s\n", error.Description().c_str());
    std::filesystem::remove(path);
    return 1;
  }
}
