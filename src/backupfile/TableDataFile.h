// The table data file: the rows of one table, written by the save while it walks the table and read back
// by the restore, one file per table beside the backup document.
//
// Format. A UTF-16LE text starting with the byte-order mark FF FE, without line breaks or separators:
//
//   file    = header { row } trailer
//   header  = "[" count "]"                        the rows the save counted; used for progress only
//   row     = [ "[ROW]" ] { field } [ "[!CORRUPTED]" ]
//   field   = "[" index "." length "]" value        text, number, date or Boolean in its text form
//           | "[" index ".B" length "]" value       binary: one character per byte (platform/text/CodePage.h)
//           | "[" index "." class length "]" value  a value the restore stores as it is, in its own class
//   class   = "I"                                   an integer: [ "-" ] digits, within 64 bits
//           | "R"                                   a real: the shortest text that reads back as the same
//                                                   double, "." as decimal point ("2.5", "1e+300", "-inf")
//           | "T"                                   a text, verbatim
//   trailer = "[EOF]"
//   count, index, length = unsigned decimal "0".."9", no sign, no grouping, no leading zeros
//   value   = exactly `length` UTF-16 code units, verbatim: any character, "[", "]" and digits included
//
// `index` is the column's zero-based position in the table; within a row indexes strictly increase. A NULL
// is not written at all; nor was an empty byte array before "[i.B0]" (below). No separator stands between
// rows: a field starts a new row when its index is 0 or lower than the index before it, or when it is the
// first field of the file or the first after "[!CORRUPTED]". "[!CORRUPTED]" ends a row the save judged
// corrupted (no usable value); the restore drops the row it is assembling there.
//
// The row marker "[ROW]". The index rule alone loses rows: a row whose first written index is neither 0 nor
// lower than the last index of the row before reads as part of that row (a row ending at column 3 and a
// next row whose columns 0 to 2 are NULL); a row that writes no field at all vanishes; and a bare
// "[!CORRUPTED]" (an all-NULL row) drops the row before it, which is still being assembled. The writer
// therefore puts "[ROW]" before the first field of a row the index rule would merge, in place of a row that
// writes no field, and before a fieldless "[!CORRUPTED]" that follows an uncorrupted row. This reader takes
// the marker as the start of a row, to which the fields after it belong. The marker holds no digit, "!" or
// ".", so a reader built to the plain rules below skips it like the "[" and letters of the other markers. A
// file without markers reads exactly by the index rule.
//
// Values held as they are. A value without class is read by its column's type, in the text form the save
// writes for that type (numbers with the saving machine's decimal separator); a column without declared
// type (adVariant) reads it as a text. "I", "R" and "T" mark a value the restore stores unchanged in that
// class, whatever the column's type: the integers and reals of a typeless column, and a value another
// program stored in a form its column's type does not have (an integer Unix time or a Julian day in a date
// column, a text that is no date in one). A "B" value is held as it is too: in a column that is not binary
// it stays a byte array, and "[i.B0]" is an empty byte array, which is no NULL. These letters sit where the
// plain rules below skip every letter but "B", so a reader built to those rules takes a marked value by its
// column's type; files without marks read exactly as before. This reader refuses a second class letter in one
// length, and an "I" or "R" value that is no such number.
//
// Reading rules. After the header (first character not "[": no rows; digits collected up to "]"; any other
// character skipped), between fields "!" is a corruption marker, "." ends a field index, digits are
// collected and every other character is skipped; in a length "B" flags a binary value, digits are
// collected, "]" ends the length and every other character is skipped; a value is read by its length and
// never scanned, so values holding "[!CORRUPTED]" or "[EOF]" read correctly. A value of length 0 is empty.
// A data file is untrusted input: a number of more than 32 bits, a field index beyond the table's columns,
// a length beyond what the file still holds or beyond kMaxFieldLength, a missing number, or a file that ends
// inside its header or a field fails with vela::Error (kBadFileFormat) giving the path and the position; a
// length is judged before anything is allocated for its value.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text/Utf16File.h"
#include "platform/utils/ByteStreams.h"

