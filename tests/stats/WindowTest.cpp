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
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QtCharts/QAbstractBarSeries>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QXYSeries>

#include "stats/StatsWindow.h"
#include "tests/stats/RecordsGen.h"
#include "tests/stats/StatsTest.h"

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
  for (const TUnit& u : w.History().Records({w.Filter(), ""}, 0, -1)) EXPECT_EQ(u.Day() + u.Station, "2026-12-03REWORK");
  EXPECT_EQ(w.DaysTable->rowCount(), 1);
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
