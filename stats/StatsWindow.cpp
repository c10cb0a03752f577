#include "stats/StatsWindow.h"

#include <QAbstractTableModel>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QDateTime>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGraphicsSimpleTextItem>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimeZone>
#include <QVBoxLayout>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSeries>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QHorizontalBarSeries>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QStackedBarSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <climits>
#include <cmath>
#include <fstream>
#include <functional>
#include <list>
#include <map>

#include "procedure/UnitFacts.h"
#include "records/Record.h"

namespace qv {

namespace {

const QColor kSuccess(0x2e, 0x7d, 0x32);
const QColor kFailed(0xc6, 0x28, 0x28);
const QColor kAborted(0xef, 0x8f, 0x00);
const QColor kAnalysis(0x15, 0x65, 0xc0);
// The drift warning's colour, strong enough to be seen across a room.
const QColor kAlarm(0xd5, 0x00, 0x00);
// The golden references that hold, one colour each; none of them red.
const QColor kSteady[] = {QColor(0x15, 0x65, 0xc0), QColor(0x2e, 0x7d, 0x32), QColor(0x6a, 0x1b, 0x9a),
                          QColor(0x00, 0x83, 0x8f), QColor(0x5d, 0x40, 0x37), QColor(0x45, 0x5a, 0x64)};

// Every chart of a report at one size, whatever the window's.
const QSize kPngSize(1200, 700);
// A line keeps this many points at most: more do not show on any screen
// and slow the drawing of a long history.
constexpr size_t kMaxLinePoints = 1500;
// A line of this many points or fewer shows each as a marker: one or two
// points draw no line at all.
constexpr int kMarkedPoints = 60;
constexpr qint64 kHourMs = 3600000, kDayMs = 24 * kHourMs;

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

QDateTime Utc(qint64 ms) {
  return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc());
}

QDate DayOf(const std::string& day) {
  return QDate::fromString(Q(day.substr(0, 10)), Qt::ISODate);
}

qint64 DayStart(const std::string& day) {
  return QDateTime(DayOf(day), QTime(0, 0), QTimeZone::utc()).toMSecsSinceEpoch();
}

// Where the point of a group of a per-day or per-hour line goes: the
// middle of its day or hour.
qreal GroupX(const std::string& key) {
  if (key.size() >= 13) return static_cast<qreal>(DayStart(key) + std::stoi(key.substr(11, 2)) * kHourMs + kHourMs / 2);
  return static_cast<qreal>(DayStart(key) + kDayMs / 2);
}

QChart* NewChart(const QString& title) {
  auto* chart = new QChart;
  chart->setTitle(title);
  QFont font = chart->titleFont();
  font.setPointSize(font.pointSize() + 2);
  font.setBold(true);
  chart->setTitleFont(font);
  chart->setAnimationOptions(QChart::NoAnimation);
  chart->legend()->setAlignment(Qt::AlignBottom);
  return chart;
}

// A chart with nothing to show says why in the middle of its plot.
void SetNote(QChart* chart, const QString& text) {
  chart->setProperty("note", text);
  auto* item = new QGraphicsSimpleTextItem(text, chart);
  QFont font = item->font();
  font.setPointSize(font.pointSize() + 4);
  item->setFont(font);
  item->setBrush(QColor(0x61, 0x61, 0x61));
  auto place = [item](const QRectF& area) { item->setPos(area.center() - item->boundingRect().center()); };
  QObject::connect(chart, &QChart::plotAreaChanged, chart, place);
  place(chart->plotArea());
}

void Replace(QChartView* view, QChart* chart) {
  QChart* old = view->chart();
  view->setChart(chart);
  delete old;
}

// The time axis of a range: by hour, on whole hours, when it lies within a
// day; by day, on midnights, when it spans up to a fortnight; by date
// beyond.
QDateTimeAxis* TimeAxis(QChart* chart, qint64 fromMs, qint64 toMs) {
  auto* axis = new QDateTimeAxis;
  if (toMs - fromMs <= kDayMs) {
    const qint64 from = fromMs / kHourMs * kHourMs;
    qint64 hours = std::max<qint64>(1, (toMs - from + kHourMs - 1) / kHourMs);
    const qint64 step = hours > 12 ? 2 : 1;
    hours = (hours + step - 1) / step * step;
    axis->setRange(Utc(from), Utc(from + hours * kHourMs));
    axis->setTickCount(static_cast<int>(hours / step) + 1);
    axis->setFormat(QStringLiteral("hh:mm"));
    axis->setTitleText(QStringLiteral("UTC, ") + Utc(from).toString(QStringLiteral("yyyy-MM-dd")));
  } else {
    const qint64 from = fromMs / kDayMs * kDayMs;
    const qint64 days = (toMs - from + kDayMs - 1) / kDayMs;
    axis->setRange(Utc(from), Utc(from + days * kDayMs));
    axis->setTickCount(days <= 14 ? static_cast<int>(days) + 1 : 7);
    axis->setFormat(days <= 14 ? QStringLiteral("MM-dd") : QStringLiteral("yyyy-MM-dd"));
    axis->setTitleText(QStringLiteral("UTC"));
  }
  chart->addAxis(axis, Qt::AlignBottom);
  return axis;
}

QValueAxis* ValueAxis(QChart* chart, const QString& title, Qt::Alignment side) {
  auto* axis = new QValueAxis;
  axis->setTitleText(title);
  chart->addAxis(axis, side);
  return axis;
}

// 1, 2 or 5 times a power of ten, of resolution at least, that cuts span
// into at most six.
double NiceStep(double span, double resolution) {
  double step = resolution;
  for (int i = 0; span / step > 6; ++i)
    step = resolution * std::pow(10, i / 3) * (i % 3 == 0 ? 2 : i % 3 == 1 ? 5 : 10);
  return step;
}

// Ticks on whole multiples of step.
void Ticks(QValueAxis* axis, double lo, double hi, double step, const char* format) {
  axis->setRange(lo, hi);
  axis->setTickType(QValueAxis::TicksDynamic);
  axis->setTickAnchor(0);
  axis->setTickInterval(step);
  axis->setLabelFormat(QString::fromLatin1(format));
}

// A count from 0 in whole units, ticks included: a count of 3 is never
// drawn as 2.5. The largest stays below the top edge, where a line's
// marker would hide behind the frame.
void CountAxis(QValueAxis* axis, double most) {
  const double step = NiceStep(std::max(1.0, most), 1);
  Ticks(axis, 0, (std::floor(most / step) + 1) * step, step, "%.0f");
}

// A measurement's axis: never narrower than span units of its resolution,
// on whole multiples of it, so that noise below what the measurement can
// tell does not fill the chart.
void MeasureAxis(QValueAxis* axis, double lo, double hi, double resolution, double span, bool nonNegative) {
  double a = std::min(lo, hi), b = std::max(lo, hi);
  if (b - a < span * resolution) {
    const double mid = (a + b) / 2;
    a = mid - span * resolution / 2;
    b = mid + span * resolution / 2;
  }
  if (nonNegative && a < 0) {
    b -= a;
    a = 0;
  }
  a = std::floor(a / resolution) * resolution;
  b = std::ceil(b / resolution) * resolution;
  Ticks(axis, a, b, NiceStep(b - a, resolution), resolution >= 1 ? "%.0f" : "%.1f");
}

void Attach(QChart* chart, QAbstractSeries* series, std::initializer_list<QAbstractAxis*> axes) {
  chart->addSeries(series);
  for (QAbstractAxis* a : axes) series->attachAxis(a);
}

// A line through points, each a marker when there are few.
QLineSeries* Line(const QString& name, const QPen& pen, const QList<QPointF>& points) {
  auto* s = new QLineSeries;
  s->setName(name);
  s->setPen(pen);
  s->replace(points);
  if (points.size() <= kMarkedPoints) {
    s->setPointsVisible(true);
    s->setMarkerSize(std::max(7.0, pen.widthF() * 3));
  }
  return s;
}

QPen Pen(const QColor& color, int width = 2) {
  QPen pen(color);
  pen.setWidth(width);
  return pen;
}

// Evenly chosen indices of n, at most max of them, always with the last.
std::vector<size_t> Thinned(size_t n, size_t max) {
  std::vector<size_t> at;
  if (n == 0) return at;
  const size_t step = std::max<size_t>(1, (n + max - 1) / max);
  for (size_t i = 0; i < n; i += step) at.push_back(i);
  if (at.back() != n - 1) at.push_back(n - 1);
  return at;
}

QString Percent(const std::optional<double>& v) {
  return v ? QString::number(*v * 100, 'f', 1) + QStringLiteral(" %") : QStringLiteral("-");
}

QString Opt(const std::optional<int>& v) {
  return v ? QString::number(*v) : QString();
}

QString Opt(const std::optional<double>& v, int decimals) {
  return v ? QString::number(*v, 'f', decimals) : QString();
}

bool WriteFile(const QString& path, const std::function<bool(std::ostream&)>& write, QString* error) {
  std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
  bool read = true;
  if (out) read = write(out);
  out.flush();
  if (!out || !read) {
    if (error != nullptr)
      *error = out ? QStringLiteral("Cannot read the records for %1.").arg(path)
                   : QStringLiteral("Cannot write %1.").arg(path);
    return false;
  }
  return true;
}

// The groups a time line is drawn of: by hour on a single day.
const std::vector<TGroupFigures>& TimeGroups(const TFigures& f) {
  return f.Hours.empty() ? f.Days : f.Hours;
}

}  // namespace

