#include "ui/frmKalvMain.h"

#include <QAction>
#include <QMenuBar>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QFileInfo>
#include <QHash>
#include <QPainter>
#include <QProcess>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusTipEvent>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBar>
#include <QToolTip>
#include <QToolButton>
#include <QVBoxLayout>
#include <array>
#include <chrono>
#include <algorithm>
#include <exception>
#include <iostream>

#include "app/dmdKalvMain.h"
#include "app/untKalvMainConstType.h"
#include "app/untKalvRegionsFile.h"
#include "cli/untMeasure.h"
#include "platform/untActions.h"
#include "platform/untApplication.h"
#include "platform/untDialogs.h"
#include "threading/untJobData.h"
#include "ui/fraKalvNoises.h"
#include "ui/fraKalvRectNoises.h"
#include "ui/fraKalvPic.h"
#include "ui/frmKalvInfo.h"
#include "ui/frmKalvSeries.h"
#include "ui/untRectCntrl.h"
#include "engine/untKalvRegion.h"
#include "widgets/untStatusBar.h"
#include "widgets/untStatusBarWideText.h"

TfmKalvMain *fmKalvMain = nullptr;

namespace {
TfmKalvMain::TStartInstanceFunction gStartInstance;

// A visible tab bar lays all its tabs out again on every tab added or removed; a hidden one once,
// when it is shown again. Nothing paints in between: the event loop does not run.
class TTabBarHold {
public:
  explicit TTabBarHold(QTabWidget *Pages) : FBar(Pages->tabBar()), FShown(FBar->isVisible()) {
    if (FShown) FBar->hide();
  }
  ~TTabBarHold() {
    if (!FShown) return;
    FBar->show();
    // The page control placed its pages over the hidden bar; it makes room again at once.
    if (QWidget *pages = FBar->parentWidget()) {
      QEvent request(QEvent::LayoutRequest);
      QCoreApplication::sendEvent(pages, &request);
    }
  }
  TTabBarHold(const TTabBarHold &) = delete;
  TTabBarHold &operator=(const TTabBarHold &) = delete;

private:
  QTabBar *FBar;
  bool FShown;
};

// A tab bar that measures each tab text once. Qt's lays out every tab, measuring its text again,
// whenever a tab is added or removed (and asks where the pointer is among them), so a page
// control of a thousand region pages spent most of an import measuring the same captions.
class TMeasuredTabBar : public QTabBar {
public:
  explicit TMeasuredTabBar(QWidget *Parent) : QTabBar(Parent) { setObjectName(QStringLiteral("qt_tabwidget_tabbar")); }

protected:
  QSize tabSizeHint(int Index) const override {
    // The text (elided while the minimum is measured) and the selection are all that vary
    // between the tabs of this bar (no icons, no buttons, one shape); a change of font or style
    // clears the sizes.
    const QString key = tabText(Index) + (Index == currentIndex() ? QLatin1Char('*') : QLatin1Char(' '));
    auto size = FSizes.constFind(key);
    if (size == FSizes.cend()) {
      if (FSizes.size() > 65536) FSizes.clear();
      size = FSizes.insert(key, QTabBar::tabSizeHint(Index));
    }
    return *size;
  }
  void changeEvent(QEvent *Event) override {
    FSizes.clear();
    QTabBar::changeEvent(Event);
  }
  bool event(QEvent *Event) override {
    if (Event->type() == QEvent::Polish || Event->type() == QEvent::StyleChange) FSizes.clear();
    return QTabBar::event(Event);
  }

private:
  mutable QHash<QString, QSize> FSizes;
};

class TPageControl : public QTabWidget {
public:
  explicit TPageControl(QWidget *Parent) : QTabWidget(Parent) { setTabBar(new TMeasuredTabBar(this)); }
};

bool DefaultStartInstance(const QString &Program, const QStringList &Args) {
  // Never through a shell: the file name is one argument, whatever it contains.
  return QProcess::startDetached(Program, Args);
}

} // namespace

TfmKalvMain::TStartInstanceFunction TfmKalvMain::SetStartInstanceFunction(TStartInstanceFunction Function) {
  TStartInstanceFunction old = std::move(gStartInstance);
  gStartInstance = std::move(Function);
  return old;
}

