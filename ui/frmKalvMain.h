// TfmKalvMain: the program's work window. The picture and its six channel pictures on the left
// (pctPics), the noise panel of the whole picture and one page per region on the right (pctMain),
// a splitter between them, the tool bar on top and the status bar at the bottom.
//
// The commands, menus and jobs belong to the main module (app/dmdKalvMain); the window implements
// the module's view of it (TKalvMainIntf) and the noise panels' host (TNoiseChartHost). Start-up
// work runs after the window is first shown, through the WM_APP message to its own message
// window; the picture jobs post their progress texts there too (WM_APP + 1, WM_APP + 2).
//
// Only the main thread uses it.
#pragma once

#include <QLockFile>
#include <QMainWindow>
#include <QStringList>
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "app/untKalvMainIntf.h"
#include "platform/untMessages.h"
#include "platform/untObjects.h"
#include "ui/untNoiseHost.h"

class QLockFile;
class QMimeData;
class QScrollArea;
class QSplitter;
class TAction;
class TSaveDialog;
class QTabWidget;
class QToolBar;
class QPainter;
class TStatusBar;
class TStatusBarWideText;
class TdmKalvMain;
class TfrKalvPic;
class TfrKalvNoises;
class TfrKalvRectNoises;
class TfmKalvSeries;
class TRectCntrl;
class TRectCntrlList;
class QKeyEvent;

// The messages of the window's message window.
constexpr UINT WM_KALV_STARTUP = WM_APP;
constexpr UINT WM_KALV_FILENAME = WM_APP + 1;
constexpr UINT WM_KALV_PHASE = WM_APP + 2;
// The next step of adding many regions (AddRegions).
constexpr UINT WM_KALV_ADDREGIONS = WM_APP + 3;

// The splitter's minimum for both sides.
constexpr int SplitterMinSize = 200;

class TfmKalvMain : public QMainWindow, public TObject, public TKalvMainIntf, public TNoiseChartHost {
  Q_OBJECT
public:
  // Module: the main module (not owned; it outlives the window).
  explicit TfmKalvMain(TdmKalvMain *Module, QWidget *Parent = nullptr);
  ~TfmKalvMain() override;

  TdmKalvMain *Module() const { return FModule; }

  // ---- components ----
  QToolBar *tlbMain = nullptr;
  QWidget *pnlClnt = nullptr;
  QSplitter *splMain = nullptr;
  QTabWidget *pctPics = nullptr;
  QTabWidget *pctMain = nullptr;
  TStatusBar *stbMain = nullptr;
  TStatusBarWideText *stxMain = nullptr; // owned
  std::array<QWidget *, 7> tbsPics{};    // tbsRGB, tbsR, tbsG, tbsB, tbsL, tbsLa, tbsLb
  std::array<TfrKalvPic *, 7> frPics{};  // frPicRGB .. frPicLb
  QWidget *tbsPicNoise = nullptr;
  TfrKalvNoises *frNs = nullptr;

  TfrKalvPic *frPicRGB() const { return frPics[0]; }
  // The page number in a picture page's tag (1..7), 0 for none.
  static int PageNumber(const QWidget *Page);

  // ---- TKalvMainIntf ----
  HWND ProgressWnd() override;
  TBitmap *GetPageBitmap(int Page) override;
  void SetPageBitmap(int Page, std::unique_ptr<TBitmap> Bitmap) override;
  TKalvNoiseTarget *PictureNoisePanel() override;
  void SetPictureCaption(const std::string &Caption) override;
  void AddRegion(int X1, int Y1, int X2, int Y2) override;
  // The regions are added in steps of about 40 ms of work, the first at once, the others each
  // from a message posted to the window, so input and painting go on between the steps; status
  // panel 3 counts them in. A close meanwhile drops the ones not yet added; clearing the regions
  // drops them too. Corners given during an import follow its own.
  void AddRegions(std::vector<std::array<int, 4>> Corners) override;
  // Regions are being added in steps.
  bool AddingRegions() const { return FAdding != nullptr; }
  std::vector<TRect> RegionRects() override;
  void ClearRegions() override;
  void SaveRegions(TWideFileMemIniFile &Ini, const std::string &Format) override;
  void LoadRegions(const TWideFileMemIniFile &Ini, const std::string &Format) override;
  void RemoveCurrentRegion() override;
  void RedrawAllCharts() override;
  void SetChartDefaultHeight(TfrKalvCustomNoiseDraw *Chart) override;
  void SetStatusText(int Panel, const std::string &Text) override;
  void InvalidateStatusBar() override;
  QWidget *MainWidget() override { return this; }
  void CloseMainWindow() override { close(); }

