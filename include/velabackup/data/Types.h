// The codes of the data-access layer: ADO data types, cursor options, ADOX key types, rules and null
// handling. The numbers are those of the automation data-access objects; the backup document stores them.
#pragma once

namespace vela::data {

enum DataTypeEnum : int {
  adEmpty = 0,
  adSmallInt = 2,
  adInteger = 3,
  adSingle = 4,
  adDouble = 5,
  adCurrency = 6,
  adDate = 7,
  adBSTR = 8,
  adBoolean = 11,
  adVariant = 12,  // any value in its own class: a column without a declared type
  adDecimal = 14,
  adTinyInt = 16,
  adUnsignedTinyInt = 17,
  adBigInt = 20,
  adGUID = 72,
  adBinary = 128,
  adChar = 129,
  adWChar = 130,
  adNumeric = 131,
  adDBDate = 133,
  adDBTime = 134,
  adDBTimeStamp = 135,
  adVarNumeric = 139,
  adVarChar = 200,
  adLongVarChar = 201,
  adVarWChar = 202,
  adLongVarWChar = 203,
  adVarBinary = 204,
  adLongVarBinary = 205,
};

enum CursorTypeEnum : int { adOpenForwardOnly = 0, adOpenKeyset = 1, adOpenDynamic = 2, adOpenStatic = 3 };
enum LockTypeEnum : int {
  adLockReadOnly = 1,
  adLockPessimistic = 2,
  adLockOptimistic = 3,
  adLockBatchOptimistic = 4
};
enum CursorLocationEnum : int { adUseServer = 2, adUseClient = 3 };
enum EditModeEnum : int { adEditNone = 0, adEditInProgress = 1, adEditAdd = 2 };
enum ParameterDirectionEnum : int { adParamInput = 1 };

enum KeyTypeEnum : int { adKeyPrimary = 1, adKeyForeign = 2, adKeyUnique = 3 };
// adRIRestrict is no ADO rule: both engines tell RESTRICT (refused at once) from NO ACTION (adRINone,
// refused at the statement's end); the backup document writes it as NO ACTION with a Restrict mark.
enum RuleEnum : int { adRINone = 0, adRICascade = 1, adRISetNull = 2, adRISetDefault = 3, adRIRestrict = 4 };
enum AllowNullsEnum : int {
  adIndexNullsAllow = 0,
  adIndexNullsDisallow = 1,
  adIndexNullsIgnore = 2,
  adIndexNullsIgnoreAny = 4
};

// The families of data types, one definition for the whole project.
constexpr bool IsTextType(int type) {
  return type == adChar || type == adWChar || type == adVarChar || type == adLongVarChar ||
         type == adVarWChar || type == adLongVarWChar || type == adBSTR;
}
constexpr bool IsBinaryType(int type) {
  return type == adBinary || type == adVarBinary || type == adLongVarBinary;
}
constexpr bool IsLongType(int type) {
  return type == adLongVarWChar || type == adLongVarChar || type == adLongVarBinary;
}
constexpr bool IsIntegerType(int type) {
  return type == adSmallInt || type == adInteger || type == adTinyInt || type == adUnsignedTinyInt ||
         type == adBigInt;
}
constexpr bool IsDateType(int type) {
  return type == adDate || type == adDBDate || type == adDBTime || type == adDBTimeStamp;
}

// The precision a type of fixed size reports, whatever the engine: its decimal digits (0 for the others).
constexpr int FixedPrecision(int type) {
  switch (type) {
    case adUnsignedTinyInt:
      return 3;
    case adSmallInt:
      return 5;
    case adSingle:
      return 7;
    case adInteger:
      return 10;
    case adDouble:
      return 15;
    case adCurrency:
    case adBigInt:
      return 19;
    default:
      return 0;
  }
}

// OLE DB COLUMN_FLAGS bits reported by the COLUMNS schema rowset.
enum ColumnFlags : int {
  DBCOLUMNFLAGS_ISFIXEDLENGTH = 0x10,
  DBCOLUMNFLAGS_ISNULLABLE = 0x20,
  DBCOLUMNFLAGS_MAYBENULL = 0x40,
  DBCOLUMNFLAGS_ISLONG = 0x80,
  DBCOLUMNFLAGS_WRITE = 0x4,
  DBCOLUMNFLAGS_WRITEUNKNOWN = 0x8,
};

}  // namespace vela::data
