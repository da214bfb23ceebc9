// A small rental store's database made as PostgreSQL users make theirs (psql-style DDL: two schemas, an
// enum, a domain with its check, an extension and an exclusion constraint that needs it, arrays and a
// full-text column a trigger fills, times with time zone, a partitioned table, a generated column, views, a
// materialized view, a function and an aggregate, shared and owned sequences moved on, every foreign-key
// action, partial and expression indexes, row-level security, comments), saved as a text backup and restored
// onto the server: the target's catalogue and its users' answers are the source's. Engine SQL forged into the
// backup is refused and named, and the rest comes back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/data/postgres/PgApi.h"
#include "platform/data/postgres/ServerSession.h"
#include "support/Archives.h"
#include "support/EventRecorder.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/BackupFile.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kStore = R"sql(
CREATE SCHEMA store;
CREATE EXTENSION btree_gist;
CREATE TYPE mpaa_rating AS ENUM ('G', 'PG', 'PG-13', 'R', 'NC-17');
CREATE DOMAIN year AS integer CONSTRAINT year_check CHECK (VALUE >= 1901 AND VALUE <= 2155);
CREATE SEQUENCE shared_id_seq START WITH 100 INCREMENT BY 5;
CREATE TABLE language (language_id serial PRIMARY KEY, name character(20) NOT NULL,
  last_update timestamp without time zone DEFAULT now() NOT NULL);
CREATE TABLE film (
  film_id serial PRIMARY KEY, title character varying(255) NOT NULL, description text,
  release_year year, language_id integer NOT NULL REFERENCES language (language_id) ON UPDATE CASCADE ON DELETE RESTRICT,
  rental_rate numeric(4,2) DEFAULT 4.99 NOT NULL, rating mpaa_rating DEFAULT 'G',
  last_update timestamp with time zone DEFAULT now() NOT NULL,
  special_features text[], fulltext tsvector NOT NULL, length interval,
  title_length integer GENERATED ALWAYS AS (char_length(title)) STORED);
CREATE INDEX film_fulltext_idx ON film USING gist (fulltext);
CREATE INDEX idx_title ON film (title);
CREATE INDEX film_lower_title ON film (lower(title));
CREATE INDEX film_long ON film (length) WHERE length > interval '2 hours';
CREATE TABLE store.customer (customer_id integer DEFAULT nextval('shared_id_seq') PRIMARY KEY,
  first_name text NOT NULL, email text, active boolean DEFAULT true NOT NULL,
  create_date date DEFAULT CURRENT_DATE NOT NULL);
COMMENT ON TABLE store.customer IS 'Who rents';
CREATE TABLE store.rental (rental_id integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  rental_date timestamptz NOT NULL, film_id integer NOT NULL REFERENCES film ON DELETE CASCADE,
  customer_id integer REFERENCES store.customer ON DELETE SET NULL DEFERRABLE INITIALLY DEFERRED,
  staff_id integer DEFAULT 1 NOT NULL, return_date timestamptz,
  CONSTRAINT rental_dates CHECK (return_date IS NULL OR return_date >= rental_date),
  CONSTRAINT one_rental_at_a_time EXCLUDE USING gist (film_id WITH =, tstzrange(rental_date, return_date) WITH &&));
CREATE TABLE store.payment (payment_id serial, customer_id integer NOT NULL REFERENCES store.customer ON DELETE SET DEFAULT,
  amount numeric(5,2) NOT NULL, payment_date timestamptz NOT NULL, PRIMARY KEY (payment_date, payment_id))
  PARTITION BY RANGE (payment_date);
CREATE TABLE store.payment_p2024 PARTITION OF store.payment FOR VALUES FROM ('2024-01-01 00:00+00') TO ('2025-01-01 00:00+00');
CREATE TABLE store.payment_p2025 PARTITION OF store.payment FOR VALUES FROM ('2025-01-01 00:00+00') TO ('2026-01-01 00:00+00');
CREATE FUNCTION last_updated() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN NEW.last_update = CURRENT_TIMESTAMP; RETURN NEW; END $$;
CREATE FUNCTION film_fulltext() RETURNS trigger LANGUAGE plpgsql AS $body$
BEGIN NEW.fulltext := to_tsvector('english', coalesce(NEW.title, '') || ' ' || coalesce(NEW.description, '')); RETURN NEW; END $body$;
CREATE TRIGGER film_fulltext_trigger BEFORE INSERT OR UPDATE ON film FOR EACH ROW EXECUTE FUNCTION film_fulltext();
CREATE TRIGGER last_updated BEFORE UPDATE ON film FOR EACH ROW EXECUTE FUNCTION last_updated();
CREATE TRIGGER audit_off AFTER DELETE ON film FOR EACH ROW EXECUTE FUNCTION last_updated();
ALTER TABLE film DISABLE TRIGGER audit_off;
CREATE FUNCTION store.customer_spent(c integer) RETURNS numeric LANGUAGE sql STABLE AS
  'SELECT COALESCE(SUM(amount), 0) FROM store.payment WHERE customer_id = c';