  // ---- TNoiseChartHost ----
  TThreadMan *NoiseThreadMan() override;
  bool SameScale() override;
  bool FitCounts() override;
  std::int64_t GetMaxCount(int Group) override;
  std::int64_t GetTotalCount(int Group) override;
  std::uint8_t GetMaxLevel(int Group) override;
  void SetCurrentChart(TfrKalvCustomNoiseDraw *Chart) override;
  TfrKalvCustomNoiseDraw *CurrentChart() override;
  void SyncChartHeights(TfrKalvNoises *Source) override;
  void SyncNoiseScroll(TfrKalvNoises *Sender) override;
  QAction *NoiseAction(TNoiseHostAction Which) override;

  // ---- regions ----
  // Every region, in the order they were made (owned).
  std::unique_ptr<TRectCntrlList> RegionList;
  // The picture panel the region controls are on: the active picture page's (not owned).
  QWidget *RegionParent() const { return FRegionParent; }
  // Moves every region control onto View (a picture panel, or none) in list order.
  void SetRegionParent(QWidget *View);

  // ---- operations ----
  // Sets every other picture view's scroll position to the sender's (Sender: a view's scroll box).
  void SyncPictureScroll(QObject *Sender);
  void UpdatePictureViews();
  // The deferred start-up (WM_APP).
  void StartUp();
  // The command-line files: full paths of existing pictures and projects; the first is opened
  // here, every further one in a new instance. Args excludes the program itself.
  void OpenCommandLine(const QStringList &Args);
  // Starts a new instance for one file: false when it could not be started. Tests replace it.
  using TStartInstanceFunction = std::function<bool(const QString &Program, const QStringList &Args)>;
  static TStartInstanceFunction SetStartInstanceFunction(TStartInstanceFunction Function);

  // ---- handlers ----
  void pctPicsChange();
  void pctMainChange();
  // The splitter's proposed width of pctMain, raised to the minimum.
  static int splMainCanResize(int NewSize);
  // Keeps the pictures' 200 pixels when the window gets narrow.
  void FormResize();
  void stbMainDrawPanel(TStatusBar *StatusBar, int Panel, QPainter &Painter, const QRect &Rect);
  // The font a status panel is drawn and measured in.
  QFont PanelFont(int Panel) const;
  void WndProc(TMessage &Message);

  // The region whose page is on show on the right-hand side, or nullptr.
  TRectCntrl *CurrentRegion() const;
  // The arrow keys on the picture side move the current region by 1 pixel, with Shift by 10; true
  // when the key was taken. Without a current region the keys keep their meaning (scrolling).
  bool RegionKey(QKeyEvent *Event);

  // The picture panel, then every region panel made so far (a region's panel is made when its
  // page is first shown; the figures of all regions are in their Figures).
  std::vector<TfrKalvNoises *> NoisePanels() const;
  // Region's panel, made on the first call and filled from the figures the region keeps.
  TfrKalvRectNoises *RegionPanel(TRectCntrl *Region);
  // The width pctMain currently has.
  int RightWidth() const;

