// The main module: every user command with its menu and images, the file dialogs, the thread
// manager with the template picture job, the run timer, the per-user configuration and the hint
// hook. It opens pictures and projects by their kind and keeps the command states in step with
// the picture on show and the running jobs.
//
// The module reaches the main window only through TKalvMainIntf (set with SetMainWindow), so it
// can be built and tested without the window.
//
// Threads: everything here runs on the main thread, except the load job's OnIntern... handlers,
// which run on a worker of thmMain and touch nothing but the job's data.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/untKalvDocument.h"
#include "app/untKalvMainConstType.h"
#include "app/untKalvMainIntf.h"
#include "platform/untActions.h"
#include "platform/untObjects.h"
#include "threading/EnableDisableActions.h"
#include "threading/untMessageLoop.h"
#include "threading/untThreadMan.h"

class QMenu;
class QMenuBar;
class QTimer;
class TKalvNoiseTarget;
class TOpenDialog;
class TSaveDialog;
class TWideMemIniConfControl;
class TPicJobData;
class TLabPagesJobData;
class TStream;

// Command categories.
extern const char *const CAT_FILE;
extern const char *const CAT_NOISE;
extern const char *const CAT_HELP;

// Images of the command image lists.
enum TKalvImage { kiOpen = 0, kiSave = 1, kiRemoveRegion = 2 };

// A list of 16 x 16 images; the disabled look is derived from the normal images.
class TImageList : public TComponent {
public:
  explicit TImageList(TComponent *AOwner = nullptr) : TComponent(AOwner) {}
  int Width = 16;
  int Height = 16;
  int Count() const { return static_cast<int>(FImages.size()); }
  void Add(const QPixmap &Image) { FImages.push_back(Image); }
  QPixmap Image(int Index) const;
  // Each image of Source in its disabled look.
  void DeriveDisabled(const TImageList &Source);

private:
  std::vector<QPixmap> FImages;
};

namespace dmdKalvMain {
// The module's job class: a thread-manager job that also knows the noise panel its results go to.
class TThreadManJob : public ::TThreadManJob {
public:
  using ::TThreadManJob::TThreadManJob;
  TKalvNoiseTarget *TargetPanel = nullptr; // not owned

protected:
  // The base copy (settings and handlers), then TargetPanel when Dest is of this class.
  void AssignTo(TPersistent *Dest) const override;
};
} // namespace dmdKalvMain

class TdmKalvMain : public TComponent {
public:
  explicit TdmKalvMain(TComponent *AOwner = nullptr);
  // Stops the workers (thread count 0) and waits for them before anything else goes. A worker
  // that does not stop within thmMain's ThreadCountChangeTimeOut may still run the template job:
  // that job is then left in memory (and stderr says so) rather than freed under the worker.
  ~TdmKalvMain() override;

  // Not owned; the window sets itself after it is created and nullptr before it goes.
  // A window that goes first lets the a* and b* job, which reads its picture, end.
  void SetMainWindow(TKalvMainIntf *Value);
  TKalvMainIntf *MainWindow() const { return FMainWindow; }

  // ---- components ----
  TActionList *aclMain = nullptr;
  TEnableDisableActions *edaMain = nullptr;
  QPointer<QMenuBar> mnuMain; // handed to the window, which then owns it
  TImageList *imlNrm = nullptr;
  TImageList *imlHot = nullptr;
  TImageList *imlDis = nullptr;
  TOpenDialog *dlgPicOpn = nullptr;
  TSaveDialog *dlgPicSve = nullptr;
  TOpenDialog *dlgPrjImp = nullptr;
  TSaveDialog *dlgPrjExp = nullptr;
  TOpenDialog *dlgRgnImp = nullptr;
  TSaveDialog *dlgRgnExp = nullptr;
  TThreadMan *thmMain = nullptr;
  dmdKalvMain::TThreadManJob *tmjLoadPic = nullptr;
  QTimer *tmrRun = nullptr; // owned
  TMessageLoop *mlpMain = nullptr;
  QMenu *pmnRect = nullptr; // owned
  TWideMemIniConfControl *cnfUser = nullptr;

