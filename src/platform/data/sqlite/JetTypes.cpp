#include "platform/data/sqlite/JetTypes.h"

#include "platform/data/Canonical.h"
#include "platform/data/ServerTypeNames.h"

#include <initializer_list>

#include "platform/data/sqlite/SqliteApi.h"
#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela::data::sqlite {
namespace {

constexpr int kDefaultTextSize = 255;  // Jet's size for a text or binary column created without one
constexpr int kDefaultDecimalPrecision = 18;

std::string Collapse(std::string_view text) {
  std::string out;
  for (char c : text::Trim(text)) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  return text::ToUpper(out);
}

bool OneOf(std::string_view name, std::initializer_list<std::string_view> names) {
  for (std::string_view n : names)
    if (name == n) return true;
  return false;
}

// The engine's affinity of a declaration: 'I'nteger, 'T'ext, 'B'lob (none), 'R'eal or 'N'umeric.
char Affinity(std::string_view declaration) {
  const std::string d = text::ToUpper(declaration);
  if (d.find("INT") != std::string::npos) return 'I';
  if (d.find("CHAR") != std::string::npos || d.find("CLOB") != std::string::npos ||
      d.find("TEXT") != std::string::npos)
    return 'T';
  if (d.find("BLOB") != std::string::npos || text::Trim(d).empty()) return 'B';
  if (d.find("REAL") != std::string::npos || d.find("FLOA") != std::string::npos ||
      d.find("DOUB") != std::string::npos)
    return 'R';
  return 'N';
}

}  // namespace

ColumnType EngineType(int type, std::int64_t definedSize, int precision, int numericScale) {
  ColumnType t{type, 0, NaturalPrecision(type), NaturalScale(type)};
  switch (type) {
    case adTinyInt:
      t = {adInteger, 0, NaturalPrecision(adInteger), 0};
      break;
    case adChar:
    case adWChar:
      t.type = adWChar;
      t.definedSize = definedSize > 0 ? definedSize : kDefaultTextSize;
      break;
    case adVarChar:
    case adVarWChar:
    case adBSTR:
      t.type = adVarWChar;
      t.definedSize = definedSize > 0 ? definedSize : kDefaultTextSize;
      break;
    case adLongVarChar:
    case adLongVarWChar:
      t = {adLongVarWChar, 0, 0, 0};
      break;
    case adDBTimeStamp:
    case adDBDate:
    case adDBTime:
      t = {adDate, 0, 0, 0};
      break;
    case adBinary:
    case adVarBinary:
      t.definedSize = definedSize > 0 ? definedSize : kDefaultTextSize;
      break;
    case adDecimal:
    case adNumeric:
    case adVarNumeric:
      t.type = adNumeric;
      t.precision = precision > 0 ? precision : kDefaultDecimalPrecision;
      t.numericScale = std::max(0, std::min(numericScale, t.precision));
      break;
    case adSmallInt:
    case adInteger:
    case adSingle:
    case adDouble:
    case adCurrency:
    case adDate:
    case adBoolean:
    case adUnsignedTinyInt:
    case adBigInt:
    case adGUID:
    case adLongVarBinary:
    case adVariant:
      break;
    default:
      throw Error(kNotSupported, kSource,
                  "Data type " + std::to_string(type) + " is not supported by this provider");
  }
  return t;
}

std::string DeclarationFor(const ColumnType& t) {
  auto sized = [&](const char* name) {
    return std::string(name) + "(" + std::to_string(t.definedSize) + ")";
  };
  switch (t.type) {
    case adSmallInt:
      return "SMALLINT";
    case adInteger:
      return "INTEGER";
    case adSingle:
      return "FLOAT4";
    case adDouble:
      return "DOUBLE";
    case adCurrency:
      return "CURRENCY BLOB";
    case adDate:
      return "DATETIME";
    case adBoolean:
      return "BOOLEAN";
    case adUnsignedTinyInt:
      return "TINYINT";
    case adBigInt:
      return "BIGINT";
    case adGUID:
      return "GUID";
    case adBinary:
      return sized("BINARY");
    case adWChar:
      return sized("CHAR");
    case adNumeric:
      return "DECIMAL BLOB(" + std::to_string(t.precision) + "," + std::to_string(t.numericScale) + ")";
    case adVarWChar:
      return sized("VARCHAR");
    case adLongVarWChar:
      return "TEXT";
    case adVarBinary:
      return sized("VARBINARY");
    case adLongVarBinary:
      return "BLOB";
    case adVariant:
      return "";
    default:
      return "TEXT";
  }
}

std::string DeclarationFor(const ColumnType& t, std::string_view serverType) {
  std::string own = DeclarationFor(t);
  std::optional<std::string> name = KnownServerType(serverType);
  if (!name) return own;
  const ColumnType read = TypeFromDeclaration(*name);
  if (read.type != t.type || read.definedSize != t.definedSize || Affinity(*name) != Affinity(own))
    return own;
  return *name;
}

