// The main window's desktop conveniences: copying and exporting the figures, files dropped onto
// the window, an initial size that fits the screen, a right-hand side that keeps the figures in
// view, and the window's size, position, splitter and "same scale" kept in User.conf.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDir>
#include <QDropEvent>
#include <QLockFile>
#include <QStandardPaths>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QSplitter>
#include <QTabWidget>
#include <QUrl>
#include <algorithm>

#include "app/WideIniFile.h"
#include "app/WideMemIniCnfCtrl.h"
#include "app/dmdKalvMain.h"
#include "app/untKalvFileDialogConf.h"
#include "platform/untActions.h"
#include "platform/untApplication.h"
#include "platform/untClasses.h"
#include "platform/untDialogs.h"
#include "ui/fraKalvNoises.h"
#include "ui/frmKalvMain.h"
#include "ui/frmKalvSeries.h"
#include "ui/untKalvFigures.h"
#include "ui/untRectCntrl.h"

namespace {
// User.conf's section of the window; the dialogs' section "File" stays as it is.
constexpr const char *WindowSection = "Window";
} // namespace

void TfmKalvMain::CreateDesktopParts() {
  FCopyFigures = std::make_unique<TAction>();
  actNsCopyFigures = FCopyFigures.get();
  actNsCopyFigures->SetName("actNsCopyFigures");
  actNsCopyFigures->SetCaption("&copy figures");
  actNsCopyFigures->SetHint("copy the figures of the noise page as text");
  actNsCopyFigures->SetShortCut("Ctrl+C");
  // Ctrl+C copies figures only within the noise pages; elsewhere (a text field) it keeps its
  // usual meaning.
  actNsCopyFigures->Action()->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  actNsCopyFigures->OnExecute = [this](TObject *) { CopyFigures(CurrentNoisePanel()); };
  pctMain->addAction(actNsCopyFigures->Action());

  FExpFigures = std::make_unique<TAction>();
  actNsExpFigures = FExpFigures.get();
  actNsExpFigures->SetName("actNsExpFigures");
  actNsExpFigures->SetCaption("export &figures...");
  actNsExpFigures->SetHint("save the figures of the picture and all regions as CSV");
  actNsExpFigures->OnExecute = [this](TObject *) { actNsExpFiguresExecute(); };

  FSeriesAction = std::make_unique<TAction>();
  actNsSeries = FSeriesAction.get();
  actNsSeries->SetName("actNsSeries");
  actNsSeries->SetCaption("&series...");
  actNsSeries->SetHint("measure the picture and the regions over several pictures: one table, one plot");
  actNsSeries->OnExecute = [this](TObject *) { actNsSeriesExecute(); };

  FFitCounts = std::make_unique<TAction>();
  actNsFitCounts = FFitCounts.get();
  actNsFitCounts->SetName("actNsFitCounts");
  actNsFitCounts->SetCaption("fit to 99.9% of counts");
  actNsFitCounts->SetHint("end every chart's scale where 99.9% of its counts lie");
  actNsFitCounts->Action()->setCheckable(true);
  actNsFitCounts->OnExecute = [this](TObject *) { actNsFitCountsExecute(); };

  FFigExpDialog = std::make_unique<TSaveDialog>();
  dlgFigExp = FFigExpDialog.get();
  dlgFigExp->SetName("dlgFigExp");
  dlgFigExp->Title = "export figures";
  dlgFigExp->Filter = "CSV file (*.csv)|*.csv|all files (*.*)|*.*";
  dlgFigExp->DefaultExt = "csv";
  dlgFigExp->Options = {ofOverwritePrompt, ofPathMustExist, ofNoTestFileCreate, ofHideReadOnly, ofEnableSizing};

  // Delete removes the current region too; in a text field it keeps deleting text (the field
  // takes the key first).
  if (FModule != nullptr) FModule->actNsClose->Action()->setShortcut(QKeySequence(QKeySequence::Delete));

  setAcceptDrops(true);
  FitToScreen();
  connect(splMain, &QSplitter::splitterMoved, this, [this](int, int) {
    const QList<int> sizes = splMain->sizes();
    if (sizes.size() == 2) FRightWanted = sizes[1];
  });
}

void TfmKalvMain::FitToScreen() {
  const QScreen *s = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  if (s == nullptr) return;
  const QSize avail = s->availableGeometry().size();
  // The frame the window manager adds is not known before the window is shown; leave room for a
  // usual title bar and border.
  const QSize room(std::max(1, avail.width() - 16), std::max(1, avail.height() - 40));
  setMinimumSize(minimumSize().boundedTo(room));
  resize(size().boundedTo(room));
}

void TfmKalvMain::KeepRightWidth() {
  const QList<int> sizes = splMain->sizes();
  if (sizes.size() != 2 || FRightWanted <= 0) return;
  // After the window was narrowed (and the right side with it), growing it gives the right side
  // back its width before the pictures get more.
  const int total = sizes[0] + sizes[1];
  const int want = std::min(FRightWanted, total - SplitterMinSize);
  if (sizes[1] < want) splMain->setSizes({total - want, want});
}