  TAction *actFlOpn = nullptr;
  TAction *actFlSave = nullptr;
  TAction *actFlImpPrj = nullptr;
  TAction *actFlExpPrj = nullptr;
  TAction *actFlExpPrjWPic = nullptr;
  TAction *actFlImpRgns = nullptr;
  TAction *actFlExpRgns = nullptr;
  TAction *actFlExt = nullptr;
  TAction *actNsClose = nullptr;
  TAction *actNsCloseAll = nullptr;
  TAction *actNsSetChartDefHeight = nullptr;
  TAction *actNsSetChartsDefHeight = nullptr;
  TAction *actNsSameScale = nullptr;
  TAction *actHlpInfo = nullptr;

  // The category of a command (CAT_FILE, CAT_NOISE, CAT_HELP).
  static std::string ActionCategory(const TAction *Action);
  // The command's icon: normal, hot (active) and disabled images.
  QIcon ActionIcon(int ImageIndex) const;

  // ---- operations ----
  // Once, from the main window's start-up handler.
  void InitModule();
  // Opens a picture or project by its kind; true for kinds 1..4. The picture on show, its name
  // and the regions stay as they are until the new picture has loaded: only then does the load's
  // done handler clear the regions and show the new picture, so a file that fails to load (its
  // error is shown) leaves the work exactly as it was.
  bool OpenFile(const std::string &FileName);
  // Starts the load of the picture of a project (embedded, or the file it names); the load's done
  // handler then adds the project's regions. A project whose picture is missing, damaged or of
  // another kind raises before anything changes; a picture the decoder rejects later is reported
  // by the load job and changes nothing either.
  void ReadProject(const std::string &FileName);
  // What the picture on show came from.
  const TKalvDocument &Document() const { return FDocument; }
  void SetCurrentPage(std::uint8_t Page);
  std::uint8_t CurrentPage() const { return FCurrentPage; }
  void SetCurrentChart(TfrKalvCustomNoiseDraw *Chart);
  TfrKalvCustomNoiseDraw *CurrentChart() const { return FCurrentChart; }
  // The region list changed (count regions now); the active right-hand page changed or a region
  // was added (RegionPageActive: the page is not the whole-picture noise page).
  void RegionsChanged(int Count);
  void RegionPageChanged(bool RegionPageActive);
  bool SameScale() const { return FSameScale; }
  bool IsBusy() const { return FRunningJobs > 0; }
  // A picture's load job runs: its figures are not shown yet (its a* and b* pages may follow).
  bool IsLoading() const { return FPendingLoad != nullptr; }
  int RunningJobs() const { return FRunningJobs; }
  const std::string &CurrentFileName() const { return FCurrentFileName; }
  std::int64_t CounterFrequency() const { return FCounterFrequency; }
  // A job of the given class (owner none) with tmjLoadPic's settings and handlers, the panel as
  // TargetPanel and FreeOnDone set; started with StartJob (threading/untThreadMan.h), the thread
  // manager takes it over.
  template <class T = dmdKalvMain::TThreadManJob> std::unique_ptr<T> CreateJob(TKalvNoiseTarget *Panel) {
    auto job = std::make_unique<T>(nullptr);
    SetUpJob(job.get(), Panel);
    return job;
  }
  // A start that failed: the run timer stops and shows its final time.
  void StopRunTimer();
  // The window's close query: true when it may close now. While jobs are counted it answers
  // false, tells a running load to stop, and has the window closed again (CloseMainWindow, from
  // the event loop) once no job is counted; meanwhile no region starts a job and a project's
  // regions are not added.
  bool QueryClose();
  bool Closing() const { return FClosing; }
  // Work of the window's own that runs in steps from the event loop (a region import): it holds
  // the commands and counts like a job from Begin to End, so a close meanwhile is deferred until
  // it has ended. Every BeginWindowWork is ended by one EndWindowWork.
  void BeginWindowWork();
  void EndWindowWork();

  // Runs a file dialog with its remembered folder. A configuration that cannot be read or written
  // is said once (the folders are then not remembered) and never keeps the dialog from showing.
  bool ExecuteFileDialog(TOpenDialog &Dialog, TFileDialogGroup Group);

  // Default extension and filter of Source into Dest.
  static void CopyDialogFilter(TOpenDialog *Source, TOpenDialog *Dest);