namespace vela::backupfile {

namespace datafile {
inline constexpr char16_t kOpen = u'[';
inline constexpr char16_t kClose = u']';
inline constexpr char16_t kIndexEnd = u'.';
inline constexpr char16_t kBinaryFlag = u'B';
inline constexpr char16_t kIntegerClass = u'I';
inline constexpr char16_t kRealClass = u'R';
inline constexpr char16_t kTextClass = u'T';
inline constexpr char16_t kCorruptionFlag = u'!';
inline constexpr std::u16string_view kCorruptionMarker = u"[!CORRUPTED]";
inline constexpr std::u16string_view kRowMarker = u"[ROW]";
inline constexpr std::u16string_view kTrailer = u"[EOF]";
// The longest value, in UTF-16 code units (bytes, for a binary value): 1 GiB, the most the server engine
// stores in one value. A longer one is refused with the table, the row and the column it would fill.
inline constexpr std::uint32_t kMaxFieldLength = std::uint32_t{1} << 30;
// A longer value is never converted whole, neither by the writer nor by the reader: it goes between its
// own form and the file in pieces of this many bytes or code units, so that memory follows the largest
// value rather than a multiple of it.
inline constexpr std::size_t kValuePiece = std::size_t{1} << 16;
}  // namespace datafile

// Where rows begin: the one place that decides it. The reader feeds it every token; the writer runs the
// same rule ahead of the reader to know where a row marker is needed.
class RowBoundary {
 public:
  // Whether a field with this index would start a new row.
  bool StartsRow(std::uint32_t index) const noexcept {
    return !open_ || (hasField_ && (index == 0 || index < previous_));
  }
  // Takes a field; true when it starts a new row.
  bool Field(std::uint32_t index) noexcept {
    const bool starts = StartsRow(index);
    open_ = hasField_ = true;
    previous_ = index;
    return starts;
  }
  // A row marker always starts a new row, which the fields after it fill.
  void RowMarker() noexcept {
    open_ = true;
    hasField_ = false;
  }
  // "[!CORRUPTED]" drops the row being assembled; the next field starts a new one.
  void Corruption() noexcept { open_ = hasField_ = false; }
  // Whether a row is being assembled, one that "[!CORRUPTED]" would drop.
  bool RowOpen() const noexcept { return open_; }

 private:
  bool open_ = false;
  bool hasField_ = false;
  std::uint32_t previous_ = 0;
};

// Writes one table data file in a single pass. Calls per row: BeginRow, WriteText / WriteBinary for each
// non-NULL value in increasing index order, EndRow; then Finish once. Write errors (a full disk) throw from
// whichever call flushes, at the latest from Finish, naming the path. A writer destroyed without Finish
// leaves an incomplete file without trailer. Calls out of this order throw kInvalidArgument.
class TableDataFileWriter {
 public:
  // Creates the file (replacing one of that name) and writes the byte-order mark and the header.
  TableDataFileWriter(std::filesystem::path path, std::uint32_t recordCount);
  // The same file written into `sink` (its archive member, packed as it is written); `name` is the file's
  // name in messages. Finish() leaves the sink to its owner.
  TableDataFileWriter(utils::ByteSink& sink, std::filesystem::path name, std::uint32_t recordCount);

  void BeginRow();
  void WriteText(std::uint32_t index, std::string_view utf8);
  void WriteBinary(std::uint32_t index, std::span<const std::uint8_t> bytes);  // empty: writes nothing
  // Values the restore stores as they are, in their own class ("I", "R", "T", "B"; an empty array too).
  void WriteInteger(std::uint32_t index, std::int64_t value);
  void WriteReal(std::uint32_t index, double value);
  void WriteHeldText(std::uint32_t index, std::string_view utf8);
  void WriteHeldBinary(std::uint32_t index, std::span<const std::uint8_t> bytes);
  void EndRow(bool corrupted);  // a corrupted row gets "[!CORRUPTED]"
  void Finish();                // writes the trailer and closes the file

  const std::filesystem::path& Path() const noexcept { return file_.Path(); }

 private:
  void PutHeader(std::uint32_t recordCount);
  void BeginField(std::uint32_t index, char16_t valueClass, std::size_t length);  // class 0: none
  void WriteNumber(std::uint32_t index, char16_t valueClass, std::string_view ascii);
  void WriteUtf8(std::uint32_t index, char16_t valueClass, std::string_view utf8);
  void WriteBytes(std::uint32_t index, std::span<const std::uint8_t> bytes);
  void PutNumber(std::uint64_t number);
  void RequireRow(bool inRow, const char* call) const;

  text::Utf16OutputFile file_;
  RowBoundary rows_;
  std::u16string scratch_;  // the value, or a piece of a long one, in UTF-16; reused from field to field
  bool inRow_ = false;
  bool finished_ = false;
  bool rowHasField_ = false;
  std::uint32_t lastIndexInRow_ = 0;
};

// Reads one table data file token by token, never holding more than one value, and of a value longer than
// datafile::kValuePiece only one piece: the rest stays in the file until the value is asked for, and goes
// from the file straight into the buffer that asks for it (AppendText, AppendBytes, Text, Bytes). Such a
// value can be taken once; Next() passes over what nobody asked for.
//
//   TableDataFileReader reader(path, columnCount);
//   for (auto token = reader.Next(); token != Token::kEnd; token = reader.Next()) {
//     if (reader.StartsRow()) { store the row assembled so far, begin a new one }
//     if (token == Token::kField) { put the value at reader.FieldIndex() into the row }
//     if (token == Token::kCorruption) { drop the row assembled so far }
//   }
//   store the row assembled so far
class TableDataFileReader {
 public:
  enum class Token { kField, kCorruption, kRowMarker, kEnd };
  // The class letter of a field: none (read by the column's type), or a value held as it is.
  enum class ValueClass : char16_t {
    kColumn = 0,
    kBinary = datafile::kBinaryFlag,
    kInteger = datafile::kIntegerClass,
    kReal = datafile::kRealClass,
    kText = datafile::kTextClass,
  };

