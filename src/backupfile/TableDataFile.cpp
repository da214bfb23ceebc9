#include "backupfile/TableDataFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>

#include "platform/text/CodePage.h"
#include "platform/text/Utf16.h"
#include "velabackup/Error.h"

namespace vela::backupfile {
namespace {

using namespace datafile;

constexpr bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

// A marker must pass a reader of the plain rules unseen: none of the characters that reader acts on.
constexpr bool SkippedByPlainReaders(std::u16string_view marker) {
  for (char16_t c : marker.substr(1, marker.size() - 2)) {
    if (IsDigit(c) || c == kIndexEnd || c == kCorruptionFlag || c == kOpen || c == kClose) return false;
  }
  return marker.front() == kOpen && marker.back() == kClose;
}
static_assert(SkippedByPlainReaders(kRowMarker) && SkippedByPlainReaders(kTrailer));
static_assert(kRowMarker.size() == 5 && kTrailer.size() == 5, "the reader matches three-letter markers");

// A class letter must be skipped by readers of the plain rules inside a length: a letter other than "B".
constexpr bool SkippedInLengths(char16_t letter) {
  return letter >= u'A' && letter <= u'Z' && letter != kBinaryFlag;
}
static_assert(SkippedInLengths(kIntegerClass) && SkippedInLengths(kRealClass) &&
              SkippedInLengths(kTextClass));

constexpr bool IsClassLetter(char16_t c) {
  return c == kBinaryFlag || c == kIntegerClass || c == kRealClass || c == kTextClass;
}

constexpr std::uint64_t kMaxNumber = std::numeric_limits<std::uint32_t>::max();

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Writer

TableDataFileWriter::TableDataFileWriter(std::filesystem::path path, std::uint32_t recordCount)
    : file_(std::move(path)) {
  PutHeader(recordCount);
}

TableDataFileWriter::TableDataFileWriter(utils::ByteSink& sink, std::filesystem::path name,
                                         std::uint32_t recordCount)
    : file_(sink, std::move(name)) {
  PutHeader(recordCount);
}

void TableDataFileWriter::PutHeader(std::uint32_t recordCount) {
  file_.Put(kOpen);
  PutNumber(recordCount);
  file_.Put(kClose);
}

void TableDataFileWriter::RequireRow(bool inRow, const char* call) const {
  if (inRow_ != inRow || finished_) {
    throw Error(kInvalidArgument, kSourceComponent,
                std::string(call) +
                    (finished_ ? " after Finish"
                     : inRow_  ? " inside a row"
                               : " outside a row") +
                    " of the table data file " + Path().string());
  }
}

void TableDataFileWriter::PutNumber(std::uint64_t number) {
  if (number < 10) {  // most field indexes and many lengths
    file_.Put(static_cast<char16_t>(u'0' + number));
    return;
  }
  char16_t digits[20];
  std::size_t first = std::size(digits);
  do {
    digits[--first] = static_cast<char16_t>(u'0' + number % 10);
    number /= 10;
  } while (number != 0);
  file_.Write(std::u16string_view(digits + first, std::size(digits) - first));
}

void TableDataFileWriter::BeginRow() {
  RequireRow(false, "BeginRow");
  inRow_ = true;
  rowHasField_ = false;
}

void TableDataFileWriter::BeginField(std::uint32_t index, char16_t valueClass, std::size_t length) {
  if (rowHasField_ && index <= lastIndexInRow_) {
    throw Error(kInvalidArgument, kSourceComponent,
                "Field index " + std::to_string(index) + " written after index " +
                    std::to_string(lastIndexInRow_) + " in one row of the table data file " +
                    Path().string());
  }
  if (length > kMaxNumber) {
    throw Error(kInvalidArgument, kSourceComponent,
                "A value of " + std::to_string(length) + " characters does not fit the table data file " +
                    Path().string());
  }
  if (!rowHasField_ && !rows_.StartsRow(index)) {
    file_.Write(kRowMarker);
    rows_.RowMarker();
  }
  rows_.Field(index);
  rowHasField_ = true;
  lastIndexInRow_ = index;

  file_.Put(kOpen);
  PutNumber(index);
  file_.Put(kIndexEnd);
  if (valueClass != 0) file_.Put(valueClass);
  PutNumber(length);
  file_.Put(kClose);
}

// A short text is measured by its conversion; a long one is measured first and converted piece by piece.
void TableDataFileWriter::WriteUtf8(std::uint32_t index, char16_t valueClass, std::string_view utf8) {
  scratch_.clear();
  if (utf8.size() <= kValuePiece) {
    text::AppendUtf16(utf8, scratch_);
    BeginField(index, valueClass, scratch_.size());
    file_.Write(scratch_);
    return;
  }
  BeginField(index, valueClass, text::Utf16Length(utf8));
  while (!utf8.empty()) {
    const std::size_t piece = text::Utf8PieceLength(utf8, kValuePiece);
    scratch_.clear();
    text::AppendUtf16(utf8.substr(0, piece), scratch_);
    file_.Write(scratch_);
    utf8.remove_prefix(piece);
  }
}

void TableDataFileWriter::WriteBytes(std::uint32_t index, std::span<const std::uint8_t> bytes) {
  BeginField(index, kBinaryFlag, bytes.size());
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kValuePiece);
    scratch_.clear();
    text::AppendBytesAsText(bytes.first(piece), scratch_);
    file_.Write(scratch_);
    bytes = bytes.subspan(piece);
  }
}