  // ---- handlers ----
  void actFlOpnExecute(TObject *Sender);
  void actFlSaveExecute(TObject *Sender);
  void actFlImpPrjExecute(TObject *Sender);
  void actFlExpPrjExecute(TObject *Sender);
  void actFlExpPrjWPicExecute(TObject *Sender);
  void actFlImpRgnsExecute(TObject *Sender);
  void actFlExpRgnsExecute(TObject *Sender);
  void actFlExtExecute(TObject *Sender);
  void actNsCloseExecute(TObject *Sender);
  void actNsCloseAllExecute(TObject *Sender);
  void actNsSetChartDefHeightExecute(TObject *Sender);
  void actNsSetChartsDefHeightExecute(TObject *Sender);
  void actNsSameScaleExecute(TObject *Sender);
  void actHlpInfoExecute(TObject *Sender);
  void apeMainHint(TObject *Sender);
  void edaMainBeforeEnableActions(TObject *Sender);
  void edaMainAfterEnableActions(TObject *Sender);
  void tmjLoadPicWaiting(TThreadManThread *aThread, ::TThreadManJob *aJob);
  // The worker-side handlers use nothing of the module (they are static), so a worker that
  // outlives the module never reaches into it.
  static void tmjLoadPicInternBeforeExecute(TThreadManThread *aThread, ::TThreadManJob *aJob);
  static void tmjLoadPicInternExecute(TThreadManThread *aThread, ::TThreadManJob *aJob);
  static void tmjLoadPicInternAfterExecute(TThreadManThread *aThread, ::TThreadManJob *aJob);
  void tmjLoadPicDone(TThreadManThread *aThread, ::TThreadManJob *aJob, bool &aFreeIt);
  void tmrRunTimer();

  // Reads a project file in place of ReadProject when set (tests).
  std::function<void(const std::string &FileName)> OnReadProject;
  // The info window is shown through this (the window's ui layer knows it); tests replace it.
  std::function<void()> OnShowInfo;

private:
  enum TLoadKind { lkJPEG, lkStreamJPEG, lkBMP, lkStreamBMP };
  void CreateActions();
  void CreateImages();
  void CreateMenus();
  void CreateDialogs();
  TAction *NewAction(const char *Name, const char *Caption, const char *Hint, const char *ShortCut,
                     const char *Category, int ImageIndex, bool Enabled);
  // What a load under way will make of the window once it has succeeded.
  struct TPendingLoad {
    TKalvPictureSource Source;
    std::shared_ptr<TMemoryStream> Stream; // the embedded picture the job reads, if any
    bool HasRegions = false;               // a project's regions follow the picture
    std::vector<std::array<int, 4>> Regions;
  };
  void StartLoadJob(TLoadKind Kind, TPendingLoad Pending);
  // The load under way has succeeded: the old work goes, the new picture is named.
  void AdoptLoad(TPendingLoad &Pending);
  void ConfigurationFailed(const Exception &E);
  void SetUpJob(dmdKalvMain::TThreadManJob *Job, TKalvNoiseTarget *Panel);
  void HandResults(::TThreadManJob *aJob, TPicJobData *Data);
  // After a load: the a* and b* pages of the picture on show, made by a job of their own.
  void StartLabPages();
  void AdoptLabPages(TLabPagesJobData &Data);
  // Tells the a* and b* job to stop and waits until it reads the picture on show no more.
  void StopLabPages();
  // No job is counted any more: a deferred close goes on, from the event loop.
  void CloseWhenIdle();

  TKalvMainIntf *FMainWindow = nullptr; // not owned
  std::int64_t FStartCounter = 0;
  std::int64_t FCounterFrequency = 0;
  std::int32_t FRunningJobs = 0;
  std::string FCurrentFileName;
  std::uint8_t FCurrentPage = 0;
  TfrKalvCustomNoiseDraw *FCurrentChart = nullptr; // not owned
  bool FSameScale = false;
  bool FClosing = false;
  QObject FCloseContext; // the deferred close's context without a window
  bool FConfWarned = false;
  TKalvDocument FDocument;
  std::unique_ptr<TPendingLoad> FPendingLoad;
  // The running a* and b* job (the manager's) and its data (the job's), or nullptr.
  ::TThreadManJob *FLabJob = nullptr;
  TLabPagesJobData *FLabData = nullptr;
};

// The one module of the program (set while it exists).
extern TdmKalvMain *dmKalvMain;