// The records shown, one a row, read a page at a time as the table asks
// for them; a few dozen pages are kept.
class TRecordsModel : public QAbstractTableModel {
 public:
  void Reset(const THistory* history, TRecordQuery query, int64_t count) {
    beginResetModel();
    FHistory = history;
    FQuery = std::move(query);
    FCount = count;
    FPages.clear();
    FUse.clear();
    endResetModel();
  }

  const TRecordQuery& Query() const { return FQuery; }

  // The record of a row, its page read if need be; null past the end.
  const TUnit* Unit(int row) const {
    if (FHistory == nullptr || row < 0 || row >= FCount) return nullptr;
    const int64_t page = row / kPage;
    auto it = FPages.find(page);
    if (it == FPages.end()) {
      auto before = FPages.find(page - 1);
      const TUnit* after = before != FPages.end() && !before->second.empty() ? &before->second.back() : nullptr;
      it = FPages.emplace(page, FHistory->Records(FQuery, page * kPage, kPage, after)).first;
      FUse.push_back(page);
      if (FUse.size() > kPages) {
        FPages.erase(FUse.front());
        FUse.pop_front();
      }
    }
    const size_t at = static_cast<size_t>(row % kPage);
    return at < it->second.size() ? &it->second[at] : nullptr;
  }

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(std::min<int64_t>(FCount, INT_MAX));
  }
  int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : kColumns; }

  QVariant headerData(int section, Qt::Orientation o, int role) const override {
    static const char* const kNames[kColumns] = {"Time (UTC)", "Station", "Outcome",    "Stored", "Result",   "Golden",
                                                 "Golden ID",  "RSSI",    "AFC spread", "Cycles", "Handheld", "Reason"};
    if (role != Qt::DisplayRole || o != Qt::Horizontal || section < 0 || section >= kColumns) return {};
    return QString::fromLatin1(kNames[section]);
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ForegroundRole)) return {};
    const TUnit* unit = Unit(index.row());
    if (unit == nullptr) return {};
    const TUnit& u = *unit;
    if (role == Qt::ForegroundRole) {
      if (index.column() != 2) return {};
      if (u.Kind == TUnitOutcome::uoFailed) return kFailed;
      if (u.Kind == TUnitOutcome::uoAborted) return kAborted;
      return {};
    }
    switch (index.column()) {
      case 0:
        return Q(u.TimeUtc.substr(0, 19)).replace(QLatin1Char('T'), QLatin1Char(' '));
      case 1:
        return Q(u.Station);
      case 2:
        return Q(u.Outcome);
      case 3:
        return u.StoredOffset ? Opt(u.StoredOffset) : Q(u.NotStoredReason);
      case 4:
        return Opt(u.ResultOffset);
      case 5:
        return Q(u.Golden);
      case 6:
        return Q(u.GoldenId);
      case 7:
        return Opt(u.RssiAvg, 0);
      case 8:
        return Opt(u.AfcSpread, 0);
      case 9:
        return Opt(u.Cycles);
      case 10:
        return Q(u.HandheldMac);
      case 11:
        return Q(FailureReason(u));
      default:
        return {};
    }
  }

 private:
  static constexpr int kColumns = 12;
  static constexpr int64_t kPage = 256;
  static constexpr size_t kPages = 64;
  const THistory* FHistory = nullptr;
  TRecordQuery FQuery;
  int64_t FCount = 0;
  mutable std::map<int64_t, std::vector<TUnit>> FPages;
  mutable std::list<int64_t> FUse;
};