TfmKalvMain::TfmKalvMain(TdmKalvMain *Module, QWidget *Parent) : QMainWindow(Parent), FModule(Module) {
  setObjectName(QStringLiteral("fmKalvMain"));
  setWindowTitle(QStringLiteral("Kalvex"));
  FWindow = std::make_unique<TMessageWindow>([this](TMessage &M) { WndProc(M); });
  RegionList = std::make_unique<TRectCntrlList>();
  RegionList->OnChange = [this](int Count) {
    if (FModule != nullptr) FModule->RegionsChanged(Count);
  };
  CreateComponents();
  resize(923, 637);
  setMinimumSize(640, 480);
  CreateDesktopParts();
  fmKalvMain = this;
  if (FModule != nullptr) {
    FModule->SetMainWindow(this);
    // The module cannot know the window classes; the info command reaches the info window here.
    FModule->OnShowInfo = [] { TfmKalvInfo::ShowInfo(nullptr); };
  }
  SetNoiseChartHost(this);
  frPicRGB()->setFocus();
}

TfmKalvMain::~TfmKalvMain() {
  FSeries.reset(); // its series stops, and nothing of it reaches the window any more
  if (FCopyFigures) pctMain->removeAction(FCopyFigures->Action());
  // Regions still to be added are dropped; the module counts their work no longer.
  CallGuarded([this] { ClearRegions(); });
  RegionList.reset();
  if (NoiseChartHost() == this) SetNoiseChartHost(nullptr);
  if (FModule != nullptr && FModule->MainWindow() == this) {
    FModule->SetMainWindow(nullptr);
    FModule->OnShowInfo = nullptr;
  }
  if (FModule != nullptr && FModule->tmjLoadPic->TargetPanel == frNs) FModule->tmjLoadPic->TargetPanel = nullptr;
  if (fmKalvMain == this) fmKalvMain = nullptr;
  // The message window goes first, so that no progress text reaches a half-destroyed window.
  FWindow.reset();
}

void TfmKalvMain::CreateComponents() {
  tlbMain = addToolBar(QStringLiteral("tlbMain"));
  tlbMain->setObjectName(QStringLiteral("tlbMain"));
  tlbMain->setMovable(false);
  tlbMain->setIconSize(QSize(16, 16));
  tlbMain->setToolButtonStyle(Qt::ToolButtonIconOnly);
  if (FModule != nullptr) {
    tlbMain->addAction(FModule->actFlOpn->Action());
    tlbMain->widgetForAction(FModule->actFlOpn->Action())->setObjectName(QStringLiteral("btnFlOpn"));
    tlbMain->addAction(FModule->actFlSave->Action());
    tlbMain->widgetForAction(FModule->actFlSave->Action())->setObjectName(QStringLiteral("btnFlSave"));
    auto *sep0 = new QWidget(tlbMain);
    sep0->setObjectName(QStringLiteral("sep0"));
    sep0->setFixedWidth(4);
    tlbMain->addWidget(sep0);
    tlbMain->addAction(FModule->actNsClose->Action());
    tlbMain->widgetForAction(FModule->actNsClose->Action())->setObjectName(QStringLiteral("btnNsClose"));
  }

  pnlClnt = new QWidget(this);
  pnlClnt->setObjectName(QStringLiteral("pnlClnt"));
  auto *clientLayout = new QVBoxLayout(pnlClnt);
  clientLayout->setContentsMargins(0, 0, 0, 0);
  clientLayout->setSpacing(0);
  splMain = new QSplitter(Qt::Horizontal, pnlClnt);
  splMain->setObjectName(QStringLiteral("splMain"));
  splMain->setHandleWidth(4);
  splMain->setChildrenCollapsible(false);
  splMain->setOpaqueResize(true);
  clientLayout->addWidget(splMain);

  pctPics = new QTabWidget(splMain);
  pctPics->setObjectName(QStringLiteral("pctPics"));
  pctPics->setMinimumWidth(SplitterMinSize);
  for (int i = 0; i < 7; ++i) {
    auto *page = new QWidget;
    static const char *const names[7] = {"tbsRGB", "tbsR", "tbsG", "tbsB", "tbsL", "tbsLa", "tbsLb"};
    static const char *const views[7] = {"frPicRGB", "frPicR", "frPicG", "frPicB", "frPicL", "frPicLa", "frPicLb"};
    page->setObjectName(QString::fromLatin1(names[i]));
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *view = new TfrKalvPic(page);
    view->setObjectName(QString::fromLatin1(views[i]));
    layout->addWidget(view);
    view->OnAddRegion = [this](TfrKalvPic *, int L, int T, int R, int B) { AddRegion(L, T, R, B); };
    new TRegionCaptions(view->sbxPics); // the viewport's child
    view->installEventFilter(this);
    view->sbxPics->installEventFilter(this);
    pctPics->addTab(page, QString::fromUtf8(PicKindCaptions[i]));
    tbsPics[static_cast<size_t>(i)] = page;
    frPics[static_cast<size_t>(i)] = view;
  }

  pctMain = new TPageControl(splMain);
  pctMain->setObjectName(QStringLiteral("pctMain"));
  pctMain->setMinimumWidth(SplitterMinSize);
  tbsPicNoise = new QWidget;
  tbsPicNoise->setObjectName(QStringLiteral("tbsPicNoise"));
  auto *noiseLayout = new QVBoxLayout(tbsPicNoise);
  noiseLayout->setContentsMargins(0, 0, 0, 0);
  frNs = new TfrKalvNoises(tbsPicNoise);
  frNs->setObjectName(QStringLiteral("frNs"));
  noiseLayout->addWidget(frNs);
  pctMain->addTab(tbsPicNoise, QStringLiteral("Picture S/N ratio"));

  splMain->addWidget(pctPics);
  splMain->addWidget(pctMain);
  // The right side keeps its width when the window is resized; the pictures take the rest.
  splMain->setStretchFactor(0, 1);
  splMain->setStretchFactor(1, 0);
  splMain->setSizes({923 - 410 - 4, 410});
  setCentralWidget(pnlClnt);

  stbMain = new TStatusBar(this);
  stbMain->setObjectName(QStringLiteral("stbMain"));
  stbMain->SetPanelCount(5);
  for (int i = 0; i < 4; ++i) stbMain->SetPanelStyle(i, psOwnerDraw);
  stbMain->OnDrawPanel = [this](TStatusBar *Bar, int Panel, QPainter &P, const QRect &R) {
    stbMainDrawPanel(Bar, Panel, P, R);
  };
  clientLayout->addWidget(stbMain);
  FStatusText = std::make_unique<TStatusBarWideText>();
  stxMain = FStatusText.get();
  stxMain->SetName("stxMain");
  stxMain->SetStatusBar(stbMain);

  QObject::connect(pctPics, &QTabWidget::currentChanged, this, [this](int) { CallGuarded([this] { pctPicsChange(); }); });
  QObject::connect(pctMain, &QTabWidget::currentChanged, this, [this](int) { CallGuarded([this] { pctMainChange(); }); });
}