void TableDataFileWriter::WriteText(std::uint32_t index, std::string_view utf8) {
  RequireRow(true, "WriteText");
  WriteUtf8(index, 0, utf8);
}

void TableDataFileWriter::WriteHeldText(std::uint32_t index, std::string_view utf8) {
  RequireRow(true, "WriteHeldText");
  WriteUtf8(index, kTextClass, utf8);
}

void TableDataFileWriter::WriteNumber(std::uint32_t index, char16_t valueClass, std::string_view ascii) {
  scratch_.assign(ascii.begin(), ascii.end());
  BeginField(index, valueClass, scratch_.size());
  file_.Write(scratch_);
}

void TableDataFileWriter::WriteInteger(std::uint32_t index, std::int64_t value) {
  RequireRow(true, "WriteInteger");
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  WriteNumber(index, kIntegerClass, std::string_view(digits, end));
}

void TableDataFileWriter::WriteReal(std::uint32_t index, double value) {
  RequireRow(true, "WriteReal");
  if (std::isnan(value)) {
    throw Error(kInvalidArgument, kSourceComponent,
                "A real value that is no number cannot be written to the table data file " + Path().string());
  }
  char digits[32];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  WriteNumber(index, kRealClass, std::string_view(digits, end));
}

void TableDataFileWriter::WriteBinary(std::uint32_t index, std::span<const std::uint8_t> bytes) {
  RequireRow(true, "WriteBinary");
  if (!bytes.empty()) WriteBytes(index, bytes);
}

void TableDataFileWriter::WriteHeldBinary(std::uint32_t index, std::span<const std::uint8_t> bytes) {
  RequireRow(true, "WriteHeldBinary");
  WriteBytes(index, bytes);
}

void TableDataFileWriter::EndRow(bool corrupted) {
  RequireRow(true, "EndRow");
  // A row without fields needs the marker to exist at all; a fieldless corrupted row needs it so that its
  // "[!CORRUPTED]" drops this row and not the one before, which the reader is still assembling.
  if (!rowHasField_ && (!corrupted || rows_.RowOpen())) {
    file_.Write(kRowMarker);
    rows_.RowMarker();
  }
  if (corrupted) {
    file_.Write(kCorruptionMarker);
    rows_.Corruption();
  }
  inRow_ = false;
}

void TableDataFileWriter::Finish() {
  RequireRow(false, "Finish");
  finished_ = true;
  file_.Write(kTrailer);
  file_.Close();
}

// ---------------------------------------------------------------------------------------------------------
// Reader

TableDataFileReader::TableDataFileReader(std::filesystem::path path, std::string tableName,
                                         std::vector<std::string> columnNames)
    : TableDataFileReader(std::move(path), static_cast<std::uint32_t>(columnNames.size())) {
  tableName_ = std::move(tableName);
  columnNames_ = std::move(columnNames);
}

TableDataFileReader::TableDataFileReader(std::unique_ptr<utils::ByteSource> source,
                                         std::filesystem::path name, std::string tableName,
                                         std::vector<std::string> columnNames)
    : file_(std::move(source), std::move(name)),
      columnCount_(static_cast<std::uint32_t>(columnNames.size())),
      tableName_(std::move(tableName)),
      columnNames_(std::move(columnNames)) {
  ReadHeader();
}

TableDataFileReader::TableDataFileReader(std::filesystem::path path, std::uint32_t columnCount)
    : file_(std::move(path)), columnCount_(columnCount) {
  ReadHeader();
}

