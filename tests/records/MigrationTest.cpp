// Records of an earlier schema version, with their transcripts, migrated in
// place on either database: every transcript decompresses byte for byte to
// what the earlier writer kept, every record counts once, each golden
// reference's running means are those of its units in time order (also
// after records that arrive late), and a migration killed halfway is
// finished by the next process with nothing lost or doubled.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>

#include "records/Sql.h"
#include "records/Store.h"
#include "records/Text.h"
#include "records/Zstd.h"
#include "tests/records/PgServer.h"
#include "tests/records/RecordSupport.h"
#include "tests/support/Cases.h"

namespace qv {
namespace {

using namespace records;

struct TMigrationCase {
  const char* Name;
  bool Postgres;
  int From;
};
using test::PrintTo;

// A scratch database of the case's kind, spoken to through the records'
// own SQL, and stores on it.
class Migration : public ::testing::TestWithParam<TMigrationCase> {
 protected:
  void SetUp() override {
    if (GetParam().Postgres) {
      Server = std::make_unique<test::TPgServer>();
      if (!Server->Problem().empty()) GTEST_SKIP() << "no PostgreSQL server for the test: " << Server->Problem();
    }
  }

  std::unique_ptr<TSql> Connect() const {
    if (GetParam().Postgres) return PostgresSql(PQconnectdb(Server->Conninfo().c_str()), true);
    sqlite3* db = nullptr;
    sqlite3_open(Path.c_str(), &db);
    sqlite3_busy_timeout(db, 2000);
    return SqliteSql(db, true);
  }
  std::unique_ptr<TRecordStore> Store() const {
    return GetParam().Postgres ? PostgresStore(Server->Conninfo()) : SqliteStore(Path);
  }

  // The transcript of unit i as an earlier writer kept it: every byte a
  // trace holds, 8-bit ones too (a PostgreSQL text holds UTF-8 only).
  std::string Transcript(int i) const {
    if (i % 50 == 7) return {};
    std::string t = ">Unit " + std::to_string(i) + (GetParam().Postgres ? " \xC3\xA9t\xC3\xA9\r" : " \xE9t\xE9\r");
    for (int k = 0; k < 40 + i % 300; ++k) t += "1<" + std::to_string((i * 7 + k * 13) % 256) + "\r1>33\r\t\\\n";
    return t;
  }

  // n units of the earlier version on two stations with two golden
  // references, some failed; each unit a minute after the last.
  void WriteEarlier(int n) {
    const int v = GetParam().From;
    const TSqlTypes& types = GetParam().Postgres ? kPostgresTypes : kSqliteTypes;
    auto sql = Connect();
    std::string names, marks;
    std::vector<const TColumnInfo*> columns;
    for (const TColumnInfo& c : kColumns) {
      if (!InVersion(c, v)) continue;
      columns.push_back(&c);
      names += std::string(names.empty() ? "" : ", ") + c.Name;
      marks += marks.empty() ? "?" : ", ?";
    }
    ASSERT_TRUE(sql->Exec("CREATE TABLE schema_version (version INTEGER NOT NULL)")) << sql->Error();
    ASSERT_TRUE(sql->Exec("INSERT INTO schema_version VALUES (" + std::to_string(v) + ")"));
    ASSERT_TRUE(sql->Exec(test::EarlierUnitsTable(v, types))) << sql->Error();
    ASSERT_TRUE(sql->Exec("CREATE INDEX units_time ON units(time_utc)"));
    if (v >= 2) {
      ASSERT_TRUE(sql->Exec("CREATE INDEX units_golden ON units(golden_id, time_utc)"));
    }
    if (v >= 3) {
      ASSERT_TRUE(sql->Exec("CREATE INDEX units_handheld_fw_sha256 ON units(handheld_fw_sha256)"));
    }
    ASSERT_TRUE(sql->Exec("BEGIN"));
    for (int i = 0; i < n; ++i) {
      TUnitRecord r = test::SampleRecord("old/" + std::to_string(i));
      r.TimeUtc = "2026-12-0" + std::to_string(1 + i / 600) + "T" + std::to_string(10 + i / 60 % 10) + ":" +
                  (i % 60 < 10 ? "0" : "") + std::to_string(i % 60) + ":00.000Z";
      r.Station = i % 3 == 0 ? "line-2" : "line-1";
      r.GoldenId = i % 3 == 0 ? "SRV-2" : "SRV-1";
      r.StoredOffset = r.ResultOffset = -5 + (i * 7) % 11;
      if (i % 17 == 0) {
        r.Outcome = "failed";
        r.Message = "Radio failure!";
        r.StoredOffset.reset();
      }
      Kept[r.Uid] = Transcript(i);
      std::vector<TValue> values;
      for (const TColumnInfo* c : columns) {
        if (std::string(c->Name) == "transcript")
          values.push_back(Kept[r.Uid].empty() ? TValue() : TValue(Kept[r.Uid]));
        else
          values.push_back(ColumnValue(r, *c));
      }
      ASSERT_TRUE(sql->Exec("INSERT INTO units (" + names + ") VALUES (" + marks + ")", values)) << sql->Error();
    }
    ASSERT_TRUE(sql->Exec("COMMIT"));
  }