TStatsWindow::TStatsWindow(QWidget* parent) : QMainWindow(parent), FModel(std::make_unique<TRecordsModel>()) {
  setWindowTitle(QStringLiteral("qvstats"));
  resize(1100, 780);
  auto* central = new QWidget(this);
  setCentralWidget(central);
  auto* top = new QVBoxLayout(central);

  auto* bar = new QHBoxLayout;
  OpenBut = new QPushButton(QStringLiteral("&Open..."), central);
  FromEdit = new QDateEdit(central);
  ToEdit = new QDateEdit(central);
  for (QDateEdit* e : {FromEdit, ToEdit}) {
    e->setCalendarPopup(true);
    e->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
  }
  StationCombo = new QComboBox(central);
  StationCombo->setMinimumContentsLength(14);
  ThresholdSpin = new QDoubleSpinBox(central);
  ThresholdSpin->setRange(0.5, 100);
  ThresholdSpin->setSingleStep(0.5);
  ThresholdSpin->setDecimals(1);
  ThresholdSpin->setValue(FGolden.Threshold);
  ThresholdSpin->setSuffix(QStringLiteral(" steps"));
  CsvBut = new QPushButton(QStringLiteral("Export &CSV..."), central);
  PngBut = new QPushButton(QStringLiteral("Export &PNG..."), central);
  bar->addWidget(OpenBut);
  bar->addSpacing(12);
  bar->addWidget(new QLabel(QStringLiteral("From"), central));
  bar->addWidget(FromEdit);
  bar->addWidget(new QLabel(QStringLiteral("to"), central));
  bar->addWidget(ToEdit);
  bar->addSpacing(12);
  bar->addWidget(new QLabel(QStringLiteral("Station"), central));
  bar->addWidget(StationCombo);
  bar->addSpacing(12);
  bar->addWidget(new QLabel(QStringLiteral("Golden drift threshold"), central));
  bar->addWidget(ThresholdSpin);
  bar->addStretch(1);
  bar->addWidget(CsvBut);
  bar->addWidget(PngBut);
  top->addLayout(bar);

  WarningTxt = new QLabel(central);
  WarningTxt->setObjectName(QStringLiteral("WarningTxt"));
  WarningTxt->setWordWrap(true);
  WarningTxt->setTextFormat(Qt::PlainText);
  WarningTxt->setStyleSheet(QStringLiteral("QLabel { background: %1; color: white; font-weight: bold; "
                                           "font-size: 13pt; padding: 8px; border-radius: 4px; }")
                                .arg(kAlarm.name()));
  WarningTxt->hide();
  top->addWidget(WarningTxt);
  StatusTxt = new QLabel(central);
  StatusTxt->setTextFormat(Qt::PlainText);
  StatusTxt->setWordWrap(true);
  top->addWidget(StatusTxt);

  Tabs = new QTabWidget(central);
  top->addWidget(Tabs, 1);
  auto view = [](QWidget* owner) {
    auto* v = new QChartView(new QChart, owner);
    v->setRenderHint(QPainter::Antialiasing);
    v->setMinimumSize(320, 220);
    return v;
  };
  StoredView = view(Tabs);
  Tabs->addTab(StoredView, QStringLiteral("Stored values"));

  auto* yield = new QSplitter(Qt::Vertical, Tabs);
  DayView = view(yield);
  StationView = view(yield);
  yield->addWidget(DayView);
  yield->addWidget(StationView);
  Tabs->addTab(yield, QStringLiteral("Yield"));

  auto* reasons = new QSplitter(Qt::Horizontal, Tabs);
  ReasonsView = view(reasons);
  auto* tables = new QSplitter(Qt::Vertical, reasons);
  DaysTable = new QTableWidget(tables);
  StationsTable = new QTableWidget(tables);
  for (QTableWidget* t : {DaysTable, StationsTable}) {
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->verticalHeader()->hide();
    t->horizontalHeader()->setStretchLastSection(true);
    tables->addWidget(t);
  }
  reasons->addWidget(ReasonsView);
  reasons->addWidget(tables);
  reasons->setStretchFactor(0, 1);
  reasons->setStretchFactor(1, 1);
  Tabs->addTab(reasons, QStringLiteral("Failure reasons"));

  QualityView = view(Tabs);
  Tabs->addTab(QualityView, QStringLiteral("Quality"));

  auto* golden = new QWidget(Tabs);
  auto* goldenLayout = new QVBoxLayout(golden);
  GoldenView = view(golden);
  GoldenTxt = new QLabel(golden);
  GoldenTxt->setTextFormat(Qt::PlainText);
  GoldenTxt->setWordWrap(true);
  goldenLayout->addWidget(GoldenView, 1);
  goldenLayout->addWidget(GoldenTxt);
  Tabs->addTab(golden, QStringLiteral("Golden reference"));

  auto* records = new QWidget(Tabs);
  auto* recordsLayout = new QVBoxLayout(records);
  auto* search = new QHBoxLayout;
  AddressEdit = new QLineEdit(records);
  AddressEdit->setPlaceholderText(QStringLiteral("0x00A1B2C3"));
  AddressEdit->setClearButtonEnabled(true);
  search->addWidget(new QLabel(QStringLiteral("Radio address"), records));
  search->addWidget(AddressEdit);
  FirmwareEdit = new QLineEdit(records);
  FirmwareEdit->setPlaceholderText(QStringLiteral("SHA-256 of a firmware file"));
  FirmwareEdit->setClearButtonEnabled(true);
  FirmwareEdit->setMinimumWidth(FirmwareEdit->fontMetrics().horizontalAdvance(QString(66, QLatin1Char('0'))));
  search->addWidget(new QLabel(QStringLiteral("Firmware"), records));
  search->addWidget(FirmwareEdit);
  search->addStretch(1);
  recordsLayout->addLayout(search);
  auto* split = new QSplitter(Qt::Vertical, records);
  RecordsView = new QTableView(split);
  RecordsView->setModel(FModel.get());
  RecordsView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  RecordsView->setSelectionBehavior(QAbstractItemView::SelectRows);
  RecordsView->setSelectionMode(QAbstractItemView::SingleSelection);
  RecordsView->verticalHeader()->setDefaultSectionSize(RecordsView->fontMetrics().height() + 6);
  RecordsView->horizontalHeader()->setStretchLastSection(true);
  // Widths from the first rows: measuring every row of a long history
  // would read all of it.
  RecordsView->horizontalHeader()->setResizeContentsPrecision(200);
  auto* unit = new QWidget(split);
  auto* unitLayout = new QVBoxLayout(unit);
  unitLayout->setContentsMargins(0, 0, 0, 0);
  FirmwareTxt = new QLabel(unit);
  FirmwareTxt->setTextInteractionFlags(Qt::TextSelectableByMouse);
  FirmwareTxt->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  FirmwareTxt->setVisible(false);
  unitLayout->addWidget(FirmwareTxt);
  TranscriptTxt = new QPlainTextEdit(unit);
  unitLayout->addWidget(TranscriptTxt, 1);
  TranscriptTxt->setReadOnly(true);
  TranscriptTxt->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  TranscriptTxt->setPlaceholderText(QStringLiteral("The transcript of the record selected above."));
  split->addWidget(RecordsView);
  split->addWidget(unit);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  recordsLayout->addWidget(split, 1);
  Tabs->addTab(records, QStringLiteral("Records"));

  connect(OpenBut, &QPushButton::clicked, this, &TStatsWindow::BrowseRecords);
  connect(CsvBut, &QPushButton::clicked, this, &TStatsWindow::BrowseCsv);
  connect(PngBut, &QPushButton::clicked, this, &TStatsWindow::BrowsePng);
  connect(FromEdit, &QDateEdit::dateChanged, this, [this] { Refresh(); });
  connect(ToEdit, &QDateEdit::dateChanged, this, [this] { Refresh(); });
  connect(StationCombo, &QComboBox::currentIndexChanged, this, [this] { Refresh(); });
  connect(ThresholdSpin, &QDoubleSpinBox::valueChanged, this, [this](double v) {
    FGolden.Threshold = v;
    Refresh();
  });
  connect(AddressEdit, &QLineEdit::editingFinished, this, [this] {
    if (!FLoading && Q(FModel->Query().Address) != AddressEdit->text().trimmed()) ShowRecords();
  });
  connect(FirmwareEdit, &QLineEdit::editingFinished, this, [this] {
    if (!FLoading && Q(FModel->Query().Firmware) != FirmwareEdit->text().trimmed()) ShowRecords();
  });
  connect(RecordsView->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] { ShowTranscript(); });
  Refresh();
}

