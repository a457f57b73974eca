#include "app/dmdKalvMain.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QSvgRenderer>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <type_traits>

#include "app/WideIniFile.h"
#include "app/WideMemIniCnfCtrl.h"
#include "app/untKalvFileDialogConf.h"
#include "app/untKalvPicFile.h"
#include "app/untKalvProjectFile.h"
#include "app/untKalvRegionsFile.h"
#include "engine/untJpeg.h"
#include "engine/untKalvPicJobData.h"
#include "engine/untKalvPicJobDataJobs.h"
#include "app/untKalvNoiseTarget.h"
#include "platform/untApplication.h"
#include "platform/untDialogs.h"
#include "platform/untSystem.h"

// Resources of a static library are registered by name, outside any namespace.
static void InitActionIconResource() { Q_INIT_RESOURCE(dmdKalvMain); }

const char *const CAT_FILE = "File";
const char *const CAT_NOISE = "Noise";
const char *const CAT_HELP = "Help";

TdmKalvMain *dmKalvMain = nullptr;

namespace {
template <class T> T *FieldPtr(T *Field) { return Field; }
template <class T> T *FieldPtr(const std::unique_ptr<T> &Field) { return Field.get(); }

std::filesystem::path PathOf(const std::string &Utf8) {
  return std::filesystem::path(std::u8string(Utf8.begin(), Utf8.end()));
}

// What can be told of a project's picture before the window gives up the current one: its kind,
// that it is there, and its header (BMP sizes against the data, the JPEG header of an embedded
// picture) with the memory its pages will need.
void CheckProjectPicture(const std::string &Project, const TProjectInfo &Info, TMemoryStream *Embedded) {
  // By the extension alone: a project opens nothing but a picture, and never another project (one
  // that named itself would open itself without end).
  const TFileKind kind = PictureKindByExtension(Info.FileName);
  if (Info.FileName.empty()) throw EReadError(Format("The project \"%s\" names no picture", Project));
  if (kind != fkJPEG && kind != fkBMP)
    throw EReadError(Format("The picture \"%s\" of the project \"%s\" is neither JPEG nor BMP", Info.FileName, Project));
  auto check = [&](TStream &Stream) {
    try {
      if (kind == fkBMP) {
        ReadBmpInfo(Stream, CheckPictureMemory);
      } else if (Embedded != nullptr) {
        TJpegDecoder decoder(std::span<const std::uint8_t>(Embedded->Memory(), static_cast<std::size_t>(Embedded->Size())));
        CheckPictureMemory(decoder.Header().Width, decoder.Header().Height);
      } else {
        unsigned char magic[3] = {0, 0, 0};
        if (Stream.Read(magic, 3) != 3 || magic[0] != 0xFF || magic[1] != 0xD8 || magic[2] != 0xFF)
          throw EJPEGError("Not a JPEG file");
      }
    } catch (const Exception &e) {
      throw EReadError(Format("The picture \"%s\" of the project \"%s\" cannot be loaded: %s", Info.FileName,
                              Project, e.Message));
    }
    Stream.SetPosition(0);
  };
  if (Embedded != nullptr) {
    check(*Embedded);
    return;
  }
  std::error_code ec;
  if (!std::filesystem::is_regular_file(PathOf(Info.FileName), ec))
    throw EReadError(Format("The picture \"%s\" of the project \"%s\" is not there", Info.FileName, Project));
  TFileStream file(Info.FileName, fmOpenRead | fmShareDenyWrite);
  check(file);
}
} // namespace

// ---- image list ----------------------------------------------------------------------------

QPixmap TImageList::Image(int Index) const {
  if (Index < 0 || Index >= Count()) return {};
  return FImages[static_cast<size_t>(Index)];
}

void TImageList::DeriveDisabled(const TImageList &Source) {
  FImages.clear();
  QStyleOption option;
  for (int i = 0; i < Source.Count(); ++i)
    FImages.push_back(QApplication::style()->generatedIconPixmap(QIcon::Disabled, Source.Image(i), &option));
}

// ---- job class -------------------------------------------------------------------------------

void dmdKalvMain::TThreadManJob::AssignTo(TPersistent *Dest) const {
  ::TThreadManJob::AssignTo(Dest);
  if (auto *job = dynamic_cast<dmdKalvMain::TThreadManJob *>(Dest)) job->TargetPanel = TargetPanel;
}

// ---- construction ----------------------------------------------------------------------------

