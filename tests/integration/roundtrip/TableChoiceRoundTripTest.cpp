// The table choice below the host: which names a pattern matches on each engine, and a file table's own
// statement said again without its keys to tables left out.
#include <gtest/gtest.h>

#include "backupfile/TableChoice.h"
#include "velabackup/Error.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

TEST(TableChoicePatterns, WildcardsCaseAndSchemasAsTheEngineComparesNames) {
  struct Case {
    const char* pattern;
    const char* name;
    bool server, matches;
  };
  const Case cases[] = {
      {"order*", "Orders", false, true},      {"order*", "Orders", true, false},
      {"?rders", "Ärders", false, true},      {"a*b*c", "aXbYbZc", false, true},
      {"a*b*c", "aXbYcZ", false, false},      {"sales.*", "sales.orders", true, true},
      {"sales.*", "orders", true, false},     {"public.orders", "orders", true, true},
      {"orders", "sales.orders", true, true}, {"sales.orders", "sales.orders", false, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(backupfile::MatchesTablePattern(c.pattern, c.name, c.server), c.matches)
        << c.pattern << " / " << c.name << (c.server ? " (server)" : " (file)");
}

TEST(TableChoiceStatements, AFileTableLosesOnlyItsKeysToTablesLeftOut) {
  auto without = [](const std::string& sql) {
    data::EngineObject table{"table", "t", "t", "", sql};
    return data::TableWithoutKeysTo("Microsoft.Jet.OLEDB.4.0", table,
                                    [](std::string_view name) { return name == "gone" || name == "Gone"; })
        .value_or("(unread)");
  };
  EXPECT_EQ(without("CREATE TABLE t (a INTEGER REFERENCES gone(id) ON DELETE CASCADE NOT NULL, b TEXT)"),
            "CREATE TABLE t (a INTEGER  NOT NULL, b TEXT)");
  EXPECT_EQ(without("CREATE TABLE t (a INTEGER CONSTRAINT fk REFERENCES \"Gone\" MATCH FULL DEFERRABLE "
                    "INITIALLY DEFERRED, b INTEGER REFERENCES kept)"),
            "CREATE TABLE t (a INTEGER , b INTEGER REFERENCES kept)");
  EXPECT_EQ(without("CREATE TABLE t (a, b, /* keys, */ FOREIGN KEY (a) REFERENCES gone(id), CONSTRAINT k "
                    "FOREIGN KEY (b) REFERENCES kept(id), CHECK (a > 0))"),
            "CREATE TABLE t (a, b, CONSTRAINT k FOREIGN KEY (b) REFERENCES kept(id), CHECK (a > 0))");
  EXPECT_EQ(without("CREATE TABLE t (a, CONSTRAINT x FOREIGN KEY (a) REFERENCES gone) WITHOUT ROWID"),
            "CREATE TABLE t (a) WITHOUT ROWID");
}

}  // namespace
}  // namespace vela