TStatsWindow::~TStatsWindow() {
  // The view goes before the model it reads.
  RecordsView->setModel(nullptr);
}

bool TStatsWindow::OpenRecords(const QString& path) {
  // Records of an earlier version are brought up first, which a large
  // file takes a while for: the status line counts them down.
  FHistory.Progress = [this](int64_t left) {
    StatusTxt->setText(QStringLiteral("Bringing the records up to schema version %1: %2 left...")
                           .arg(records::kSchemaVersion)
                           .arg(left));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  };
  const bool ok = FHistory.Load(QDir::toNativeSeparators(path).toStdString());
  FLoading = true;
  StationCombo->clear();
  StationCombo->addItem(QStringLiteral("All stations"), QString());
  for (const std::string& s : FHistory.Stations()) StationCombo->addItem(Q(s), Q(s));
  QDate first = QDate::currentDate(), last = first;
  if (!FHistory.FirstDay().empty()) {
    first = DayOf(FHistory.FirstDay());
    last = DayOf(FHistory.LastDay());
  }
  for (QDateEdit* e : {FromEdit, ToEdit}) e->setDateRange(first, last);
  FromEdit->setDate(first);
  ToEdit->setDate(last);
  FLoading = false;
  Refresh();
  return ok;
}

void TStatsWindow::SetFilter(const TFilter& filter) {
  FLoading = true;
  FromEdit->setDate(filter.FromDay.empty() ? FromEdit->minimumDate() : DayOf(filter.FromDay));
  ToEdit->setDate(filter.ToDay.empty() ? ToEdit->maximumDate() : DayOf(filter.ToDay));
  int at = StationCombo->findData(Q(filter.Station));
  if (at < 0) {
    StationCombo->addItem(Q(filter.Station), Q(filter.Station));
    at = StationCombo->count() - 1;
  }
  StationCombo->setCurrentIndex(at);
  FLoading = false;
  Refresh();
}

