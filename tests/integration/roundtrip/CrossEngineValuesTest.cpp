// Across engines nothing is lost without a word. A SQLite file made with plain SQL as applications make
// them (millisecond times in INTEGER, texts longer than their VARCHAR, numbers beyond their DECIMAL, a NUL
// and bytes that are not UTF-8 in a text, dates before 1753) restores onto the server with every value or
// the value named; a server database made with psql-style DDL comes back from a trip through a file
// database with its types, defaults, nullability and key names, and the file restore names what it could
// not hold.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "platform/data/postgres/ServerSession.h"
#include "support/Archives.h"
#include "support/EventRecorder.h"
#include "support/ServerDatabases.h"
#include "support/SqliteFiles.h"
#include "support/TempFolder.h"
#include "support/WildDatabase.h"
#include "velabackup/BackupFile.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::Scalar;

std::string Text(const std::string& database, const std::string& sql) {
  Value value = Scalar(database, sql);
  return value.IsNull() ? "(null)" : value.AsText();
}

// Everything the notice of values and types held otherwise said.
std::string HeldOtherwise(const testing::EventRecorder& notices) {
  std::string said;
  for (const testing::EventRecorder::Message& message : notices.messages)
    if (message.guid == kHeldOtherwiseGuid) said += message.prompt;
  return said;
}

class CrossEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    VELA_REQUIRE_SERVER();
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&notices_);
  }

  // Saves a database and restores the backup into `target`; whether the restore succeeded.
  bool Through(const std::string& source, const std::string& target, const std::string& name) {
    {
      std::unique_ptr<Connection> connection = OpenConnection(source);
      if (!backup_.Save(*connection, folder_ / name)) return false;
    }
    return backup_.Restore(target, folder_ / name);
  }

  testing::ServerDatabaseGuard databases_;
  testing::TempFolder folder_;
  testing::EventRecorder notices_;
  CBackup backup_;
};

