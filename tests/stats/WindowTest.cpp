// The window on the offscreen platform: the drift warning as the operator
// sees it, charts that carry data, the filters and threshold in the window,
// and a bad file. Screenshots of every tab go to the build folder.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QDoubleSpinBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QtCharts/QAbstractBarSeries>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>
#include <QtCharts/QXYSeries>

#include <algorithm>
#include <array>

#include "records/Store.h"
#include "stats/Demo.h"
#include "stats/StatsWindow.h"
#include "tests/stats/RecordsGen.h"
#include "tests/stats/StatsTest.h"
#include "tests/support/Cases.h"

namespace qv::test {
namespace {

int Points(QAbstractSeries* s) {
  if (auto* xy = qobject_cast<QXYSeries*>(s)) return static_cast<int>(xy->count());
  if (auto* bars = qobject_cast<QAbstractBarSeries*>(s)) {
    int n = 0;
    for (QBarSet* set : bars->barSets()) n += static_cast<int>(set->count());
    return n;
  }
  return 0;
}

// Pixels of the warning's red (within a little of antialiasing) in rect.
int AlarmPixels(const QImage& image, const QRect& rect) {
  int n = 0;
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.red() > 200 && c.green() < 40 && c.blue() < 40) ++n;
    }
  return n;
}

class StatsWindowTest : public StatsTest {
 protected:
  TStatsWindow& Open(const std::vector<TGenUnit>& units) {
    WriteRecords(Db(), 2, units);
    Window = std::make_unique<TStatsWindow>();
    EXPECT_TRUE(Window->OpenRecords(QString::fromStdString(Db()))) << Window->History().Error();
    Window->resize(1200, 820);
    Window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(Window.get()));
    return *Window;
  }

  // Every tab in turn, to screenshots/stats/NAME-TAB.png.
  void Screenshots(const char* name) {
    const QString dir = QStringLiteral(QV_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    for (int i = 0; i < Window->Tabs->count(); ++i) {
      Window->Tabs->setCurrentIndex(i);
      QTest::qWait(10);
      const QString tab = Window->Tabs->tabText(i).section(QLatin1Char(' '), 0, 0).toLower();
      EXPECT_TRUE(Window->grab().save(QStringLiteral("%1/%2-%3-%4.png").arg(dir, QLatin1String(name)).arg(i).arg(tab)));
    }
  }

  std::unique_ptr<TStatsWindow> Window;
};

std::vector<TGenUnit> WithDriftingGolden() {
  std::vector<TGenUnit> units = Production(600, 6);
  for (const TGenUnit& u : GoldenRun("SRV-0042", 80, 10, 41, 4)) units.push_back(u);
  return units;
}

TEST_F(StatsWindowTest, DriftingGoldenIsUnmistakable) {
  TStatsWindow& w = Open(WithDriftingGolden());
  ASSERT_TRUE(w.WarningTxt->isVisible());
  const QString warning = w.WarningTxt->text();
  EXPECT_TRUE(warning.contains(QStringLiteral("Golden reference SRV-0042 (server) has drifted by +4.1 steps")))
      << warning.toStdString();
  EXPECT_FALSE(warning.contains(QStringLiteral("SRV-0001"))) << "a stable golden is not named";
  EXPECT_TRUE(w.Tabs->tabText(4).endsWith(QChar(0x26a0)));

  const QImage shot = w.grab().toImage();
  EXPECT_GT(AlarmPixels(shot, w.WarningTxt->geometry().translated(w.centralWidget()->pos())),
            w.WarningTxt->width() * w.WarningTxt->height() / 2)
      << "the warning's banner is red";

  // Every chart carries data.
  for (const auto& [name, view] : w.Charts()) {
    SCOPED_TRACE(name.toStdString());
    int points = 0;
    for (QAbstractSeries* s : view->chart()->series()) points += Points(s);
    EXPECT_GT(points, 0);
  }
  // The golden chart: marked in its title and with the points beyond the
  // threshold.
  QChart* golden = w.GoldenView->chart();
  EXPECT_TRUE(golden->title().contains(QStringLiteral("DRIFT: golden reference SRV-0042")))
      << golden->title().toStdString();
  int marked = 0;
  QStringList names;
  for (QAbstractSeries* s : golden->series()) {
    names << s->name();
    if (qobject_cast<QScatterSeries*>(s)) marked += Points(s);
  }
  EXPECT_EQ(marked, 80 - 48 + 1) << "every unit from the first beyond the threshold";
  EXPECT_TRUE(names.contains(QStringLiteral("SRV-0042 ") + QChar(0x26a0)))
      << names.join(QLatin1Char('|')).toStdString();
  EXPECT_TRUE(names.contains(QStringLiteral("SRV-0001")));
  Screenshots("drift");
  w.Tabs->setCurrentIndex(4);
  QTest::qWait(10);
  const QImage chart = w.GoldenView->grab().toImage();
  EXPECT_GT(AlarmPixels(chart, chart.rect()), 500) << "the threshold lines, marks and title in red";
}