void TStatsWindow::SetThreshold(double steps) {
  FLoading = true;
  ThresholdSpin->setValue(steps);
  FLoading = false;
  FGolden.Threshold = steps;
  Refresh();
}

void TStatsWindow::SetAddress(const QString& address) {
  AddressEdit->setText(address);
  ShowRecords();
}

void TStatsWindow::SetFirmware(const QString& sha256) {
  FirmwareEdit->setText(sha256);
  ShowRecords();
}

TFilter TStatsWindow::Filter() const {
  TFilter f;
  if (FromEdit->date() > FromEdit->minimumDate()) f.FromDay = FromEdit->date().toString(Qt::ISODate).toStdString();
  if (ToEdit->date() < ToEdit->maximumDate()) f.ToDay = ToEdit->date().toString(Qt::ISODate).toStdString();
  f.Station = StationCombo->currentData().toString().toStdString();
  return f;
}

void TStatsWindow::Refresh() {
  if (FLoading) return;
  FFigures = FHistory.Figures(Filter(), FGolden);
  ShowRecords();
  ShowStored();
  ShowYield();
  ShowReasons();
  ShowQuality();
  ShowGolden();
  ShowStatus();
}

void TStatsWindow::ShowRecords() {
  TRecordQuery query{Filter(), AddressEdit->text().trimmed().toStdString(),
                     FirmwareEdit->text().trimmed().toStdString()};
  const int64_t count = query.Narrowed() ? FHistory.CountRecords(query) : FFigures.Total.Units;
  FModel->Reset(&FHistory, std::move(query), count);
  RecordsView->resizeColumnsToContents();
  ShowTranscript();
}

void TStatsWindow::ShowTranscript() {
  const QModelIndex at = RecordsView->currentIndex();
  const TUnit* u = at.isValid() ? FModel->Unit(at.row()) : nullptr;
  if (u == nullptr) {
    TranscriptTxt->clear();
    FirmwareTxt->clear();
    FirmwareTxt->setVisible(false);
    return;
  }
  // Which firmware went into the unit: each input its run read, where it
  // came from, its size and SHA-256.
  QStringList firmware;
  for (size_t i = 0; i < std::size(records::kFirmwareFields); ++i) {
    const records::TFirmwareFields& f = records::kFirmwareFields[i];
    if ((*u).*f.Sha256 == "" && (*u).*f.Source == "") continue;
    const std::optional<int> size = (*u).*f.Size;
    firmware << QStringLiteral("%1: %2, %3 bytes, SHA-256 %4")
                    .arg(QString::fromLatin1(kFirmwareInputLabels[i]), Q((*u).*f.Source),
                         size ? QString::number(*size) : QStringLiteral("?"), Q((*u).*f.Sha256));
  }
  FirmwareTxt->setText(firmware.join(QLatin1Char('\n')));
  FirmwareTxt->setVisible(!firmware.isEmpty());
  std::string bytes, why;
  if (!FHistory.Transcript(u->Id, bytes, why)) {
    TranscriptTxt->setPlainText(Q(why));
    return;
  }
  // One entry a line, each ended by CR alone; bytes as Latin-1, so that
  // none is lost.
  QString text = QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  TranscriptTxt->setPlainText(bytes.empty() ? QStringLiteral("(no transcript)") : text);
}

void TStatsWindow::ShowStatus() {
  const std::vector<const TGoldenHealth*> drifted = FFigures.Drifted();
  QStringList warnings;
  for (const TGoldenHealth* h : drifted) warnings << QStringLiteral("\u26a0 ") + Q(h->Warning());
  WarningTxt->setText(warnings.join(QLatin1Char('\n')));
  WarningTxt->setVisible(!warnings.isEmpty());
  Tabs->setTabText(4, drifted.empty() ? QStringLiteral("Golden reference") : QStringLiteral("Golden reference \u26a0"));

  if (!FHistory.Error().empty()) {
    StatusTxt->setStyleSheet(QStringLiteral("QLabel { color: %1; font-weight: bold; }").arg(kFailed.name()));
    StatusTxt->setText(Q(FHistory.Error()));
    return;
  }
  StatusTxt->setStyleSheet(QString());
  if (FHistory.Path().empty()) {
    StatusTxt->setText(QStringLiteral("No records file open."));
    return;
  }
  const TGroupFigures& t = FFigures.Total;
  QString text = QStringLiteral(
                     "%1 (schema version %2): %3 of %4 units shown, yield %5 (%6 failed, %7 aborted, "
                     "%8 analysis only)")
                     .arg(Q(FHistory.Path()))
                     .arg(FHistory.SchemaVersion())
                     .arg(t.Units)
                     .arg(FHistory.UnitCount())
                     .arg(Percent(t.Yield()))
                     .arg(t.Failed)
                     .arg(t.Aborted)
                     .arg(t.Analysis);
  if (FHistory.Skipped() > 0)
    text += QStringLiteral("; %1 records left out for an unreadable time").arg(FHistory.Skipped());
  text += QLatin1Char('.');
  if (!FHistory.Note().empty()) text += QLatin1Char(' ') + Q(FHistory.Note());
  StatusTxt->setText(text);
}

