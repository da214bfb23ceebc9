// The rows of a forward-only server recordset, read from the server's COPY text: every type, NULL and
// escape comes back as a whole result gives it, long values and many rows included, inside and outside a
// read snapshot; a statement the COPY cannot carry still streams; a recordset closed or failed halfway
// leaves the connection (and its snapshot) usable.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/Failure.h"
#include "support/ServerDatabases.h"
#include "velabackup/data/Connection.h"

namespace vela::data {
namespace {

using vela::testing::Failure;

// Equal values, a NaN being equal to a NaN.
bool Same(const Value& a, const Value& b) {
  if (a.GetKind() == Value::Kind::Double && b.GetKind() == Value::Kind::Double && std::isnan(a.AsDouble()))
    return std::isnan(b.AsDouble());
  return a == b;
}

class ServerRowsBatchTest : public vela::testing::ServerDatabaseTest {
 protected:
  ServerRowsBatchTest() : ServerDatabaseTest("vela_rows") {}

  // Every type the provider reads, with the texts COPY escapes (tab, newline, carriage return, backslash,
  // a literal "\N"), empty texts beside NULLs, NaN and infinities, and every 1000th row a text and a
  // binary of 200 KiB.
  void MakeAllTypes(int rows) {
    db_->Execute(
        "CREATE TABLE t (id integer, small smallint, big bigint, flag boolean, padded char(6), "
        "name varchar(40), note text, real4 real, real8 double precision, exact numeric(19,4), "
        "loose numeric, day date, taken timestamp(3), zoned timestamptz, clock time, guid uuid, "
        "bytes bytea, doc json, list integer ARRAY)");
    db_->Execute(
        "INSERT INTO t SELECT g, (g % 30000)::smallint, g * 10000000007, g % 2 = 0, "
        "CASE WHEN g % 4 = 0 THEN 'ab' END, CASE WHEN g % 9 = 0 THEN '' ELSE 'n' || g END, "
        "CASE g % 7 WHEN 0 THEN NULL WHEN 1 THEN E'tab\\there\\nline\\r\\\\back \\\\N é€𝄞' "
        "WHEN 2 THEN '\\N' WHEN 3 THEN '' ELSE CASE WHEN g % 1000 = 0 THEN repeat(E'x\\t\\\\', 70000) "
        "ELSE 'plain ' || g END END, "
        "CASE g % 5 WHEN 0 THEN 'NaN'::real ELSE g / 7.0 END, "
        "CASE g % 6 WHEN 0 THEN '-Infinity'::float8 WHEN 1 THEN 'Infinity' ELSE g / 3.0 END, "
        "g + 0.25, CASE WHEN g % 3 = 0 THEN NULL ELSE g * 1.000001 END, DATE '1999-12-31' + g % 400, "
        "TIMESTAMP '2024-02-29 23:59:59.125' + g * INTERVAL '1 second', "
        "TIMESTAMPTZ '2024-01-01 12:00:00+02' + g * INTERVAL '1 minute', TIME '13:14:15' + g * INTERVAL "
        "'1 second', md5(g::text)::uuid, "
        "CASE WHEN g % 11 = 0 THEN NULL WHEN g % 1000 = 0 THEN decode(repeat('5c090a00ff', 40000), 'hex') "
        "ELSE decode(lpad(to_hex(g), 8, '0') || '5c0a09', 'hex') END, "
        "json_build_object('k', E'a\\tb\\\\c', 'n', g), format('{%s,NULL,%s}', g, -g)::integer ARRAY "
        "FROM generate_series(1, " +
        std::to_string(rows) + ") g");
  }

