#include "ui/frmKalvSeries.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cstdio>
#include <sstream>

#include "app/untKalvExif.h"
#include "cli/untSeries.h"
#include "engine/untKalvPicJobData.h"
#include "platform/untApplication.h"
#include "platform/untClasses.h"
#include "platform/untDialogs.h"

namespace {

const char *const Columns[] = {"file", "ISO", "exposure", "f-number", "area", "channel",
                               "S/N dB", "S mean", "N mean", "clipped"};
constexpr int ColumnCount = 10;
constexpr int FirstFigureColumn = 1; // a message row spans from here

// Two decimals of the window's single-precision figures, as kalvex --measure's text shows them.
QString Fixed2(std::optional<float> V) {
  if (!V) return QStringLiteral("-");
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(*V));
  return QString::fromLatin1(buf);
}

QString Number(std::optional<double> V, const char *Format) {
  if (!V) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, Format, *V);
  return QString::fromLatin1(buf);
}

QString AreaText(const TAreaResult &A) {
  if (!A.IsRegion) return QStringLiteral("picture");
  return QStringLiteral("region %1,%2 %3 x %4").arg(A.Left).arg(A.Top).arg(A.Width).arg(A.Height);
}

} // namespace

void TSeriesPlotView::SetPlot(TPlot Plot) {
  FPlot = std::move(Plot);
  update();
}

void TSeriesPlotView::paintEvent(QPaintEvent *) {
  QPainter p(this);
  DrawPlot(p, QRectF(rect()), FPlot);
}

TfmKalvSeries::TfmKalvSeries(QWidget *Parent) : QDialog(Parent) {
  setObjectName(QStringLiteral("fmKalvSeries"));
  setWindowTitle(QStringLiteral("Kalvex - series"));
  CreateComponents();
  Refresh();
}

TfmKalvSeries::~TfmKalvSeries() {
  // Its threads end before the dialog's queued calls are dropped with it.
  FRun.reset();
}