TdmKalvMain::TdmKalvMain(TComponent *AOwner) : TComponent(AOwner) {
  SetName("dmKalvMain");
  CreateImages();
  aclMain = new TActionList(this);
  aclMain->SetName("aclMain");
  CreateActions();

  edaMain = new TEnableDisableActions(this);
  edaMain->SetName("edaMain");
  edaMain->SetActionList(aclMain);
  edaMain->BeforeEnableActions = [this](TObject *S) { edaMainBeforeEnableActions(S); };
  edaMain->AfterEnableActions = [this](TObject *S) { edaMainAfterEnableActions(S); };

  CreateMenus();
  CreateDialogs();

  thmMain = new TThreadMan(this);
  thmMain->SetName("thmMain");
  thmMain->SetProcessorAffinity(tpaHardToSingleProcessor);
  thmMain->SetMaxThreadJobCount(20);

  tmjLoadPic = new dmdKalvMain::TThreadManJob(this);
  tmjLoadPic->SetName("tmjLoadPic");
  tmjLoadPic->SetThreadMan(thmMain);
  tmjLoadPic->Executes = {tmjeWaiting, tmjeInternBeforeExecute, tmjeInternExecute, tmjeInternAfterExecute,
                          tmjeDone};
  tmjLoadPic->OnWaiting = [this](TThreadManThread *T, ::TThreadManJob *J) { tmjLoadPicWaiting(T, J); };
  tmjLoadPic->OnInternBeforeExecute = &TdmKalvMain::tmjLoadPicInternBeforeExecute;
  tmjLoadPic->OnInternExecute = &TdmKalvMain::tmjLoadPicInternExecute;
  tmjLoadPic->OnInternAfterExecute = &TdmKalvMain::tmjLoadPicInternAfterExecute;
  tmjLoadPic->OnDone = [this](TThreadManThread *T, ::TThreadManJob *J, bool &F) { tmjLoadPicDone(T, J, F); };
  // The template of every picture job: placed in the module, never freed by the framework.
  tmjLoadPic->Loaded();

  tmrRun = new QTimer;
  tmrRun->setInterval(333);
  QObject::connect(tmrRun, &QTimer::timeout, tmrRun, [this] { CallGuarded([this] { tmrRunTimer(); }); });

  mlpMain = new TMessageLoop(this);
  mlpMain->SetName("mlpMain");

  cnfUser = new TWideMemIniConfControl(this);
  cnfUser->SetName("cnfUser");
  cnfUser->SetActive(false);
  cnfUser->SetAutoUpdateFile(true);

  Application()->OnHint = [this](TObject *S) { apeMainHint(S); };
  dmKalvMain = this;
}

TdmKalvMain::~TdmKalvMain() {
  if (dmKalvMain == this) dmKalvMain = nullptr;
  Application()->OnHint = nullptr;
  // The workers end before the jobs and handlers they might still use.
  if (thmMain != nullptr) {
    thmMain->SetThreadCountMode(tcmManual);
    thmMain->SetThreadCount(0);
    if (thmMain->Threads().Count() > 0 || thmMain->StartingThreads().Count() > 0) {
      // A worker that did not stop may still run the template job; the manager gives the worker
      // up, and the job must outlive it, so it is not freed with the module.
      RemoveComponent(tmjLoadPic);
      std::fprintf(stderr, "kalvex: a worker thread did not stop in time; its job is left in memory\n");
    }
  }
  delete tmrRun;
  tmrRun = nullptr;
  delete pmnRect;
  pmnRect = nullptr;
  if (mnuMain && mnuMain->parent() == nullptr) delete mnuMain.data();
}

TAction *TdmKalvMain::NewAction(const char *Name, const char *Caption, const char *Hint, const char *ShortCut,
                                const char *Category, int ImageIndex, bool Enabled) {
  auto *a = new TAction(this);
  a->SetName(Name);
  a->SetCaption(Caption);
  a->SetHint(Hint);
  a->SetShortCut(ShortCut);
  a->Action()->setProperty("Category", QString::fromUtf8(Category));
  a->SetImageIndex(ImageIndex);
  if (ImageIndex >= 0) a->Action()->setIcon(ActionIcon(ImageIndex));
  a->SetEnabled(Enabled);
  aclMain->Add(a);
  return a;
}

std::string TdmKalvMain::ActionCategory(const TAction *Action) {
  return Action == nullptr ? std::string() : Action->Action()->property("Category").toString().toStdString();
}

void TdmKalvMain::CreateActions() {
  actFlOpn = NewAction("actFlOpn", "&open picture", "open a picture file for analysis", "Ctrl+O", CAT_FILE,
                       kiOpen, true);
  actFlSave = NewAction("actFlSave", "&save current page picture", "save the picture from current tabsheet",
                        "Ctrl+S", CAT_FILE, kiSave, true);
  actFlImpPrj = NewAction("actFlImpPrj", "open &project", "load a project from project file", "", CAT_FILE, -1, true);
  actFlExpPrj = NewAction("actFlExpPrj", "s&ave project", "save project without picture in project file", "",
                          CAT_FILE, -1, true);
  actFlExpPrjWPic = NewAction("actFlExpPrjWPic", "save project &with picture",
                              "save project with picture in project file", "", CAT_FILE, -1, true);
  actFlImpRgns = NewAction("actFlImpRgns", "&import regions", "load regions from file", "Ctrl+I", CAT_FILE, -1, false);
  actFlExpRgns = NewAction("actFlExpRgns", "&export regions", "save regions to use in another picture", "Ctrl+E",
                           CAT_FILE, -1, false);
  actFlExt = NewAction("actFlExt", "e&xit", "close this program", "Alt+X", CAT_FILE, -1, true);
  actNsClose = NewAction("actNsClose", "&remove region", "remove selected region from picture", "", CAT_NOISE,
                         kiRemoveRegion, false);
  actNsCloseAll = NewAction("actNsCloseAll", "remove &all regions", "remove all regions from picture", "", CAT_NOISE,
                            -1, false);
  actNsSetChartDefHeight = NewAction("actNsSetChartDefHeight", "&set chart to default height",
                                     "set current chart to default height", "", CAT_NOISE, -1, true);
  actNsSetChartsDefHeight = NewAction("actNsSetChartsDefHeight", "set all charts to default height",
                                      "set all charts to default height", "", CAT_NOISE, -1, true);
  actNsSameScale = NewAction("actNsSameScale", "same scale", "use the same scale in all charts", "", CAT_NOISE, -1,
                             true);
  actNsSameScale->Action()->setCheckable(true);
  actHlpInfo = NewAction("actHlpInfo", "&info", "show program informations", "", CAT_HELP, -1, true);

  actFlOpn->OnExecute = [this](TObject *S) { actFlOpnExecute(S); };
  actFlSave->OnExecute = [this](TObject *S) { actFlSaveExecute(S); };
  actFlImpPrj->OnExecute = [this](TObject *S) { actFlImpPrjExecute(S); };
  actFlExpPrj->OnExecute = [this](TObject *S) { actFlExpPrjExecute(S); };
  actFlExpPrjWPic->OnExecute = [this](TObject *S) { actFlExpPrjWPicExecute(S); };
  actFlImpRgns->OnExecute = [this](TObject *S) { actFlImpRgnsExecute(S); };
  actFlExpRgns->OnExecute = [this](TObject *S) { actFlExpRgnsExecute(S); };
  actFlExt->OnExecute = [this](TObject *S) { actFlExtExecute(S); };
  actNsClose->OnExecute = [this](TObject *S) { actNsCloseExecute(S); };
  actNsCloseAll->OnExecute = [this](TObject *S) { actNsCloseAllExecute(S); };
  actNsSetChartDefHeight->OnExecute = [this](TObject *S) { actNsSetChartDefHeightExecute(S); };
  actNsSetChartsDefHeight->OnExecute = [this](TObject *S) { actNsSetChartsDefHeightExecute(S); };
  actNsSameScale->OnExecute = [this](TObject *S) { actNsSameScaleExecute(S); };
  actHlpInfo->OnExecute = [this](TObject *S) { actHlpInfoExecute(S); };
}