void TStatsWindow::ShowStored() {
  QChart* chart = NewChart(QStringLiteral("Distribution of stored values"));
  const std::map<int, int>& values = FFigures.StoredValues;
  if (!values.empty()) {
    const int lo = values.begin()->first, hi = values.rbegin()->first;
    // At most 60 bars: a wide range goes into bins of several values.
    const int width = std::max(1, (hi - lo + 60) / 60);
    auto* set = new QBarSet(QStringLiteral("units"));
    set->setColor(kAnalysis);
    QStringList names;
    int most = 0;
    for (int from = lo; from <= hi; from += width) {
      int count = 0;
      for (auto it = values.lower_bound(from); it != values.end() && it->first < from + width; ++it)
        count += it->second;
      *set << count;
      most = std::max(most, count);
      names << (width == 1 ? QString::number(from) : QStringLiteral("%1..%2").arg(from).arg(from + width - 1));
    }
    auto* series = new QBarSeries;
    series->append(set);
    series->setBarWidth(0.9);
    auto* x = new QBarCategoryAxis;
    x->append(names);
    x->setTitleText(QStringLiteral("stored value (steps)"));
    chart->addAxis(x, Qt::AlignBottom);
    QValueAxis* y = ValueAxis(chart, QStringLiteral("units"), Qt::AlignLeft);
    Attach(chart, series, {x, y});
    CountAxis(y, most);
    chart->legend()->hide();
  } else {
    SetNote(chart, FFigures.Total.Units == 0 ? QStringLiteral("no units") : QStringLiteral("no stored values"));
  }
  Replace(StoredView, chart);
}

void TStatsWindow::ShowYield() {
  const bool hours = !FFigures.Hours.empty();
  const std::vector<TGroupFigures>& groups = TimeGroups(FFigures);
  QChart* days =
      NewChart(hours ? QStringLiteral("Units and yield per hour") : QStringLiteral("Units and yield per day"));
  if (!groups.empty()) {
    const qint64 span = hours ? kHourMs : kDayMs;
    QDateTimeAxis* x = TimeAxis(days, static_cast<qint64>(GroupX(groups.front().Key)) - span / 2,
                                static_cast<qint64>(GroupX(groups.back().Key)) + span / 2);
    QValueAxis* count = ValueAxis(days, QStringLiteral("units"), Qt::AlignLeft);
    QValueAxis* yield = ValueAxis(days, QStringLiteral("yield (%)"), Qt::AlignRight);
    struct TLine {
      const char* Name;
      QColor Color;
      int TGroupFigures::*Count;
    };
    const TLine lines[] = {{"success", kSuccess, &TGroupFigures::Success},
                           {"failed", kFailed, &TGroupFigures::Failed},
                           {"aborted", kAborted, &TGroupFigures::Aborted},
                           {"analysis only", kAnalysis, &TGroupFigures::Analysis}};
    int most = 1;
    for (const TLine& l : lines) {
      QList<QPointF> points;
      for (const TGroupFigures& g : groups) {
        points << QPointF(GroupX(g.Key), g.*l.Count);
        most = std::max(most, g.*l.Count);
      }
      Attach(days, Line(QString::fromLatin1(l.Name), Pen(l.Color), points), {x, count});
    }
    QList<QPointF> points;
    for (const TGroupFigures& g : groups)
      if (g.Yield()) points << QPointF(GroupX(g.Key), *g.Yield() * 100);
    Attach(days, Line(QStringLiteral("yield"), Pen(Qt::black, 3), points), {x, yield});
    CountAxis(count, most);
    Ticks(yield, 0, 100, 20, "%.0f");
  } else {
    SetNote(days, QStringLiteral("no units"));
  }
  Replace(DayView, days);

  QChart* stations = NewChart(QStringLiteral("Outcomes per station"));
  if (!FFigures.Stations.empty()) {
    auto* series = new QStackedBarSeries;
    struct TSet {
      const char* Name;
      QColor Color;
      int TGroupFigures::*Count;
    };
    const TSet sets[] = {{"success", kSuccess, &TGroupFigures::Success},
                         {"failed", kFailed, &TGroupFigures::Failed},
                         {"aborted", kAborted, &TGroupFigures::Aborted},
                         {"analysis only", kAnalysis, &TGroupFigures::Analysis}};
    for (const TSet& s : sets) {
      auto* set = new QBarSet(QString::fromLatin1(s.Name));
      set->setColor(s.Color);
      for (const TGroupFigures& g : FFigures.Stations) *set << g.*s.Count;
      series->append(set);
    }
    int most = 1;
    auto* x = new QBarCategoryAxis;
    for (const TGroupFigures& g : FFigures.Stations) {
      x->append(QStringLiteral("%1 (%2)").arg(Q(g.Key), Percent(g.Yield())));
      most = std::max(most, g.Units);
    }
    stations->addAxis(x, Qt::AlignBottom);
    QValueAxis* y = ValueAxis(stations, QStringLiteral("units"), Qt::AlignLeft);
    Attach(stations, series, {x, y});
    CountAxis(y, most);
  } else {
    SetNote(stations, QStringLiteral("no units"));
  }
  Replace(StationView, stations);
}

void TStatsWindow::ShowReasons() {
  QChart* chart = NewChart(QStringLiteral("Failure reasons"));
  const auto& reasons = FFigures.Reasons;
  if (!reasons.empty()) {
    const size_t shown = std::min<size_t>(reasons.size(), 10);
    auto* set = new QBarSet(QStringLiteral("units"));
    set->setColor(kFailed);
    auto* y = new QBarCategoryAxis;
    // The most frequent at the top: the axis runs upwards.
    for (size_t i = shown; i-- > 0;) {
      *set << reasons[i].second;
      QString name = Q(reasons[i].first);
      if (name.size() > 48) name = name.left(47) + QChar(0x2026);
      y->append(name);
    }
    auto* series = new QHorizontalBarSeries;
    series->append(set);
    chart->addAxis(y, Qt::AlignLeft);
    QValueAxis* x = ValueAxis(chart, QStringLiteral("units"), Qt::AlignBottom);
    Attach(chart, series, {x, y});
    CountAxis(x, reasons.front().second);
    chart->legend()->hide();
  } else {
    SetNote(chart, FFigures.Total.Units == 0 ? QStringLiteral("no units") : QStringLiteral("no failed units"));
  }
  Replace(ReasonsView, chart);
  FillTable(DaysTable, "Day", FFigures.Days);
  FillTable(StationsTable, "Station", FFigures.Stations);
}

