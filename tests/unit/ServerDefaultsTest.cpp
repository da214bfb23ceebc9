// Column defaults on their way to and from the server: a backup document's default becomes SQL only when
// it is a constant or a known function, and the server's own forms come back plain.
#include <gtest/gtest.h>

#include "platform/data/DefaultText.h"
#include "platform/data/postgres/ServerDefaults.h"
#include "velabackup/data/Types.h"

namespace vela::data::postgres {
namespace {

TEST(ServerDefaults, ConstantsAndKnownFunctionsBecomeServerSql) {
  EXPECT_EQ(ServerDefaultSql("0", adInteger), "0");
  EXPECT_EQ(ServerDefaultSql("((0))", adCurrency), "0");
  EXPECT_EQ(ServerDefaultSql("=-12.50", adNumeric), "-12.5");
  EXPECT_EQ(ServerDefaultSql("\"DE\"", adVarWChar), "'DE'");
  EXPECT_EQ(ServerDefaultSql("N'it''s'", adVarWChar), "'it''s'");
  EXPECT_EQ(ServerDefaultSql("007", adVarWChar), "'007'");
  EXPECT_EQ(ServerDefaultSql("Yes", adBoolean), "true");
  EXPECT_EQ(ServerDefaultSql("-1", adBoolean), "true");
  EXPECT_EQ(ServerDefaultSql("=No", adBoolean), "false");
  EXPECT_EQ(ServerDefaultSql("Now()", adDBTimeStamp), "LOCALTIMESTAMP");
  EXPECT_EQ(ServerDefaultSql("(getdate())", adDBTimeStamp), "LOCALTIMESTAMP");
  EXPECT_EQ(ServerDefaultSql("Date()", adDBTimeStamp), "CURRENT_DATE");
  EXPECT_EQ(ServerDefaultSql("'2020-02-29'", adDBTimeStamp), "'2020-02-29 00:00:00'");
  EXPECT_EQ(ServerDefaultSql("newid()", adGUID), "gen_random_uuid()");
  EXPECT_EQ(ServerDefaultSql("'12'", adInteger), "12");
}

TEST(ServerDefaults, AnythingElseNeverReachesTheServer) {
  for (const char* hostile : {"0); DROP TABLE t; --", "1 + (SELECT 1)", "pg_sleep(10)", "'a' || 'b'",
                              "(0)) OR ((1", "nextval('s')", "0;", "'x'::text; DROP TABLE t"}) {
    EXPECT_EQ(ServerDefaultSql(hostile, adInteger), std::nullopt) << hostile;
    EXPECT_EQ(ServerDefaultSql(hostile, adDBTimeStamp), std::nullopt) << hostile;
    // A text column takes the whole as one quoted text, quotes doubled.
    if (std::optional<std::string> quoted = ServerDefaultSql(hostile, adVarWChar)) {
      ASSERT_GE(quoted->size(), 2u);
      EXPECT_EQ(quoted->front(), '\'');
      EXPECT_EQ(quoted->back(), '\'');
      std::string_view body(quoted->data() + 1, quoted->size() - 2);
      for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\'') {
          EXPECT_TRUE(i + 1 < body.size() && body[i + 1] == '\'') << hostile;
          ++i;
        }
      }
    }
  }
  EXPECT_EQ(ServerDefaultSql("Now()", adInteger), std::nullopt);
  EXPECT_EQ(ServerDefaultSql("'abc'", adInteger), std::nullopt);
  EXPECT_EQ(ServerDefaultSql("", adInteger), std::nullopt);
}

TEST(ServerDefaults, TheServersFormsComeBackPlain) {
  EXPECT_EQ(DefaultFromServer("'DE'::character varying"), "\"DE\"");
  EXPECT_EQ(DefaultFromServer("'it''s'::text"), "\"it's\"");
  EXPECT_EQ(DefaultFromServer("0"), "0");
  EXPECT_EQ(DefaultFromServer("(0)::numeric"), "0");
  EXPECT_EQ(DefaultFromServer("'-1'::integer"), "-1");
  EXPECT_EQ(DefaultFromServer("(-1)"), "-1");
  EXPECT_EQ(DefaultFromServer("12.5000::numeric(19,4)"), "12.5000");
  EXPECT_EQ(DefaultFromServer("true"), "True");
  EXPECT_EQ(DefaultFromServer("now()"), "Now()");
  EXPECT_EQ(DefaultFromServer("CURRENT_TIMESTAMP"), "Now()");
  EXPECT_EQ(DefaultFromServer("LOCALTIMESTAMP"), "Now()");
  EXPECT_EQ(DefaultFromServer("CURRENT_DATE"), "Date()");
  EXPECT_EQ(DefaultFromServer("gen_random_uuid()"), "newid()");
  EXPECT_EQ(DefaultFromServer("'2020-01-01 00:00:00'::timestamp without time zone"), "\"2020-01-01 00:00:00\"");
  EXPECT_EQ(DefaultFromServer("'{}'::integer[]"), "\"{}\"");
  EXPECT_EQ(DefaultFromServer("nextval('t_id_seq'::regclass)"), std::nullopt);
  EXPECT_EQ(DefaultFromServer("(a + 1)"), std::nullopt);
}

TEST(ServerDefaults, BothDirectionsMeetOnTheSameValue) {
  // What the server reports, read back for a column of the same type, gives the same SQL.
  struct Case {
    const char* sql;
    int type;
  };
  for (const Case& c :
       {Case{"'DE'", adVarWChar}, Case{"0", adInteger}, Case{"true", adBoolean},
        Case{"LOCALTIMESTAMP", adDBTimeStamp}, Case{"'2020-02-29 10:11:12'", adDBTimeStamp}}) {
    std::optional<std::string> plain = DefaultFromServer(c.sql);
    ASSERT_TRUE(plain) << c.sql;
    EXPECT_EQ(ServerDefaultSql(*plain, c.type), c.sql);
  }
}

}  // namespace
}  // namespace vela::data::postgres