TEST_F(StatsWindowTest, StableGoldenWarnsOnlyBelowItsSpread) {
  TStatsWindow& w = Open(Production(600, 6));
  EXPECT_FALSE(w.WarningTxt->isVisible());
  EXPECT_FALSE(w.GoldenView->chart()->title().contains(QStringLiteral("DRIFT")));
  EXPECT_EQ(w.Figures().Golden.size(), 3u);
  Screenshots("stable");
  // The units' own spread moves a running mean by about a step: a
  // threshold below it warns.
  w.ThresholdSpin->setValue(0.5);
  EXPECT_TRUE(w.WarningTxt->isVisible());
  EXPECT_TRUE(w.WarningTxt->text().contains(QStringLiteral("threshold 0.5")));
}

TEST_F(StatsWindowTest, FiltersChangeWhatIsShown) {
  TStatsWindow& w = Open(Production(600, 6));
  EXPECT_EQ(w.RecordsView->model()->rowCount(), 600);
  EXPECT_EQ(w.StationCombo->count(), 5) << "all, and four stations";
  w.StationCombo->setCurrentIndex(w.StationCombo->findText(QStringLiteral("REWORK")));
  EXPECT_EQ(w.RecordsView->model()->rowCount(), 150);
  w.FromEdit->setDate(QDate(2026, 12, 3));
  w.ToEdit->setDate(QDate(2026, 12, 3));
  EXPECT_EQ(w.RecordsView->model()->rowCount(), 25);
  for (const TUnit& u : w.History().Records({w.Filter(), "", ""}, 0, -1))
    EXPECT_EQ(u.Day() + u.Station, "2026-12-03REWORK");
  EXPECT_EQ(w.DaysTable->rowCount(), 1);
}

// A first day's units, on the hour axis: the per-day charts become per-hour
// ones, every point a marker, counts and percent on whole ticks, and the
// measurements never finer than they are measured.
TEST_F(StatsWindowTest, FirstDayReadsByTheHour) {
  std::vector<TGenUnit> units;
  for (int i = 0; i < 4; ++i) {
    TGenUnit u;
    u.Time = GenTime(0, 7 * 3600 + i * 2700);
    u.GoldenId = "SRV-0001";
    u.Stored = u.Result = 3 + i % 2;
    u.Rssi = 181.0 + i % 2;
    u.AfcSpread = 1.0 + i % 2;
    units.push_back(u);
  }
  TStatsWindow& w = Open(units);
  QChart* day = w.DayView->chart();
  EXPECT_EQ(day->title(), QStringLiteral("Units and yield per hour"));
  auto* x = qobject_cast<QDateTimeAxis*>(day->axes(Qt::Horizontal).value(0));
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->format(), QStringLiteral("hh:mm"));
  EXPECT_EQ(x->min().time().minute(), 0) << "on whole hours";
  for (QAbstractSeries* s : day->series()) {
    auto* line = qobject_cast<QLineSeries*>(s);
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->pointsVisible()) << line->name().toStdString() << ": a few points are markers";
  }
  for (QAbstractAxis* a : day->axes(Qt::Vertical)) {
    auto* v = qobject_cast<QValueAxis*>(a);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->labelFormat(), QStringLiteral("%.0f")) << v->titleText().toStdString();
    EXPECT_EQ(v->tickType(), QValueAxis::TicksDynamic);
    EXPECT_EQ(v->tickInterval(), std::round(v->tickInterval())) << "whole ticks";
    if (v->titleText().contains(QLatin1Char('%'))) {
      EXPECT_EQ(v->min(), 0);
      EXPECT_EQ(v->max(), 100);
    } else {
      EXPECT_GT(v->max(), 2) << "the largest count below the top edge";
    }
  }
  // Two averages a count apart, spreads of 1 and 2 AFC units: axes of
  // whole units, a few wide.
  for (QAbstractAxis* a : w.QualityView->chart()->axes(Qt::Vertical)) {
    auto* v = qobject_cast<QValueAxis*>(a);
    ASSERT_NE(v, nullptr);
    SCOPED_TRACE(v->titleText().toStdString());
    EXPECT_GE(v->max() - v->min(), v->titleText().contains(QStringLiteral("AFC")) ? 2 : 4);
    EXPECT_EQ(v->min(), std::round(v->min()));
    EXPECT_GE(v->tickInterval(), 1);
  }
  Screenshots("first-day");
}

