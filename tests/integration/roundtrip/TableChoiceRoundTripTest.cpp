// The table choice below the host: a file table's own statement, said again without its keys to the tables
// left out, keeps everything else it says.
#include <gtest/gtest.h>

#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

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