  // ---- desktop conveniences (frmKalvMainDesktop.cpp) ----
  // "&copy figures" (Ctrl+C within the noise pages, their context menu and "&Picture"): the
  // current noise page's figures to the clipboard as tab-separated text. "export &figures...":
  // the figures of the picture and every region as CSV, in the columns of kalvex --measure.
  TAction *actNsCopyFigures = nullptr;
  TAction *actNsExpFigures = nullptr;
  // "fit to 99.9% of counts" (checkable; the charts' context menu): every chart's horizontal
  // scale ends where 99.9% of its counts lie. Kept in User.conf like "same scale".
  TAction *actNsFitCounts = nullptr;
  void actNsFitCountsExecute();
  TSaveDialog *dlgFigExp = nullptr;
  // "&series...": the series dialog (made on first use), which measures the picture and the
  // current regions over several pictures; it asks for them when it has none yet.
  TAction *actNsSeries = nullptr;
  void actNsSeriesExecute();
  TfmKalvSeries *SeriesDialog() const { return FSeries.get(); }
  // The noise panel of the current right-hand page.
  TfrKalvNoises *CurrentNoisePanel() const;
  void CopyFigures(TfrKalvNoises *Panel);
  // Writes the CSV of NoisePanels() to FileName (replacing it whole).
  void ExportFigures(const std::string &FileName);
  void actNsExpFiguresExecute();
  // The local files of a drop.
  static QStringList DroppedFiles(const QMimeData *Data);
  // Opens dropped files as the command line's: the first here, the others in new instances.
  // Nothing while the commands are held.
  void OpenDroppedFiles(const QStringList &Files);
  // User.conf, section "Window": size, position, maximized, right-hand width, same scale.
  void RestoreWindowConf();
  void SaveWindowConf();
  // The window's place among the running instances (0 for the first), held while it lives: each
  // further instance opens 32 pixels further right and down from the remembered place.
  int TakeInstanceSlot();

protected:
  void showEvent(QShowEvent *Event) override;
  void closeEvent(QCloseEvent *Event) override;
  void resizeEvent(QResizeEvent *Event) override;
  bool event(QEvent *Event) override;
  bool eventFilter(QObject *Watched, QEvent *Event) override;
  void dragEnterEvent(QDragEnterEvent *Event) override;
  void dropEvent(QDropEvent *Event) override;

private:
  void CreateComponents();
  void CreateDesktopParts();
  // No larger than the screen's available area, the minimum size included.
  void FitToScreen();
  // Gives the right-hand side back the width it had before the window was narrowed.
  void KeepRightWidth();
  void AddFigureCommandsToMenu();
  // A region with its page (its panel comes with the page's first show), in the list and on the
  // view, neither measured nor shown on the right-hand side yet.
  TRectCntrl *CreateRegion(const TRect &Bounds);
  // New region panels take the picture panel's scroll position and chart heights (regions
  // without a panel yet are passed over).
  void SyncNewPanels(const std::vector<TRectCntrl *> &Regions);
  // One step of AddRegions; the last ends the module's window work.
  void AddRegionsStep();
  void EndAddingRegions();

  TdmKalvMain *FModule; // not owned
  QWidget *FRegionParent = nullptr; // not owned
  std::unique_ptr<TMessageWindow> FWindow;
  std::unique_ptr<TStatusBarWideText> FStatusText;
  bool FShown = false;
  bool FStartedUp = false;
  bool FClosing = false;
  std::unique_ptr<TAction> FCopyFigures, FExpFigures, FFitCounts;
  std::unique_ptr<TSaveDialog> FFigExpDialog;
  std::unique_ptr<TAction> FSeriesAction;
  std::unique_ptr<TfmKalvSeries> FSeries;
  int FRightWanted = 0;   // the right-hand width the user chose (or the first one); 0: none yet
  int FRightRestored = 0; // the right-hand width kept in User.conf; 0: none
  struct TAddingRegions {
    std::vector<std::array<int, 4>> Corners;
    std::size_t Next = 0;
    QWidget *LastPage = nullptr; // the page of the last region added (regions stay while adding)
  };
  std::unique_ptr<TAddingRegions> FAdding;
  std::unique_ptr<QLockFile> FInstanceLock;
  int FInstanceSlot = 0;
};

// The one main window (set while it exists).
extern TfmKalvMain *fmKalvMain;