void TdmKalvMain::CreateImages() {
  static bool registered = false;
  if (!registered) {
    InitActionIconResource();
    registered = true;
  }
  imlNrm = new TImageList(this);
  imlNrm->SetName("imlNrm");
  imlHot = new TImageList(this);
  imlHot->SetName("imlHot");
  imlDis = new TImageList(this);
  imlDis->SetName("imlDis");
  // Normal images are drawn from the project's icons; the hot look is the same drawing on a light
  // highlight, so a button under the pointer stands out in a flat tool bar.
  const char *files[] = {":/icons/open.svg", ":/icons/save.svg", ":/icons/removeregion.svg"};
  const qreal ratio = qApp != nullptr ? qApp->devicePixelRatio() : 1.0;
  for (const char *file : files) {
    QSvgRenderer renderer{QString::fromLatin1(file)};
    QPixmap normal(QSize(16, 16) * ratio);
    normal.fill(Qt::transparent);
    if (renderer.isValid()) {
      QPainter p(&normal);
      renderer.render(&p);
    }
    normal.setDevicePixelRatio(ratio);
    imlNrm->Add(normal);
    QPixmap hot(QSize(16, 16) * ratio);
    hot.fill(Qt::transparent);
    {
      QPainter p(&hot);
      p.setOpacity(1.0);
      if (renderer.isValid()) renderer.render(&p);
      p.setCompositionMode(QPainter::CompositionMode_SourceAtop);
      p.fillRect(hot.rect(), QColor(255, 255, 255, 60));
    }
    hot.setDevicePixelRatio(ratio);
    imlHot->Add(hot);
  }
  imlDis->DeriveDisabled(*imlNrm);
}

QIcon TdmKalvMain::ActionIcon(int ImageIndex) const {
  QIcon icon;
  if (ImageIndex < 0 || ImageIndex >= imlNrm->Count()) return icon;
  icon.addPixmap(imlNrm->Image(ImageIndex), QIcon::Normal);
  icon.addPixmap(imlHot->Image(ImageIndex), QIcon::Active);
  icon.addPixmap(imlDis->Image(ImageIndex), QIcon::Disabled);
  return icon;
}

void TdmKalvMain::CreateMenus() {
  mnuMain = new QMenuBar;
  mnuMain->setObjectName(QStringLiteral("mnuMain"));
  QMenu *file = mnuMain->addMenu(QStringLiteral("&File"));
  file->setObjectName(QStringLiteral("mniFile"));
  file->addAction(actFlOpn->Action());
  file->addAction(actFlSave->Action());
  file->addSeparator();
  file->addAction(actFlImpPrj->Action());
  file->addAction(actFlExpPrj->Action());
  file->addAction(actFlExpPrjWPic->Action());
  file->addSeparator();
  file->addAction(actFlImpRgns->Action());
  file->addAction(actFlExpRgns->Action());
  file->addSeparator();
  file->addAction(actFlExt->Action());
  QMenu *picture = mnuMain->addMenu(QStringLiteral("&Picture"));
  picture->setObjectName(QStringLiteral("mniPicture"));
  picture->addAction(actNsClose->Action());
  picture->addAction(actNsCloseAll->Action());
  picture->addSeparator();
  picture->addAction(actNsSetChartsDefHeight->Action());
  picture->addSeparator();
  picture->addAction(actNsSameScale->Action());
  QMenu *help = mnuMain->addMenu(QStringLiteral("Help"));
  help->setObjectName(QStringLiteral("mniHelp"));
  help->addAction(actHlpInfo->Action());

  pmnRect = new QMenu;
  pmnRect->setObjectName(QStringLiteral("pmnRect"));
  pmnRect->addAction(actNsClose->Action());
}

