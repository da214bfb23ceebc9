// Values longer than the pieces the table data file writer and reader convert them in.
#include <gtest/gtest.h>

#include <filesystem>

#include "backupfile/TableDataFile.h"
#include "platform/text/CodePage.h"
#include "platform/text/Utf16.h"
#include "restore/RowValues.h"
#include "support/TempFolder.h"
#include "unit/datafile/FileBytes.h"
#include "velabackup/Error.h"
#include "velabackup/data/Types.h"

namespace vela::backupfile {
namespace {

using testing::ReadBytes;
using testing::Utf16Le;
using Token = TableDataFileReader::Token;
constexpr std::size_t kPiece = datafile::kValuePiece;

// Characters of one to four bytes and a byte that is no UTF-8, so that the pieces of either side end at
// every place within them: before, inside and after a surrogate pair.
std::string LongText() {
  std::string text;
  while (text.size() < 5 * kPiece) text += "x\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xFF";
  return text;
}

std::vector<std::uint8_t> LongBytes() {
  std::vector<std::uint8_t> bytes(3 * kPiece + 7);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  return bytes;
}

class BigValueTest : public ::testing::Test {
 protected:
  // One row: the text in field 0, the bytes in field 1, "end" in field 2.
  void WriteRow(const std::string& text, const std::vector<std::uint8_t>& bytes) {
    TableDataFileWriter writer(path_, 1);
    writer.BeginRow();
    writer.WriteText(0, text);
    writer.WriteBinary(1, bytes);
    writer.WriteText(2, "end");
    writer.EndRow(false);
    writer.Finish();
  }

  template <typename Read>
  void ExpectBadFormat(Read read, const std::string& what) {
    try {
      read();
      ADD_FAILURE() << "no error, expected: " << what;
    } catch (const Error& error) {
      EXPECT_EQ(error.Number(), kBadFileFormat);
      EXPECT_NE(error.Description().find(what), std::string::npos) << error.Description();
    }
  }

  testing::TempFolder folder_;
  const std::filesystem::path path_ = folder_.path() / "table.dat";
};

TEST_F(BigValueTest, LongValuesRoundTripAndAreWrittenAsWholeValuesWere) {
  const std::string text = LongText();
  const std::vector<std::uint8_t> bytes = LongBytes();
  WriteRow(text, bytes);

  const std::u16string units = text::ToUtf16(text);
  const std::u16string expected = u"[1][0." + text::ToUtf16(std::to_string(units.size())) + u"]" + units +
                                  u"[1.B" + text::ToUtf16(std::to_string(bytes.size())) + u"]" +
                                  text::BytesToText(bytes) + u"[2.3]end[EOF]";
  EXPECT_TRUE(ReadBytes(path_) == Utf16Le(expected));

  TableDataFileReader reader(path_, 3);
  ASSERT_EQ(reader.Next(), Token::kField);
  EXPECT_EQ(reader.Length(), units.size());
  EXPECT_TRUE(reader.Text() == text);
  ASSERT_EQ(reader.Next(), Token::kField);
  EXPECT_TRUE(reader.Bytes() == bytes);
  ASSERT_EQ(reader.Next(), Token::kField);
  EXPECT_EQ(reader.Text(), "end");
  EXPECT_EQ(reader.Next(), Token::kEnd);
}

TEST_F(BigValueTest, FailureInsideLongValueIsCleanAndTheNextFieldStillReads) {
  const std::vector<std::uint8_t> bytes = LongBytes();
  WriteRow(LongText(), bytes);
  TableDataFileReader reader(path_, 3);
  ASSERT_EQ(reader.Next(), Token::kField);
  std::vector<std::uint8_t> out = {1, 2};
  EXPECT_THROW(reader.AppendBytes(out), Error);  // the text's "\u4E2D" has no byte
  EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2}));
  ASSERT_EQ(reader.Next(), Token::kField);  // past the rest of the text, which nobody took
  EXPECT_EQ(reader.Bytes().size(), bytes.size());
  EXPECT_THROW(reader.Bytes(), Error);  // a long value is taken once
  ASSERT_EQ(reader.Next(), Token::kField);
  EXPECT_EQ(reader.Text(), "end");

  // Cut inside the long value: refused before it is read.
  std::filesystem::resize_file(path_, std::filesystem::file_size(path_) * 3 / 4);
  TableDataFileReader cut(path_, 3);
  cut.Next();
  ExpectBadFormat([&] { cut.Next(); }, "runs past the end of the file");

  // A character without byte in the third piece, named by its place in the whole value.
  std::u16string units = text::BytesToText(bytes);
  units[2 * kPiece + 5] = u'\u4E2D';
  testing::WriteBytes(
      path_, Utf16Le(u"[1][1.B" + text::ToUtf16(std::to_string(units.size())) + u"]" + units + u"[2.1]x"));
  TableDataFileReader unmappable(path_, 3);
  ASSERT_EQ(unmappable.Next(), Token::kField);
  ExpectBadFormat([&] { unmappable.Bytes(); }, "at position " + std::to_string(2 * kPiece + 5));
  ASSERT_EQ(unmappable.Next(), Token::kField);
  EXPECT_EQ(unmappable.Text(), "x");
}

TEST_F(BigValueTest, ServerReplacesWhatItCannotStoreInEveryPieceOfLongText) {
  std::string text(3 * kPiece, 'a');
  text.replace(kPiece - 1, 4, "\xF0\x9F\x98\x80");  // a character across the first piece's end
  text[2 * kPiece + 1] = '\0';                      // in the third piece, which alone changes
  text[2 * kPiece + 9] = '\xE9';                    // no UTF-8: a byte the server cannot take
  WriteRow(text, {});
  TableDataFileReader reader(path_, 3);
  ASSERT_EQ(reader.Next(), Token::kField);
  ColumnInfo column;
  column.dataType = data::adLongVarWChar;
  std::string scratch, how;
  const data::Value value = ServerValue(column, reader, Separators{}, scratch, how);
  EXPECT_EQ(how, "NUL and bytes that are not UTF-8 replaced by U+FFFD");
  std::string expected = text;
  expected.replace(2 * kPiece + 9, 1, "\xEF\xBF\xBD");
  expected.replace(2 * kPiece + 1, 1, "\xEF\xBF\xBD");
  EXPECT_TRUE(value.TextRef() == expected);
}

}  // namespace
}  // namespace vela::backupfile