COMMENT ON FUNCTION store.customer_spent(integer) IS 'What a customer paid';
CREATE FUNCTION _group_concat(text, text) RETURNS text LANGUAGE sql IMMUTABLE AS
  $$SELECT CASE WHEN $2 IS NULL THEN $1 WHEN $1 IS NULL THEN $2 ELSE $1 || ', ' || $2 END$$;
CREATE AGGREGATE group_concat(text) (SFUNC = _group_concat, STYPE = text);
CREATE VIEW film_list AS SELECT f.film_id, f.title, f.rating, group_concat(f.special_features::text) AS features
  FROM film f GROUP BY f.film_id, f.title, f.rating;
CREATE VIEW store.big_spenders AS SELECT customer_id, store.customer_spent(customer_id) AS spent FROM store.customer
  WHERE store.customer_spent(customer_id) > 5;
CREATE MATERIALIZED VIEW rental_by_rating AS SELECT f.rating, count(*) AS rentals FROM store.rental r
  JOIN film f USING (film_id) GROUP BY f.rating;
CREATE UNIQUE INDEX rental_by_rating_idx ON rental_by_rating (rating);
ALTER TABLE store.customer ENABLE ROW LEVEL SECURITY;
CREATE POLICY active_only ON store.customer FOR SELECT USING (active);
CREATE POLICY all_rows ON store.customer FOR ALL TO postgres USING (true);
INSERT INTO language (name) VALUES ('English'), ('Italian');
INSERT INTO film (title, description, release_year, language_id, rental_rate, rating, last_update, special_features, length)
VALUES ('Academy Dinosaur', 'An epic drama', 2006, 1, 0.99, 'PG', '2024-03-31 22:30:15.123456+00', '{Trailers,"Deleted Scenes"}', '1 hour 26 minutes'),
       ('Ace Goldfinger', 'A astounding epistle', 2006, 1, 4.99, 'G', '2024-10-27 00:30:00+00', '{Trailers}', '48 minutes'),
       ('Adaptation Holes', 'A astounding reflection', 2007, 2, 2.99, 'NC-17', '2024-06-01 12:00:00+00', '{Commentaries}', '2 hours 30 minutes'),
       ('Affair Prejudice', 'A fanciful documentary', 2006, 1, 2.99, 'R', '2025-01-01 00:00:00+00', NULL, NULL),
       ('Agent Truman', 'A intrepid panorama', 2006, 2, 2.99, 'PG-13', '2025-02-02 02:02:02+00', '{"Behind the Scenes",Trailers}', '2 hours 49 minutes');
INSERT INTO store.customer (first_name, email, active) VALUES ('Mary', 'mary@example.com', true), ('Patricia', NULL, false), ('Linda', 'linda@example.com', true);
INSERT INTO store.rental (rental_date, film_id, customer_id, return_date) VALUES
  ('2024-05-24 22:53:30+00', 1, 100, '2024-05-26 22:04:30+00'), ('2024-05-24 22:54:33+00', 3, 105, NULL),
  ('2025-01-01 09:00:00+00', 5, 110, '2025-01-03 10:00:00+00'), ('2025-03-01 23:30:00+00', 1, 110, NULL);
INSERT INTO store.payment (customer_id, amount, payment_date) VALUES (100, 2.99, '2024-05-25 11:30:37+00'),
  (105, 0.99, '2024-12-31 23:30:00+00'), (110, 5.99, '2025-01-01 00:30:00+00'), (110, 4.99, '2025-03-02 00:00:00+00');