void TdmKalvMain::CreateDialogs() {
  const TOpenOptions openOptions = {ofFileMustExist, ofHideReadOnly, ofEnableSizing, ofForceShowHidden};
  const TOpenOptions saveOptions = {ofOverwritePrompt, ofPathMustExist, ofNoTestFileCreate, ofHideReadOnly,
                                    ofEnableSizing, ofForceShowHidden};
  auto open = [&](const char *Name, const char *Title, const char *Filter, const char *Ext) {
    auto *d = new TOpenDialog(this);
    d->SetName(Name);
    d->Title = Title;
    d->Filter = Filter;
    d->DefaultExt = Ext;
    d->FilterIndex = 1;
    d->Options = openOptions;
    return d;
  };
  auto save = [&](const char *Name, const char *Title) {
    auto *d = new TSaveDialog(this);
    d->SetName(Name);
    d->Title = Title;
    d->Options = saveOptions;
    return d;
  };
  dlgPicOpn = open("dlgPicOpn", "Open Picture",
                   "Pictures (*.jpe, *.jpeg, *.jpg, *.bmp)|*.jpe;*.jpeg;*.jpg;*.bmp|JPEG (*.jpe, *.jpeg, *.jpg)|"
                   "*.jpe;*.jpeg;*.jpg|Bitmap (*.bmp)|*.bmp|All Files (*.*)|*.*",
                   "jpg");
  dlgPicSve = save("dlgPicSve", "Save Picture");
  dlgPrjImp = open("dlgPrjImp", "Open Project", "Projects (*.KalvexProject)|*.KalvexProject|All Files (*.*)|*.*",
                   "KalvexProject");
  dlgPrjExp = save("dlgPrjExp", "Save Project");
  dlgRgnImp = open("dlgRgnImp", "Import Regions", "Regions (*.KalvexRegions)|*.KalvexRegions|All Files (*.*)|*.*",
                   "KalvexRegions");
  dlgRgnExp = save("dlgRgnExp", "Export Regions");
}

// ---- start-up ------------------------------------------------------------------------------

void TdmKalvMain::InitModule() {
  SetupConfigPath(cnfUser, CSIDL_APPDATA, "User.conf");
  std::int64_t frequency = 0;
  FCounterFrequency = QueryPerformanceFrequency(&frequency) ? frequency : 0;
  CopyDialogFilter(dlgPicOpn, dlgPicSve);
  CopyDialogFilter(dlgRgnImp, dlgRgnExp);
  CopyDialogFilter(dlgPrjImp, dlgPrjExp);
  tmjLoadPic->TargetPanel = FMainWindow != nullptr ? FMainWindow->PictureNoisePanel() : nullptr;
}

void TdmKalvMain::CopyDialogFilter(TOpenDialog *Source, TOpenDialog *Dest) {
  if (Source == nullptr || Dest == nullptr) return;
  Dest->DefaultExt = Source->DefaultExt;
  Dest->Filter = Source->Filter;
}

// ---- opening ---------------------------------------------------------------------------------

void CheckRegionCount(const std::string &FileName, std::size_t Count, std::size_t Present) {
  const auto most = static_cast<std::size_t>(KalvMaxWindowRegions);
  const auto count = static_cast<long long>(Count), present = static_cast<long long>(Present);
  if (Count > most)
    throw EReadError(Format("\"%s\" holds %d regions, more than the %d the window can hold", FileName, count,
                            KalvMaxWindowRegions));
  if (Count + Present > most)
    throw EReadError(Format("The %d regions of \"%s\" and the %d there are more than the %d the window can hold",
                            count, FileName, present, KalvMaxWindowRegions));
}

bool TdmKalvMain::OpenFile(const std::string &FileName) {
  const TFileKind kind = GetFileKind(FileName);
  if (kind == fkProject || kind == fkProjectWithPicture) {
    if (OnReadProject) OnReadProject(FileName);
    else ReadProject(FileName);
    return true;
  }
  if (kind != fkJPEG && kind != fkBMP) return false;
  TPendingLoad pending;
  pending.Source = TKalvPictureSource::FromFile(FileName);
  StartLoadJob(kind == fkJPEG ? lkJPEG : lkBMP, std::move(pending));
  return true;
}

void TdmKalvMain::ReadProject(const std::string &FileName) {
  // Read once: the store, what it says and the embedded picture, decoded and checked before
  // anything changes. The load job reads the picture, which then stays with the document as the
  // picture's source.
  TProjectFile project = ReadProjectFile(FileName);
  const TProjectInfo &info = project.Info;
  if (info.Kind != ftProject && info.Kind != ftProjectWithPicture) return;
  std::shared_ptr<TMemoryStream> stream = std::move(project.Picture);
  if (info.Kind == ftProjectWithPicture && !stream)
    throw EReadError(Format("The project \"%s\" holds no picture", FileName));
  CheckProjectPicture(FileName, info, stream.get());
  TPendingLoad pending;
  pending.HasRegions = true;
  LoadRegionsFromIni(*project.Ini, SRegionSectionFormat,
                     [&](int X1, int Y1, int X2, int Y2) { pending.Regions.push_back({X1, Y1, X2, Y2}); });
  CheckRegionCount(FileName, pending.Regions.size());
  project.Ini.reset();
  const TFileKind kind = PictureKindByExtension(info.FileName);
  if (stream) {
    pending.Source = TKalvPictureSource::FromProject(info.FileName, FileName, stream);
    pending.Stream = std::move(stream);
    StartLoadJob(kind == fkJPEG ? lkStreamJPEG : lkStreamBMP, std::move(pending));
  } else {
    pending.Source = TKalvPictureSource::FromFile(info.FileName);
    StartLoadJob(kind == fkJPEG ? lkJPEG : lkBMP, std::move(pending));
  }
}

