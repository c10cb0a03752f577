// The window's records: one a unit in the SQLite file beside the program,
// the log pane and the transcript as they always were; a database that
// cannot take the record costs one pane line and nothing else.
#include <sqlite3.h>

#include <filesystem>

#include "records/Record.h"
#include "records/Text.h"
#include "records/Zstd.h"
#include "tests/app/AppTest.h"

namespace qv::test {
namespace {

class RecordsWindowTest : public AppTest {
 protected:
  // One unit through the window; the window is closed (its records
  // written) when this returns.
  QStringList RunOneUnit() {
    Steps = [](TSerThread& t) {
      t.Steps.RunFineTuning = [](TSerThread& w) {
        w.Facts.Result = -5;
        w.Facts.Stored = -5;
        w.LogLine("tuned");
      };
    };
    TMain& w = Open();
    Click(w.StartBut);
    EXPECT_TRUE(AwaitOkPrompt());
    Click(w.StartBut);
    EXPECT_TRUE(AwaitFinished());
    // A line the records' writer sends comes through the event loop.
    QTest::qWait(100);
    const QStringList lines = LogLines(w);
    Window.reset();
    return lines;
  }

  std::vector<std::string> Units(const std::string& sql) {
    std::vector<std::string> values;
    sqlite3* db = nullptr;
    sqlite3_open_v2((Dir + "/qvtune.records").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK)
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        values.push_back(text != nullptr ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt, 0)))
                                         : "NULL");
      }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return values;
  }
};

TEST_F(RecordsWindowTest, EachUnitIsRecordedBesideTheProgram) {
  EXPECT_EQ(RunOneUnit(),
            (QStringList{"ReadFirmwareFiles", "tuned", "Completed successfully!", "Error log file written"}));
  EXPECT_EQ(ReadFile(Dir + "/qvtune.ERR"), ">ReadFirmwareFiles\r>tuned\r");
  EXPECT_EQ(
      Units("SELECT tool || ' ' || station || ' ' || outcome || ' ' || stored_offset || ' ' || golden FROM units"),
      std::vector<std::string>{"qvtune " + std::string(QV_VERSION) + " " + records::HostName() + " success -5 server"});
  std::string transcript;
  EXPECT_TRUE(records::Decompress(Units("SELECT transcript_zstd FROM units").at(0), transcript));
  EXPECT_EQ(transcript, ">ReadFirmwareFiles\r>tuned\r");
}

TEST_F(RecordsWindowTest, DatabaseOutOfReachGivesOnePaneLineAndSpools) {
  // A folder where the database file would be.
  fs::create_directories(Dir + "/qvtune.records");
  QStringList lines = RunOneUnit();
  ASSERT_EQ(lines.size(), 5) << lines.join(QLatin1Char('\n')).toStdString();
  // The writer's line comes from its own thread, once the unit's record is
  // in: after the outcome line, before or after the worker's last line.
  const QString report = lines[3].startsWith(QStringLiteral("Unit records")) ? lines.takeAt(3) : lines.takeAt(4);
  EXPECT_EQ(lines, (QStringList{"ReadFirmwareFiles", "tuned", "Completed successfully!", "Error log file written"}));
  EXPECT_TRUE(report.startsWith(QStringLiteral("Unit records not written to "))) << report.toStdString();
  EXPECT_TRUE(report.contains(QStringLiteral("qvtune.records.spool"))) << report.toStdString();
  EXPECT_EQ(ReadFile(Dir + "/qvtune.ERR"), ">ReadFirmwareFiles\r>tuned\r") << "never in the transcript";
  const std::string spool = ReadFile(Dir + "/qvtune.records.spool");
  EXPECT_EQ(std::count(spool.begin(), spool.end(), '\n'), 1);
  records::TUnitRecord kept;
  ASSERT_TRUE(records::DecodeSpoolLine(spool.substr(0, spool.size() - 1), kept));
  EXPECT_EQ(kept.Outcome, "success");
}

}  // namespace
}  // namespace qv::test