SELECT nextval('shared_id_seq');
SELECT nextval('film_film_id_seq'); SELECT nextval('film_film_id_seq');
REFRESH MATERIALIZED VIEW rental_by_rating;
COMMENT ON COLUMN film.fulltext IS 'Filled by its trigger';
COMMENT ON TYPE mpaa_rating IS 'Film ratings';

)sql";

// What one query answers on a database: its rows, one line each, cells joined by "|"; or the server's
// refusal.
std::string Answer(const std::string& database, const std::string& sql) {
  std::unique_ptr<Connection> connection = OpenConnection(database);
  auto& session = dynamic_cast<postgres::ServerSession&>(*connection);
  try {
    postgres::ResultHandle result = session.QueryServerSql(sql);
    std::string text;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
      for (int column = 0; column < PQnfields(result.get()); ++column)
        text += (column == 0 ? "" : "|") + (PQgetisnull(result.get(), row, column)
                                                ? std::string("NULL")
                                                : postgres::CellText(result.get(), row, column));
      text += "\n";
    }
    return text;
  } catch (const Error& error) {
    return "refused: " + error.Description();
  }
}

class ServerObjects : public ::testing::Test {
 protected:
  void SetUp() override {
    VELA_REQUIRE_SERVER();
    source_ = databases_.Add("store_source");
    target_ = databases_.Add("store_target");
    CreateDatabase(source_);
    {
      std::unique_ptr<Connection> setup = OpenConnection(source_);
      dynamic_cast<postgres::ServerSession&>(*setup).RunServerSql(kStore);
    }
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&notices_);
    std::unique_ptr<Connection> connection = OpenConnection(source_);
    ASSERT_TRUE(backup_.Save(*connection, archive_));
  }

  std::string LeftOut() const {
    std::string text;
    for (const testing::EventRecorder::Message& message : notices_.messages)
      if (message.guid == kObjectsLeftOutGuid) text += message.prompt;
    return text;
  }

  testing::ServerDatabaseGuard databases_;
  testing::TempFolder folder_;
  testing::EventRecorder notices_;
  CBackup backup_;
  std::string source_, target_;
  std::string archive_ = folder_ / "store.vbk";
};

// Catalogue queries whose answers must be the same on the source and the target.
const char* const kCatalogue[] = {
    // Every relation of the two schemas, with its kind, and which table is partitioned by what.
    "SELECT n.nspname, c.relname, c.relkind, c.relispartition, pg_get_partkeydef(c.oid), "
    "pg_get_expr(c.relpartbound, c.oid) FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
    "WHERE n.nspname IN ('public', 'store') ORDER BY 1, 2",
    // Every column's type as the server writes it, its NOT NULL, identity and generated values.
    "SELECT a.attrelid::regclass, a.attname, format_type(a.atttypid, a.atttypmod), a.attnotnull, "
    "a.attidentity = 'a', a.attgenerated, COALESCE(pg_get_expr(d.adbin, d.adrelid) LIKE '%shared_id_seq%', "
    "false) "
    "FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid JOIN pg_namespace n ON n.oid = c.relnamespace "
    "LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum WHERE n.nspname IN ('public', "
    "'store') AND c.relkind IN ('r', 'p', 'v', 'm') AND a.attnum > 0 "
    "ORDER BY a.attrelid::regclass::text, a.attnum",
    "SELECT conrelid::regclass, conname, pg_get_constraintdef(oid), condeferrable, condeferred FROM "
    "pg_constraint WHERE connamespace IN ('public'::regnamespace, 'store'::regnamespace) ORDER BY "
    "conrelid::regclass::text, 2",
    "SELECT schemaname, tablename, indexname, indexdef FROM pg_indexes WHERE schemaname IN ('public', "
    "'store') "
    "AND indexname NOT LIKE '%pkey' ORDER BY 1, 2, 3",
    "SELECT schemaname, sequencename, data_type, start_value, increment_by, last_value FROM pg_sequences "
    "WHERE sequencename <> 'language_language_id_seq' ORDER BY 1, 2",
    "SELECT enumlabel FROM pg_enum WHERE enumtypid = 'mpaa_rating'::regtype ORDER BY enumsortorder",
    "SELECT typname, format_type(typbasetype, typtypmod), pg_get_constraintdef(c.oid) FROM pg_type t JOIN "
    "pg_constraint c ON c.contypid = t.oid ORDER BY 1",
    "SELECT p.oid::regprocedure, pg_get_functiondef(p.oid) FROM pg_proc p WHERE p.pronamespace IN "
    "('public'::regnamespace, 'store'::regnamespace) AND p.prokind <> 'a' ORDER BY p.oid::regprocedure::text",
    "SELECT aggfnoid::regprocedure, aggtransfn, aggtranstype::regtype FROM pg_aggregate WHERE aggfnoid::text "
    "LIKE '%group_concat%'",
    "SELECT c.oid::regclass, pg_get_viewdef(c.oid), c.relispopulated FROM pg_class c WHERE c.relkind IN "
    "('v', "
    "'m') AND c.relnamespace IN ('public'::regnamespace, 'store'::regnamespace) ORDER BY "
    "c.oid::regclass::text",
    "SELECT tgrelid::regclass, tgname, pg_get_triggerdef(oid), tgenabled FROM pg_trigger WHERE NOT "
    "tgisinternal ORDER BY 2",
    "SELECT schemaname, tablename, policyname, permissive, roles, cmd, qual FROM pg_policies ORDER BY 3",
    "SELECT relname, relrowsecurity, relforcerowsecurity FROM pg_class WHERE relrowsecurity ORDER BY 1",
    "SELECT d.classoid::regclass, d.objsubid, d.description FROM pg_description d JOIN pg_class c ON c.oid = "
    "d.classoid WHERE d.objoid >= 16384 AND c.relname <> 'pg_class' ORDER BY d.classoid::regclass::text, 3",
    "SELECT c.relname, d.objsubid, d.description FROM pg_description d JOIN pg_class c ON c.oid = d.objoid "
    "AND d.classoid = 'pg_class'::regclass ORDER BY 1, 2",
};

