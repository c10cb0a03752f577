// The statistics read what the tool itself writes: records of the real
// writer (SQLite in write-ahead-log mode, as every station keeps them) come
// back value for value, while the writer still holds the file open.
#include <gtest/gtest.h>

#include "records/Store.h"
#include "stats/History.h"
#include "tests/records/PgServer.h"
#include "tests/records/RecordSupport.h"

namespace qv::test {
namespace {

TEST(WrittenRecords, ReadBackWhileTheWriterHoldsTheFile) {
  TTempDir dir;
  const std::string db = dir.File("qvtune.records");
  auto store = records::SqliteStore(db);
  records::TUnitRecord good = SampleRecord("line-3/1");
  records::TUnitRecord failed = SampleRecord("line-3/2");
  failed.TimeUtc = "2026-12-09T08:19:44.007Z";
  failed.StoredOffset.reset();
  failed.ResultOffset.reset();
  failed.NotStoredReason = "failed";
  failed.Outcome = "failed";
  failed.Message = "Communication error!";
  std::string why;
  ASSERT_TRUE(store->Write(good, why)) << why;
  ASSERT_TRUE(store->Write(failed, why)) << why;

  THistory history;
  ASSERT_TRUE(history.Load(db)) << history.Error();
  EXPECT_EQ(history.SchemaVersion(), records::kSchemaVersion);
  ASSERT_EQ(history.Units().size(), 2u);
  const TUnit& a = history.Units()[0];
  EXPECT_EQ(a.Uid, "line-3/1");
  EXPECT_EQ(a.Day(), "2026-12-09");
  EXPECT_EQ(a.Station, "line-3");
  EXPECT_EQ(a.Golden, "server");
  EXPECT_EQ(a.GoldenId, "RFQVSERVER000123");
  EXPECT_EQ(a.GoldenOffset, -4);
  EXPECT_EQ(a.FactoryOffset, 12);
  EXPECT_EQ(a.StoredOffset, -37);
  EXPECT_EQ(a.ResultOffset, -37);
  EXPECT_EQ(a.RssiAvg, 181.0);
  EXPECT_EQ(a.AfcMean, -0.375);
  EXPECT_EQ(a.Cycles, 3);
  EXPECT_EQ(a.Kind, TUnitOutcome::uoSuccess);
  const TUnit& b = history.Units()[1];
  EXPECT_EQ(b.Kind, TUnitOutcome::uoFailed);
  EXPECT_FALSE(b.StoredOffset);
  EXPECT_EQ(FailureReason(b), "Communication error!");

  // The writer goes on after the reader has been there.
  ASSERT_TRUE(store->Write(SampleRecord("line-3/3"), why)) << why;
  ASSERT_TRUE(history.Load(db)) << history.Error();
  EXPECT_EQ(history.Units().size(), 3u);
}

// The records many stations share on a server read as those of a file;
// a server that has gone is a message, never a crash.
TEST(WrittenRecords, ReadFromTheSharedServer) {
  TPgServer server;
  if (!server.Problem().empty()) GTEST_SKIP() << server.Problem();
  ASSERT_TRUE(server.Start()) << server.Problem();
  auto store = records::PostgresStore(server.Conninfo());
  records::TUnitRecord aborted = SampleRecord("line-4/1");
  aborted.Station = "line-4";
  aborted.StoredOffset.reset();
  aborted.Outcome = "aborted";
  aborted.NotStoredReason = "aborted";
  std::string why;
  ASSERT_TRUE(store->Write(SampleRecord("line-3/1"), why)) << why;
  ASSERT_TRUE(store->Write(aborted, why)) << why;

  ASSERT_TRUE(IsServerConninfo(server.Conninfo())) << server.Conninfo();
  THistory history;
  ASSERT_TRUE(history.Load(server.Conninfo())) << history.Error();
  EXPECT_EQ(history.SchemaVersion(), records::kSchemaVersion);
  EXPECT_EQ(history.Path().rfind("PostgreSQL ", 0), 0u) << history.Path();
  ASSERT_EQ(history.Units().size(), 2u);
  EXPECT_EQ(history.Stations(), (std::vector<std::string>{"line-3", "line-4"}));
  const TUnit& a = history.Units()[0];
  EXPECT_EQ(a.StoredOffset, -37);
  EXPECT_EQ(a.GoldenOffset, -4);
  EXPECT_EQ(a.AfcMean, -0.375);
  EXPECT_EQ(a.Cycles, 3);
  EXPECT_EQ(a.Kind, TUnitOutcome::uoSuccess);
  EXPECT_EQ(history.Units()[1].Kind, TUnitOutcome::uoAborted);
  EXPECT_FALSE(history.Units()[1].StoredOffset);

  ASSERT_TRUE(server.Stop());
  EXPECT_FALSE(history.Load(server.Conninfo()));
  EXPECT_NE(history.Error().find("cannot be reached"), std::string::npos) << history.Error();
  EXPECT_TRUE(history.Units().empty());
}

}  // namespace
}  // namespace qv::test