TEST_F(CrossEngine, AnApplicationsFileReachesTheServerWithEveryValueOrItsName) {
  const std::string path = (folder_ / "app.db");
  ASSERT_EQ(testing::Exec(path, R"sql(
      CREATE TABLE events (id INTEGER PRIMARY KEY, at_ms INTEGER NOT NULL, code VARCHAR(5),
                           price DECIMAL(5,2), note TEXT, born DATE, qty SMALLINT, tag VARCHAR(5),
                           rate DECIMAL(5,2), score INTEGER);
      INSERT INTO events VALUES (1, 1700000000123, 'ABCDEFGHIJ', 12345.678, 'a' || char(0) || 'b',
                                 '0001-01-01', 3, 'ok', 1.25, 7);
      INSERT INTO events VALUES (2, 9007199254740993, 'ok', 1.5, CAST(X'41FF42' AS TEXT), '1500-06-01',
                                 'many', 'fits', -999.99, 2.5);
      INSERT INTO events VALUES (3, -9223372036854775808, 'x', 2, 'plain', 'soon', 70000, NULL, NULL, NULL);
  )sql"),
            "");
  const std::string target = databases_.Add("xeng_app");
  ASSERT_TRUE(Through(testing::FileDatabase(path), target, "app.vbk"));

  // Columns whose values are wider than their declared types are made wide enough; the others as declared.
  EXPECT_EQ(
      Text(target,
           "SELECT string_agg(attname || ' ' || format_type(atttypid, atttypmod), ', ' ORDER BY attnum) "
           "FROM pg_attribute WHERE attrelid = 'events'::regclass AND attnum > 0"),
      "id integer, at_ms bigint, code character varying(10), price numeric(8,3), note text, "
      "born timestamp without time zone, qty bigint, tag character varying(5), rate numeric(5,2), score "
      "integer");
  // 64-bit integers, long texts and wide numbers arrive as they were.
  EXPECT_EQ(Text(target, "SELECT string_agg(at_ms::text, ',' ORDER BY id) FROM events"),
            "1700000000123,9007199254740993,-9223372036854775808");
  EXPECT_EQ(Text(target, "SELECT code FROM events WHERE id = 1"), "ABCDEFGHIJ");
  EXPECT_EQ(Text(target, "SELECT price::text FROM events WHERE id = 1"), "12345.678");
  EXPECT_EQ(Text(target, "SELECT qty::text FROM events WHERE id = 3"), "70000");
  // Dates keep their year.
  EXPECT_EQ(Text(target, "SELECT string_agg(to_char(born, 'YYYY-MM-DD'), ',' ORDER BY id) FROM events"),
            "0001-01-01,1500-06-01");
  // What the server cannot hold is changed visibly and named by table, row and column.
  EXPECT_EQ(Text(target, "SELECT note FROM events WHERE id = 1"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Text(target, "SELECT note FROM events WHERE id = 2"),
            "A\xEF\xBF\xBD"
            "B");
  EXPECT_EQ(Text(target, "SELECT born FROM events WHERE id = 3"), "(null)");
  EXPECT_EQ(Text(target, "SELECT qty FROM events WHERE id = 2"), "(null)");
  const std::string said = HeldOtherwise(notices_);
  EXPECT_THAT(said, HasSubstr("table events:"));
  EXPECT_THAT(said, HasSubstr("row 1, column note: NUL replaced by U+FFFD"));
  EXPECT_THAT(said, HasSubstr("row 2, column note: bytes that are not UTF-8 replaced by U+FFFD"));
  EXPECT_THAT(said, HasSubstr("row 2, column qty: not a whole number, left empty"));
  EXPECT_THAT(said, HasSubstr("row 3, column born: not a date, left empty"));
  EXPECT_THAT(said, HasSubstr("row 2, column score: rounded to a whole number"));
  EXPECT_THAT(said, Not(HasSubstr("row 3, column note")));
}

TEST_F(CrossEngine, ABackupWithoutMeasuresStillRestoresAndNamesWhatDoesNotFit) {
  const std::string path = (folder_ / "old.db");
  ASSERT_EQ(testing::Exec(path, R"sql(
      CREATE TABLE t (id INTEGER PRIMARY KEY, code VARCHAR(3), n INTEGER, small SMALLINT, price DECIMAL(5,2));
      INSERT INTO t VALUES (1, 'abcdef', 2147483648, 40000, 1234.5);
      INSERT INTO t VALUES (2, 'äöüß', 7, 7, 999.99);
  )sql"),
            "");
  {
    std::unique_ptr<Connection> connection = OpenConnection(testing::FileDatabase(path));
    ASSERT_TRUE(backup_.Save(*connection, folder_ / "measured.vbk"));
  }
  // The document as a save made before values were measured writes it.
  testing::Members members = testing::ReadArchive(folder_ / "measured.vbk");
  std::string& document = members.at(kDocumentMember);
  ASSERT_NE(document.find("MaxLength=\"6\""), std::string::npos) << document;
  document = std::regex_replace(document, std::regex(" Max(Length|Digits|Scale)=\"[0-9]+\""), "");
  testing::WriteArchive(folder_ / "old.vbk", members);

  const std::string target = databases_.Add("xeng_old");
  ASSERT_TRUE(backup_.Restore(target, folder_ / "old.vbk"));
  EXPECT_EQ(Text(target, "SELECT string_agg(code, ',' ORDER BY id) FROM t"), "abc,äöü");
  EXPECT_EQ(Text(target, "SELECT count(*) FROM t WHERE n IS NULL AND small IS NULL AND price IS NULL"), "1");
  EXPECT_EQ(Text(target, "SELECT price::text FROM t WHERE id = 2"), "999.99");
  const std::string said = HeldOtherwise(notices_);
  EXPECT_THAT(said, HasSubstr("row 1, column code: cut to 3 characters"));
  EXPECT_THAT(said, HasSubstr("row 2, column code: cut to 3 characters"));
  EXPECT_THAT(said, HasSubstr("row 1, column n: beyond the column's range, left empty"));
  EXPECT_THAT(said, HasSubstr("row 1, column small: beyond the column's range, left empty"));
  EXPECT_THAT(said, HasSubstr("row 1, column price: beyond the column's precision, left empty"));
  EXPECT_THAT(said, Not(HasSubstr("row 2, column n")));
}

TEST_F(CrossEngine, ALongListOfChangedValuesIsCutShortWithACount) {
  const std::string path = (folder_ / "many.db");
  std::string sql = "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT);";
  for (int i = 1; i <= 25; ++i) sql += "INSERT INTO t VALUES (" + std::to_string(i) + ", 'x' || char(0));";
  ASSERT_EQ(testing::Exec(path, sql), "");
  const std::string target = databases_.Add("xeng_many");
  ASSERT_TRUE(Through(testing::FileDatabase(path), target, "many.vbk"));
  EXPECT_EQ(Text(target, "SELECT count(*) FROM t"), "25");
  const std::string said = HeldOtherwise(notices_);
  EXPECT_THAT(said, HasSubstr("row 10, column v"));
  EXPECT_THAT(said, Not(HasSubstr("row 11, column v")));
  EXPECT_THAT(said, HasSubstr("and 15 more value(s)"));
  int notices = 0;
  for (const testing::EventRecorder::Message& message : notices_.messages)
    notices += message.guid == kHeldOtherwiseGuid;
  EXPECT_EQ(notices, 1);
}

// A server database as psql users make one, and what its users ask of it.
class ThroughAFile : public CrossEngine {
 protected:
  void SetUp() override {
    CrossEngine::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    source_ = databases_.Add("xeng_shop");
    CreateDatabase(source_);
    std::unique_ptr<Connection> setup = OpenConnection(source_);
    dynamic_cast<postgres::ServerSession&>(*setup).RunServerSql(R"sql(
      CREATE TABLE customers (
        id serial CONSTRAINT customers_pkey PRIMARY KEY,
        name varchar(40) NOT NULL,
        active boolean NOT NULL DEFAULT true,
        vip boolean DEFAULT false,
        born date,
        created timestamp NOT NULL DEFAULT now(),
        balance numeric(12,2) DEFAULT 0,
        code char(3),
        score integer DEFAULT 10,
        opens time,
        CONSTRAINT customers_name_key UNIQUE (name));
      CREATE TABLE orders (
        order_id integer GENERATED BY DEFAULT AS IDENTITY CONSTRAINT orders_pk PRIMARY KEY,
        customer_id integer NOT NULL CONSTRAINT orders_customer_fk REFERENCES customers (id) ON DELETE CASCADE,
        placed date NOT NULL DEFAULT CURRENT_DATE,
        shipped boolean NOT NULL DEFAULT false,
        tags text[],
        took interval,
        stamped timestamptz);
      INSERT INTO customers (name, vip, born, balance, code, opens)
        VALUES ('Ann', NULL, '0001-01-01', 12.5, 'AB', '09:30'), ('Bob', true, '1500-06-01', -3, 'X', NULL),
               ('Cy', false, '2020-02-29', 0.01, NULL, '23:59:59');
      INSERT INTO orders (customer_id, placed, tags, took, stamped)
        VALUES (1, '2020-02-29', '{a,b}', '1 day 2 hours', '2024-03-01 10:00+02'), (2, '1600-01-01', NULL,
                NULL, NULL), (1, '2024-12-31', '{}', '5 minutes', '2024-12-31 23:00+00');
    )sql");
  }

  // Each column of the public tables: name, type, nullability and default, in order.
  static std::string Columns(const std::string& database) {
    return Text(
        database,
        "SELECT string_agg(c.relname || '.' || a.attname || ' ' || format_type(a.atttypid, a.atttypmod) ||"
        " CASE WHEN a.attnotnull THEN ' not null' ELSE '' END || coalesce(' default ' || "
        "pg_get_expr(d.adbin, d.adrelid), '') || CASE WHEN a.attidentity <> '' THEN ' identity' ELSE '' "
        "END, '; ' ORDER BY c.relname, a.attnum) FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
        "JOIN pg_namespace n ON n.oid = c.relnamespace LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid "
        "AND d.adnum = a.attnum WHERE n.nspname = 'public' AND c.relkind = 'r' AND a.attnum > 0 AND NOT "
        "a.attisdropped AND c.relname IN ('customers', 'orders')");
  }
  static std::string Keys(const std::string& database) {
    return Text(
        database,
        "SELECT string_agg(conrelid::regclass || ' ' || conname || ' ' || contype::text || ' ' || "
        "pg_get_constraintdef(oid), '; ' ORDER BY conrelid::regclass::text, conname) FROM pg_constraint "
        "WHERE connamespace = 'public'::regnamespace AND contype IN ('p', 'u', 'f')");
  }
  // What the database's users ask of it.
  static std::vector<std::string> Answers(const std::string& database) {
    std::vector<std::string> answers;
    for (const char* query : {
             "SELECT string_agg(name, ',' ORDER BY name) FROM customers WHERE active",
             "SELECT count(*) FROM customers WHERE vip IS NULL",
             "SELECT string_agg(name || ' ' || born, ',' ORDER BY born) FROM customers",
             "SELECT sum(balance)::text FROM customers",
             "SELECT string_agg(opens::text, ',' ORDER BY opens) FROM customers",
             "SELECT count(*) FROM orders WHERE placed < '1700-01-01'",
             "SELECT string_agg(took::text, ',' ORDER BY took) FROM orders",
             "SELECT string_agg(to_char(stamped AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI'), ',' ORDER BY "
             "stamped) "
             "FROM orders",
             "SELECT count(*) FROM orders o JOIN customers c ON c.id = o.customer_id WHERE c.name = 'Ann'",
         })
      answers.push_back(Text(database, query));
    return answers;
  }

  std::string source_;
};

TEST_F(ThroughAFile, ServerToFileToServerGivesBackTypesDefaultsNullabilityAndKeyNames) {
  const std::string file = testing::FileDatabase((folder_ / "shop.db"));
  ASSERT_TRUE(Through(source_, file, "server.vbk"));
  // The file declares the server's types where the engine reads them alike, and names what it cannot hold.
  const std::vector<std::string> declared =
      testing::Answers((folder_ / "shop.db"),
                       "SELECT group_concat(name || ' ' || type, ', ') FROM "
                       "pragma_table_info('customers') WHERE name IN ('born', 'name', 'vip')");
  EXPECT_THAT(declared, ElementsAre("text:name character varying(40), vip boolean, born date | "));
  EXPECT_THAT(testing::Answers((folder_ / "shop.db"),
                               "SELECT count(*) FROM sqlite_master WHERE name = 'customers' AND "
                               "sql LIKE '%CONSTRAINT \"customers_name_key\" UNIQUE (\"name\")%'"),
              ElementsAre("integer:1 | "));
  const std::string said = HeldOtherwise(notices_);
  EXPECT_THAT(said, HasSubstr("table orders:\n  column tags (text[])"));
  EXPECT_THAT(said, HasSubstr("column took (interval): kept as text"));
  EXPECT_THAT(said, HasSubstr("column stamped (timestamp with time zone): kept in UTC"));
  EXPECT_THAT(said, HasSubstr("table customers:\n  column opens (time without time zone)"));

  const std::string back = databases_.Add("xeng_back");
  ASSERT_TRUE(Through(file, back, "file.vbk"));
  // Column by column as the source, but for what a file holds otherwise: a serial column is numbered by
  // the server itself, now() is the local time it gives, an array comes back as its text.
  std::string expected = Columns(source_);
  for (auto [from, to] :
       {std::pair<std::string, std::string>{"default nextval('customers_id_seq'::regclass)", "identity"},
        {"default now()", "default LOCALTIMESTAMP"},
        {"tags text[]", "tags text"}}) {
    const std::size_t at = expected.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    expected.replace(at, from.size(), to);
  }
  EXPECT_EQ(Columns(back), expected);
  EXPECT_EQ(Keys(back), Keys(source_));
  EXPECT_EQ(Answers(back), Answers(source_));
}

}  // namespace
}  // namespace vela