  // The rows of `sql`, read whole (client-side) or streamed, with their fields.
  struct Rows {
    std::vector<FieldInfo> fields;
    std::vector<std::vector<Value>> rows;
  };
  Rows Read(const std::string& sql, CursorLocationEnum location) {
    Rows read;
    auto rs = db_->OpenRecordset(sql, adOpenForwardOnly, adLockReadOnly, location);
    for (std::size_t c = 0; c < rs->FieldCount(); ++c) read.fields.push_back(rs->Field(c));
    for (; !rs->Eof(); rs->MoveNext()) {
      std::vector<Value>& row = read.rows.emplace_back();
      for (std::size_t c = 0; c < rs->FieldCount(); ++c) row.push_back(rs->GetValue(c));
    }
    return read;
  }
  void ExpectStreamedAsWhole(const std::string& sql) {
    const Rows whole = Read(sql, adUseClient);
    const Rows streamed = Read(sql, adUseServer);
    ASSERT_EQ(streamed.fields.size(), whole.fields.size()) << sql;
    for (std::size_t c = 0; c < whole.fields.size(); ++c) {
      const FieldInfo& a = whole.fields[c];
      const FieldInfo& b = streamed.fields[c];
      EXPECT_EQ(b.name, a.name);
      EXPECT_EQ(b.type, a.type) << a.name;
      EXPECT_EQ(b.definedSize, a.definedSize) << a.name;
      EXPECT_EQ(b.precision, a.precision) << a.name;
      EXPECT_EQ(b.numericScale, a.numericScale) << a.name;
    }
    ASSERT_EQ(streamed.rows.size(), whole.rows.size()) << sql;
    for (std::size_t r = 0; r < whole.rows.size(); ++r)
      for (std::size_t c = 0; c < whole.fields.size(); ++c)
        if (!Same(streamed.rows[r][c], whole.rows[r][c])) {
          ASSERT_EQ(streamed.rows[r][c], whole.rows[r][c]) << "row " << r << " " << whole.fields[c].name;
        }
  }
  std::int64_t Scalar(const std::string& sql) {
    auto rs = db_->OpenRecordset(sql, adOpenForwardOnly, adLockReadOnly, adUseServer);
    return rs->GetValue(std::size_t{0}).AsInt();
  }
};

TEST_F(ServerRowsBatchTest, StreamedRowsEqualAWholeResultInAndOutOfASnapshot) {
  if (NotSetUp()) return;
  MakeAllTypes(3000);
  const std::string all = "SELECT * FROM [t] ORDER BY [id]";
  ExpectStreamedAsWhole(all);
  db_->BeginReadSnapshot();
  ExpectStreamedAsWhole(all);
  db_->EndReadSnapshot();
  // Shapes beside a plain table: repeated names, no rows, no table and a comment to the end of the line, a
  // statement no COPY takes.
  ExpectStreamedAsWhole("SELECT [id], [id], [note] AS [id] FROM [t] WHERE [id] < 20 ORDER BY 1");
  ExpectStreamedAsWhole("SELECT * FROM [t] WHERE [id] < 0");
  ExpectStreamedAsWhole("SELECT 1 AS [one], NULL AS [nothing], 'a\tb' AS [text] -- a closing comment");
  ExpectStreamedAsWhole("WITH w AS (SELECT [id] FROM [t] WHERE [id] <= 5) SELECT * FROM w ORDER BY 1");
}

TEST_F(ServerRowsBatchTest, ARecordsetClosedOrFailedHalfwayLeavesTheConnectionUsable) {
  if (NotSetUp()) return;
  MakeAllTypes(5000);
  for (bool snapshot : {false, true}) {
    SCOPED_TRACE(snapshot ? "in a snapshot" : "outside a snapshot");
    if (snapshot) db_->BeginReadSnapshot();
    {
      auto rs = db_->OpenRecordset("SELECT * FROM [t] ORDER BY [id]", adOpenForwardOnly, adLockReadOnly,
                                   adUseServer);
      for (int i = 0; i < 1500; ++i) rs->MoveNext();
      EXPECT_EQ(rs->GetValue(std::size_t{0}).AsInt(), 1501);
    }
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [t]"), 5000);
    // A row the server cannot make fails the read where it stands.
    int read = 0;
    Error e = Failure([&] {
      auto rs = db_->OpenRecordset("SELECT 100 / (2500 - [id]) FROM [t]", adOpenForwardOnly, adLockReadOnly,
                                   adUseServer);
      for (; !rs->Eof(); rs->MoveNext()) ++read;
    });
    EXPECT_EQ(e.EngineCode(), "22012");
    EXPECT_EQ(read, 2499);
    if (snapshot) {
      // The failed read ended the snapshot's transaction; the next one begins afresh.
      db_->EndReadSnapshot();
      db_->BeginReadSnapshot();
    }
    EXPECT_EQ(Scalar("SELECT MAX([id]) FROM [t]"), 5000);
    if (snapshot) db_->EndReadSnapshot();
  }
}

}  // namespace
}  // namespace vela::data