void TStatsWindow::FillTable(QTableWidget* table, const char* keyName, const std::vector<TGroupFigures>& groups) {
  const QStringList header = {QString::fromLatin1(keyName), QStringLiteral("Units"),
                              QStringLiteral("Success"),    QStringLiteral("Failed"),
                              QStringLiteral("Aborted"),    QStringLiteral("Analysis"),
                              QStringLiteral("Yield"),      QStringLiteral("Top failure reason")};
  table->clear();
  table->setColumnCount(static_cast<int>(header.size()));
  table->setHorizontalHeaderLabels(header);
  table->setRowCount(static_cast<int>(groups.size()));
  for (int r = 0; r < static_cast<int>(groups.size()); ++r) {
    const TGroupFigures& g = groups[static_cast<size_t>(r)];
    const QString cells[] = {Q(g.Key),
                             QString::number(g.Units),
                             QString::number(g.Success),
                             QString::number(g.Failed),
                             QString::number(g.Aborted),
                             QString::number(g.Analysis),
                             Percent(g.Yield()),
                             Q(g.TopReason())};
    for (int c = 0; c < static_cast<int>(std::size(cells)); ++c) table->setItem(r, c, new QTableWidgetItem(cells[c]));
  }
  table->resizeColumnsToContents();
}

void TStatsWindow::ShowQuality() {
  const bool hours = !FFigures.Hours.empty();
  const std::vector<TGroupFigures>& groups = TimeGroups(FFigures);
  QChart* chart =
      NewChart(hours ? QStringLiteral("Measurement quality per hour") : QStringLiteral("Measurement quality per day"));
  QList<QPointF> r, a;
  for (const TGroupFigures& g : groups) {
    if (g.RssiMean()) r << QPointF(GroupX(g.Key), *g.RssiMean());
    if (g.AfcSpreadMean()) a << QPointF(GroupX(g.Key), *g.AfcSpreadMean());
  }
  if (!r.isEmpty() || !a.isEmpty()) {
    const qint64 span = hours ? kHourMs : kDayMs;
    QDateTimeAxis* x = TimeAxis(chart, static_cast<qint64>(GroupX(groups.front().Key)) - span / 2,
                                static_cast<qint64>(GroupX(groups.back().Key)) + span / 2);
    QValueAxis* rssiAxis = ValueAxis(chart, QStringLiteral("average RSSI"), Qt::AlignLeft);
    QValueAxis* afcAxis = ValueAxis(chart, QStringLiteral("AFC spread (AFC units)"), Qt::AlignRight);
    Attach(chart, Line(QStringLiteral("average RSSI"), Pen(kAnalysis), r), {x, rssiAxis});
    Attach(chart, Line(QStringLiteral("AFC spread"), Pen(kAborted), a), {x, afcAxis});
    auto range = [](const QList<QPointF>& points, double& lo, double& hi) {
      lo = hi = points.isEmpty() ? 0 : points[0].y();
      for (const QPointF& p : points) {
        lo = std::min(lo, p.y());
        hi = std::max(hi, p.y());
      }
    };
    // The RSSI of a unit is an average in whole counts, the AFC spread a
    // whole number of AFC units: the axes never resolve less than that.
    double lo = 0, hi = 0;
    range(r, lo, hi);
    MeasureAxis(rssiAxis, lo, hi, 1, 4, false);
    range(a, lo, hi);
    MeasureAxis(afcAxis, lo, hi, 1, 2, true);
  } else {
    SetNote(chart, FFigures.Total.Units == 0 ? QStringLiteral("no units") : QStringLiteral("no measurements"));
  }
  Replace(QualityView, chart);
}