void TableDataFileReader::ReadHeader() {
  if (file_.AtEnd() || file_.Get() != kOpen) return;
  while (!file_.AtEnd()) {
    const std::uint64_t at = file_.Position();
    const char16_t c = file_.Get();
    if (IsDigit(c)) {
      AddDigit(c, at, "record count");
    } else if (c == kClose) {
      recordCount_ = TakeNumber(at, "record count");
      hasRows_ = true;
      return;
    }
  }
  Malformed("the file ends inside its header", file_.Position());
}

void TableDataFileReader::Malformed(const std::string& what, std::uint64_t position) const {
  throw Error(kBadFileFormat, kSourceComponent,
              "Table data file " + Path().string() + ", character " + std::to_string(position) +
                  " (byte offset " + std::to_string(file_.ByteOffset(position)) + "): " + what);
}

void TableDataFileReader::AddDigit(char16_t digit, std::uint64_t position, const char* what) {
  if (digits_++ == 0) numberStart_ = position;
  number_ = number_ * 10 + (digit - u'0');
  if (number_ > kMaxNumber) [[unlikely]] {
    Malformed(std::string(what) + " does not fit in 32 bits", numberStart_);
  }
}

std::uint32_t TableDataFileReader::TakeNumber(std::uint64_t position, const char* what) {
  if (digits_ == 0) Malformed(std::string(what) + " missing", position);
  const auto number = static_cast<std::uint32_t>(number_);
  number_ = 0;
  digits_ = 0;
  return number;
}

TableDataFileReader::Token TableDataFileReader::Next() {
  startsRow_ = false;
  while (pending_ > 0) NextPiece();  // what nobody took of a long value
  taken_ = false;
  if (!hasRows_) return Token::kEnd;
  while (!file_.AtEnd()) {
    const std::uint64_t at = file_.Position();
    const char16_t c = file_.Get();
    if (IsDigit(c)) {
      AddDigit(c, at, inLength_ ? "field length" : "field index");
      markerLength_ = kNoMarker;
      continue;
    }
    if (inLength_) {
      if (IsClassLetter(c)) {
        if (class_ != ValueClass::kColumn) {
          Malformed("a second class letter \"" + std::string(1, static_cast<char>(c)) +
                        "\" in the length of field " + std::to_string(index_),
                    at);
        }
        class_ = static_cast<ValueClass>(c);
      } else if (c == kClose) {
        const std::uint32_t length = TakeNumber(at, "field length");
        if (length > datafile::kMaxFieldLength) {
          Malformed(Place() + " declares a value of " + std::to_string(length) +
                        " characters, more than the " + std::to_string(datafile::kMaxFieldLength) +
                        " a value may hold",
                    fieldStart_);
        }
        if (length > file_.Remaining()) {
          Malformed("field length " + std::to_string(length) + " runs past the end of the file (" +
                        std::to_string(file_.Remaining()) + " characters remain)",
                    at);
        }
        valueStart_ = file_.Position();
        length_ = pending_ = length;
        if (length == 0) {
          value_.clear();
        } else {
          NextPiece();
        }
        inLength_ = false;
        trailerSeen_ = false;
        startsRow_ = rows_.Field(index_);
        rowCount_ += startsRow_ ? 1 : 0;
        return Token::kField;
      }
      continue;
    }
    switch (c) {
      case kCorruptionFlag:
        markerLength_ = kNoMarker;
        trailerSeen_ = false;
        rows_.Corruption();
        return Token::kCorruption;
      case kIndexEnd:
        markerLength_ = kNoMarker;
        index_ = TakeNumber(at, "field index");
        if (index_ >= columnCount_) {
          Malformed("field index " + std::to_string(index_) + " beyond the table's " +
                        std::to_string(columnCount_) + " columns",
                    numberStart_);
        }
        fieldStart_ = numberStart_;
        inLength_ = true;
        class_ = ValueClass::kColumn;
        continue;
      case kOpen:
        markerLength_ = 0;
        continue;
      case kClose:
        if (markerLength_ == 3) {
          const std::u16string_view letters(marker_, 3);
          if (letters == kRowMarker.substr(1, 3)) {
            markerLength_ = kNoMarker;
            trailerSeen_ = false;
            rows_.RowMarker();
            ++rowCount_;
            startsRow_ = true;
            return Token::kRowMarker;
          }
          trailerSeen_ = trailerSeen_ || letters == kTrailer.substr(1, 3);
        }
        markerLength_ = kNoMarker;
        continue;
      default:
        if (markerLength_ < 3) {
          marker_[markerLength_++] = c;
        } else {
          markerLength_ = kNoMarker;
        }
        continue;
    }
  }
  if (inLength_) Malformed("the file ends inside this field", fieldStart_);
  if (digits_ != 0) Malformed("the file ends inside this field index", numberStart_);
  return Token::kEnd;
}