  // Opens the file and reads its header. `columnCount`: the table's columns in the backup document; a field
  // index at or beyond it fails. A missing file throws kFileNotFound (the restore checks first).
  TableDataFileReader(std::filesystem::path path, std::uint32_t columnCount);
  // The same, with the table's name and its columns' names (in order) to name where a value is refused.
  TableDataFileReader(std::filesystem::path path, std::string tableName,
                      std::vector<std::string> columnNames);
  // The same, reading the file from `source`: a member of the backup file read where it lies, whose
  // failures (a damaged member) throw from the call that reads on. `name` stands for the path.
  TableDataFileReader(std::unique_ptr<utils::ByteSource> source, std::filesystem::path name,
                      std::string tableName, std::vector<std::string> columnNames);

  // False when the file is empty or does not start with "[": the table gets no rows, and Next() gives kEnd.
  bool HasRows() const noexcept { return hasRows_; }
  std::uint32_t RecordCount() const noexcept { return recordCount_; }

  Token Next();

  // About the token Next() returned last.
  // A row marker, or a field that starts a new row (RowBoundary).
  bool StartsRow() const noexcept { return startsRow_; }
  // Of a field:
  std::uint32_t FieldIndex() const noexcept { return index_; }
  ValueClass Class() const noexcept { return class_; }
  bool IsBinary() const noexcept { return class_ == ValueClass::kBinary; }
  // The value's length in UTF-16 code units.
  std::size_t Length() const noexcept { return length_; }
  // The value's units; a long value is read whole into memory for this (tests, small tools).
  std::u16string_view Units() const;
  std::string Text() const;                 // UTF-8 (platform/text/Utf16.h)
  void AppendText(std::string& out) const;  // the same, into a buffer the caller reuses
  std::vector<std::uint8_t> Bytes() const;  // through TextToBytes; a character outside the code page fails
  void AppendBytes(std::vector<std::uint8_t>& out) const;  // the same, into a buffer the caller reuses
  // The number of an "I" or "R" value; one that is no such number fails naming the value's position.
  std::int64_t Integer() const;
  double Real() const;
  // Of kEnd: whether "[EOF]" was the last thing in the file. The plain rules do not need the trailer, so a
  // file cut between two fields reads without error; this tells the caller that it was cut.
  bool EndedWithTrailer() const noexcept { return trailerSeen_; }

  const std::filesystem::path& Path() const noexcept { return file_.Path(); }

 private:
  static constexpr unsigned kNoMarker = 4;  // not inside a "[" + three letters + "]" marker

  void ReadHeader();

  void AddDigit(char16_t digit, std::uint64_t position, const char* what);
  std::uint32_t TakeNumber(std::uint64_t position, const char* what);
  [[noreturn]] void Malformed(const std::string& what, std::uint64_t position) const;
  [[noreturn]] void NotANumber(const char* what) const;
  // The value as ASCII into `buffer`; false when it does not fit or holds another character.
  bool Ascii(char* buffer, std::size_t size) const;
  // 'column "Name" (field 2) of row 7 of table "T"', for the field being read.
  std::string Place() const;
  // Fails when the long value of the last field was taken already.
  void RequireValue() const;
  // The next piece of a long value into value_; returns where the piece starts within the value.
  std::size_t NextPiece() const;

  // The file and the value's pieces move on when a long value is taken, which does not change the token.
  mutable text::Utf16InputFile file_;
  std::uint32_t columnCount_;
  std::string tableName_;                 // empty when not given
  std::vector<std::string> columnNames_;  // empty when not given
  std::uint64_t rowCount_ = 0;            // rows begun so far
  bool hasRows_ = false;
  std::uint32_t recordCount_ = 0;

  // Framing state.
  bool inLength_ = false;
  std::uint64_t number_ = 0;
  unsigned digits_ = 0;
  std::uint64_t numberStart_ = 0;
  std::uint64_t fieldStart_ = 0;
  char16_t marker_[3] = {};
  unsigned markerLength_ = kNoMarker;
  RowBoundary rows_;

  // The last token.
  bool startsRow_ = false;
  bool trailerSeen_ = false;
  std::uint32_t index_ = 0;
  ValueClass class_ = ValueClass::kColumn;
  std::uint64_t valueStart_ = 0;
  std::size_t length_ = 0;
  // The value, or the piece of a long one read last; `pending_` units of it are still in the file. A
  // long value that was taken leaves `taken_` set and nothing to give again.
  mutable std::u16string value_;
  mutable std::size_t pending_ = 0;
  mutable bool taken_ = false;
};

}  // namespace vela::backupfile
