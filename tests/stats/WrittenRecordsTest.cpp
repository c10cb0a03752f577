// The statistics read what the tool itself writes: records of the real
// writer (SQLite in write-ahead-log mode, as every station keeps them) come
// back value for value, while the writer still holds the file open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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

// A folder that cannot be written, even by root (who ignores the folder's
// mode): immutable where the file system allows it.
struct TReadOnlyFolder {
  explicit TReadOnlyFolder(const std::filesystem::path& path) : Path(path) {
    ::chmod(Path.c_str(), 0555);
    if (::geteuid() == 0) Flag(true);
    const std::string probe = (Path / "probe").string();
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT, 0644);
    Ok = fd < 0;
    if (fd >= 0) {
      ::close(fd);
      ::unlink(probe.c_str());
    }
  }
  ~TReadOnlyFolder() {
    if (::geteuid() == 0) Flag(false);
    ::chmod(Path.c_str(), 0755);
  }
  void Flag(bool on) const {
    const int fd = ::open(Path.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
      ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) ::close(fd);
  }
  std::filesystem::path Path;
  bool Ok = false;
};

// A records file in a folder that cannot be written (a share, an archive):
// its readers' index cannot be made there. Without records in its
// write-ahead log it is read as it stands, and says so; with some, it is
// refused with what to do.
TEST(WrittenRecords, ReadInAFolderThatCannotBeWritten) {
  TTempDir closed, open;
  const std::string db = closed.File("qvtune.records");
  {
    auto store = records::SqliteStore(db);
    std::string why;
    ASSERT_TRUE(store->Write(SampleRecord("line-3/1"), why)) << why;
    ASSERT_TRUE(store->Write(SampleRecord("line-3/2"), why)) << why;
  }
  auto store = records::SqliteStore(open.File("qvtune.records"));
  std::string why;
  ASSERT_TRUE(store->Write(SampleRecord("line-3/3"), why)) << why;
  ASSERT_GT(std::filesystem::file_size(open.File("qvtune.records-wal")), 0u);
  const TTempDir copy;
  for (const char* name : {"qvtune.records", "qvtune.records-wal"})
    std::filesystem::copy_file(open.File(name), copy.File(name));

  const TReadOnlyFolder lockedClosed(closed.Path), lockedCopy(copy.Path);
  if (!lockedClosed.Ok || !lockedCopy.Ok) GTEST_SKIP() << "no folder here can be made read-only";
  THistory history;
  ASSERT_TRUE(history.Load(db)) << history.Error();
  EXPECT_EQ(history.Units().size(), 2u);
  EXPECT_EQ(history.Note(), db + " was read as it stands, without the readers' lock: its folder cannot be written.");
  EXPECT_FALSE(history.Load(copy.File("qvtune.records")));
  EXPECT_EQ(history.Error(), "Cannot read " + copy.File("qvtune.records") +
                                 ": its folder cannot be written, and records still in its write-ahead log " +
                                 copy.File("qvtune.records") +
                                 "-wal need an index beside it. Copy both files to a folder that can be written.");
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
