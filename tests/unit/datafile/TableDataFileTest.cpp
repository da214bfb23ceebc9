#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <map>
#include <sstream>

#include "backupfile/FormatNumericValue.h"
#include "backupfile/TableDataFile.h"
#include "support/TempFolder.h"
#include "unit/datafile/FileBytes.h"
#include "velabackup/Error.h"

namespace vela::backupfile {
namespace {

using testing::ByteString;
using testing::ReadBytes;
using testing::TempFolder;
using testing::Utf16Le;
using testing::WriteBytes;
using Token = TableDataFileReader::Token;

// A row as the restore assembles it: column index -> value; binary values as "B:" + their bytes.
using Row = std::map<std::uint32_t, std::string>;

struct Table {
  std::vector<Row> rows;
  int corruptions = 0;
  bool trailer = false;
};

// The restore's loop, as the reader's header describes it.
Table ReadTable(const std::filesystem::path& path, std::uint32_t columns = 8) {
  TableDataFileReader reader(path, columns);
  Table table;
  std::optional<Row> row;
  for (Token token = reader.Next(); token != Token::kEnd; token = reader.Next()) {
    if (reader.StartsRow()) {
      if (row) table.rows.push_back(*row);
      row.emplace();
    }
    if (token == Token::kField) {
      const auto bytes = reader.IsBinary() ? reader.Bytes() : std::vector<std::uint8_t>();
      (*row)[reader.FieldIndex()] =
          reader.IsBinary() ? "B:" + std::string(bytes.begin(), bytes.end()) : reader.Text();
    } else if (token == Token::kCorruption) {
      ++table.corruptions;
      row.reset();
    }
  }
  if (row) table.rows.push_back(*row);
  table.trailer = reader.EndedWithTrailer();
  return table;
}

class TableDataFileTest : public ::testing::Test {
 protected:
  std::filesystem::path Write(std::u16string_view units) {
    WriteBytes(path_, Utf16Le(units));
    return path_;
  }
  void ExpectMalformed(std::u16string_view units, const std::string& what, int character) {
    Write(units);
    try {
      ReadTable(path_, 4);
      ADD_FAILURE() << "no error, expected: " << what;
    } catch (const Error& error) {
      EXPECT_EQ(error.Number(), kBadFileFormat);
      const std::string where = ", character " + std::to_string(character) + " (byte offset " +
                                std::to_string(2 + 2 * character) + "): ";
      EXPECT_NE(error.Description().find(path_.string() + where + what), std::string::npos)
          << error.Description();
    }
  }