void TStatsWindow::ShowGolden() {
  const std::vector<const TGoldenHealth*> drifted = FFigures.Drifted();
  QChart* chart = NewChart(QStringLiteral("Golden reference: running mean against its baseline"));
  if (!drifted.empty()) {
    QStringList names;
    for (const TGoldenHealth* h : drifted) names << Q(h->GoldenId);
    chart->setTitle(QStringLiteral("\u26a0 DRIFT: golden reference %1 beyond \u00b1%2 steps")
                        .arg(names.join(QStringLiteral(", ")))
                        .arg(FGolden.Threshold, 0, 'f', 1));
    chart->setTitleBrush(kAlarm);
    chart->setBackgroundBrush(QColor(0xff, 0xeb, 0xee));
  }
  QStringList lines;
  qint64 from = 0, to = 0;
  double most = FGolden.Threshold + 1;
  bool any = false;
  int largest = 0;
  for (const TGoldenHealth& h : FFigures.Golden) {
    lines << Q(h.Summary());
    largest = std::max(largest, h.Units);
    if (h.Points.empty()) continue;
    const qint64 a = h.Points.front().TimeMs, b = h.Points.back().TimeMs;
    from = any ? std::min(from, a) : a;
    to = any ? std::max(to, b) : b;
    any = true;
    for (const TGoldenPoint& p : h.Points) most = std::max(most, std::fabs(p.Shift));
  }
  const int first = FGolden.BaselineUnits + records::kGoldenWindow;
  GoldenTxt->setText(lines.isEmpty() ? QStringLiteral("No unit shown names a golden reference.")
                                     : QStringLiteral("Baseline: the mean of each golden reference's first %1 "
                                                      "units; shift: the mean of its last %2 units minus the "
                                                      "baseline, from its unit %3 on.\n")
                                               .arg(FGolden.BaselineUnits)
                                               .arg(records::kGoldenWindow)
                                               .arg(first) +
                                           lines.join(QLatin1Char('\n')));
  if (any) {
    QDateTimeAxis* x = TimeAxis(chart, from, std::max(to, from + 1));
    QValueAxis* y = ValueAxis(chart, QStringLiteral("shift from baseline (steps)"), Qt::AlignLeft);
    const double edge = std::ceil(most + 0.5);
    Ticks(y, -edge, edge, NiceStep(2 * edge, 1), "%+.0f");
    for (double sign : {1.0, -1.0}) {
      auto* limit = new QLineSeries;
      limit->setName(sign > 0 ? QStringLiteral("threshold \u00b1%1").arg(FGolden.Threshold, 0, 'f', 1) : QString());
      QPen pen(kAlarm);
      pen.setStyle(Qt::DashLine);
      pen.setWidth(2);
      limit->setPen(pen);
      limit->append(static_cast<qreal>(x->min().toMSecsSinceEpoch()), sign * FGolden.Threshold);
      limit->append(static_cast<qreal>(x->max().toMSecsSinceEpoch()), sign * FGolden.Threshold);
      Attach(chart, limit, {x, y});
      if (sign < 0) chart->legend()->markers(limit).front()->setVisible(false);
    }
    auto* over = new QScatterSeries;
    over->setName(QStringLiteral("beyond the threshold"));
    over->setColor(kAlarm);
    over->setBorderColor(kAlarm);
    over->setMarkerSize(9);
    QList<QPointF> marks;
    size_t steady = 0;
    for (const TGoldenHealth& h : FFigures.Golden) {
      if (h.Points.empty()) continue;
      // Each unit where and when it was tuned.
      QList<QPointF> points;
      for (size_t i : Thinned(h.Points.size(), kMaxLinePoints))
        points << QPointF(static_cast<qreal>(h.Points[i].TimeMs), h.Points[i].Shift);
      const QColor color = h.Drifted ? kAlarm.darker(130) : kSteady[steady++ % std::size(kSteady)];
      Attach(chart,
             Line(Q(h.GoldenId) + (h.Drifted ? QStringLiteral(" \u26a0") : QString()), Pen(color, h.Drifted ? 3 : 2),
                  points),
             {x, y});
      std::vector<size_t> beyond;
      for (size_t i = 0; i < h.Points.size(); ++i)
        if (h.Points[i].Over) beyond.push_back(i);
      for (size_t i : Thinned(beyond.size(), kMaxLinePoints / 4)) {
        const TGoldenPoint& p = h.Points[beyond[i]];
        marks << QPointF(static_cast<qreal>(p.TimeMs), p.Shift);
      }
    }
    over->replace(marks);
    Attach(chart, over, {x, y});
  } else if (FFigures.Golden.empty()) {
    SetNote(chart, QStringLiteral("no unit names a golden reference"));
  } else {
    SetNote(chart, QStringLiteral("golden health needs %1 units")
                       .arg(largest < FGolden.BaselineUnits ? FGolden.BaselineUnits : first));
  }
  Replace(GoldenView, chart);
}

std::vector<std::pair<QString, QChartView*>> TStatsWindow::Charts() const {
  return {{QStringLiteral("stored-values"), StoredView},      {QStringLiteral("yield-per-day"), DayView},
          {QStringLiteral("yield-per-station"), StationView}, {QStringLiteral("failure-reasons"), ReasonsView},
          {QStringLiteral("quality"), QualityView},           {QStringLiteral("golden-reference"), GoldenView}};
}

QString TStatsWindow::Note(const QChartView* view) {
  return view->chart()->property("note").toString();
}

bool TStatsWindow::ExportCsv(const QString& file, QString* error) {
  const QFileInfo info(file);
  const QString stem = info.path() + QLatin1Char('/') + info.completeBaseName();
  const TRecordQuery query = FModel->Query();
  return WriteFile(
             file, [&](std::ostream& out) { return WriteRecordsCsv(out, FHistory, query); }, error) &&
         WriteFile(
             stem + QStringLiteral("-days.csv"),
             [this](std::ostream& out) {
               WriteGroupsCsv(out, "day", FFigures.Days);
               return true;
             },
             error) &&
         WriteFile(
             stem + QStringLiteral("-stations.csv"),
             [this](std::ostream& out) {
               WriteGroupsCsv(out, "station", FFigures.Stations);
               return true;
             },
             error) &&
         WriteFile(
             stem + QStringLiteral("-golden.csv"),
             [this](std::ostream& out) {
               WriteGoldenCsv(out, FFigures.Golden);
               return true;
             },
             error);
}

bool TStatsWindow::ExportPng(const QString& dir, QString* error) {
  if (!QDir().mkpath(dir)) {
    if (error != nullptr) *error = QStringLiteral("Cannot make the folder %1.").arg(dir);
    return false;
  }
  for (const auto& [name, view] : Charts()) {
    // The chart goes into a view of the report's size for the picture, so
    // that neither the window's size nor its being shown matter.
    QChartView shot;
    shot.resize(kPngSize);
    QChart* chart = view->chart();
    view->setChart(new QChart);
    QChart* blank = shot.chart();
    shot.setChart(chart);
    const QPixmap picture = shot.grab();
    shot.setChart(blank);
    Replace(view, chart);
    const QString path = QDir(dir).filePath(name + QStringLiteral(".png"));
    if (!picture.save(path)) {
      if (error != nullptr) *error = QStringLiteral("Cannot write %1.").arg(path);
      return false;
    }
  }
  return true;
}

void TStatsWindow::BrowseRecords() {
  const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open records"), QString(),
                                                    QStringLiteral("Records (*.records);;All files (*)"));
  if (!path.isEmpty()) OpenRecords(path);
}

void TStatsWindow::BrowseCsv() {
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"), QStringLiteral("units.csv"),
                                                    QStringLiteral("CSV (*.csv)"));
  QString error;
  if (!path.isEmpty() && !ExportCsv(path, &error)) StatusTxt->setText(error);
}

void TStatsWindow::BrowsePng() {
  const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("Export PNG into"));
  QString error;
  if (!dir.isEmpty() && !ExportPng(dir, &error)) StatusTxt->setText(error);
}

}  // namespace qv