int TfmKalvMain::PageNumber(const QWidget *Page) {
  return Page == nullptr ? 0 : Page->property("Tag").toInt();
}

// ---- TKalvMainIntf ----------------------------------------------------------------------------

HWND TfmKalvMain::ProgressWnd() { return FWindow->Handle(); }

TBitmap *TfmKalvMain::GetPageBitmap(int Page) {
  if (Page < 1 || Page > 7) return nullptr;
  return frPics[static_cast<size_t>(Page - 1)]->Bitmap();
}

void TfmKalvMain::SetPageBitmap(int Page, std::unique_ptr<TBitmap> Bitmap) {
  if (Page < 1 || Page > 7) return;
  frPics[static_cast<size_t>(Page - 1)]->SetBitmap(std::move(Bitmap));
}

TKalvNoiseTarget *TfmKalvMain::PictureNoisePanel() { return frNs; }

void TfmKalvMain::SetPictureCaption(const std::string &Caption) {
  pctPics->setTabText(0, QString::fromStdString(Caption));
}

// ---- regions ---------------------------------------------------------------------------------

TRectCntrl *TfmKalvMain::CreateRegion(const TRect &Bounds) {
  // The page alone: its panel is made when the page is first shown (RegionPanel).
  auto *page = new QWidget;
  page->setObjectName(QStringLiteral("tbsRegion"));
  auto *layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  // Named from the start: renaming a tab lays out the whole tab bar again.
  pctMain->addTab(page, QString::fromStdString(Format(SRegionCaption, Bounds.Left, Bounds.Top, Bounds.Width(), Bounds.Height())));

  auto region = std::make_unique<TRectCntrl>(this);
  TRectCntrl *r = region.get();
  r->Page = page;
  if (FRegionParent != nullptr) {
    r->hide();
    r->setParent(FRegionParent);
  }
  r->SetBoundsRect(Bounds);
  if (FRegionParent != nullptr) r->show();
  // In the list before it is measured: a region whose measurement fails to start stays, shown and
  // removable, like one whose later change fails.
  RegionList->Add(std::move(region));
  return r;
}

TfrKalvRectNoises *TfmKalvMain::RegionPanel(TRectCntrl *Region) {
  if (Region == nullptr || Region->Page == nullptr) return nullptr;
  if (Region->NoisePanel != nullptr) return Region->NoisePanel;
  auto *panel = new TfrKalvRectNoises(Region->Page);
  panel->setObjectName(QStringLiteral("frRectNs"));
  Region->Page->layout()->addWidget(panel);
  Region->NoisePanel = panel;
  panel->Region = Region;
  // The picture panel's scroll position and chart heights first, then the figures kept so far.
  CallGuarded([&] { SyncNewPanels({Region}); });
  Region->Figures.SetPanel(panel);
  return panel;
}