ColumnType TypeFromDeclaration(std::string_view declaration) {
  std::string decl = Collapse(declaration);
  std::string name = decl;
  std::vector<std::int64_t> args;
  if (std::size_t open = decl.find('('); open != std::string::npos) {
    name = std::string(text::Trim(decl.substr(0, open)));
    std::size_t close = decl.find(')', open);
    std::string inside =
        decl.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    for (const std::string& part : text::Split(inside, ',')) {
      std::int64_t v = 0;
      if (ParseInt(part, v)) args.push_back(v);
    }
  }
  auto arg = [&](std::size_t i, std::int64_t fallback) { return i < args.size() ? args[i] : fallback; };
  auto make = [](int type, std::int64_t size = 0) {
    return ColumnType{type, size, NaturalPrecision(type), NaturalScale(type)};
  };
  auto decimal = [&] {
    ColumnType t = make(adNumeric);
    t.precision = static_cast<int>(arg(0, kDefaultDecimalPrecision));
    t.numericScale = static_cast<int>(arg(1, 0));
    return t;
  };

  // No declared type, or STRICT's ANY: every value keeps its class.
  if (name.empty() || name == "ANY") return make(adVariant);
  // This provider's own decimal declarations, of now ("DECIMAL BLOB") and of earlier files ("DECIMAL TEXT").
  if ((name.rfind("DECIMAL", 0) == 0 || name.rfind("NUMERIC", 0) == 0) &&
      (name.find("BLOB") != std::string::npos || name.find("TEXT") != std::string::npos))
    return decimal();
  if (name.rfind("CURRENCY", 0) == 0 || name == "MONEY" || name == "SMALLMONEY") return make(adCurrency);
  if (OneOf(name, {"DECIMAL", "NUMERIC", "NUMBER", "DEC"})) return decimal();
  if (OneOf(name, {"SMALLINT", "INT2", "SHORT"})) return make(adSmallInt);
  if (OneOf(name, {"TINYINT", "BYTE", "INT1", "UNSIGNED TINYINT"})) return make(adUnsignedTinyInt);
  if (OneOf(name, {"BIGINT", "INT8", "UNSIGNED BIG INT", "LONGLONG"})) return make(adBigInt);
  if (OneOf(name, {"FLOAT4", "SINGLE"})) return make(adSingle);
  if (OneOf(name, {"REAL", "DOUBLE", "DOUBLE PRECISION", "FLOAT", "FLOAT8"})) return make(adDouble);
  if (OneOf(name, {"DATE", "DATETIME", "TIMESTAMP", "TIME", "SMALLDATETIME", "DATETIME2",
                   "TIMESTAMP WITHOUT TIME ZONE", "TIME WITHOUT TIME ZONE", "TIMESTAMP WITH TIME ZONE"}))
    return make(adDate);
  if (OneOf(name, {"BOOLEAN", "BOOL", "BIT", "YESNO", "LOGICAL"})) return make(adBoolean);
  if (OneOf(name, {"GUID", "UNIQUEIDENTIFIER", "UUID"})) return make(adGUID);
  if (OneOf(name, {"CHAR", "NCHAR", "CHARACTER", "NATIVE CHARACTER"}))
    return make(adWChar, arg(0, kDefaultTextSize));
  if (OneOf(name, {"VARCHAR", "NVARCHAR", "VARYING CHARACTER", "NATIONAL VARYING CHARACTER",
                   "CHARACTER VARYING", "TEXT", "STRING"}) &&
      !args.empty())
    return make(adVarWChar, args[0]);
  if (OneOf(name,
            {"TEXT", "CLOB", "MEMO", "LONGTEXT", "NTEXT", "LONGCHAR", "MEDIUMTEXT", "VARCHAR", "NVARCHAR"}))
    return make(adLongVarWChar);
  if (name == "BINARY") return make(adBinary, arg(0, kDefaultTextSize));
  if (name == "VARBINARY") return args.empty() ? make(adLongVarBinary) : make(adVarBinary, args[0]);
  if (OneOf(name, {"BLOB", "LONGBINARY", "IMAGE", "OLEOBJECT", "GENERAL"})) return make(adLongVarBinary);
  // Otherwise the engine's own affinity rules decide.
  if (name.find("INT") != std::string::npos)
    return make(name.find("BIG") != std::string::npos ? adBigInt : adInteger);
  if (name.find("BLOB") != std::string::npos) return make(adLongVarBinary);
  if (name.find("REAL") != std::string::npos || name.find("FLOA") != std::string::npos ||
      name.find("DOUB") != std::string::npos)
    return make(adDouble);
  if (!args.empty() && name.find("CHAR") != std::string::npos) return make(adVarWChar, args[0]);
  return make(adLongVarWChar);
}

int NaturalPrecision(int type) {
  return type == adNumeric ? kDefaultDecimalPrecision : FixedPrecision(type);
}

int NaturalScale(int type) {
  return type == adCurrency ? 4 : 0;
}

}  // namespace vela::data::sqlite