std::size_t TableDataFileReader::NextPiece() const {
  const std::size_t start = length_ - pending_;
  const std::size_t piece = std::min(pending_, kValuePiece);
  file_.Read(piece, value_);
  pending_ -= piece;
  return start;
}

void TableDataFileReader::RequireValue() const {
  if (taken_) {
    throw Error(kInvalidArgument, kSourceComponent,
                "The long value of field " + std::to_string(index_) + " of the table data file " +
                    Path().string() + " was taken already");
  }
}

std::u16string_view TableDataFileReader::Units() const {
  RequireValue();
  if (pending_ > 0) {
    std::u16string rest;
    file_.Read(pending_, rest);
    pending_ = 0;
    value_ += rest;
  }
  return value_;
}

std::string TableDataFileReader::Text() const {
  std::string text;
  AppendText(text);
  return text;
}

void TableDataFileReader::AppendText(std::string& out) const {
  RequireValue();
  if (pending_ == 0) {
    text::AppendUtf8(value_, out);
    return;
  }
  taken_ = true;
  // UTF-8 takes at least one byte a unit: room for that at once, and more when a piece may not fit, at
  // the rate of the pieces so far, so that the text does not end in a buffer twice its size.
  const std::size_t start = out.size(), pieceRoom = 3 * (kValuePiece + 1);
  out.reserve(start + length_ + pieceRoom);
  text::Utf8Pieces pieces;
  for (std::size_t done = 0;;) {
    pieces.Append(value_, out);
    done += value_.size();
    if (pending_ == 0) break;
    NextPiece();
    if (out.size() + pieceRoom > out.capacity())
      out.reserve(out.size() + (length_ - done) * (out.size() - start) / done + pieceRoom);
  }
  pieces.Finish(out);
}

std::vector<std::uint8_t> TableDataFileReader::Bytes() const {
  std::vector<std::uint8_t> bytes;
  AppendBytes(bytes);
  return bytes;
}

void TableDataFileReader::AppendBytes(std::vector<std::uint8_t>& out) const {
  RequireValue();
  const std::size_t start = out.size();
  if (pending_ > 0) {
    taken_ = true;
    out.reserve(start + length_);
  }
  for (std::size_t position = 0;; position = NextPiece()) {
    try {
      text::AppendTextAsBytes(value_, out, position);
    } catch (const Error& error) {
      out.resize(start);
      Malformed(
          "the binary value of field " + std::to_string(index_) + " starting here: " + error.Description(),
          valueStart_);
    }
    if (pending_ == 0) return;
  }
}

std::string TableDataFileReader::Place() const {
  std::string place = index_ < columnNames_.size()
                          ? "column \"" + columnNames_[index_] + "\" (field " + std::to_string(index_) + ")"
                          : "field " + std::to_string(index_);
  // The field being read has not been counted yet; it starts a row of its own when the boundary says so.
  place += " of row " + std::to_string(rowCount_ + (rows_.StartsRow(index_) ? 1 : 0));
  if (!tableName_.empty()) place += " of table \"" + tableName_ + "\"";
  return place;
}

bool TableDataFileReader::Ascii(char* buffer, std::size_t size) const {
  RequireValue();
  if (value_.size() > size) return false;
  for (std::size_t i = 0; i < value_.size(); ++i) {
    if (value_[i] > 0x7E) return false;
    buffer[i] = static_cast<char>(value_[i]);
  }
  return true;
}

void TableDataFileReader::NotANumber(const char* what) const {
  constexpr std::size_t kShown = 40;
  std::string shown;
  text::AppendUtf8(value_.substr(0, kShown), shown);
  Malformed("the value of field " + std::to_string(index_) + " starting here is no " + what + ": \"" + shown +
                (value_.size() > kShown ? "...\"" : "\""),
            valueStart_);
}

std::int64_t TableDataFileReader::Integer() const {
  char buffer[24];
  std::int64_t value = 0;
  if (Ascii(buffer, sizeof buffer)) {
    const char* end = buffer + value_.size();
    const auto [stop, ec] = std::from_chars(buffer, end, value);
    if (ec == std::errc() && stop == end && !value_.empty()) return value;
  }
  NotANumber("64-bit integer");
}

double TableDataFileReader::Real() const {
  char buffer[64];
  double value = 0;
  if (Ascii(buffer, sizeof buffer)) {
    const char* end = buffer + value_.size();
    const auto [stop, ec] = std::from_chars(buffer, end, value);
    if (ec == std::errc() && stop == end && !value_.empty() && !std::isnan(value)) return value;
  }
  NotANumber("real number");
}

}  // namespace vela::backupfile
