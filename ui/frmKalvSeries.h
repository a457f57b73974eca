// TfmKalvSeries: the series dialog. The user picks several pictures; the whole picture and the
// window's current regions are measured over each of them in the background (cli/untSeries, the
// code of kalvex --measure), and a table (file, camera settings, area, channel, S/N, S mean,
// N mean, clipped) and the S/N plot show side by side for the chosen channel. The table, its CSV
// (kalvex --measure --format csv) and the plot (SVG or PNG) can be taken out of it.
//
// Threads: the dialog lives on the main thread. The series runs on two threads of its own; they
// reach the dialog only through queued calls, tagged with the run they belong to, so a result of
// a stopped run is dropped. Closing the dialog stops its series; destroying it also waits for the
// series' threads (a stop ends them within a fraction of a second) before the queued calls go.
#pragma once

#include <QDialog>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/untKalvMainConstType.h"
#include "cli/untMeasure.h"
#include "engine/untKalvPlot.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTableWidget;
class TOpenDialog;
class TSaveDialog;
class TSeriesRun;

// Paints a TPlot with the one plot routine (engine/untKalvPlot).
class TSeriesPlotView : public QWidget {
public:
  using QWidget::QWidget;
  void SetPlot(TPlot Plot);
  const TPlot &Plot() const { return FPlot; }

protected:
  void paintEvent(QPaintEvent *Event) override;

private:
  TPlot FPlot;
};

class TfmKalvSeries : public QDialog {
public:
  explicit TfmKalvSeries(QWidget *Parent = nullptr);
  ~TfmKalvSeries() override;

  // ---- components ----
  QPushButton *btnFiles = nullptr;
  QPushButton *btnCancel = nullptr;
  QComboBox *cbxChannel = nullptr; // the channels by MeasureChannelNames, then "all channels"
  QComboBox *cbxAxis = nullptr;    // automatic, ISO, exposure, file
  QSplitter *splSeries = nullptr;
  QTableWidget *grdSeries = nullptr;
  TSeriesPlotView *pbxPlot = nullptr;
  QProgressBar *prgSeries = nullptr;
  QLabel *lblState = nullptr;
  QPushButton *btnCopy = nullptr;
  QPushButton *btnCsv = nullptr;
  QPushButton *btnPlot = nullptr;
  QPushButton *btnClose = nullptr;
  std::unique_ptr<TOpenDialog> dlgFiles;
  std::unique_ptr<TSaveDialog> dlgCsv;
  std::unique_ptr<TSaveDialog> dlgPlot;

  // The regions to measure besides the whole picture (the window's current ones).
  std::function<std::vector<TRegionArg>()> OnRegions;
  // Runs a file dialog with its group's remembered folder (the main module's); unset: the
  // dialog's own Execute.
  std::function<bool(TOpenDialog &Dialog, TFileDialogGroup Group)> OnExecuteDialog;

  enum TFileState { fsWaiting, fsMeasuring, fsDone, fsStopped };

  // Asks for the pictures and starts their series ("pictures..."); false when cancelled.
  bool ChooseFiles();
  // Measures Files with OnRegions' regions; a series under way is stopped (and dropped) first.
  void Start(const std::vector<std::string> &Files);
  // Stops the series: running files end early, waiting ones do not start ("stopped").
  void Cancel();
  bool Running() const { return FRun != nullptr; }
  TFileState State(std::size_t Index) const { return FFiles[Index].State; }
  std::size_t FileCount() const { return FFiles.size(); }

  // The files done (measured or failed) in the series' order, as kalvex --measure orders them.
  std::vector<TFileResult> Results() const;
  // The axis of the plot and of the order.
  TSeriesAxis Axis() const;
  // The chosen channels (one, or all).
  std::vector<int> Channels() const;
  // The table as tab-separated text, header first ("copy table").
  std::string TableText() const;
  // Writes the CSV of Results() (kalvex --measure --format csv) / the plot, replacing the file.
  void ExportCsv(const std::string &FileName) const;
  void SavePlotFile(const std::string &FileName) const;

protected:
  void closeEvent(QCloseEvent *Event) override;
  void reject() override;

private:
  struct TFile {
    std::string Name;
    TFileState State = fsWaiting;
    TFileResult Result;
  };
  void CreateComponents();
  void FileStarted(unsigned Run, std::size_t Index);
  void FileDone(unsigned Run, std::size_t Index, TFileResult Result);
  void SeriesFinished(unsigned Run);
  // Table, plot and state from FFiles.
  void Refresh();
  void UpdateState();
  bool ExecuteDialog(TOpenDialog &Dialog, TFileDialogGroup Group);
  void CopyTable();
  void ExportCsvCommand();
  void SavePlotCommand();

  std::vector<TFile> FFiles;
  std::unique_ptr<TSeriesRun> FRun;
  unsigned FRunNumber = 0; // tags the queued calls of the run under way
  bool FStopping = false;
};