  TempFolder folder_;
  const std::filesystem::path path_ = folder_.path() / "table.dat";
};

TEST_F(TableDataFileTest, WorkedExampleIsWrittenByteForByteAndReadBack) {
  // ID integer, Name varchar, Photo binary, Active boolean: (1, "Ann", NULL, true), (2, NULL, 3 bytes, false)
  const std::vector<std::uint8_t> photo = {0x00, 0x80, 0xFF};
  TableDataFileWriter writer(path_, 2);
  writer.BeginRow();
  writer.WriteText(0, "1");
  writer.WriteText(1, "Ann");
  writer.WriteText(3, "-1");
  writer.EndRow(false);
  writer.BeginRow();
  writer.WriteText(0, "2");
  writer.WriteBinary(2, photo);
  writer.WriteText(3, "0");
  writer.EndRow(false);
  writer.Finish();

  ByteString expected = {0xFF, 0xFE};
  for (const ByteString& piece :
       {Utf16Le(u"[2][0.1]1[1.3]Ann[3.2]-1[0.1]2[2.B3]", false),
        ByteString{0x00, 0x00, 0xAC, 0x20, 0xFF, 0x00}, Utf16Le(u"[3.1]0[EOF]", false)}) {
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(ReadBytes(path_), expected);

  TableDataFileReader reader(path_, 4);
  EXPECT_TRUE(reader.HasRows());
  EXPECT_EQ(reader.RecordCount(), 2u);
  const Table table = ReadTable(path_, 4);
  EXPECT_EQ(table.rows, (std::vector<Row>{{{0, "1"}, {1, "Ann"}, {3, "-1"}},
                                          {{0, "2"}, {2, "B:" + std::string("\0\x80\xFF", 3)}, {3, "0"}}}));
  EXPECT_TRUE(table.trailer);
}

TEST_F(TableDataFileTest, ValuesAreReadByLengthWhateverTheyHold) {
  const std::vector<std::string> values = {"[!CORRUPTED]",         "[EOF]", "[ROW]", "", "[5.3]abc]",
                                           "\xF0\x9D\x84\x9E\xFF!"};
  TableDataFileWriter writer(path_, 1);
  writer.BeginRow();
  for (std::uint32_t i = 0; i < values.size(); ++i) writer.WriteText(i, values[i]);
  writer.EndRow(false);
  writer.Finish();

  const auto bytes = ReadBytes(path_);
  const auto field = Utf16Le(u"[5.4]\xD834\xDD1E\xDCFF!", false);  // lengths count UTF-16 units
  EXPECT_NE(std::search(bytes.begin(), bytes.end(), field.begin(), field.end()), bytes.end());
  Row row;
  for (std::uint32_t i = 0; i < values.size(); ++i) row[i] = values[i];
  const Table table = ReadTable(path_);
  EXPECT_EQ(table.rows, std::vector<Row>{row});
  EXPECT_EQ(table.corruptions, 0);
}

TEST_F(TableDataFileTest, FilesWithoutMarkersReadByTheIndexRule) {
  // Index 0 starts a row, so do a lower index and the first field of the file; a higher one continues the
  // row (b and c may have been two rows, which this writer would have kept apart with a marker);
  // "[!CORRUPTED]" drops the row being assembled, and the field after it starts a new one.
  Write(u"[9][2.1]a[0.1]b[2.1]c[0.1]d[1.1]e[0.1]f[3.1]g[1.4]####[!CORRUPTED][1.1]h[2.2]i][EOF]");
  const Table table = ReadTable(path_);
  EXPECT_EQ(table.rows, (std::vector<Row>{{{2, "a"}},
                                          {{0, "b"}, {2, "c"}},
                                          {{0, "d"}, {1, "e"}},
                                          {{0, "f"}, {3, "g"}},
                                          {{1, "h"}, {2, "i]"}}}));
  EXPECT_EQ(table.corruptions, 1);
  EXPECT_TRUE(table.trailer);
}

TEST_F(TableDataFileTest, WriterMarksEveryRowTheIndexRuleWouldLose) {
  TableDataFileWriter writer(path_, 8);
  const auto row = [&](std::vector<std::pair<std::uint32_t, std::string>> fields, bool corrupted) {
    writer.BeginRow();
    for (const auto& [index, value] : fields) writer.WriteText(index, value);
    writer.WriteBinary(7, {});
    writer.EndRow(corrupted);
  };
  row({{0, "a"}, {1, "b"}}, false);
  row({{2, "c"}}, false);  // starts above where the row before ended
  row({}, false);          // no field at all
  row({{0, "d"}}, false);  // after a row that is only a marker
  row({}, true);           // all NULL, after a row still being assembled
  row({}, true);           // all NULL, after a corrupted row
  row({{3, "e"}}, false);  // after a corrupted row: starts a row by itself
  row({{3, "####"}}, true);
  writer.Finish();

  EXPECT_EQ(ReadBytes(path_),
            Utf16Le(u"[8][0.1]a[1.1]b[ROW][2.1]c[ROW][ROW][0.1]d[ROW][!CORRUPTED][!CORRUPTED][3.1]e"
                    u"[ROW][3.4]####[!CORRUPTED][EOF]"));
  const Table table = ReadTable(path_);
  EXPECT_EQ(table.rows, (std::vector<Row>{{{0, "a"}, {1, "b"}}, {{2, "c"}}, {}, {{0, "d"}}, {{3, "e"}}}));
  EXPECT_EQ(table.corruptions, 3);
}

TEST_F(TableDataFileTest, FilesThatAreNotDataFilesGiveNoRows) {
  for (const ByteString& bytes :
       {ByteString{}, ByteString{0xFF, 0xFE}, Utf16Le(u"x[1][0.1]a"), ByteString{'[', '1', ']'}}) {
    WriteBytes(path_, bytes);
    TableDataFileReader reader(path_, 4);
    EXPECT_FALSE(reader.HasRows());
    EXPECT_EQ(reader.Next(), Token::kEnd);
  }
  // A file cut between two fields reads as far as it goes; only the missing trailer tells.
  Write(u"[2][0.1]a[0.1]b");
  const Table table = ReadTable(path_);
  EXPECT_EQ(table.rows.size(), 2u);
  EXPECT_FALSE(table.trailer);
}

TEST_F(TableDataFileTest, MalformedFramingFailsWithItsPosition) {
  ExpectMalformed(u"[1][0.5]ab", "field length 5 runs past the end of the file (2 characters remain)", 7);
  ExpectMalformed(u"[1][0.1]a[1.1073741824]a", "field length 1073741824 runs past the end", 22);
  ExpectMalformed(u"[1][0.99999999999]", "field length does not fit in 32 bits", 6);
  ExpectMalformed(u"[1][4294967296.1]a", "field index does not fit in 32 bits", 4);
  ExpectMalformed(u"[1][4.1]a", "field index 4 beyond the table's 4 columns", 4);
  ExpectMalformed(u"[12345678901234567890]", "record count does not fit in 32 bits", 1);
  ExpectMalformed(u"[1][.1]a", "field index missing", 4);
  ExpectMalformed(u"[1][0.B]", "field length missing", 7);
  ExpectMalformed(u"[1][0.1]a[1.", "the file ends inside this field", 10);
  ExpectMalformed(u"[1][0.1]a[12", "the file ends inside this field index", 10);
  ExpectMalformed(u"[12", "the file ends inside its header", 3);
  ExpectMalformed(u"[1][0.B2]a\x4E00",
                  "the binary value of field 0 starting here: Character U+4E00 at position 1", 9);
}

TEST_F(TableDataFileTest, AValueLongerThanTheEngineHoldsIsRefusedNamingWhereItBelongs) {
  // 1.5 GiB declared in a file of a few bytes: the limit refuses it before anything is read or allocated.
  Write(u"[2][0.1]a[1.1]b[0.1]c[2.B1610612736]xyz[EOF]");
  TableDataFileReader reader(path_, "Photos", {"ID", "Name", "Picture"});
  try {
    while (reader.Next() != Token::kEnd) {
    }
    ADD_FAILURE() << "the over-long value was read";
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kBadFileFormat);
    EXPECT_THAT(
        error.Description(),
        ::testing::HasSubstr(", character 22 (byte offset 46): column \"Picture\" (field 2) of row 2 of "
                             "table \"Photos\" declares a value of 1610612736 characters, more than the "
                             "1073741824 a value may hold"));
  }
}

TEST_F(TableDataFileTest, WriterFailuresAreClear) {
  TableDataFileWriter writer(path_, 1);
  EXPECT_THROW(writer.WriteText(0, "x"), Error);  // outside a row
  writer.BeginRow();
  writer.WriteText(2, "x");
  EXPECT_THROW(writer.WriteText(2, "y"), Error);  // indexes must increase within a row
  EXPECT_THROW(writer.Finish(), Error);           // inside a row

  TableDataFileWriter full("/dev/full", 1);
  full.BeginRow();
  full.WriteText(0, "x");
  full.EndRow(false);
  try {
    full.Finish();
    FAIL();
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kPathAccess);
    EXPECT_EQ(error.Description(), "Cannot write the file /dev/full: No space left on device");
  }
}

// The restore's reading of held values: each field as "class:value", the class letter or "-" for none.
std::vector<std::string> ReadClassed(const std::filesystem::path& path, std::uint32_t columns = 4) {
  using Class = TableDataFileReader::ValueClass;
  TableDataFileReader reader(path, columns);
  std::vector<std::string> fields;
  for (Token token = reader.Next(); token != Token::kEnd; token = reader.Next()) {
    if (token != Token::kField) continue;
    std::string field = std::to_string(reader.FieldIndex()) + ":";
    switch (reader.Class()) {
      case Class::kColumn:
        field += "-" + reader.Text();
        break;
      case Class::kInteger:
        field += "I" + std::to_string(reader.Integer());
        break;
      case Class::kReal: {
        std::ostringstream real;
        real << std::setprecision(17) << reader.Real();
        field += "R" + real.str();
        break;
      }
      case Class::kText:
        field += "T" + reader.Text();
        break;
      case Class::kBinary: {
        const auto bytes = reader.Bytes();
        field += "B" + std::to_string(bytes.size());
        break;
      }
    }
    fields.push_back(field);
  }
  return fields;
}

TEST_F(TableDataFileTest, HeldValuesCarryTheirClassWhichPlainReadersSkip) {
  using namespace std::string_view_literals;
  TableDataFileWriter writer(path_, 2);
  writer.BeginRow();
  writer.WriteInteger(0, -9223372036854775807LL - 1);
  writer.WriteReal(1, 0.1);
  writer.WriteHeldText(2, "2024-02-03T04:05:06.123Z");
  writer.WriteHeldBinary(3, {});  // an empty array of a typeless column is a value
  writer.EndRow(false);
  writer.BeginRow();
  writer.WriteText(0, "1.5");
  writer.WriteReal(1, -HUGE_VAL);
  writer.WriteHeldText(2, "");
  writer.WriteHeldBinary(3, std::vector<std::uint8_t>{0x00, 0xFF});
  writer.EndRow(false);
  writer.Finish();

  EXPECT_EQ(ReadBytes(path_),
            Utf16Le(u"[2][0.I20]-9223372036854775808[1.R3]0.1[2.T24]2024-02-03T04:05:06.123Z"
                    u"[3.B0][0.3]1.5[1.R4]-inf[2.T0][3.B2]\x0000\x00FF[EOF]"sv));
  EXPECT_EQ(ReadClassed(path_), (std::vector<std::string>{"0:I-9223372036854775808", "1:R0.10000000000000001",
                                                          "2:T2024-02-03T04:05:06.123Z", "3:B0", "0:-1.5",
                                                          "1:R-inf", "2:T", "3:B2"}));
  // A reader of the plain rules sees the same rows, each value in its text form.
  const Table plain = ReadTable(path_, 4);
  EXPECT_EQ(
      plain.rows,
      (std::vector<Row>{{{0, "-9223372036854775808"}, {1, "0.1"}, {2, "2024-02-03T04:05:06.123Z"}, {3, "B:"}},
                        {{0, "1.5"}, {1, "-inf"}, {2, ""}, {3, "B:" + std::string("\0\xFF", 2)}}}));
}

TEST_F(TableDataFileTest, FilesWithoutClassesReadAsBefore) {
  // Other letters in a length stay skipped, as the plain rules say; no value takes a class from them.
  Write(u"[3][0.1]7[1.x2]ab[2.B1]\x00C3[3.Eb1]z[0.2]-1[EOF]");
  EXPECT_EQ(ReadClassed(path_), (std::vector<std::string>{"0:-7", "1:-ab", "2:B1", "3:-z", "0:--1"}));
}

TEST_F(TableDataFileTest, HostileClassesFailWithTheirPosition) {
  auto expectMalformed = [&](std::u16string_view units, const std::string& what, int character) {
    SCOPED_TRACE(what);
    Write(units);
    try {
      ReadClassed(path_);
      ADD_FAILURE() << "no error";
    } catch (const Error& error) {
      EXPECT_EQ(error.Number(), kBadFileFormat);
      EXPECT_THAT(error.Description(),
                  ::testing::HasSubstr(", character " + std::to_string(character) + " (byte offset " +
                                       std::to_string(2 + 2 * character) + "): "));
      EXPECT_THAT(error.Description(), ::testing::HasSubstr(what));
    }
  };
  expectMalformed(u"[1][0.IR2]12", "a second class letter \"R\" in the length of field 0", 7);
  expectMalformed(u"[1][0.1]a[1.B1T]x", "a second class letter \"T\" in the length of field 1", 14);
  expectMalformed(u"[1][0.I3]abc", "the value of field 0 starting here is no 64-bit integer: \"abc\"", 9);
  expectMalformed(u"[1][0.I0]", "the value of field 0 starting here is no 64-bit integer: \"\"", 9);
  expectMalformed(u"[1][2.I19]9223372036854775808", "field 2 starting here is no 64-bit integer", 10);
  expectMalformed(u"[1][0.I2]\x0661\x0662", "no 64-bit integer", 9);  // digits, but not ASCII ones
  expectMalformed(u"[1][0.R3]nan", "the value of field 0 starting here is no real number: \"nan\"", 9);
  expectMalformed(u"[1][0.R5]1e999", "no real number", 9);
  const std::u16string longReal = u"[1][0.R70]" + std::u16string(70, u'1');
  expectMalformed(longReal, "no real number: \"1111111111111111111111111111111111111111...\"", 10);
}

TEST(FormatNumericValue, MovesNumbersToTheLocalSeparators) {
  EXPECT_EQ(FormatNumericValue("12,5", ",", ".", ".", ","), "12.5");
  EXPECT_EQ(FormatNumericValue("1.234,5", ",", ".", ".", ","), "1,234.5");
  EXPECT_EQ(FormatNumericValue("1.234", ",", ".", ".", ","), "1,234");  // no decimal separator
  EXPECT_EQ(FormatNumericValue("-7", ",", ".", ".", ","), "-7");
  EXPECT_EQ(FormatNumericValue("1 234 567,25", ",", " ", ".", ""), "1234567.25");
  EXPECT_EQ(FormatNumericValue("3.5", ".", "", ",", "."), "3,5");
  EXPECT_EQ(FormatNumericValue("1\xC2\xA0"
                               "000,5",
                               ",", "\xC2\xA0", ".", ","),
            "1,000.5");
}

}  // namespace
}  // namespace vela::backupfile
