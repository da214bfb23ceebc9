#include "platform/data/postgres/ServerTypes.h"

#include "velabackup/data/Types.h"

namespace vela::data::postgres {

namespace {

constexpr int kVarHeader = 4;  // VARHDRSZ: what a character or numeric type modifier carries beyond its size

// The currency type of other engines: numeric(19,4).
constexpr int kCurrencyPrecision = 19;
constexpr int kCurrencyScale = 4;

}  // namespace

AdoType AdoTypeFor(Oid type, int modifier) {
  AdoType ado;
  ado.type = adLongVarWChar;
  const bool sized = modifier >= kVarHeader;
  switch (type) {
    case pgtype::kBool:
      ado.type = adBoolean;
      break;
    case pgtype::kInt2:
      ado.type = adSmallInt;
      break;
    case pgtype::kInt4:
    case pgtype::kOid:
      ado.type = adInteger;
      break;
    case pgtype::kInt8:
      ado.type = adBigInt;
      break;
    case pgtype::kFloat4:
      ado.type = adSingle;
      break;
    case pgtype::kFloat8:
      ado.type = adDouble;
      break;
    case pgtype::kNumeric:
      // Without a modifier a numeric holds any number of digits, which no fixed precision can say: its
      // exact text.
      if (sized) {
        ado.precision = ((modifier - kVarHeader) >> 16) & 0xFFFF;
        ado.numericScale = (modifier - kVarHeader) & 0xFFFF;
        // The scale is 11 bits wide and may be negative (numbers rounded to tens, hundreds, ...): such a
        // column holds whole numbers of as many more digits.
        if (ado.numericScale > 0x3FF) {
          ado.precision += 0x800 - ado.numericScale;
          ado.numericScale = 0;
        }
        ado.type = ado.precision == kCurrencyPrecision && ado.numericScale == kCurrencyScale ? adCurrency
                                                                                             : adNumeric;
      }
      break;
    case pgtype::kBpchar:
    case pgtype::kChar:
      ado.type = adWChar;
      if (sized) ado.definedSize = modifier - kVarHeader;
      break;
    case pgtype::kVarchar:
      if (sized) {
        ado.type = adVarWChar;
        ado.definedSize = modifier - kVarHeader;
      }
      break;
    case pgtype::kName:
      ado.type = adVarWChar;
      ado.definedSize = 63;
      break;
    case pgtype::kBytea:
      ado.type = adLongVarBinary;
      break;
    case pgtype::kDate:
      ado.type = adDBDate;
      break;
    case pgtype::kTime:
      ado.type = adDBTime;
      break;
    case pgtype::kTimestamp:
    case pgtype::kTimestampTz:
      ado.type = adDBTimeStamp;
      break;
    case pgtype::kUuid:
      ado.type = adGUID;
      ado.definedSize = 16;
      break;
    default:  // text and every type without an ADO counterpart
      break;
  }
  if (ado.precision == 0) ado.precision = FixedPrecision(ado.type);
  return ado;
}

std::optional<std::string> ServerTypeFor(int type, std::int64_t definedSize, int precision,
                                         int numericScale) {
  auto sized = [&](const char* name) {
    return definedSize > 0 ? std::string(name) + "(" + std::to_string(definedSize) + ")" : std::string(name);
  };
  switch (type) {
    case adBoolean:
      return "boolean";
    case adTinyInt:
    case adUnsignedTinyInt:
    case adSmallInt:
      return "smallint";
    case adInteger:
      return "integer";
    case adBigInt:
      return "bigint";
    case adSingle:
      return "real";
    case adDouble:
      return "double precision";
    case adCurrency:
      return "numeric(19,4)";
    case adNumeric:
    case adDecimal:
    case adVarNumeric:
      if (precision <= 0) return "numeric";
      return "numeric(" + std::to_string(precision) + "," + std::to_string(numericScale) + ")";
    case adDate:
    case adDBTimeStamp:
      return "timestamp without time zone";
    case adDBDate:
      return "date";
    case adDBTime:
      return "time without time zone";
    case adGUID:
      return "uuid";
    case adVarWChar:
    case adVarChar:
      return sized("varchar");
    case adWChar:
    case adChar:
      // A char without a length is one character in SQL; bpchar without one keeps any length.
      return definedSize > 0 ? sized("char") : "bpchar";
    case adLongVarWChar:
    case adLongVarChar:
    case adBSTR:
    case adVariant:
      return "text";
    case adBinary:
    case adVarBinary:
    case adLongVarBinary:
      return "bytea";
    default:
      return std::nullopt;
  }
}

}  // namespace vela::data::postgres