TfrKalvNoises *TfmKalvMain::CurrentNoisePanel() const {
  QWidget *page = pctMain->currentWidget();
  if (page == nullptr) return nullptr;
  if (auto *panel = qobject_cast<TfrKalvNoises *>(page)) return panel;
  return page->findChild<TfrKalvNoises *>();
}

void TfmKalvMain::CopyFigures(TfrKalvNoises *Panel) {
  if (Panel == nullptr) return;
  QGuiApplication::clipboard()->setText(
      NoisePanelFiguresText(*Panel, FModule != nullptr ? FModule->CurrentFileName() : std::string()));
}

void TfmKalvMain::actNsFitCountsExecute() {
  // A click has toggled the check mark already; the charts follow it.
  RedrawAllCharts();
}

void TfmKalvMain::ExportFigures(const std::string &FileName) {
  const TBitmap *picture = GetPageBitmap(1);
  const int pw = picture != nullptr ? picture->Width() : 0, ph = picture != nullptr ? picture->Height() : 0;
  const std::string file = FModule != nullptr ? FModule->CurrentFileName() : std::string();
  // Every region, in list order, whether or not its page has been shown.
  std::vector<TAreaResult> areas{NoisePanelArea(*frNs)};
  for (int i = 0; i < RegionList->Count(); ++i) {
    const TRectCntrl *r = RegionList->Items(i);
    areas.push_back(RegionFiguresArea(r->Figures, r->BoundsRect()));
  }
  const std::string csv = AreasCsv(file, pw, ph, std::move(areas));
  WriteFileAtomically(FileName, csv.data(), csv.size());
}

void TfmKalvMain::actNsExpFiguresExecute() {
  // While a job runs the panels are about to change; their figures are not ready to keep.
  if (FModule != nullptr && FModule->IsBusy()) return;
  const TBitmap *picture = GetPageBitmap(1);
  if (picture == nullptr || picture->Empty()) {
    MessageBox("There are no figures yet: open a picture first.", "Kalvex", MB_OK | MB_ICONINFORMATION);
    return;
  }
  if (FModule != nullptr) PrepareFileDialog(*FModule->cnfUser, *dlgFigExp, fdgProject);
  if (!dlgFigExp->Execute()) return;
  if (FModule != nullptr) RememberFileDialogFolder(*FModule->cnfUser, *dlgFigExp, fdgProject);
  ExportFigures(dlgFigExp->FileName);
}

void TfmKalvMain::actNsSeriesExecute() {
  if (!FSeries) {
    FSeries = std::make_unique<TfmKalvSeries>(this);
    FSeries->OnRegions = [this] {
      // As kalvex --measure --region L,T,W,H gives them.
      std::vector<TRegionArg> regions;
      for (const TRect &r : RegionRects())
        regions.push_back(TRegionArg{r.Left, r.Top, r.Width(), r.Height(),
                                     Format("%d,%d,%d,%d", r.Left, r.Top, r.Width(), r.Height())});
      return regions;
    };
    if (FModule != nullptr)
      FSeries->OnExecuteDialog = [this](TOpenDialog &Dialog, TFileDialogGroup Group) {
        return FModule->ExecuteFileDialog(Dialog, Group);
      };
  }
  FSeries->show();
  FSeries->raise();
  FSeries->activateWindow();
  if (FSeries->FileCount() == 0) FSeries->ChooseFiles();
}

void TfmKalvMain::AddFigureCommandsToMenu() {
  if (FModule == nullptr || !FModule->mnuMain) return;
  // After the existing entries of "&Picture", so that they all keep their places.
  auto *picture = FModule->mnuMain->findChild<QMenu *>(QStringLiteral("mniPicture"));
  if (picture == nullptr) return;
  picture->addSeparator();
  picture->addAction(actNsCopyFigures->Action());
  picture->addAction(actNsExpFigures->Action());
  picture->addAction(actNsFitCounts->Action());
  picture->addSeparator();
  picture->addAction(actNsSeries->Action());
}

// ---- drag and drop ----------------------------------------------------------------------------

QStringList TfmKalvMain::DroppedFiles(const QMimeData *Data) {
  QStringList files;
  if (Data == nullptr || !Data->hasUrls()) return files;
  for (const QUrl &url : Data->urls())
    if (url.isLocalFile()) files << url.toLocalFile();
  return files;
}

void TfmKalvMain::dragEnterEvent(QDragEnterEvent *Event) {
  // Only when the window could open a file by command: not while a job runs or a command waits.
  const bool ready = FModule == nullptr || FModule->actFlOpn->Enabled();
  if (ready && !DroppedFiles(Event->mimeData()).isEmpty()) Event->acceptProposedAction();
  else Event->ignore();
}

