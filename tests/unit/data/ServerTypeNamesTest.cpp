// The server type names a column carries across engines: only built-in names are made again, in the
// server's own spelling, and a file database declares a column with one only where the engine reads the
// name as the same type and affinity.
#include <gtest/gtest.h>

#include "platform/data/ServerTypeNames.h"
#include "platform/data/sqlite/JetTypes.h"
#include "velabackup/data/Types.h"

namespace vela::data {
namespace {

TEST(ServerTypeNames, BuiltInNamesComeBackInTheServersSpelling) {
  EXPECT_EQ(KnownServerType("date"), "date");
  EXPECT_EQ(KnownServerType("character varying(40)"), "character varying(40)");
  EXPECT_EQ(KnownServerType("  Numeric( 12 , 2 ) "), "numeric(12,2)");
  EXPECT_EQ(KnownServerType("timestamp(3) without time zone"), "timestamp(3) without time zone");
  EXPECT_EQ(KnownServerType("timestamp with time zone"), "timestamp with time zone");
  EXPECT_EQ(KnownServerType("double precision"), "double precision");
  EXPECT_EQ(KnownServerType("interval"), "interval");
}

TEST(ServerTypeNames, AnythingElseIsNeverTaken) {
  // Arrays, enums, domains, other schemas' types, and whatever a changed backup could slip into SQL.
  for (const char* name :
       {"text[]", "mood", "public.year", "integer; DROP TABLE t", "varchar(40)", "character varying(40",
        "character varying(4,0,1)", "numeric(12,2,3)", "timestamp without time zone(3)",
        "character(3) varying", "integer(5)", "date -- comment", "\"date\"", "numeric(1234567890)", ""})
    EXPECT_FALSE(KnownServerType(name)) << name;
}

TEST(ServerTypeNames, WhatAFileDatabaseLosesIsNamed) {
  EXPECT_EQ(FileLosesOf("date"), "");
  EXPECT_EQ(FileLosesOf("character varying(40)"), "");
  EXPECT_EQ(FileLosesOf("timestamp(6) without time zone"), "");
  EXPECT_EQ(FileLosesOf("timestamp with time zone"), "kept in UTC");
  EXPECT_EQ(FileLosesOf("time without time zone"), "kept as a time of 1899-12-30");
  EXPECT_EQ(FileLosesOf("jsonb"), "kept as text");
  EXPECT_EQ(FileLosesOf("interval"), "kept as text");
  EXPECT_EQ(FileLosesOf("numeric"), "kept as text");
  EXPECT_EQ(FileLosesOf("numeric(12,2)"), "");
  EXPECT_NE(FileLosesOf("text[]"), "");
}

TEST(ServerTypeNames, AFileDeclaresTheServersNameOnlyWhereItReadsTheSame) {
  using sqlite::ColumnType;
  using sqlite::DeclarationFor;
  using sqlite::EngineType;
  EXPECT_EQ(DeclarationFor(EngineType(adDBDate, 0, 0, 0), "date"), "date");
  EXPECT_EQ(DeclarationFor(EngineType(adVarWChar, 40, 0, 0), "character varying(40)"),
            "character varying(40)");
  EXPECT_EQ(DeclarationFor(EngineType(adBoolean, 0, 0, 0), "boolean"), "boolean");
  EXPECT_EQ(DeclarationFor(EngineType(adDBTimeStamp, 0, 0, 0), "timestamp with time zone"),
            "timestamp with time zone");
  // "interval" would give integer affinity to a text column; numeric's affinity would turn long decimals
  // into reals; "real" reads as a double here.
  EXPECT_EQ(DeclarationFor(EngineType(adLongVarWChar, 0, 0, 0), "interval"), "TEXT");
  EXPECT_EQ(DeclarationFor(EngineType(adNumeric, 0, 12, 2), "numeric(12,2)"), "DECIMAL BLOB(12,2)");
  EXPECT_EQ(DeclarationFor(EngineType(adSingle, 0, 0, 0), "real"), "FLOAT4");
  // A name that disagrees with the column's own type or size is not taken either.
  EXPECT_EQ(DeclarationFor(EngineType(adVarWChar, 20, 0, 0), "character varying(40)"), "VARCHAR(20)");
  EXPECT_EQ(DeclarationFor(EngineType(adLongVarWChar, 0, 0, 0), "text[]"), "TEXT");
}

}  // namespace
}  // namespace vela::data