// What the store's users ask, in order (some change the data): the same answers on both databases.
const char* const kUsersQueries[] = {
    "SELECT title, rating FROM film ORDER BY rating, title",
    "SELECT count(*) FROM film WHERE rating > 'PG'",
    "SELECT title FROM film WHERE 'Trailers' = ANY (special_features) ORDER BY title",
    "SELECT title, special_features[1], array_length(special_features, 1) FROM film ORDER BY film_id",
    "SELECT title, title_length FROM film WHERE title_length > 14 ORDER BY film_id",
    "SELECT title FROM film WHERE fulltext @@ to_tsquery('english', 'astounding') ORDER BY title",
    "SELECT title, (last_update AT TIME ZONE 'Europe/Berlin')::text FROM film ORDER BY film_id",
    "SELECT to_char(payment_date AT TIME ZONE 'Europe/Berlin', 'YYYY-MM') AS month, count(*), sum(amount) "
    "FROM store.payment GROUP BY 1 ORDER BY 1",
    "SELECT tableoid::regclass, payment_id, amount FROM store.payment ORDER BY payment_id",
    "SELECT sum(length)::text, max(length)::text FROM film",
    "SELECT * FROM film_list ORDER BY film_id",
    "SELECT group_concat(title) FROM (SELECT title FROM film ORDER BY title) t",
    "SELECT * FROM store.big_spenders ORDER BY customer_id",
    "SELECT * FROM rental_by_rating ORDER BY rating",
    "SELECT customer_id, rental_date, return_date FROM store.rental ORDER BY rental_id",
    "SELECT store.customer_spent(110)",
    // The domain's check, the partitions' bounds and the keys still refuse what they refused.
    "INSERT INTO film (title, language_id, release_year) VALUES ('Too Old', 1, 1800)",
    "INSERT INTO store.payment (customer_id, amount, payment_date) VALUES (100, 1, '2030-01-01 00:00+00')",
    "INSERT INTO store.payment (customer_id, amount, payment_date) VALUES (99999, 1, '2024-02-01 00:00+00')",
    "DELETE FROM language WHERE language_id = 1",
    "INSERT INTO store.rental (rental_id, rental_date, film_id) VALUES (50, now(), 1)",
    "INSERT INTO store.rental (rental_date, film_id) VALUES ('2024-06-01 00:00+00', 3)",
    // The trigger fills the full-text column; the sequences go on where they were.
    "INSERT INTO film (title, description, language_id) VALUES ('Zorro Ark', 'A boring drama', 1) "
    "RETURNING film_id, fulltext",
    "INSERT INTO store.customer (first_name) VALUES ('Barbara') RETURNING customer_id",
    "INSERT INTO store.rental (rental_date, film_id, customer_id) VALUES ('2025-05-05 05:05+00', 2, 100) "
    "RETURNING rental_id",
    "SELECT nextval('shared_id_seq'), nextval('film_film_id_seq')",
    "UPDATE film SET title = 'Ace Goldfinger II' WHERE film_id = 2 RETURNING last_update > '2026-01-01'",
    // Every foreign-key action does what it did.
    "DELETE FROM store.customer WHERE customer_id = 105",
    "SELECT rental_id, customer_id FROM store.rental ORDER BY rental_id",
    "SELECT payment_id, customer_id FROM store.payment ORDER BY payment_id",
    "DELETE FROM film WHERE film_id = 1",
    "SELECT count(*) FROM store.rental",
    "UPDATE language SET language_id = 7 WHERE language_id = 2",
    "SELECT film_id, language_id FROM film ORDER BY film_id",
    "REFRESH MATERIALIZED VIEW rental_by_rating",
    "SELECT * FROM rental_by_rating ORDER BY rating",
};