  // The rows brought up so far: transcripts byte for byte, each counted
  // once, the running means those of the golden's units in time order.
  void CheckBroughtUp(int64_t& up, int64_t& behind) {
    auto sql = Connect();
    std::vector<TRow> rows;
    ASSERT_TRUE(
        sql->Rows("SELECT record_uid, record_version, transcript_zstd, golden_id, time_utc, id, "
                  "coalesce(result_offset, stored_offset), golden_mean FROM units ORDER BY golden_id, "
                  "time_utc, id",
                  {}, rows))
        << sql->Error();
    up = behind = 0;
    std::map<std::string, std::vector<int64_t>> windows;
    for (const TRow& r : rows) {
      const std::string uid = TextOf(r[0]);
      SCOPED_TRACE(uid);
      const bool brought = !std::holds_alternative<std::monostate>(r[1]);
      (brought ? up : behind)++;
      std::vector<int64_t>& w = windows[TextOf(r[3])];
      if (IntOf(r[6])) w.push_back(*IntOf(r[6]));
      if (!brought) continue;
      if (Kept.count(uid)) {
        std::string transcript;
        if (const auto* z = std::get_if<TBlob>(&r[2])) {
          EXPECT_TRUE(Decompress(z->Bytes, transcript));
        }
        EXPECT_EQ(transcript, Kept[uid]);
      }
      if (!IntOf(r[6])) {
        EXPECT_FALSE(RealOf(r[7]));
        continue;
      }
      const size_t from = w.size() > kGoldenWindow ? w.size() - kGoldenWindow : 0;
      int64_t sum = 0;
      for (size_t k = from; k < w.size(); ++k) sum += w[k];
      EXPECT_EQ(RealOf(r[7]), static_cast<double>(sum) / static_cast<double>(w.size() - from));
    }
    // Each golden reference's hours: the last unit with a mean, by (time,
    // id), and its mean, also where a unit came up after the hour's last.
    std::map<std::vector<std::string>, std::vector<std::string>> hours;
    for (const TRow& r : rows)
      if (RealOf(r[7]) && ParseUtcMs(TextOf(r[4])))
        hours[{TextOf(r[3]), TextOf(r[4]).substr(0, 13)}] = {TextOf(r[4]), TextOf(r[5]), TextOf(r[7])};
    std::map<std::vector<std::string>, std::vector<std::string>> kept;
    ASSERT_TRUE(sql->Run("SELECT golden_id, hour, last_time, last_id, last_mean FROM golden_hour", {},
                         [&](const TRow& r) {
                           kept[{TextOf(r[0]), TextOf(r[1])}] = {TextOf(r[2]), TextOf(r[3]), TextOf(r[4])};
                           return true;
                         }))
        << sql->Error();
    EXPECT_EQ(kept, hours);
    rows.clear();
    ASSERT_TRUE(sql->Rows("SELECT coalesce(sum(units), 0) FROM counts_day", {}, rows));
    EXPECT_EQ(IntOf(rows[0][0]), up) << "every record brought up counts once";
    // Each golden reference's days: its units brought up, and bounds that
    // hold every mean of the day.
    ASSERT_TRUE(
        sql->Rows("SELECT g.golden_id, g.day, g.units, g.mean_lo, g.mean_hi, count(u.id), min(u.golden_mean), "
                  "max(u.golden_mean) FROM golden_day g LEFT JOIN units u ON u.golden_id = g.golden_id AND "
                  "substr(u.time_utc, 1, 10) = g.day AND u.record_version IS NOT NULL AND u.golden_mean IS NOT "
                  "NULL GROUP BY g.golden_id, g.day, g.units, g.mean_lo, g.mean_hi",
                  {}, rows))
        << sql->Error();
    int64_t days = 0;
    for (const TRow& r : rows) {
      SCOPED_TRACE(TextOf(r[0]) + " " + TextOf(r[1]));
      days += IntOf(r[2]).value_or(0);
      EXPECT_EQ(IntOf(r[2]), IntOf(r[5]));
      EXPECT_LE(RealOf(r[3]), RealOf(r[6]));
      EXPECT_GE(RealOf(r[4]), RealOf(r[7]));
    }
    ASSERT_TRUE(
        sql->Rows("SELECT count(*) FROM units WHERE record_version IS NOT NULL AND golden_mean IS NOT NULL", {}, rows));
    EXPECT_EQ(IntOf(rows[0][0]), days);
    if (GetParam().From < kSchemaVersion && behind == 0) {
      ASSERT_TRUE(sql->Rows("SELECT count(*) FROM units WHERE transcript IS NOT NULL", {}, rows));
      EXPECT_EQ(IntOf(rows[0][0]), 0) << "no transcript left uncompressed";
    }
  }