void TdmKalvMain::StartLoadJob(TLoadKind Kind, TPendingLoad Pending) {
  if (FClosing) return;
  // One load at a time: the commands that open files are held while one runs. The a* and b* job
  // reads the picture on show, which a load must not replace before it is done.
  if (FPendingLoad || FLabJob != nullptr) throw EInvalidOperation("A picture is being loaded already");
  try {
    const HWND wnd = FMainWindow != nullptr ? FMainWindow->ProgressWnd() : static_cast<HWND>(-1);
    const std::string &name = Pending.Source.Name;
    std::unique_ptr<TPicJobData> data;
    switch (Kind) {
    case lkJPEG: data = std::make_unique<TJPEGPicJobData>(name, wnd); break;
    case lkBMP: data = std::make_unique<TBMPPicJobData>(name, wnd); break;
    case lkStreamJPEG: {
      auto d = std::make_unique<TStreamJPEGPicJobData>(name, wnd);
      d->Stream = Pending.Stream.get();
      data = std::move(d);
      break;
    }
    case lkStreamBMP: {
      auto d = std::make_unique<TStreamBMPPicJobData>(name, wnd);
      d->Stream = Pending.Stream.get();
      data = std::move(d);
      break;
    }
    }
    data->Job = tmjLoadPic;
    data->LabPagesLater = true;
    FPendingLoad = std::make_unique<TPendingLoad>(std::move(Pending));
    tmjLoadPic->Start(std::move(data)); // the done handler takes it back
  } catch (...) {
    FPendingLoad.reset();
    StopRunTimer();
    throw;
  }
}

void TdmKalvMain::AdoptLoad(TPendingLoad &Pending) {
  FCurrentFileName = Pending.Source.Name;
  FDocument.SetSource(std::move(Pending.Source));
  if (FMainWindow == nullptr) return;
  FMainWindow->ClearRegions();
  if (TKalvNoiseTarget *panel = FMainWindow->PictureNoisePanel()) panel->Reset();
  FMainWindow->SetPictureCaption(PathOf(FCurrentFileName).filename().string());
}

void TdmKalvMain::StopRunTimer() {
  tmrRun->stop();
  tmrRunTimer();
}

void TdmKalvMain::SetUpJob(dmdKalvMain::TThreadManJob *Job, TKalvNoiseTarget *Panel) {
  Job->Assign(tmjLoadPic);
  Job->TargetPanel = Panel;
  Job->FreeOnDone = true;
}

// ---- job handlers ----------------------------------------------------------------------------

void TdmKalvMain::tmjLoadPicWaiting(TThreadManThread *, ::TThreadManJob *aJob) {
  if (FRunningJobs == 0 && aJob == tmjLoadPic) {
    QueryPerformanceCounter(&FStartCounter);
    tmrRunTimer();
    tmrRun->start();
  }
  ++FRunningJobs;
  edaMain->DisableActions(false);
}

void TdmKalvMain::tmjLoadPicInternBeforeExecute(TThreadManThread *, ::TThreadManJob *) {}

void TdmKalvMain::tmjLoadPicInternExecute(TThreadManThread *, ::TThreadManJob *aJob) {
  auto *data = static_cast<TJobData *>(aJob->Data());
  if (data != nullptr) data->Run();
}

void TdmKalvMain::tmjLoadPicInternAfterExecute(TThreadManThread *, ::TThreadManJob *) {}

void TdmKalvMain::HandResults(::TThreadManJob *aJob, TPicJobData *Data) {
  auto *job = dynamic_cast<dmdKalvMain::TThreadManJob *>(aJob);
  TKalvNoiseTarget *panel = job != nullptr ? job->TargetPanel : nullptr;
  if (aJob == tmjLoadPic) {
    TBitmap *rgb = FieldPtr(Data->PicRGB);
    if (panel != nullptr) panel->SetPositionFields(0, 0, rgb != nullptr ? rgb->Width() : 0, rgb != nullptr ? rgb->Height() : 0);
    if (FMainWindow != nullptr) {
      FMainWindow->SetPageBitmap(pkLb, std::move(Data->PicLb));
      FMainWindow->SetPageBitmap(pkLa, std::move(Data->PicLa));
      FMainWindow->SetPageBitmap(pkL, std::move(Data->PicL));
      FMainWindow->SetPageBitmap(pkB, std::move(Data->PicB));
      FMainWindow->SetPageBitmap(pkG, std::move(Data->PicG));
      FMainWindow->SetPageBitmap(pkR, std::move(Data->PicR));
      FMainWindow->SetPageBitmap(pkRGB, std::move(Data->PicRGB));
    }
  }
  if (panel == nullptr) return;
  const TKalvNoiseTarget::TChartData charts[] = {
      {0, 0, FieldPtr(Data->NsR)},  {1, 0, FieldPtr(Data->NsG)},  {2, 0, FieldPtr(Data->NsB)},
      {3, 0, FieldPtr(Data->NsL)},  {4, 1, FieldPtr(Data->NsR)},  {4, 2, FieldPtr(Data->NsG)},
      {4, 3, FieldPtr(Data->NsB)},  {4, 0, FieldPtr(Data->NsL)},  {5, 0, FieldPtr(Data->NsRG)},
      {6, 0, FieldPtr(Data->NsGB)}, {7, 0, FieldPtr(Data->NsBR)}, {8, 0, FieldPtr(Data->NsRG)},
      {8, 1, FieldPtr(Data->NsGB)}, {8, 2, FieldPtr(Data->NsBR)}};
  // All at once: each chart is drawn once, with all of its channels.
  panel->SetChartsData(charts);
}

