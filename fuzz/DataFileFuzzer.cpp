// Fuzzes the table data file reader: the first byte of an input is the table's column count, the rest the
// data file. Every token is read the way the restore reads it; a malformed file must fail with vela::Error
// and nothing else.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "backupfile/TableDataFile.h"
#include "velabackup/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return -1;
  const std::uint32_t columnCount = data[0];
  const std::filesystem::path path = vela::fuzz::RunFolder() / "table.dat";
  vela::fuzz::WriteFile(path, data + 1, size - 1);

  using Reader = vela::backupfile::TableDataFileReader;
  try {
    Reader reader(path, "Fuzzed", std::vector<std::string>(columnCount, "Column"));
    std::string text;
    std::vector<std::uint8_t> bytes;
    std::uint64_t fields = 0;
    for (auto token = reader.Next(); token != Reader::Token::kEnd; token = reader.Next()) {
      if (token != Reader::Token::kField) continue;
      if (reader.FieldIndex() >= columnCount) ::abort();  // the reader promises to refuse these
      ++fields;
      text.clear();
      bytes.clear();
      // Each conversion may refuse its value on its own; the next field is still read.
      try {
        switch (reader.Class()) {
          case Reader::ValueClass::kBinary:
            reader.AppendBytes(bytes);
            break;
          case Reader::ValueClass::kInteger:
            (void)reader.Integer();
            break;
          case Reader::ValueClass::kReal:
            (void)reader.Real();
            break;
          default:
            reader.AppendText(text);
            break;
        }
      } catch (const vela::Error&) {
      }
    }
    (void)reader.EndedWithTrailer();
    (void)fields;
  } catch (const vela::Error&) {
  }
  return 0;
}