  std::unique_ptr<test::TPgServer> Server;
  test::TTempDir Dir;
  const std::string Path = Dir.File("old.records");
  std::map<std::string, std::string> Kept;
};

TEST_P(Migration, TranscriptsComeBackByteForByteAndEveryRecordCountsOnce) {
  WriteEarlier(700);
  std::string why;
  std::vector<int64_t> progress;
  ASSERT_TRUE(Store()->Upgrade(why, [&](int64_t left) { progress.push_back(left); })) << why;
  ASSERT_GE(progress.size(), 2u) << "a batch at a time";
  EXPECT_EQ(progress.back(), 0);
  int64_t up = 0, behind = 0;
  CheckBroughtUp(up, behind);
  EXPECT_EQ(up, 700);
  EXPECT_EQ(behind, 0);

  // Records that arrive late (kept in a spool) land amid the golden's units
  // and shift the running means after them; one sent again is one record.
  auto store = Store();
  std::vector<TUnitRecord> late;
  for (int i = 0; i < 5; ++i) {
    TUnitRecord r = test::SampleRecord("late/" + std::to_string(i));
    r.TimeUtc = "2026-12-01T1" + std::to_string(i) + ":30:30.000Z";
    r.GoldenId = "SRV-1";
    r.ResultOffset = 20 + i;
    late.push_back(r);
  }
  ASSERT_TRUE(store->WriteMany(late, why)) << why;
  ASSERT_TRUE(store->Write(late[2], why)) << why;
  CheckBroughtUp(up, behind);
  EXPECT_EQ(up, 705);
}

TEST_P(Migration, KilledHalfwayThenFinishedByTheNextProcess) {
  WriteEarlier(700);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Killed the moment half is done, as a station switched off would be.
    std::string why;
    Store()->Upgrade(why, [](int64_t left) {
      if (left <= 350) ::raise(SIGKILL);
    });
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the migration ran to its end before it was killed";
  int64_t up = 0, behind = 0;
  CheckBroughtUp(up, behind);
  EXPECT_GT(up, 0);
  EXPECT_GT(behind, 0);
  EXPECT_EQ(up + behind, 700);

  // The next writer goes on with it a slice at a time.
  auto store = Store();
  std::string why;
  for (int i = 0; i < 100 && behind > 0; ++i) {
    ASSERT_TRUE(store->Write(test::SampleRecord("after/" + std::to_string(i)), why)) << why;
    CheckBroughtUp(up, behind);
  }
  EXPECT_EQ(behind, 0);
  EXPECT_GT(up, 700);
}

INSTANTIATE_TEST_SUITE_P(Cases, Migration,
                         ::testing::Values(TMigrationCase{"SqliteFromVersion1", false, 1},
                                           TMigrationCase{"SqliteFromVersion2", false, 2},
                                           TMigrationCase{"SqliteFromVersion3", false, 3},
                                           TMigrationCase{"PostgresFromVersion1", true, 1},
                                           TMigrationCase{"PostgresFromVersion2", true, 2},
                                           TMigrationCase{"PostgresFromVersion3", true, 3}),
                         test::TCaseName());

// A spool an earlier release left holds lines of its version: each is read
// with that version's columns, its transcript as text.
TEST(MigrationSpool, LineOfAnEarlierVersionIsRead) {
  TUnitRecord sample = test::SampleRecord("spooled/1");
  std::string line = "v2";
  for (const TColumnInfo& c : kColumns) {
    if (!InVersion(c, 2)) continue;
    const std::string name = c.Name;
    line += name == "transcript"      ? "\ts>Dongle found\\r1<128\\r\xE9\\r"
            : name == "record_uid"    ? "\tsspooled/1"
            : name == "stored_offset" ? "\ti-37"
                                      : "\tn";
    if (c.NotNull && name != "record_uid") line.replace(line.size() - 1, 1, "sx");
  }
  TUnitRecord back;
  ASSERT_TRUE(DecodeSpoolLine(line + "\tend", back)) << line;
  EXPECT_EQ(back.Uid, "spooled/1");
  EXPECT_EQ(back.StoredOffset, -37);
  EXPECT_EQ(back.Transcript, ">Dongle found\r1<128\r\xE9\r");
  EXPECT_FALSE(DecodeSpoolLine("v9" + line.substr(2) + "\tend", back)) << "a version this tool does not know";
  // A line of this version keeps the transcript compressed, and reads back.
  ASSERT_TRUE(DecodeSpoolLine(EncodeSpoolLine(sample), back));
  EXPECT_EQ(back, sample);
}

}  // namespace
}  // namespace qv