void TdmKalvMain::tmjLoadPicDone(TThreadManThread *, ::TThreadManJob *aJob, bool &) {
  // Always, also when handing over fails: the data goes, the commands come back and the job is no
  // longer counted; the last job of a deferred close lets the window close.
  struct TCleanup {
    TdmKalvMain *Self;
    ::TThreadManJob *Job;
    std::unique_ptr<TJobData> Data;
    bool LabJob;
    ~TCleanup() {
      Data.reset();
      try {
        Self->edaMain->EnableActions(true);
      } catch (...) {
      }
      --Self->FRunningJobs;
      if (Self->FRunningJobs == 0 && (Job == Self->tmjLoadPic || LabJob)) {
        Self->tmrRun->stop();
        try {
          Self->tmrRunTimer();
        } catch (...) {
        }
      }
      Self->CloseWhenIdle();
    }
  } cleanup{this, aJob, aJob->TakeData(), aJob == FLabJob};
  if (cleanup.LabJob) {
    FLabJob = nullptr;
    FLabData = nullptr;
    if (auto *lab = dynamic_cast<TLabPagesJobData *>(cleanup.Data.get())) AdoptLabPages(*lab);
    return;
  }
  std::unique_ptr<TPendingLoad> pending;
  if (aJob == tmjLoadPic) pending = std::move(FPendingLoad);
  auto *data = dynamic_cast<TPicJobData *>(cleanup.Data.get());
  if (data == nullptr) throw Exception("Invalid class typecast");
  // A failed job's figures cover part of the picture at best (its error was shown already); a
  // stopped one's too. Either way the work on show stays as it was.
  if (data->Failed() || data->Stopped() || aJob->Terminated()) return;
  if (pending) AdoptLoad(*pending);
  HandResults(aJob, data);
  if (aJob == tmjLoadPic) StartLabPages();
  if (pending && pending->HasRegions && !FClosing && FMainWindow != nullptr)
    FMainWindow->AddRegions(std::move(pending->Regions));
}

void TdmKalvMain::StartLabPages() {
  if (FClosing || FMainWindow == nullptr) return;
  auto *rgb = dynamic_cast<TBitmap24 *>(FMainWindow->GetPageBitmap(pkRGB));
  const TBitmap *la = FMainWindow->GetPageBitmap(pkLa);
  if (rgb == nullptr || rgb->Empty() || (la != nullptr && !la->Empty())) return;
  auto job = CreateJob(nullptr);
  auto data = std::make_unique<TLabPagesJobData>(*rgb);
  data->Job = job.get();
  FLabJob = job.get();
  FLabData = data.get();
  try {
    StartJob(std::move(job), std::move(data)); // the manager frees the job after its done step
  } catch (...) {
    FLabJob = nullptr;
    FLabData = nullptr;
    throw;
  }
}

void TdmKalvMain::StopLabPages() {
  if (FLabJob == nullptr) return;
  FLabJob->Terminate();
  // Its parts end with their rows (a few tens of milliseconds); the done step, later, finds no
  // window and adopts nothing.
  if (FLabData->Ended.WaitFor(30000) != wrSignaled)
    std::fprintf(stderr, "kalvex: the a* and b* pages did not stop within 30 s\n");
}

void TdmKalvMain::SetMainWindow(TKalvMainIntf *Value) {
  if (Value != FMainWindow) StopLabPages();
  FMainWindow = Value;
}

void TdmKalvMain::AdoptLabPages(TLabPagesJobData &Data) {
  // Only onto the picture they were made of (a failed or stopped job's pictures are empty).
  if (FMainWindow == nullptr || Data.Stopped() || Data.PicLa->Empty() || Data.PicLb->Empty()) return;
  if (FMainWindow->GetPageBitmap(pkRGB) != &Data.Source()) return;
  FMainWindow->SetPageBitmap(pkLb, std::move(Data.PicLb));
  FMainWindow->SetPageBitmap(pkLa, std::move(Data.PicLa));
}

void TdmKalvMain::CloseWhenIdle() {
  if (FRunningJobs != 0 || !FClosing || FMainWindow == nullptr) return;
  // Not from inside a done step, which the manager is still running: from the event loop, and
  // only while the window (or, without one, the module) is still there.
  QObject *context = FMainWindow->MainWidget();
  if (context == nullptr) context = &FCloseContext;
  QTimer::singleShot(0, context, [module = this] {
    if (module->FMainWindow != nullptr) module->FMainWindow->CloseMainWindow();
  });
}

void TdmKalvMain::BeginWindowWork() {
  ++FRunningJobs;
  edaMain->DisableActions(false);
}