void TfmKalvMain::dropEvent(QDropEvent *Event) {
  const QStringList files = DroppedFiles(Event->mimeData());
  if (files.isEmpty()) {
    Event->ignore();
    return;
  }
  Event->acceptProposedAction();
  CallGuarded([this, &files] { OpenDroppedFiles(files); });
}

void TfmKalvMain::OpenDroppedFiles(const QStringList &Files) {
  if (FModule == nullptr) {
    OpenCommandLine(Files);
    return;
  }
  if (!FModule->actFlOpn->Enabled()) return;
  // As the open command: the commands are held while the file is taken up.
  FModule->edaMain->DisableActions(true);
  try {
    OpenCommandLine(Files);
  } catch (...) {
    FModule->edaMain->EnableActions(true);
    throw;
  }
  FModule->edaMain->EnableActions(true);
}

// ---- the remembered window --------------------------------------------------------------------

void TfmKalvMain::RestoreWindowConf() {
  if (FModule == nullptr) return;
  if (FModule->cnfUser->ConfDestination().empty()) SetupConfigPath(FModule->cnfUser, CSIDL_APPDATA, "User.conf");
  // Read without the configuration component, which would write the file back.
  const std::string path = FModule->cnfUser->ConfDestination();
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(PathFromUtf8(path), ec)) return;
  TProgMemIniFile ini(path);
  // Values from a file a person may have edited: kept within what any screen could show.
  constexpr int Far = 1 << 20;
  const auto read = [&](const char *Key, int Low) {
    return std::clamp(ini.ReadInteger(WindowSection, Key, 0), Low, Far);
  };
  const int left = read("Left", -Far), top = read("Top", -Far);
  const int width = read("Width", 0), height = read("Height", 0);
  const int right = read("RightWidth", 0);
  const bool maximized = ini.ReadInteger(WindowSection, "Maximized", 0) != 0;
  const bool sameScale = ini.ReadInteger(WindowSection, "SameScale", 0) != 0;
  actNsFitCounts->SetChecked(ini.ReadInteger(WindowSection, "FitCounts", 0) != 0);
  if (width > 0 && height > 0) {
    // A further instance opens offset from the place the first one keeps, as windows cascade.
    const int cascade = 32 * TakeInstanceSlot();
    // Only a place that is still on one of the screens (they may have changed since).
    const QRect wanted(left + cascade, top + cascade, width, height);
    for (const QScreen *s : QGuiApplication::screens()) {
      const QRect avail = s->availableGeometry();
      if (!avail.intersects(wanted)) continue;
      const QSize size = wanted.size().boundedTo(avail.size()).expandedTo(minimumSize());
      resize(size);
      move(std::clamp(wanted.left(), avail.left(), std::max(avail.left(), avail.right() - size.width())),
           std::clamp(wanted.top(), avail.top(), std::max(avail.top(), avail.bottom() - size.height())));
      break;
    }
  }
  if (maximized) setWindowState(windowState() | Qt::WindowMaximized);
  if (right >= SplitterMinSize) FRightRestored = right;
  if (sameScale != FModule->SameScale()) FModule->actNsSameScaleExecute(nullptr);
}

int TfmKalvMain::TakeInstanceSlot() {
  if (FInstanceLock) return FInstanceSlot;
  // One lock file per window on show; a crashed instance's lock is stale and taken over.
  QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (dir.isEmpty()) dir = QDir::tempPath();
  const QString user = QString::fromLocal8Bit(qgetenv("USER"));
  for (int slot = 0; slot < 16; ++slot) {
    auto lock = std::make_unique<QLockFile>(QDir(dir).filePath(QStringLiteral("kalvex-%1-window-%2.lock").arg(user).arg(slot)));
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
      FInstanceLock = std::move(lock);
      FInstanceSlot = slot;
      return slot;
    }
  }
  return 0;
}

void TfmKalvMain::SaveWindowConf() {
  if (FModule == nullptr || FModule->cnfUser->ConfDestination().empty()) return;
  const bool maximized = isMaximized();
  const QRect normal = maximized ? normalGeometry() : QRect(pos(), size());
  const QList<int> sizes = splMain->sizes();
  TConfControl &cnf = *FModule->cnfUser;
  cnf.SetActive(true);
  try {
    cnf.WriteInteger(WindowSection, "Left", normal.left());
    cnf.WriteInteger(WindowSection, "Top", normal.top());
    cnf.WriteInteger(WindowSection, "Width", normal.width());
    cnf.WriteInteger(WindowSection, "Height", normal.height());
    cnf.WriteInteger(WindowSection, "Maximized", maximized ? 1 : 0);
    cnf.WriteInteger(WindowSection, "RightWidth", FRightWanted > 0 ? FRightWanted : sizes.value(1));
    cnf.WriteInteger(WindowSection, "SameScale", FModule->SameScale() ? 1 : 0);
    cnf.WriteInteger(WindowSection, "FitCounts", FitCounts() ? 1 : 0);
  } catch (...) {
    cnf.SetActive(false);
    throw;
  }
  cnf.SetActive(false);
}