struct TEmptyCase {
  const char* Name;
  std::vector<TGenUnit> (*Units)();
  const char* Station;
  // Of each chart in the order of Charts(); empty where it shows data.
  std::array<const char*, 6> Notes;
};
using test::PrintTo;

class EmptyChartTest : public StatsWindowTest, public ::testing::WithParamInterface<TEmptyCase> {};

TEST_P(EmptyChartTest, SaysWhyInItsMiddle) {
  const TEmptyCase& c = GetParam();
  TStatsWindow& w = Open(c.Units());
  w.SetFilter({"", "", c.Station});
  const auto charts = w.Charts();
  for (size_t i = 0; i < charts.size(); ++i) {
    QChartView* view = charts[i].second;
    SCOPED_TRACE(charts[i].first.toStdString());
    EXPECT_EQ(TStatsWindow::Note(view), QString::fromLatin1(c.Notes[i]));
    int points = 0;
    for (QAbstractSeries* s : view->chart()->series()) points += Points(s);
    EXPECT_EQ(points > 0, c.Notes[i][0] == '\0');
  }
}

std::vector<TGenUnit> FirstUnit() {
  TGenUnit u;
  u.Time = GenTime(0, 8 * 3600);
  u.GoldenId = "SRV-0001";
  u.Stored = u.Result = 4;
  u.Rssi = 180.0;
  u.AfcSpread = 1.0;
  return {u};
}

std::vector<TGenUnit> FailedBeforeMeasuring() {
  std::vector<TGenUnit> units(2);
  for (size_t i = 0; i < units.size(); ++i) {
    units[i].Time = GenTime(0, 8 * 3600 + 300 * static_cast<int>(i));
    units[i].Outcome = "failed";
    units[i].Message = "Failed to initialize Quorvantis!";
    units[i].NotStoredReason = "failed";
  }
  return units;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EmptyChartTest,
    ::testing::Values(
        TEmptyCase{"FirstUnit", FirstUnit, "", {"", "", "", "no failed units", "", "golden health needs 20 units"}},
        TEmptyCase{"FailedBeforeMeasuring",
                   FailedBeforeMeasuring,
                   "",
                   {"no stored values", "", "", "", "no measurements", "no unit names a golden reference"}},
        TEmptyCase{"BaselineWithoutAWindow",
                   [] { return GoldenRun("SRV-0042", 25, 10); },
                   "",
                   {"", "", "", "no failed units", "", "golden health needs 30 units"}},
        TEmptyCase{"NoneShown",
                   [] { return GoldenRun("SRV-0042", 5, 10); },
                   "LINE-9",
                   {"no units", "no units", "no units", "no units", "no units", "no unit names a golden reference"}}),
    TCaseName());