void TdmKalvMain::EndWindowWork() {
  struct TRelease {
    TdmKalvMain *Self;
    ~TRelease() {
      --Self->FRunningJobs;
      Self->CloseWhenIdle();
    }
  } release{this};
  edaMain->EnableActions(false);
}

void TdmKalvMain::tmrRunTimer() {
  if (FCounterFrequency <= 0) return;
  const bool enabled = tmrRun->isActive();
  tmrRun->stop();
  try {
    std::int64_t now = 0;
    QueryPerformanceCounter(&now);
    const long double seconds =
        static_cast<long double>(now - FStartCounter) / static_cast<long double>(FCounterFrequency);
    if (FMainWindow != nullptr) FMainWindow->SetStatusText(1, Format(" %.3fs", static_cast<double>(seconds)));
  } catch (...) {
    if (enabled) tmrRun->start();
    throw;
  }
  if (enabled) tmrRun->start();
}

// ---- enabling --------------------------------------------------------------------------------

void TdmKalvMain::SetCurrentPage(std::uint8_t Page) {
  FCurrentPage = Page;
  TBitmap *bmp = FMainWindow != nullptr && Page >= pkRGB && Page <= pkLb ? FMainWindow->GetPageBitmap(Page) : nullptr;
  const bool hasPicture = bmp != nullptr && !bmp->Empty();
  edaMain->SetActionEnabled(actFlSave, hasPicture);
  edaMain->SetActionEnabled(actFlImpRgns, hasPicture);
  edaMain->SetActionEnabled(actFlExpPrjWPic, hasPicture);
  // A picture from a file that is still there can be named; one that lives only in a project
  // keeps the command, which then says so.
  const TKalvPictureSource &source = FDocument.Source();
  bool named = source.Kind == skEmbedded;
  if (source.Kind == skFile) {
    std::error_code ec;
    named = std::filesystem::is_regular_file(source.Path, ec);
  }
  edaMain->SetActionEnabled(actFlExpPrj, hasPicture && named);
}

void TdmKalvMain::SetCurrentChart(TfrKalvCustomNoiseDraw *Chart) {
  FCurrentChart = Chart;
  edaMain->SetActionEnabled(actNsSetChartDefHeight, Chart != nullptr);
}

void TdmKalvMain::RegionsChanged(int Count) {
  edaMain->SetActionEnabled(actNsCloseAll, Count > 0);
  edaMain->SetActionEnabled(actFlExpRgns, Count > 0);
}

void TdmKalvMain::RegionPageChanged(bool RegionPageActive) { edaMain->SetActionEnabled(actNsClose, RegionPageActive); }

void TdmKalvMain::edaMainBeforeEnableActions(TObject *) { SetCurrentPage(FCurrentPage); }

void TdmKalvMain::edaMainAfterEnableActions(TObject *) {
  if (FMainWindow != nullptr) FMainWindow->InvalidateStatusBar();
}

void TdmKalvMain::apeMainHint(TObject *) {
  if (FMainWindow != nullptr) FMainWindow->SetStatusText(0, Application()->Hint());
}

// ---- commands --------------------------------------------------------------------------------

namespace {
// Runs Body between DisableActions and EnableActions of Eda, also when Body fails.
template <class F> void WithActionsHeld(TEnableDisableActions &Eda, bool HourGlass, F &&Body) {
  Eda.DisableActions(HourGlass);
  try {
    Body();
  } catch (...) {
    Eda.EnableActions(HourGlass);
    throw;
  }
  Eda.EnableActions(HourGlass);
}
} // namespace

void TdmKalvMain::ConfigurationFailed(const Exception &E) {
  if (FConfWarned) return;
  FConfWarned = true;
  MessageBox(Format("The folders of the file dialogs cannot be remembered: %s", E.Message),
             Application()->Title(), MB_OK | MB_ICONWARNING);
}

bool TdmKalvMain::ExecuteFileDialog(TOpenDialog &Dialog, TFileDialogGroup Group) {
  try {
    PrepareFileDialog(*cnfUser, Dialog, Group);
  } catch (const Exception &e) {
    Dialog.FileName.clear();
    ConfigurationFailed(e);
  }
  if (!Dialog.Execute()) return false;
  try {
    RememberFileDialogFolder(*cnfUser, Dialog, Group);
  } catch (const Exception &e) {
    ConfigurationFailed(e);
  }
  return true;
}

void TdmKalvMain::actFlOpnExecute(TObject *) {
  WithActionsHeld(*edaMain, true, [&] {
    if (ExecuteFileDialog(*dlgPicOpn, fdgOpenPicture)) OpenFile(dlgPicOpn->FileName);
  });
}

void TdmKalvMain::actFlSaveExecute(TObject *) {
  TBitmap *bitmap = FMainWindow != nullptr && FCurrentPage >= pkRGB && FCurrentPage <= pkLb
                        ? FMainWindow->GetPageBitmap(FCurrentPage)
                        : nullptr;
  if (bitmap == nullptr || bitmap->Empty()) return;
  if (!ExecuteFileDialog(*dlgPicSve, fdgSavePicture)) return;
  SavePagePicture(*bitmap, dlgPicSve->FileName);
}

void TdmKalvMain::actFlImpPrjExecute(TObject *) {
  WithActionsHeld(*edaMain, true, [&] {
    if (ExecuteFileDialog(*dlgPrjImp, fdgProject)) OpenFile(dlgPrjImp->FileName);
  });
}

