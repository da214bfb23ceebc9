// The server's check of engine SQL from a backup, without a server: one statement of the form the
// object's kind allows, naming that object, read with the server's own quoting rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/data/postgres/ServerEngineSql.h"
#include "velabackup/data/Catalog.h"

namespace vela::data::postgres {
namespace {

using ::testing::HasSubstr;

std::string Check(const std::string& kind, const std::string& name, const std::string& table,
                  const std::string& sql) {
  EngineObject object;
  object.kind = kind;
  object.name = name;
  object.table = table;
  object.sql = sql;
  return CheckServerEngineSql(object);
}

TEST(ServerEngineSqlTest, TakesWhatTheServerWritesForEachKind) {
  const struct {
    const char *kind, *name, *table, *sql;
  } allowed[] = {
      {"schema", "store", "", "CREATE SCHEMA IF NOT EXISTS \"store\""},
      {"extension", "pg_trgm", "", "CREATE EXTENSION IF NOT EXISTS \"pg_trgm\" WITH SCHEMA \"public\""},
      {"type", "mpaa_rating", "", "CREATE TYPE \"public\".\"mpaa_rating\" AS ENUM ('G', 'PG; DROP', 'R')"},
      {"type", "extra.span", "", "CREATE TYPE \"extra\".\"span\" AS RANGE (SUBTYPE = integer)"},
      {"domain", "year", "", "CREATE DOMAIN public.year AS integer CONSTRAINT c CHECK (VALUE > 1901)"},
      {"function", "store.f", "",
       "CREATE OR REPLACE FUNCTION store.f(a integer)\n RETURNS integer\n LANGUAGE plpgsql\nAS $function$\n"
       "BEGIN DROP TABLE x; RETURN 1; END $function$\n"},
      {"function", "g", "", "CREATE FUNCTION g() RETURNS text LANGUAGE sql AS E'SELECT \\'a;b\\''"},
      {"function", "h", "",
       "CREATE FUNCTION public.h(language text) RETURNS TABLE(language text) LANGUAGE plpgsql AS $$ $$"},
      {"aggregate", "group_concat", "",
       "CREATE AGGREGATE \"public\".\"group_concat\"(text) (SFUNC = public._g, STYPE = text)"},
      {"sequence", "s", "", "CREATE SEQUENCE \"public\".\"s\" AS bigint INCREMENT BY 5"},
      {"table", "store.payment_p1", "",
       "CREATE TABLE \"store\".\"payment_p1\" PARTITION OF \"store\".\"payment\" FOR VALUES FROM ('a') TO "
       "('b')"},
      {"table", "film", "", "CREATE TABLE \"public\".\"film\" (\"a;b\" text[] /* ; */ DEFAULT '{}')"},
      {"constraint", "rental_dates", "store.rental",
       "ALTER TABLE \"store\".\"rental\" ADD CONSTRAINT \"rental_dates\" CHECK ((a > b))"},
      {"index", "film_long", "film",
       "CREATE INDEX film_long ON public.film USING btree (length) WHERE (x > 1)"},
      {"trigger", "t", "film",
       "CREATE TRIGGER t BEFORE UPDATE OF title ON public.film FOR EACH ROW EXECUTE FUNCTION public.f()"},
      {"view", "v", "", "CREATE VIEW \"public\".\"v\" AS SELECT 1 AS one;"},
      {"materialized view", "m", "", "CREATE MATERIALIZED VIEW \"public\".\"m\" AS SELECT 1 WITH NO DATA"},
      {"policy", "p", "store.customer",
       "CREATE POLICY \"p\" ON \"store\".\"customer\" AS PERMISSIVE FOR ALL TO "
       "PUBLIC USING ((a = $$x$$))"},
  };
  for (const auto& c : allowed) EXPECT_EQ(Check(c.kind, c.name, c.table, c.sql), "") << c.sql;
}

TEST(ServerEngineSqlTest, RefusesAnyOtherStatementAndSaysWhy) {
  const struct {
    const char *kind, *name, *table, *sql, *why;
  } refused[] = {
      {"view", "v", "", "CREATE VIEW v AS SELECT 1; DROP TABLE film", "more than one statement"},
      // The statement's end is found past a dollar-quoted body, an E'' string and nested comments.
      {"function", "f", "", "CREATE FUNCTION f() RETURNS int LANGUAGE sql AS $x$ SELECT 1 $x$; DROP TABLE a",
       "more than one statement"},
      {"function", "f", "", "CREATE FUNCTION f() RETURNS int AS E'\\';' LANGUAGE sql; DROP TABLE a",
       "more than one statement"},
      {"view", "v", "", "CREATE VIEW v AS SELECT 1 /* /* */ ; */; DROP TABLE a", "more than one statement"},
      {"view", "v", "", "CREATE VIEW v AS SELECT $q$;", "not closed"},
      {"table", "film", "", "DROP TABLE film", "no CREATE"},
      {"sequence", "s", "", "COPY film TO PROGRAM 'rm -rf /'", "no CREATE"},
      {"function", "store.f", "", "CREATE FUNCTION public.other() RETURNS int LANGUAGE sql AS 'SELECT 1'",
       "not \"store.f\""},
      {"function", "f", "", "CREATE FUNCTION f() RETURNS int AS 'lib', 'sym' LANGUAGE C", "language c"},
      {"function", "f", "", "CREATE FUNCTION f() RETURNS int LANGUAGE plpython3u AS $$ import os $$",
       "language plpython3u"},
      {"function", "now", "", "CREATE OR REPLACE FUNCTION pg_catalog.now() RETURNS int AS '1' LANGUAGE sql",
       "server's own schema"},
      {"table", "t", "", "CREATE TEMP TABLE t (a int)", "no CREATE TABLE"},
      {"table", "t", "", "CREATE TABLE t AS SELECT 1", "no column list"},
      {"type", "t", "", "CREATE TYPE t (INPUT = f, OUTPUT = g)", "no enum, range or composite"},
      {"materialized view", "m", "", "CREATE MATERIALIZED VIEW m AS SELECT f()", "WITH NO DATA"},
      {"constraint", "c", "t", "ALTER TABLE t ADD CONSTRAINT c CHECK (a > 0), DROP COLUMN b",
       "more to the table"},
      {"constraint", "c", "t", "ALTER TABLE t OWNER TO someone", "does not add a constraint"},
      {"index", "i", "film", "CREATE INDEX i ON other (a)", "not \"film\""},
      {"schema", "s", "", "CREATE SCHEMA s AUTHORIZATION bob", "more than the statement"},
      {"extension", "x", "", "CREATE EXTENSION x", "IF NOT EXISTS"},
      {"rule", "r", "", "CREATE RULE r AS ON SELECT TO t DO INSTEAD NOTHING", "makes no rule"},
  };
  for (const auto& c : refused) EXPECT_THAT(Check(c.kind, c.name, c.table, c.sql), HasSubstr(c.why)) << c.sql;
}

}  // namespace
}  // namespace vela::data::postgres