void TfmKalvSeries::CreateComponents() {
  auto *top = new QHBoxLayout;
  btnFiles = new QPushButton(QStringLiteral("&pictures..."), this);
  btnFiles->setToolTip(QStringLiteral("choose the pictures to measure with the window's regions"));
  btnCancel = new QPushButton(QStringLiteral("&cancel"), this);
  btnCancel->setToolTip(QStringLiteral("stop the series"));
  cbxChannel = new QComboBox(this);
  for (int c = 0; c < MeasureChannelCount; ++c) cbxChannel->addItem(QString::fromUtf8(MeasureChannelNames[c]));
  cbxChannel->addItem(QStringLiteral("all channels"));
  cbxChannel->setCurrentIndex(ncL);
  cbxAxis = new QComboBox(this);
  cbxAxis->addItems({QStringLiteral("by ISO if known"), QStringLiteral("by ISO"), QStringLiteral("by exposure"),
                     QStringLiteral("by file")});
  auto *channelLabel = new QLabel(QStringLiteral("c&hannel:"), this);
  channelLabel->setBuddy(cbxChannel);
  auto *axisLabel = new QLabel(QStringLiteral("&order:"), this);
  axisLabel->setBuddy(cbxAxis);
  top->addWidget(btnFiles);
  top->addWidget(btnCancel);
  top->addSpacing(12);
  top->addWidget(channelLabel);
  top->addWidget(cbxChannel);
  top->addWidget(axisLabel);
  top->addWidget(cbxAxis);
  top->addStretch(1);

  splSeries = new QSplitter(Qt::Horizontal, this);
  grdSeries = new QTableWidget(0, ColumnCount, splSeries);
  QStringList header;
  for (const char *c : Columns) header << QString::fromLatin1(c);
  grdSeries->setHorizontalHeaderLabels(header);
  grdSeries->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grdSeries->setSelectionBehavior(QAbstractItemView::SelectRows);
  grdSeries->verticalHeader()->hide();
  grdSeries->setWordWrap(false);
  pbxPlot = new TSeriesPlotView(splSeries);
  pbxPlot->setMinimumSize(320, 240);
  splSeries->addWidget(grdSeries);
  splSeries->addWidget(pbxPlot);
  splSeries->setStretchFactor(0, 3);
  splSeries->setStretchFactor(1, 2);

  auto *bottom = new QHBoxLayout;
  prgSeries = new QProgressBar(this);
  prgSeries->setFormat(QStringLiteral("%v of %m"));
  lblState = new QLabel(this);
  btnCopy = new QPushButton(QStringLiteral("c&opy table"), this);
  btnCsv = new QPushButton(QStringLiteral("export &CSV..."), this);
  btnPlot = new QPushButton(QStringLiteral("save p&lot..."), this);
  btnClose = new QPushButton(QStringLiteral("close"), this);
  bottom->addWidget(prgSeries, 1);
  bottom->addWidget(lblState, 2);
  bottom->addWidget(btnCopy);
  bottom->addWidget(btnCsv);
  bottom->addWidget(btnPlot);
  bottom->addWidget(btnClose);

  auto *layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(splSeries, 1);
  layout->addLayout(bottom);
  // Room for the table's columns and a readable plot, in units of the interface font.
  const int em = fontMetrics().height();
  QSize size(em * 80, em * 34);
  // No larger than the screen (a large interface font, a scaled desktop).
  if (const QScreen *screen = QGuiApplication::primaryScreen())
    size = size.boundedTo(screen->availableGeometry().size() - QSize(16, 40));
  resize(size);
  // The table's ten columns in full; the plot takes the rest.
  splSeries->setSizes({em * 46, em * 30});

  dlgFiles = std::make_unique<TOpenDialog>();
  dlgFiles->SetName("dlgSeriesFiles");
  dlgFiles->Title = "Series: pictures to measure";
  dlgFiles->Filter = "Pictures and projects (*.jpe, *.jpeg, *.jpg, *.bmp, *.KalvexProject)|"
                     "*.jpe;*.jpeg;*.jpg;*.bmp;*.KalvexProject|All Files (*.*)|*.*";
  dlgFiles->DefaultExt = "jpg";
  dlgFiles->Options = {ofHideReadOnly, ofAllowMultiSelect, ofFileMustExist, ofPathMustExist, ofEnableSizing};
  const TOpenOptions saveOptions = {ofOverwritePrompt, ofPathMustExist, ofNoTestFileCreate, ofHideReadOnly,
                                    ofEnableSizing};
  dlgCsv = std::make_unique<TSaveDialog>();
  dlgCsv->SetName("dlgSeriesCsv");
  dlgCsv->Title = "Series: export CSV";
  dlgCsv->Filter = "CSV file (*.csv)|*.csv|All Files (*.*)|*.*";
  dlgCsv->DefaultExt = "csv";
  dlgCsv->Options = saveOptions;
  dlgPlot = std::make_unique<TSaveDialog>();
  dlgPlot->SetName("dlgSeriesPlot");
  dlgPlot->Title = "Series: save plot";
  dlgPlot->Filter = "SVG picture (*.svg)|*.svg|PNG picture (*.png)|*.png";
  dlgPlot->DefaultExt = "svg";
  dlgPlot->Options = saveOptions;

  connect(btnFiles, &QPushButton::clicked, this, [this] { CallGuarded([this] { ChooseFiles(); }); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { Cancel(); });
  connect(btnCopy, &QPushButton::clicked, this, [this] { CopyTable(); });
  connect(btnCsv, &QPushButton::clicked, this, [this] { CallGuarded([this] { ExportCsvCommand(); }); });
  connect(btnPlot, &QPushButton::clicked, this, [this] { CallGuarded([this] { SavePlotCommand(); }); });
  connect(btnClose, &QPushButton::clicked, this, [this] { close(); });
  connect(cbxChannel, &QComboBox::currentIndexChanged, this, [this] { Refresh(); });
  connect(cbxAxis, &QComboBox::currentIndexChanged, this, [this] { Refresh(); });
}

bool TfmKalvSeries::ExecuteDialog(TOpenDialog &Dialog, TFileDialogGroup Group) {
  return OnExecuteDialog ? OnExecuteDialog(Dialog, Group) : Dialog.Execute();
}

bool TfmKalvSeries::ChooseFiles() {
  if (!ExecuteDialog(*dlgFiles, fdgOpenPicture)) return false;
  std::vector<std::string> files = dlgFiles->Files;
  if (files.empty() && !dlgFiles->FileName.empty()) files.push_back(dlgFiles->FileName);
  if (files.empty()) return false;
  Start(files);
  return true;
}

void TfmKalvSeries::Start(const std::vector<std::string> &Files) {
  FRun.reset(); // a series under way stops; its queued calls carry the old number
  FStopping = false;
  const unsigned run = ++FRunNumber;
  FFiles.clear();
  for (const std::string &f : Files) FFiles.push_back(TFile{f, fsWaiting, {}});
  TSeriesCallbacks callbacks;
  callbacks.OnStart = [this, run](std::size_t Index) {
    QMetaObject::invokeMethod(this, [this, run, Index] { FileStarted(run, Index); }, Qt::QueuedConnection);
  };
  callbacks.OnDone = [this, run](std::size_t Index, const TFileResult &Result) {
    QMetaObject::invokeMethod(
        this, [this, run, Index, r = Result]() mutable { FileDone(run, Index, std::move(r)); }, Qt::QueuedConnection);
  };
  auto finished = [this, run] {
    QMetaObject::invokeMethod(this, [this, run] { SeriesFinished(run); }, Qt::QueuedConnection);
  };
  FRun = std::make_unique<TSeriesRun>(Files, OnRegions ? OnRegions() : std::vector<TRegionArg>{}, std::move(callbacks),
                                      std::move(finished));
  Refresh();
}

void TfmKalvSeries::Cancel() {
  if (!FRun) return;
  FRun->Stop();
  FStopping = true;
  UpdateState();
}

void TfmKalvSeries::FileStarted(unsigned Run, std::size_t Index) {
  if (Run != FRunNumber || Index >= FFiles.size()) return;
  FFiles[Index].State = fsMeasuring;
  Refresh();
}

void TfmKalvSeries::FileDone(unsigned Run, std::size_t Index, TFileResult Result) {
  if (Run != FRunNumber || Index >= FFiles.size()) return;
  FFiles[Index].State = fsDone;
  FFiles[Index].Result = std::move(Result);
  Refresh();
}

void TfmKalvSeries::SeriesFinished(unsigned Run) {
  if (Run != FRunNumber) return;
  FRun.reset(); // its thread is past its last call
  for (TFile &f : FFiles)
    if (f.State != fsDone) f.State = fsStopped;
  FStopping = false;
  Refresh();
}

std::vector<TFileResult> TfmKalvSeries::Results() const {
  std::vector<TFileResult> results;
  for (const TFile &f : FFiles)
    if (f.State == fsDone) results.push_back(f.Result);
  OrderSeries(results, SeriesAxis(results, static_cast<TSeriesAxis>(cbxAxis->currentIndex())));
  return results;
}

TSeriesAxis TfmKalvSeries::Axis() const {
  std::vector<TFileResult> results;
  for (const TFile &f : FFiles)
    if (f.State == fsDone) results.push_back(f.Result);
  return SeriesAxis(results, static_cast<TSeriesAxis>(cbxAxis->currentIndex()));
}

std::vector<int> TfmKalvSeries::Channels() const {
  const int c = cbxChannel->currentIndex();
  if (c >= 0 && c < MeasureChannelCount) return {c};
  std::vector<int> all;
  for (int i = 0; i < MeasureChannelCount; ++i) all.push_back(i);
  return all;
}

void TfmKalvSeries::Refresh() {
  const std::vector<TFileResult> results = Results();
  const std::vector<int> channels = Channels();
  grdSeries->clearSpans();
  grdSeries->setRowCount(0);
  const auto addRow = [&](const std::vector<QString> &Cells, const QString &File) {
    const int row = grdSeries->rowCount();
    grdSeries->insertRow(row);
    for (int c = 0; c < ColumnCount && c < static_cast<int>(Cells.size()); ++c) {
      auto *item = new QTableWidgetItem(Cells[static_cast<std::size_t>(c)]);
      if (c >= FirstFigureColumn) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      grdSeries->setItem(row, c, item);
    }
    grdSeries->item(row, 0)->setToolTip(File);
    return row;
  };
  // A row whose text after the file says what became of it (waiting, an error).
  const auto messageRow = [&](const QString &Name, const QString &File, int From, const QString &Text, bool Error) {
    std::vector<QString> cells(static_cast<std::size_t>(From), QString());
    cells[0] = Name;
    cells.push_back(Text);
    const int row = addRow(cells, File);
    grdSeries->item(row, From)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    if (Error) grdSeries->item(row, From)->setForeground(QColor(176, 0, 0));
    grdSeries->setSpan(row, From, 1, ColumnCount - From);
    return row;
  };
  for (const TFileResult &f : results) {
    const QString file = QString::fromStdString(f.File);
    const QString name = QFileInfo(file).fileName();
    if (!f.Error.empty()) {
      messageRow(name, file, FirstFigureColumn, QString::fromStdString(f.Error), true);
      continue;
    }
    const QString iso = Number(f.Camera.Iso, "%g");
    const QString exposure = f.Camera.ExposureTime ? QString::fromStdString(ExposureText(*f.Camera.ExposureTime)) : QString();
    const QString fnumber = f.Camera.FNumber ? QStringLiteral("f/") + Number(f.Camera.FNumber, "%g") : QString();
    for (const TAreaResult &a : f.Areas) {
      if (!a.Error.empty()) {
        const int row = messageRow(name, file, 4, QString::fromStdString("region " + a.Requested + ": " + a.Error), true);
        grdSeries->item(row, 1)->setText(iso);
        grdSeries->item(row, 2)->setText(exposure);
        grdSeries->item(row, 3)->setText(fnumber);
        continue;
      }
      for (int c : channels) {
        const TChannelFigures &ch = a.Channels[static_cast<std::size_t>(c)];
        const auto share = ClippedShareOf(ch);
        QString clipped = Number(share ? std::optional<double>(100.0 * *share) : std::nullopt, "%.1f%%");
        if (share && *share > ClippedMarkShare) clipped += QStringLiteral(" clipped");
        addRow({name, iso, exposure, fnumber, AreaText(a), QString::fromUtf8(MeasureChannelNames[c]), Fixed2(ch.SNRatio),
                Fixed2(ch.SMean), Fixed2(ch.NMean), clipped},
               file);
      }
    }
  }
  // Then the files still to come, in the order they were picked.
  for (const TFile &f : FFiles) {
    if (f.State == fsDone) continue;
    const QString file = QString::fromStdString(f.Name);
    const QString text = f.State == fsMeasuring ? QStringLiteral("measuring...")
                         : f.State == fsStopped ? QStringLiteral("stopped")
                                                : QStringLiteral("waiting");
    messageRow(QFileInfo(file).fileName(), file, FirstFigureColumn, text, false);
  }
  grdSeries->resizeColumnsToContents();
  pbxPlot->SetPlot(SeriesPlot(results, Axis(), channels));
  UpdateState();
}

void TfmKalvSeries::UpdateState() {
  std::size_t done = 0, failed = 0;
  for (const TFile &f : FFiles)
    if (f.State == fsDone) {
      ++done;
      if (!f.Result.Error.empty()) ++failed;
    }
  prgSeries->setRange(0, std::max<int>(1, static_cast<int>(FFiles.size())));
  prgSeries->setValue(static_cast<int>(done));
  QString state;
  if (FFiles.empty()) state = QStringLiteral("choose the pictures to measure");
  else if (FStopping) state = QStringLiteral("stopping...");
  else if (FRun) state = QStringLiteral("measuring");
  else if (done < FFiles.size()) state = QStringLiteral("stopped");
  else state = QStringLiteral("done");
  if (failed > 0) state += QStringLiteral(", %1 failed").arg(failed);
  lblState->setText(state);
  btnCancel->setEnabled(FRun != nullptr && !FStopping);
  btnFiles->setEnabled(FRun == nullptr);
  const bool any = done > 0;
  btnCopy->setEnabled(any);
  btnCsv->setEnabled(any);
  btnPlot->setEnabled(any);
}

std::string TfmKalvSeries::TableText() const {
  std::string text;
  for (int c = 0; c < ColumnCount; ++c) text += std::string(c > 0 ? "\t" : "") + Columns[c];
  text += "\n";
  for (int r = 0; r < grdSeries->rowCount(); ++r) {
    for (int c = 0; c < ColumnCount; ++c) {
      if (c > 0) text += "\t";
      if (const QTableWidgetItem *item = grdSeries->item(r, c)) text += item->text().toStdString();
    }
    text += "\n";
  }
  return text;
}

void TfmKalvSeries::CopyTable() { QGuiApplication::clipboard()->setText(QString::fromStdString(TableText())); }

void TfmKalvSeries::ExportCsv(const std::string &FileName) const {
  std::ostringstream out;
  WriteCsv(out, Results(), false);
  const std::string csv = out.str();
  WriteFileAtomically(FileName, csv.data(), csv.size());
}

void TfmKalvSeries::SavePlotFile(const std::string &FileName) const {
  SavePlot(SeriesPlot(Results(), Axis(), Channels()), FileName);
}

void TfmKalvSeries::ExportCsvCommand() {
  if (ExecuteDialog(*dlgCsv, fdgProject)) ExportCsv(dlgCsv->FileName);
}

void TfmKalvSeries::SavePlotCommand() {
  if (ExecuteDialog(*dlgPlot, fdgProject)) SavePlotFile(dlgPlot->FileName);
}

void TfmKalvSeries::closeEvent(QCloseEvent *Event) {
  Cancel();
  QDialog::closeEvent(Event);
}

void TfmKalvSeries::reject() {
  Cancel();
  QDialog::reject();
}