void TdmKalvMain::actFlExpPrjExecute(TObject *) {
  const TKalvPictureSource &source = FDocument.Source();
  if (source.Kind == skEmbedded) {
    // There is no file to name: the picture lives only inside the project it came from.
    MessageBox(Format("The picture \"%s\" exists only inside the project \"%s\". Save the project with "
                      "its picture to keep it.",
                      source.Name, source.Project),
               Application()->Title(), MB_OK | MB_ICONINFORMATION);
    return;
  }
  WithActionsHeld(*edaMain, false, [&] {
    if (!ExecuteFileDialog(*dlgPrjExp, fdgProject)) return;
    source.CheckFileUnchanged();
    TProgMemIniFile ini(dlgPrjExp->FileName);
    WriteWideOrDelete(ini, "Program", "FileName", Utf8FromPath(source.Path));
    WriteIntOrDelete(ini, "Program", "FileType", ftProject);
    WriteIntOrDelete(ini, "Program", "FileVersion", 0);
    if (FMainWindow != nullptr) FMainWindow->SaveRegions(ini, SRegionSectionFormat);
    ini.UpdateFile();
  });
}

void TdmKalvMain::actFlExpPrjWPicExecute(TObject *) {
  WithActionsHeld(*edaMain, true, [&] {
    if (!ExecuteFileDialog(*dlgPrjExp, fdgProject)) return;
    const TKalvPictureSource &source = FDocument.Source();
    if (source.Kind == skNone) throw EInvalidOperation("There is no picture to save with the project");
    TProgMemIniFile ini(dlgPrjExp->FileName);
    WriteWideOrDelete(ini, "Program", "FileName", Utf8FromPath(PathOf(source.Name).filename()));
    WriteIntOrDelete(ini, "Program", "FileType", ftProjectWithPicture);
    WriteIntOrDelete(ini, "Program", "FileVersion", 0);
    if (FMainWindow != nullptr) FMainWindow->SaveRegions(ini, SRegionSectionFormat);
    // Exactly the picture on show: the bytes it was decoded from, or its file as it was read.
    if (source.Kind == skEmbedded) {
      WriteProjectPictureBytes(ini, source.Bytes->Bytes(), source.Name);
    } else {
      source.CheckFileUnchanged();
      WriteProjectPicture(ini, Utf8FromPath(source.Path));
    }
    ini.UpdateFile();
  });
}

void TdmKalvMain::actFlImpRgnsExecute(TObject *) {
  WithActionsHeld(*edaMain, true, [&] {
    if (!ExecuteFileDialog(*dlgRgnImp, fdgProject)) return;
    // Any file's regions block: a project's regions come without its picture.
    const TProgMemIniFile ini(dlgRgnImp->FileName);
    if (FMainWindow != nullptr) FMainWindow->LoadRegions(ini, SRegionSectionFormat);
  });
}

void TdmKalvMain::actFlExpRgnsExecute(TObject *) {
  WithActionsHeld(*edaMain, true, [&] {
    if (!ExecuteFileDialog(*dlgRgnExp, fdgProject)) return;
    TProgMemIniFile ini(dlgRgnExp->FileName);
    WriteIntOrDelete(ini, "Program", "FileType", ftRegions);
    WriteIntOrDelete(ini, "Program", "FileVersion", 0);
    if (FMainWindow != nullptr) FMainWindow->SaveRegions(ini, SRegionSectionFormat);
    ini.UpdateFile();
  });
}

void TdmKalvMain::actFlExtExecute(TObject *) {
  if (FMainWindow != nullptr) FMainWindow->CloseMainWindow();
}

void TdmKalvMain::actNsCloseExecute(TObject *) {
  if (FMainWindow != nullptr) FMainWindow->RemoveCurrentRegion();
}

void TdmKalvMain::actNsCloseAllExecute(TObject *) {
  if (FMainWindow != nullptr) FMainWindow->ClearRegions();
}

void TdmKalvMain::actNsSetChartDefHeightExecute(TObject *) {
  if (FCurrentChart != nullptr && FMainWindow != nullptr) FMainWindow->SetChartDefaultHeight(FCurrentChart);
}

void TdmKalvMain::actNsSetChartsDefHeightExecute(TObject *) {
  if (FMainWindow == nullptr) return;
  if (TKalvNoiseTarget *panel = FMainWindow->PictureNoisePanel()) panel->SetChartsDefaultHeight();
}

void TdmKalvMain::actNsSameScaleExecute(TObject *) {
  // A click has toggled the check mark already; a call from code has not. Either way the command
  // ends up toggled once.
  FSameScale = !FSameScale;
  actNsSameScale->SetChecked(FSameScale);
  if (FMainWindow != nullptr) FMainWindow->RedrawAllCharts();
}

void TdmKalvMain::actHlpInfoExecute(TObject *) {
  auto hint = std::move(Application()->OnHint);
  Application()->OnHint = nullptr;
  try {
    if (OnShowInfo) OnShowInfo();
  } catch (...) {
    // A failing info window is dropped; the program goes on.
  }
  Application()->OnHint = std::move(hint);
}

bool TdmKalvMain::QueryClose() {
  if (FRunningJobs <= 0) return true;
  FClosing = true;
  tmjLoadPic->Terminate();
  if (FLabJob != nullptr) FLabJob->Terminate();
  return false;
}
