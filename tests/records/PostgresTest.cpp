// The records on a real PostgreSQL server that the test starts and stops:
// the same table, a first-version schema migrated, and a server that stops
// losing nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/Eventually.h"
#include "records/Store.h"
#include "records/Zstd.h"
#include "tests/records/PgServer.h"
#include "tests/records/RecordSupport.h"

namespace qv {
namespace {

using namespace records;
using test::SampleRecord;
using test::TPgServer;

class Postgres : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Server.Problem().empty()) GTEST_SKIP() << "no PostgreSQL server for the test: " << Server.Problem();
  }
  TPgServer Server;
};

TEST_F(Postgres, RecordsGoToTheSharedServer) {
  TUnitRecord latin = SampleRecord("pg/1");
  {
    TRecordWriter writer(PostgresStore(Server.Conninfo()), test::TTempDir().File("spool"), nullptr);
    writer.Submit(latin);
    writer.Submit(latin);  // sent again: recognised by its uid
    writer.Submit(SampleRecord("pg/2"));
  }
  EXPECT_EQ(Server.Query("SELECT version FROM schema_version"), std::to_string(kSchemaVersion));
  EXPECT_EQ(Server.Query("SELECT string_agg(record_uid, ' ' ORDER BY id) FROM units"), "pg/1 pg/2");
  EXPECT_EQ(
      Server.Query("SELECT stored_offset || ' ' || afc_mean || ' ' || rssi_avg FROM units WHERE record_uid = 'pg/1'"),
      "-37 -0.375 181");
  // The transcript comes back byte for byte, its one byte that is no UTF-8
  // as well.
  const std::string hex = Server.Query("SELECT encode(transcript_zstd, 'hex') FROM units WHERE record_uid = 'pg/1'");
  std::string frame, transcript;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) frame += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  EXPECT_TRUE(Decompress(frame, transcript));
  EXPECT_EQ(transcript, latin.Transcript);
  EXPECT_EQ(Server.Query("SELECT count(*) FROM pg_indexes WHERE indexname IN ('units_time', 'units_golden_mean')"),
            "2");
}

TEST_F(Postgres, StoppedServerLosesNothing) {
  test::TTempDir dir;
  std::mutex mutex;
  std::vector<std::string> lines;
  TRecordWriter writer(
      PostgresStore(Server.Conninfo()), dir.File("spool"),
      [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
      },
      std::chrono::milliseconds(100));
  writer.Submit(SampleRecord("before"));
  writer.Drain();
  ASSERT_TRUE(Server.Stop());
  writer.Submit(SampleRecord("while-1"));
  writer.Submit(SampleRecord("while-2"));
  writer.Drain();
  EXPECT_EQ(writer.Spooled(), 2u);
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Unit records not written to the PostgreSQL server: the server cannot be reached (", 0),
              0u)
        << lines[0];
  }
  ASSERT_TRUE(Server.Start());
  EXPECT_TRUE(test::Eventually([&] { return writer.Spooled() == 0; }, 20000, 50));
  writer.Submit(SampleRecord("after"));
  writer.Drain();
  EXPECT_EQ(Server.Query("SELECT string_agg(record_uid, ' ' ORDER BY id) FROM units"), "before while-1 while-2 after");
}

TEST_F(Postgres, FirstVersionSchemaIsMigrated) {
  std::string create = "CREATE TABLE units (id BIGSERIAL PRIMARY KEY";
  for (const TColumnInfo& c : kColumns) {
    const std::string name = c.Name;
    if (!InVersion(c, 1)) continue;
    create += ", " + name +
              (c.Type == ctText      ? " TEXT"
               : c.Type == ctInteger ? " BIGINT"
                                     : " DOUBLE PRECISION") +
              (c.NotNull ? " NOT NULL" : "") + (name == "record_uid" ? " UNIQUE" : "");
  }
  ASSERT_EQ(
      Server.Query("CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (1); " +
                   create +
                   "); CREATE INDEX units_time ON units(time_utc); "
                   "INSERT INTO units (record_uid, time_utc, station, tool, golden, outcome) VALUES "
                   "('old', '2026-01-02T03:04:05.006Z', 's', 'qvtune 0.1', 'server', 'success')"),
      "");
  {
    TRecordWriter writer(PostgresStore(Server.Conninfo()), test::TTempDir().File("spool"), nullptr);
    writer.Submit(SampleRecord("new"));
  }
  EXPECT_EQ(Server.Query("SELECT version FROM schema_version"), std::to_string(kSchemaVersion));
  EXPECT_EQ(
      Server.Query("SELECT string_agg(record_uid || ':' || coalesce(result_offset::text, 'NULL'), ' ' ORDER BY id) "
                   "FROM units"),
      "old:NULL new:-37");
}

// A server of this version whose golden days and hours have no covering
// index yet (made before them) gets them from a writer that owns the
// tables; a writer that may only write records (and make the schema's
// tables where there are none) still writes them, and says nothing.
TEST_F(Postgres, CoveringIndexesMadeByTheOwnerOnly) {
  {
    TRecordWriter writer(PostgresStore(Server.Conninfo()), test::TTempDir().File("spool"), nullptr);
    writer.Submit(SampleRecord("owner"));
  }
  const std::string covering =
      "SELECT count(*) FROM pg_indexes WHERE indexname IN ('golden_day_by_key', 'golden_hour_by_key')";
  ASSERT_EQ(Server.Query(covering), "2");
  ASSERT_EQ(
      Server.Query("DROP INDEX golden_day_by_key, golden_hour_by_key; CREATE ROLE writer LOGIN; "
                   "GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA public TO writer; "
                   "GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO writer; GRANT CREATE ON SCHEMA public TO writer"),
      "");
  std::string asWriter = Server.Conninfo();
  asWriter.replace(asWriter.find("user=qv"), 7, "user=writer");
  {
    test::TTempDir dir;
    TRecordWriter writer(PostgresStore(asWriter), dir.File("spool"),
                         [](const std::string& line) { ADD_FAILURE() << line; });
    writer.Submit(SampleRecord("writer"));
    writer.Drain();
    EXPECT_EQ(writer.Spooled(), 0u);
  }
  EXPECT_EQ(Server.Query(covering), "0");
  {
    TRecordWriter writer(PostgresStore(Server.Conninfo()), test::TTempDir().File("spool"), nullptr);
    writer.Submit(SampleRecord("owner again"));
  }
  EXPECT_EQ(Server.Query(covering), "2");
  EXPECT_EQ(Server.Query("SELECT string_agg(record_uid, ' ' ORDER BY id) FROM units"), "owner writer owner again");
}

TEST(RecordsConninfo, FirstLineThatIsNoComment) {
  test::TTempDir dir;
  std::ofstream(dir.File("qvtune.records.conf"))
      << "# the shared server\n\n  host=db.line port=5432 dbname=qv  \r\nx\n";
  EXPECT_EQ(ReadConninfoFile(dir.File("qvtune.records.conf")), "host=db.line port=5432 dbname=qv");
  EXPECT_EQ(ReadConninfoFile(dir.File("missing.conf")), "");
}

}  // namespace
}  // namespace qv
