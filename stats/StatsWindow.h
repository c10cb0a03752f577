// TStatsWindow: qvstats' window over a records file. Filters (days,
// station), the golden reference's threshold, the charts of the figures,
// the records shown a page at a time (searched by radio address) with the
// transcript of the one selected, and exports to CSV and PNG. The figures
// come from THistory; this class only shows them. A chart with nothing to
// show says why in its middle.
#pragma once

#include <QMainWindow>
#include <QString>

#include <memory>
#include <vector>

#include "stats/History.h"

class QChart;
class QChartView;
class QDateEdit;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTableView;
class QTableWidget;

namespace qv {

class TRecordsModel;

class TStatsWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit TStatsWindow(QWidget* parent = nullptr);
  ~TStatsWindow() override;

  // Reads the records file; on failure the window says why in its status
  // line, shows no records, and false is returned.
  bool OpenRecords(const QString& path);
  // Empty strings leave a bound open; an unknown station shows none.
  void SetFilter(const TFilter& filter);
  void SetThreshold(double steps);
  // The records table lists the records of this radio address only (empty:
  // all); the charts stay those of the days and station.
  void SetAddress(const QString& address);
  // ... and of the units that got the firmware file of this SHA-256.
  void SetFirmware(const QString& sha256);

  // The records shown to file; beside it (NAME-days.csv, NAME-stations.csv,
  // NAME-golden.csv) the figures per day, per station and per golden
  // reference. False with error set when a file cannot be written.
  bool ExportCsv(const QString& file, QString* error);
  // Each chart to DIR/NAME.png at a report's size.
  bool ExportPng(const QString& dir, QString* error);

  const THistory& History() const { return FHistory; }
  const TFigures& Figures() const { return FFigures; }
  TFilter Filter() const;
  // Chart views and the names their PNG files take.
  std::vector<std::pair<QString, QChartView*>> Charts() const;
  // What a chart says in its middle when it has nothing to show; empty
  // when it shows something.
  static QString Note(const QChartView* view);

  // ---- controls ----
  QPushButton* OpenBut;
  QDateEdit* FromEdit;
  QDateEdit* ToEdit;
  QComboBox* StationCombo;
  QDoubleSpinBox* ThresholdSpin;
  QPushButton* CsvBut;
  QPushButton* PngBut;
  QLabel* WarningTxt;  // the golden references that drifted; hidden when none
  QLabel* StatusTxt;   // the file, the units shown, or why nothing is
  QTabWidget* Tabs;
  QChartView* StoredView;
  QChartView* DayView;
  QChartView* StationView;
  QChartView* ReasonsView;
  QTableWidget* DaysTable;
  QTableWidget* StationsTable;
  QChartView* QualityView;
  QChartView* GoldenView;
  QLabel* GoldenTxt;
  QLineEdit* AddressEdit;
  QLineEdit* FirmwareEdit;
  QLabel* FirmwareTxt;  // the selected record's firmware identities
  QTableView* RecordsView;
  QPlainTextEdit* TranscriptTxt;  // the selected record's transcript

 private:
  void Refresh();
  void ShowRecords();
  void ShowStored();
  void ShowYield();
  void ShowReasons();
  void ShowQuality();
  void ShowGolden();
  void ShowStatus();
  void ShowTranscript();
  void FillTable(QTableWidget* table, const char* keyName, const std::vector<TGroupFigures>& groups);
  void BrowseRecords();
  void BrowseCsv();
  void BrowsePng();

  THistory FHistory;
  TFigures FFigures;
  TGoldenOptions FGolden;
  bool FLoading = false;
  std::unique_ptr<TRecordsModel> FModel;
};

}  // namespace qv