// A unit found by its radio address, its transcript read when its record
// is selected.
TEST_F(StatsWindowTest, RecordsOfARadioAddressWithTheirTranscript) {
  TStatsWindow& w = Open(GoldenRun("SRV-0042", 140, 10));
  EXPECT_EQ(w.RecordsView->model()->rowCount(), 140);
  w.SetAddress(QStringLiteral("00:1A:2B:00:5"));
  ASSERT_EQ(w.RecordsView->model()->rowCount(), 2) << "units 5 and 105 share the address";
  EXPECT_EQ(w.RecordsView->model()->index(1, 10).data().toString(), QStringLiteral("00:1A:2B:00:5"));
  EXPECT_TRUE(w.TranscriptTxt->toPlainText().isEmpty());
  w.RecordsView->selectRow(1);
  EXPECT_EQ(w.TranscriptTxt->toPlainText(), QStringLiteral("Test cycle 1 of 3\n\n"));
  w.SetAddress(QStringLiteral("0x12345678"));
  EXPECT_EQ(w.RecordsView->model()->rowCount(), 0);
  w.SetAddress(QString());
  EXPECT_EQ(w.RecordsView->model()->rowCount(), 140);
}

// Which units got one firmware file, and which firmware the selected unit
// got: demo records, whose handheld firmware changes for the last days.
TEST_F(StatsWindowTest, UnitsThatGotAFirmwareFileWithTheirFirmware) {
  {
    auto store = records::SqliteStore(Db());
    TDemoOptions demo;
    demo.Units = 600;
    std::string why;
    ASSERT_TRUE(WriteDemo(*store, demo, why)) << why;
  }
  TStatsWindow w;
  ASSERT_TRUE(w.OpenRecords(QString::fromStdString(Db()))) << w.History().Error();
  const std::string sha = "3cb9be49fb220ddb2bff3fcee49b45fd0b7e05af7614dd8bc19ce16b9e112f48";
  const auto got = std::count_if(w.History().Units().begin(), w.History().Units().end(),
                                 [&](const TUnit& u) { return u.HandheldFwSha256 == sha; });
  ASSERT_GT(got, 0);
  ASSERT_LT(got, 600);
  EXPECT_TRUE(w.FirmwareTxt->isHidden());
  // The hash as sha256sum prints it, or in capitals.
  for (const std::string& given : {sha, QString::fromStdString(sha).toUpper().toStdString()}) {
    w.SetFirmware(QString::fromStdString(given));
    EXPECT_EQ(w.RecordsView->model()->rowCount(), got);
  }
  w.RecordsView->selectRow(0);
  EXPECT_FALSE(w.FirmwareTxt->isHidden());
  w.Tabs->setCurrentIndex(w.Tabs->count() - 1);
  w.resize(1200, 820);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  EXPECT_TRUE(w.grab().save(QStringLiteral(QV_SCREENSHOT_DIR) + QStringLiteral("/firmware-records.png")));
  EXPECT_EQ(w.FirmwareTxt->text(),
            QString::fromStdString("Quorvantis firmware: /opt/qvtune/qvhandheld-2.5.qpf, 12296 bytes, SHA-256 " + sha +
                                   "\nQuorvantis test firmware: payload, 6144 bytes, SHA-256 "
                                   "35f4d05f14730f1b35b5fc90a8c1f220992dfe710883dd961f04b8c3a64a74dd"));
  w.SetFirmware(QString(64, QLatin1Char('0')));
  EXPECT_EQ(w.RecordsView->model()->rowCount(), 0);
  EXPECT_TRUE(w.FirmwareTxt->isHidden());
  w.SetFirmware(QString());
  EXPECT_EQ(w.RecordsView->model()->rowCount(), 600);
}

TEST_F(StatsWindowTest, BadFileSaysWhyAndShowsNothing) {
  std::ofstream(Db()) << std::string(2048, 'x');
  TStatsWindow w;
  EXPECT_FALSE(w.OpenRecords(QString::fromStdString(Db())));
  w.resize(1200, 820);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  EXPECT_TRUE(w.StatusTxt->text().contains(QStringLiteral("is not a records file")));
  EXPECT_FALSE(w.WarningTxt->isVisible());
  for (const auto& [name, view] : w.Charts()) EXPECT_TRUE(view->chart()->series().isEmpty()) << name.toStdString();
  EXPECT_TRUE(w.grab().save(QStringLiteral(QV_SCREENSHOT_DIR) + QStringLiteral("/bad-file.png")));
}

}  // namespace
}  // namespace qv::test