TEST_F(ServerObjects, ServerToServerGivesTheSameCatalogueAndAnswers) {
  ASSERT_TRUE(backup_.Restore(target_, archive_));
  EXPECT_EQ(LeftOut(), "");
  for (const char* query : kCatalogue) EXPECT_EQ(Answer(target_, query), Answer(source_, query)) << query;
  for (const char* query : kUsersQueries) {
    const std::string expected = Answer(source_, query);
    EXPECT_EQ(Answer(target_, query), expected) << query;
  }
  // The refusals above are refusals on both sides, not two failures alike by chance.
  EXPECT_THAT(Answer(target_, "INSERT INTO film (title, language_id, release_year) VALUES ('x', 1, 1800)"),
              HasSubstr("year_check"));
  EXPECT_THAT(Answer(target_, "INSERT INTO store.rental (rental_date, film_id) VALUES ('2024-06-01', 3)"),
              HasSubstr("one_rental_at_a_time"));
  EXPECT_EQ(Answer(target_,
                   "SELECT extversion = default_version FROM pg_extension e JOIN pg_available_extensions "
                   "a ON a.name = e.extname WHERE extname = 'btree_gist'"),
            "t\n");
}

TEST_F(ServerObjects, ForgedEngineSqlIsRefusedAndNamedAndTheRestComesBack) {
  testing::Members members = testing::ReadArchive(archive_);
  std::string& document = members.at(kDocumentMember);
  const std::string forged =
      R"(<Object Kind="view" Name="two" SQL="CREATE VIEW two AS SELECT 1; DROP TABLE film"/>)"
      R"(<Object Kind="table" Name="dropper" SQL="DROP TABLE film" BeforeRows="True"/>)"
      R"(<Object Kind="function" Name="store.evil" SQL="CREATE FUNCTION public.other() RETURNS int LANGUAGE sql AS 'SELECT 1'"/>)"
      R"(<Object Kind="sequence" Name="shell" SQL="COPY film TO PROGRAM 'touch /tmp/vela-forged'" BeforeRows="True"/>)"
      R"(<Object Kind="function" Name="native" SQL="CREATE FUNCTION native() RETURNS int AS 'lib', 'sym' LANGUAGE c"/>)";
  const std::size_t end = document.find("</EngineObjects>");
  ASSERT_NE(end, std::string::npos);
  document.insert(end, forged);
  testing::WriteArchive(archive_, members);

  ASSERT_TRUE(backup_.Restore(target_, archive_));
  const std::string leftOut = LeftOut();
  for (const char* named :
       {"view two", "table dropper", "function store.evil", "sequence shell", "function native"})
    EXPECT_THAT(leftOut, HasSubstr(named));
  EXPECT_THAT(leftOut, Not(HasSubstr("film_list")));
  EXPECT_EQ(
      Answer(target_, "SELECT to_regclass('two'), to_regprocedure('other()'), to_regprocedure('native()')"),
      "NULL|NULL|NULL\n");
  EXPECT_EQ(Answer(target_, "SELECT count(*) FROM film"), "5\n");
  EXPECT_EQ(Answer(target_, "SELECT count(*) FROM film_list"), "5\n");
  EXPECT_EQ(Answer(target_, "SELECT count(*) FROM film WHERE rating > 'PG'"), "3\n");
}

}  // namespace
}  // namespace vela