void TfmKalvMain::SyncNewPanels(const std::vector<TRectCntrl *> &Regions) {
  // The panels there already follow the picture panel, so only the new ones need its settings.
  std::vector<TfrKalvNoises *> panels{frNs};
  for (TRectCntrl *r : Regions)
    if (r->NoisePanel != nullptr) panels.push_back(r->NoisePanel);
  NoisePanelsSyncScroll(panels, frNs);
  NoisePanelsSyncChartHeights(panels, frNs);
}

void TfmKalvMain::AddRegion(int X1, int Y1, int X2, int Y2) {
  TBitmap *rgb = frPicRGB()->Bitmap();
  const auto fit = FitRegionCorners(X1, Y1, X2, Y2, rgb != nullptr ? rgb->Width() : 0, rgb != nullptr ? rgb->Height() : 0);
  if (!fit) return;
  TRectCntrl *r = CreateRegion(*fit);
  pctMain->setCurrentWidget(r->Page); // which makes its panel
  std::exception_ptr failure;
  try {
    r->Recalculate();
  } catch (...) {
    failure = std::current_exception();
  }
  if (FModule != nullptr) FModule->RegionPageChanged(pctMain->currentWidget() != tbsPicNoise);
  if (failure) std::rethrow_exception(failure);
}

void TfmKalvMain::AddRegions(std::vector<std::array<int, 4>> Corners) {
  if (Corners.empty()) return;
  if (FAdding) {
    FAdding->Corners.insert(FAdding->Corners.end(), Corners.begin(), Corners.end());
    return;
  }
  FAdding = std::make_unique<TAddingRegions>();
  FAdding->Corners = std::move(Corners);
  if (FModule != nullptr) FModule->BeginWindowWork();
  AddRegionsStep();
}

void TfmKalvMain::AddRegionsStep() {
  if (!FAdding) return;
  TAddingRegions &adding = *FAdding;
  // About 40 ms of work per step keeps the window responsive (each step also lays out the tab
  // bar and the captions once); every step adds one region at least.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
  bool stop = FClosing || (FModule != nullptr && FModule->Closing());
  std::exception_ptr failure;
  std::vector<TRectCntrl *> added;
  {
    // The captions of the view and the tab bar are laid out once per step, not once per region.
    const TRegionCaptions::THold hold;
    const TTabBarHold tabs(pctMain);
    TBitmap *rgb = frPicRGB()->Bitmap();
    const int pw = rgb != nullptr ? rgb->Width() : 0, ph = rgb != nullptr ? rgb->Height() : 0;
    // Each region's measurement starts as soon as it is made (its panel comes later, with its
    // page's first show), so the step's time counts both.
    try {
      while (!stop && adding.Next < adding.Corners.size() &&
             (added.empty() || std::chrono::steady_clock::now() < deadline)) {
        const std::array<int, 4> &c = adding.Corners[adding.Next++];
        if (const auto fit = FitRegionCorners(c[0], c[1], c[2], c[3], pw, ph)) {
          TRectCntrl *r = CreateRegion(*fit);
          added.push_back(r);
          r->Recalculate();
        }
      }
    } catch (...) {
      failure = std::current_exception();
      stop = true;
    }
    if (!added.empty()) adding.LastPage = added.back()->Page;
  }
  if (stop || adding.Next >= adding.Corners.size()) {
    // Only the last region's page is put on show: each switch of pages touches every page.
    if (adding.LastPage != nullptr && pctMain->indexOf(adding.LastPage) >= 0) pctMain->setCurrentWidget(adding.LastPage);
    EndAddingRegions();
  } else {
    SetStatusText(3, Format("Add regions: %d of %d", static_cast<long long>(adding.Next),
                            static_cast<long long>(adding.Corners.size())));
    if (!PostMessage(FWindow->Handle(), WM_KALV_ADDREGIONS, 0, 0)) {
      EndAddingRegions();
      RaiseLastOSError();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

void TfmKalvMain::EndAddingRegions() {
  if (!FAdding) return;
  FAdding.reset();
  SetStatusText(3, Format("Regions: %d", RegionList != nullptr ? RegionList->Count() : 0));
  if (FModule != nullptr) {
    FModule->RegionPageChanged(pctMain->currentWidget() != tbsPicNoise);
    FModule->EndWindowWork();
  }
}

std::vector<TRect> TfmKalvMain::RegionRects() { return RegionList != nullptr ? RegionList->Rects() : std::vector<TRect>{}; }

void TfmKalvMain::ClearRegions() {
  // Regions still to be added go with the others.
  EndAddingRegions();
  if (RegionList == nullptr || RegionList->Empty()) return;
  // The picture page first: removing the page on show would put each next one on show in turn.
  pctMain->setCurrentWidget(tbsPicNoise);
  const TTabBarHold tabs(pctMain);
  RegionList->Clear();
}

void TfmKalvMain::SaveRegions(TWideFileMemIniFile &Ini, const std::string &Format) { RegionList->SaveToIni(Ini, Format); }

void TfmKalvMain::LoadRegions(const TWideFileMemIniFile &Ini, const std::string &Format) {
  // The file's regions are read and fitted before anything is asked or removed: a file that holds
  // none (or none that fit the picture) changes nothing.
  std::vector<std::array<int, 4>> corners;
  LoadRegionsFromIni(Ini, Format, [&](int X1, int Y1, int X2, int Y2) { corners.push_back({X1, Y1, X2, Y2}); });
  TBitmap *rgb = frPicRGB()->Bitmap();
  const int pw = rgb != nullptr ? rgb->Width() : 0, ph = rgb != nullptr ? rgb->Height() : 0;
  std::erase_if(corners, [&](const std::array<int, 4> &c) { return !FitRegionCorners(c[0], c[1], c[2], c[3], pw, ph); });
  if (corners.empty()) {
    MessageBox(::Format("No regions found in \"%s\".", Ini.FileName()), Application()->Title(), MB_OK | MB_ICONINFORMATION);
    return;
  }
  if (FAdding) throw EInvalidOperation("Regions are being added already");
  CheckRegionCount(Ini.FileName(), corners.size());
  bool append = false;
  if (!RegionList->Empty()) {
    switch (MessageBox(SDeleteRegions, SAttention, MB_YESNOCANCEL | MB_ICONQUESTION)) {
    case IDYES: break;
    case IDNO: append = true; break;
    default: return;
    }
  }
  if (append) CheckRegionCount(Ini.FileName(), corners.size(), static_cast<std::size_t>(RegionList->Count()));
  else ClearRegions();
  AddRegions(std::move(corners));
}

void TfmKalvMain::RemoveCurrentRegion() {
  QWidget *current = pctMain->currentWidget();
  if (current != tbsPicNoise && RegionList != nullptr)
    for (int i = RegionList->Count() - 1; i >= 0; --i)
      if (RegionList->Items(i)->Page == current) RegionList->Delete(i);
  if (FModule != nullptr) FModule->RegionPageChanged(pctMain->currentWidget() != tbsPicNoise);
}

TRectCntrl *TfmKalvMain::CurrentRegion() const {
  QWidget *current = pctMain->currentWidget();
  if (current == tbsPicNoise || RegionList == nullptr) return nullptr;
  for (int i = 0; i < RegionList->Count(); ++i)
    if (RegionList->Items(i)->Page == current) return RegionList->Items(i);
  return nullptr;
}

bool TfmKalvMain::RegionKey(QKeyEvent *Event) {
  int dx = 0, dy = 0;
  switch (Event->key()) {
  case Qt::Key_Left: dx = -1; break;
  case Qt::Key_Right: dx = 1; break;
  case Qt::Key_Up: dy = -1; break;
  case Qt::Key_Down: dy = 1; break;
  default: return false;
  }
  const Qt::KeyboardModifiers mods = Event->modifiers() & ~Qt::KeypadModifier;
  if (mods != Qt::NoModifier && mods != Qt::ShiftModifier) return false;
  TRectCntrl *region = CurrentRegion();
  if (region == nullptr || region->Dragging) return false;
  const int step = mods == Qt::ShiftModifier ? 10 : 1;
  region->Nudge(dx * step, dy * step);
  return true;
}

bool TfmKalvMain::eventFilter(QObject *Watched, QEvent *Event) {
  if (Event->type() == QEvent::KeyPress) {
    bool taken = false;
    CallGuarded([&] { taken = RegionKey(static_cast<QKeyEvent *>(Event)); });
    if (taken) return true;
  }
  return QMainWindow::eventFilter(Watched, Event);
}

void TfmKalvMain::SetRegionParent(QWidget *View) {
  if (View == FRegionParent) return;
  // Both views' captions are laid out once, after every region has moved.
  const TRegionCaptions::THold hold;
  for (int i = 0; i < RegionList->Count(); ++i) {
    TRectCntrl *r = RegionList->Items(i);
    r->hide();
    // Straight from view to view: taking a widget out of the window walks the window's whole
    // focus chain, so only a region left without a view leaves it.
    if (View == nullptr) r->setParent(nullptr);
  }
  FRegionParent = View;
  if (View == nullptr) return;
  for (int i = 0; i < RegionList->Count(); ++i) {
    TRectCntrl *r = RegionList->Items(i);
    r->setParent(View);
    r->show();
  }
}

std::vector<TfrKalvNoises *> TfmKalvMain::NoisePanels() const {
  std::vector<TfrKalvNoises *> panels{frNs};
  for (TfrKalvRectNoises *p : RectNoisesList()) panels.push_back(p);
  return panels;
}

void TfmKalvMain::RedrawAllCharts() { NoisePanelsRedraw(NoisePanels()); }

void TfmKalvMain::SetChartDefaultHeight(TfrKalvCustomNoiseDraw *Chart) {
  if (Chart != nullptr) Chart->pnlBtmDblClick();
}

void TfmKalvMain::SetStatusText(int Panel, const std::string &Text) { stxMain->SetPanelText(Panel, Text); }

void TfmKalvMain::InvalidateStatusBar() { stbMain->update(); }

// ---- TNoiseChartHost --------------------------------------------------------------------------

TThreadMan *TfmKalvMain::NoiseThreadMan() { return FModule != nullptr ? FModule->thmMain : nullptr; }
bool TfmKalvMain::SameScale() { return FModule != nullptr && FModule->SameScale(); }
bool TfmKalvMain::FitCounts() { return actNsFitCounts != nullptr && actNsFitCounts->Checked(); }
// The common scale takes in every region, whether its panel has been made or not.
std::int64_t TfmKalvMain::GetMaxCount(int Group) {
  std::int64_t m = frNs->GetMaxCount(Group);
  for (int i = 0; RegionList != nullptr && i < RegionList->Count(); ++i)
    m = std::max(m, RegionList->Items(i)->Figures.GetMaxCount(Group));
  return m;
}

std::int64_t TfmKalvMain::GetTotalCount(int Group) {
  std::int64_t m = frNs->GetTotalCount(Group);
  for (int i = 0; RegionList != nullptr && i < RegionList->Count(); ++i)
    m = std::max(m, RegionList->Items(i)->Figures.GetTotalCount(Group));
  return m;
}

std::uint8_t TfmKalvMain::GetMaxLevel(int Group) {
  int m = frNs->GetTotalCount(Group) > 0 ? frNs->GetMaxLevel(Group) : -1;
  for (int i = 0; RegionList != nullptr && i < RegionList->Count(); ++i) {
    const TKalvRegionFigures &f = RegionList->Items(i)->Figures;
    if (f.GetTotalCount(Group) > 0) m = std::max<int>(m, f.GetMaxLevel(Group));
  }
  return m < 0 ? 255 : static_cast<std::uint8_t>(m);
}

void TfmKalvMain::SetCurrentChart(TfrKalvCustomNoiseDraw *Chart) {
  if (FModule != nullptr) FModule->SetCurrentChart(Chart);
}

TfrKalvCustomNoiseDraw *TfmKalvMain::CurrentChart() {
  return FModule != nullptr ? FModule->CurrentChart() : nullptr;
}

void TfmKalvMain::SyncChartHeights(TfrKalvNoises *Source) { NoisePanelsSyncChartHeights(NoisePanels(), Source); }
void TfmKalvMain::SyncNoiseScroll(TfrKalvNoises *Sender) { NoisePanelsSyncScroll(NoisePanels(), Sender); }

QAction *TfmKalvMain::NoiseAction(TNoiseHostAction Which) {
  if (FModule == nullptr) return nullptr;
  switch (Which) {
  case nhaSetChartDefHeight: return FModule->actNsSetChartDefHeight->Action();
  case nhaSetChartsDefHeight: return FModule->actNsSetChartsDefHeight->Action();
  case nhaSameScale: return FModule->actNsSameScale->Action();
  case nhaClose: return FModule->actNsClose->Action();
  case nhaCloseAll: return FModule->actNsCloseAll->Action();
  case nhaCopyFigures: return actNsCopyFigures->Action();
  case nhaExportFigures: return actNsExpFigures->Action();
  case nhaFitCounts: return actNsFitCounts->Action();
  }
  return nullptr;
}

// ---- views ----------------------------------------------------------------------------------

void TfmKalvMain::SyncPictureScroll(QObject *Sender) {
  static bool syncing = false;
  if (syncing) return;
  auto *source = qobject_cast<QScrollArea *>(Sender);
  if (source == nullptr) return;
  syncing = true;
  const int x = source->horizontalScrollBar()->value();
  const int y = source->verticalScrollBar()->value();
  for (TfrKalvPic *view : frPics) {
    if (view->sbxPics == source) view->KeepScrollPosition();
    else view->SetScrollPosition(x, y);
  }
  syncing = false;
}

void TfmKalvMain::UpdatePictureViews() {
  for (TfrKalvPic *view : frPics) view->UpdateLayout();
}

// ---- start-up ---------------------------------------------------------------------------------

void TfmKalvMain::showEvent(QShowEvent *Event) {
  QMainWindow::showEvent(Event);
  if (FShown) return;
  FShown = true;
  CallGuarded([this] { RestoreWindowConf(); });
  // The right side starts at its design width of 410, or wider where the desktop's font needs it
  // to show the figures whole, now that the window has its size.
  const int total = splMain->width() - splMain->handleWidth();
  const int page = pctMain->width() - tbsPicNoise->width(); // the page control's own frame
  const int wanted = FRightRestored > 0 ? FRightRestored : std::max(410, frNs->PreferredWidth() + std::max(0, page));
  if (total >= 2 * SplitterMinSize) {
    const int right = std::min(wanted, total - SplitterMinSize);
    splMain->setSizes({total - right, right});
  }
  FRightWanted = wanted;
  CallGuarded([this] {
    if (FModule != nullptr) FModule->edaMain->DisableActions(false);
    if (!PostMessage(FWindow->Handle(), WM_KALV_STARTUP, 0, 0)) RaiseLastOSError();
  });
}

void TfmKalvMain::StartUp() {
  if (FStartedUp) return;
  FStartedUp = true;
  // Whatever fails on the way, the commands held since the first show are released again.
  struct TRelease {
    TdmKalvMain *Module;
    ~TRelease() {
      TfmKalvInfo::CloseSplash();
      if (Module != nullptr) Module->edaMain->EnableActions(false);
    }
  } release{FModule};
  if (FModule != nullptr) FModule->InitModule();
  // Qt paints every widget double-buffered already.
  stxMain->RefreshWidths();
  stxMain->SetHintPanel(0);
  if (FModule != nullptr && FModule->mnuMain) setMenuBar(FModule->mnuMain);
  AddFigureCommandsToMenu();
  for (TfrKalvPic *view : frPics) {
    QScrollArea *box = view->sbxPics;
    const auto scrolled = [this, view, box](int) {
      if (!view->ApplyingScroll()) CallGuarded([this, box] { SyncPictureScroll(box); });
    };
    QObject::connect(box->horizontalScrollBar(), &QScrollBar::valueChanged, this, scrolled);
    QObject::connect(box->verticalScrollBar(), &QScrollBar::valueChanged, this, scrolled);
  }
  UpdatePictureViews();
  for (int i = 0; i < 7; ++i) tbsPics[static_cast<size_t>(i)]->setProperty("Tag", i + 1);
  pctPicsChange();
  pctMainChange();
  QStringList args = QCoreApplication::arguments();
  if (!args.isEmpty()) args.removeFirst();
  OpenCommandLine(args);
}

void TfmKalvMain::OpenCommandLine(const QStringList &Args) {
  QStringList files;
  for (const QString &arg : Args) {
    const QFileInfo info(arg);
    if (!info.isFile()) {
      // A stray name must not keep the window from starting, but whoever typed it learns why
      // nothing opened.
      const char *why = !info.exists() ? "No such file or directory" : info.isDir() ? "Is a directory" : "not a regular file";
      std::cerr << "kalvex: ignoring \"" << EscapeFileName(arg.toStdString()) << "\": " << why << std::endl;
      continue;
    }
    const QString path = info.absoluteFilePath();
    const TFileKind kind = GetFileKind(path.toStdString());
    if (kind == fkJPEG || kind == fkBMP || kind == fkProject || kind == fkProjectWithPicture) files << path;
  }
  const QString program = QCoreApplication::applicationFilePath();
  for (int i = 1; i < files.size(); ++i) {
    const bool started = gStartInstance ? gStartInstance(program, {files[i]}) : DefaultStartInstance(program, {files[i]});
    if (!started)
      throw EOSError(ERROR_FILE_NOT_FOUND,
                     Format("Cannot start \"%s\" for \"%s\"", program.toStdString(), files[i].toStdString()));
  }
  if (!files.isEmpty() && FModule != nullptr) FModule->OpenFile(files.first().toStdString());
}

// ---- page changes -----------------------------------------------------------------------------

void TfmKalvMain::pctPicsChange() {
  const int page = PageNumber(pctPics->currentWidget());
  if (FModule != nullptr) FModule->SetCurrentPage(static_cast<std::uint8_t>(page));
  SetRegionParent(page >= 1 && page <= 7 ? frPics[static_cast<size_t>(page - 1)]->pnlPic : nullptr);
}

void TfmKalvMain::pctMainChange() {
  // A region's page shown for the first time gets its panel now.
  if (TRectCntrl *region = CurrentRegion()) RegionPanel(region);
  const int page = PageNumber(pctPics->currentWidget());
  if (page >= 1 && page <= 7) {
    // Outlines and caption plates show which region is selected.
    frPics[static_cast<size_t>(page - 1)]->pnlPic->update();
    TRegionCaptions::RefreshOn(frPics[static_cast<size_t>(page - 1)]->pnlPic);
  }
  if (FModule != nullptr) FModule->RegionPageChanged(pctMain->currentWidget() != tbsPicNoise);
}

// ---- splitter and resize ----------------------------------------------------------------------

int TfmKalvMain::splMainCanResize(int NewSize) { return std::max(NewSize, SplitterMinSize); }

int TfmKalvMain::RightWidth() const { return pctMain->width(); }

void TfmKalvMain::FormResize() {
  const QList<int> sizes = splMain->sizes();
  if (sizes.size() != 2) return;
  if (sizes[0] < SplitterMinSize) {
    const int right = std::max(SplitterMinSize, splMain->width() - SplitterMinSize - splMain->handleWidth());
    splMain->setSizes({splMain->width() - right - splMain->handleWidth(), right});
  } else if (sizes[1] < SplitterMinSize) {
    splMain->setSizes({splMain->width() - SplitterMinSize - splMain->handleWidth(), SplitterMinSize});
  }
  KeepRightWidth();
}

void TfmKalvMain::resizeEvent(QResizeEvent *Event) {
  QMainWindow::resizeEvent(Event);
  CallGuarded([this] { FormResize(); });
}

// ---- status bar -------------------------------------------------------------------------------

QFont TfmKalvMain::PanelFont(int Panel) const {
  QFont font = stbMain->font();
  font.setBold(Panel == stxMain->HintPanel());
  return font;
}

void TfmKalvMain::stbMainDrawPanel(TStatusBar *StatusBar, int Panel, QPainter &Painter, const QRect &Rect) {
  if (Panel < 0 || Panel > 3) return;
  const bool hint = Panel == stxMain->HintPanel();
  const QPalette &pal = StatusBar->palette();
  const QColor back = hint ? QToolTip::palette().color(QPalette::ToolTipBase) : pal.color(QPalette::Window);
  const QColor fore = hint ? QToolTip::palette().color(QPalette::ToolTipText) : pal.color(QPalette::ButtonText);
  Painter.save();
  Painter.fillRect(Rect, back);
  const QString text = TStatusBarWideText::CleanText(StatusBar->Panel(Panel).Text);
  if (!text.isEmpty()) {
    const QFont font = PanelFont(Panel);
    Painter.setFont(font);
    Painter.setPen(fore);
    const QFontMetrics fm(font);
    const int h = fm.height(); // the height of "À_" in this font
    const int x = Rect.left() + std::max(4, (Rect.width() - fm.horizontalAdvance(text)) / 2);
    const int y = Rect.top() + (Rect.height() - h) / 2;
    Painter.drawText(x, y + fm.ascent(), text);
  }
  Painter.restore();
}

// ---- messages ---------------------------------------------------------------------------------

void TfmKalvMain::WndProc(TMessage &Message) {
  Message.Result = 0;
  switch (Message.Msg) {
  case WM_KALV_STARTUP:
    CallGuarded([this] { StartUp(); });
    break;
  case WM_KALV_ADDREGIONS:
    CallGuarded([this] { AddRegionsStep(); });
    break;
  case WM_KALV_FILENAME:
  case WM_KALV_PHASE: {
    // The text object belongs to this window from now on.
    std::unique_ptr<TJobInfoText> text = TakePayload<TJobInfoText>(Message);
    if (text) CallGuarded([&] { SetStatusText(Message.Msg == WM_KALV_FILENAME ? 2 : 3, text->Text()); });
    break;
  }
  default:
    break;
  }
}

bool TfmKalvMain::event(QEvent *Event) {
  if (Event->type() == QEvent::StatusTip) {
    // The hint of the command under the pointer (empty when it leaves).
    Application()->SetHint(static_cast<QStatusTipEvent *>(Event)->tip().toStdString());
    return true;
  }
  return QMainWindow::event(Event);
}

// ---- closing ----------------------------------------------------------------------------------

void TfmKalvMain::closeEvent(QCloseEvent *Event) {
  // With jobs under way the close is deferred: the module stops the load and closes the window
  // again once the last job is done. Nothing waits here, so no event runs inside the close.
  bool now = true;
  CallGuarded([&] {
    if (FModule != nullptr) now = FModule->QueryClose();
  });
  if (!now) {
    Event->ignore();
    return;
  }
  if (FSeries) FSeries->close(); // and its series stops
  CallGuarded([this] { ClearRegions(); });
  CallGuarded([this] { SaveWindowConf(); });
  // A splash still waiting for its time goes with the window.
  TfmKalvInfo::CloseSplash(true);
  Event->accept();
}
