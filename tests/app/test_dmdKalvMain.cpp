#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>

#include "app/WideIniFile.h"
#include "app/WideMemIniCnfCtrl.h"
#include "app/untKalvRegionsFile.h"
#include "app/untKalvProjectFile.h"
#include "app/dmdKalvMain.h"
#include "app/untKalvNoiseTarget.h"
#include "engine/untGraphics.h"
#include "engine/untJpeg.h"
#include "engine/untKalvPicJobData.h"
#include "engine/untKalvPicJobDataJobs.h"
#include "platform/untApplication.h"
#include "platform/untDialogs.h"
#include "platform/untMessages.h"
#include "tests/common/EventLoopProbe.h"
#include "tests/common/ModuleTestUtil.h"
#include "tests/common/TestUtil.h"
#include "threading/untJobData.h"

namespace {

namespace fs = std::filesystem;

// The noise panel as the module sees it: records what it is given.
struct FakePanel : TKalvNoiseTarget {
  struct Call {
    int Chart, Channel;
    std::int64_t SCount, SSum;
  };
  std::vector<Call> Calls;
  std::array<int, 4> Position{-1, -1, -1, -1};
  int Resets = 0;
  int DefaultHeights = 0;
  void SetChartData(int Chart, int Channel, const TChannelNoiseData *Data) override {
    Calls.push_back({Chart, Channel, Data != nullptr ? Data->SCount : -1, Data != nullptr ? Data->SSum : -1});
  }
  void SetPositionFields(int L, int T, int W, int H) override { Position = {L, T, W, H}; }
  void Reset() override {
    ++Resets;
    Position = {-1, -1, -1, -1};
  }
  void SetChartsDefaultHeight() override { ++DefaultHeights; }
};

// The main window as the module sees it.
struct FakeWindow : TKalvMainIntf {
  FakeWindow() {
    Wnd = std::make_unique<TMessageWindow>([this](TMessage &M) {
      if (M.Msg == WM_APP + 1 || M.Msg == WM_APP + 2) {
        std::unique_ptr<TJobInfoText> text = TakePayload<TJobInfoText>(M);
        Progress.push_back({M.Msg, text->Text()});
      }
    });
  }
  HWND ProgressWnd() override { return Wnd->Handle(); }
  TBitmap *GetPageBitmap(int Page) override {
    return Page >= 1 && Page <= 7 ? Pages[static_cast<size_t>(Page - 1)].get() : nullptr;
  }
  void SetPageBitmap(int Page, std::unique_ptr<TBitmap> Bitmap) override {
    HandOrder.push_back(Page);
    Pages.at(static_cast<size_t>(Page - 1)) = std::move(Bitmap);
  }
  TKalvNoiseTarget *PictureNoisePanel() override { return &Panel; }
  void SetPictureCaption(const std::string &C) override { Caption = C; }
  void AddRegion(int X1, int Y1, int X2, int Y2) override { Regions.push_back(Rect(X1, Y1, X2, Y2)); }
  void AddRegions(std::vector<std::array<int, 4>> Corners) override {
    for (const auto &c : Corners) AddRegion(c[0], c[1], c[2], c[3]);
  }
  std::vector<TRect> RegionRects() override { return Regions; }
  void ClearRegions() override {
    ++ClearedRegions;
    Regions.clear();
  }
  void SaveRegions(TWideFileMemIniFile &Ini, const std::string &Format) override {
    SaveRegionsToIni(Ini, Format, Regions);
  }
  void LoadRegions(const TWideFileMemIniFile &Ini, const std::string &Format) override {
    LoadRegionsFromIni(Ini, Format, [this](int X1, int Y1, int X2, int Y2) { AddRegion(X1, Y1, X2, Y2); });
  }
  void RemoveCurrentRegion() override { ++RemovedRegions; }
  void RedrawAllCharts() override { ++Redraws; }
  void SetChartDefaultHeight(TfrKalvCustomNoiseDraw *C) override { DefaultHeightChart = C; }
  void SetStatusText(int P, const std::string &T) override { Status[P] = T; }
  void InvalidateStatusBar() override { ++StatusInvalidated; }
  QWidget *MainWidget() override { return nullptr; }
  void CloseMainWindow() override { ++Closes; }

  std::unique_ptr<TMessageWindow> Wnd;
  std::array<std::unique_ptr<TBitmap>, 7> Pages;
  std::vector<int> HandOrder;
  FakePanel Panel;
  std::string Caption;
  std::vector<TRect> Regions; // as given, unfitted
  int ClearedRegions = 0, RemovedRegions = 0, Redraws = 0, StatusInvalidated = 0, Closes = 0;
  TfrKalvCustomNoiseDraw *DefaultHeightChart = nullptr;
  std::map<int, std::string> Status;
  std::vector<std::pair<UINT, std::string>> Progress;
};

struct ModuleFixture : ::testing::Test {
  ModuleFixture() {
    // The user configuration goes to a folder of the test's own.
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((Dir.Path / "config").string()));
    OldBox = SetMessageBoxFunction([this](const std::string &Text, const std::string &, UINT) {
      Boxes.push_back(Text);
      return IDOK;
    });
    Module = std::make_unique<TdmKalvMain>();
    Module->SetMainWindow(&Window);
    Module->InitModule();
  }
  ~ModuleFixture() override {
    testutil::ProcessUntil([&] { return !Module->IsBusy(); }, 30000);
    Module.reset();
    SetMessageBoxFunction(OldBox);
  }
  bool WaitIdle(int Ms = 30000) { return testutil::ProcessUntil([&] { return !Module->IsBusy(); }, Ms); }
  void TearDown() override { EXPECT_EQ(testutil::NestedEventLoops(), NestedAtStart) << "a nested event loop ran"; }

  testutil::TempDir Dir;
  int NestedAtStart = testutil::NestedEventLoops();
  TMessageBoxFunction OldBox;
  std::vector<std::string> Boxes;
  FakeWindow Window;
  std::unique_ptr<TdmKalvMain> Module;
};

TEST_F(ModuleFixture, CommandTableMenusAndImages) {
  struct Row {
    TAction *A;
    const char *Caption, *Hint, *Short, *Cat;
    int Image;
  };
  TdmKalvMain &m = *Module;
  const Row rows[] = {
      {m.actFlOpn, "&open picture", "open a picture file for analysis", "Ctrl+O", CAT_FILE, 0},
      {m.actFlSave, "&save current page picture", "save the picture from current tabsheet", "Ctrl+S", CAT_FILE, 1},
      {m.actFlImpPrj, "open &project", "load a project from project file", "", CAT_FILE, -1},
      {m.actFlExpPrj, "s&ave project", "save project without picture in project file", "", CAT_FILE, -1},
      {m.actFlExpPrjWPic, "save project &with picture", "save project with picture in project file", "", CAT_FILE, -1},
      {m.actFlImpRgns, "&import regions", "load regions from file", "Ctrl+I", CAT_FILE, -1},
      {m.actFlExpRgns, "&export regions", "save regions to use in another picture", "Ctrl+E", CAT_FILE, -1},
      {m.actFlExt, "e&xit", "close this program", "Alt+X", CAT_FILE, -1},
      {m.actNsClose, "&remove region", "remove selected region from picture", "", CAT_NOISE, 2},
      {m.actNsCloseAll, "remove &all regions", "remove all regions from picture", "", CAT_NOISE, -1},
      {m.actNsSetChartDefHeight, "&set chart to default height", "set current chart to default height", "", CAT_NOISE, -1},
      {m.actNsSetChartsDefHeight, "set all charts to default height", "set all charts to default height", "", CAT_NOISE, -1},
      {m.actNsSameScale, "same scale", "use the same scale in all charts", "", CAT_NOISE, -1},
      {m.actHlpInfo, "&info", "show program informations", "", CAT_HELP, -1},
  };
  ASSERT_EQ(m.aclMain->ActionCount(), 14);
  for (int i = 0; i < 14; ++i) {
    const Row &r = rows[i];
    EXPECT_EQ(m.aclMain->Actions(i), r.A);
    EXPECT_EQ(r.A->Caption(), r.Caption);
    EXPECT_EQ(r.A->Hint(), r.Hint);
    EXPECT_EQ(r.A->ShortCut(), r.Short);
    EXPECT_EQ(TdmKalvMain::ActionCategory(r.A), r.Cat);
    EXPECT_EQ(r.A->ImageIndex(), r.Image);
    EXPECT_EQ(r.A->Action()->icon().isNull(), r.Image < 0) << r.Caption;
  }
  EXPECT_TRUE(m.actNsSameScale->Action()->isCheckable());
  ASSERT_EQ(m.imlNrm->Count(), 3);
  ASSERT_EQ(m.imlHot->Count(), 3);
  ASSERT_EQ(m.imlDis->Count(), 3);
  // The icons were drawn (not blank) and the disabled look differs from the normal one.
  for (int i = 0; i < 3; ++i) {
    const QImage n = m.imlNrm->Image(i).toImage(), d = m.imlDis->Image(i).toImage();
    EXPECT_NE(n, QImage(n.size(), n.format())) << i;
    EXPECT_NE(n, d) << i;
  }

  auto texts = [](QMenu *menu) {
    std::vector<std::string> out;
    for (QAction *a : menu->actions()) out.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    return out;
  };
  const QList<QAction *> top = m.mnuMain->actions();
  ASSERT_EQ(top.size(), 3);
  EXPECT_EQ(top[0]->text(), "&File");
  EXPECT_EQ(top[1]->text(), "&Picture");
  EXPECT_EQ(top[2]->text(), "Help");
  EXPECT_EQ(texts(top[0]->menu()),
            (std::vector<std::string>{"&open picture", "&save current page picture", "-", "open &project", "s&ave project",
                                      "save project &with picture", "-", "&import regions", "&export regions", "-",
                                      "e&xit"}));
  EXPECT_EQ(texts(top[1]->menu()), (std::vector<std::string>{"&remove region", "remove &all regions", "-",
                                                             "set all charts to default height", "-", "same scale"}));
  EXPECT_EQ(texts(top[2]->menu()), (std::vector<std::string>{"&info"}));
  ASSERT_EQ(m.pmnRect->actions().size(), 1);
  EXPECT_EQ(m.pmnRect->actions()[0], m.actNsClose->Action());

  EXPECT_EQ(m.thmMain->ProcessorAffinity(), tpaHardToSingleProcessor);
  EXPECT_EQ(m.thmMain->MaxThreadJobCount(), 20);
  EXPECT_EQ(m.tmjLoadPic->ThreadMan(), m.thmMain);
  EXPECT_EQ(m.tmjLoadPic->Executes, (TThreadManJobExecutes{tmjeWaiting, tmjeInternBeforeExecute, tmjeInternExecute,
                                                          tmjeInternAfterExecute, tmjeDone}));
  EXPECT_EQ(m.tmjLoadPic->TargetPanel, &Window.Panel);
  EXPECT_EQ(m.tmrRun->interval(), 333);
  EXPECT_EQ(m.mlpMain->WaitCount(), 200u);
  EXPECT_FALSE(m.cnfUser->Active());
  EXPECT_TRUE(m.cnfUser->AutoUpdateFile());
}

TEST_F(ModuleFixture, DialogsAndCopiedFilters) {
  TdmKalvMain &m = *Module;
  EXPECT_EQ(m.dlgPicOpn->Title, "Open Picture");
  EXPECT_EQ(m.dlgPicOpn->DefaultExt, "jpg");
  EXPECT_EQ(m.dlgPicOpn->FilterIndex, 1);
  EXPECT_TRUE(m.dlgPicOpn->Options.count(ofFileMustExist));
  EXPECT_TRUE(m.dlgPicOpn->Options.count(ofHideReadOnly));
  EXPECT_TRUE(m.dlgPicOpn->Options.count(ofForceShowHidden));
  EXPECT_FALSE(m.dlgPicOpn->IsSaveDialog());
  for (TOpenDialog *save : {static_cast<TOpenDialog *>(m.dlgPicSve), static_cast<TOpenDialog *>(m.dlgPrjExp),
                            static_cast<TOpenDialog *>(m.dlgRgnExp)}) {
    EXPECT_TRUE(save->IsSaveDialog());
    EXPECT_TRUE(save->Options.count(ofOverwritePrompt));
    EXPECT_TRUE(save->Options.count(ofPathMustExist));
    EXPECT_TRUE(save->Options.count(ofNoTestFileCreate));
    EXPECT_FALSE(save->Options.count(ofFileMustExist));
  }
  // InitModule copied filter and extension to the save dialogs.
  EXPECT_EQ(m.dlgPicSve->Filter, m.dlgPicOpn->Filter);
  EXPECT_EQ(m.dlgPicSve->DefaultExt, "jpg");
  EXPECT_EQ(m.dlgPicSve->Title, "Save Picture");
  EXPECT_EQ(m.dlgPrjExp->Filter, "Projects (*.KalvexProject)|*.KalvexProject|All Files (*.*)|*.*");
  EXPECT_EQ(m.dlgPrjExp->DefaultExt, "KalvexProject");
  EXPECT_EQ(m.dlgRgnExp->Filter, m.dlgRgnImp->Filter);
  EXPECT_EQ(m.dlgRgnExp->DefaultExt, "KalvexRegions");
  EXPECT_EQ(m.dlgRgnImp->Title, "Import Regions");
  EXPECT_EQ(m.dlgRgnExp->Title, "Export Regions");
  EXPECT_EQ(m.dlgPrjImp->Title, "Open Project");
  EXPECT_EQ(m.dlgPrjExp->Title, "Save Project");
  // The configuration file lives in the user's folder of the program.
  EXPECT_NE(m.cnfUser->ConfDestination().find("/Orvane/"), std::string::npos);
  EXPECT_NE(m.cnfUser->ConfDestination().find("User.conf"), std::string::npos);
  EXPECT_GT(m.CounterFrequency(), 0);
}

TEST_F(ModuleFixture, OpenPictureFillsTheViewsAndThePanel) {
  const fs::path file = Dir.Path / "pic.jpg";
  testutil::WriteTestJpeg(file, 37, 23);
  EXPECT_FALSE(Module->IsBusy());
  ASSERT_TRUE(Module->OpenFile(file.string()));
  // The job waits or runs: counted, commands held, timer on.
  EXPECT_TRUE(Module->IsBusy());
  EXPECT_FALSE(Module->actFlOpn->Enabled());
  EXPECT_FALSE(Module->actHlpInfo->Enabled());
  EXPECT_TRUE(Module->tmrRun->isActive());
  // The work on show stays until the new picture has loaded.
  EXPECT_EQ(Window.Caption, "");
  EXPECT_EQ(Window.Panel.Resets, 0);
  EXPECT_EQ(Window.ClearedRegions, 0);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Window.Caption, "pic.jpg");
  EXPECT_EQ(Window.Panel.Resets, 1);
  EXPECT_EQ(Window.ClearedRegions, 1);
  EXPECT_FALSE(Module->tmrRun->isActive());
  EXPECT_TRUE(Module->actFlOpn->Enabled());
  EXPECT_TRUE(Module->actHlpInfo->Enabled());

  // Seven pictures of the right size and depth, handed over b* first and RGB last; a* and b* come
  // again from their own job once the figures are shown, with the pixels a whole load job makes.
  const std::vector<int> order = {7, 6, 5, 4, 3, 2, 1, 7, 6};
  EXPECT_EQ(Window.HandOrder, order);
  TJPEGPicJobData whole(file.string(), NoProgressWnd);
  whole.Run();
  for (int page : {6, 7}) {
    auto *shown = dynamic_cast<TBitmap24 *>(Window.GetPageBitmap(page));
    auto *made = dynamic_cast<TBitmap24 *>(whole.Pic(static_cast<TPicKind>(page)));
    ASSERT_TRUE(shown != nullptr && made != nullptr && !made->Empty()) << page;
    for (int y = 0; y < 23; ++y) EXPECT_EQ(std::memcmp(shown->ScanLine(y), made->ScanLine(y), 37 * 3), 0) << page;
  }
  for (int page = 1; page <= 7; ++page) {
    TBitmap *b = Window.GetPageBitmap(page);
    ASSERT_NE(b, nullptr) << page;
    EXPECT_EQ(b->Width(), 37);
    EXPECT_EQ(b->Height(), 23);
    EXPECT_EQ(b->PixelFormat(), page >= 2 && page <= 5 ? pf8bit : pf24bit) << page;
  }
  EXPECT_EQ(Window.Panel.Position, (std::array<int, 4>{0, 0, 37, 23}));

  // Nine charts: single channels as channel 0, the combined charts with their channel numbers.
  const std::vector<std::pair<int, int>> expected = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 1}, {4, 2}, {4, 3},
                                                     {4, 0}, {5, 0}, {6, 0}, {7, 0}, {8, 0}, {8, 1}, {8, 2}};
  ASSERT_EQ(Window.Panel.Calls.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(Window.Panel.Calls[i].Chart, expected[i].first) << i;
    EXPECT_EQ(Window.Panel.Calls[i].Channel, expected[i].second) << i;
    EXPECT_EQ(Window.Panel.Calls[i].SCount, 37 * 23) << i;
  }
  // The RGB L* chart's channel 1 is R (the same sums as chart 0), its channel 0 is L* (chart 3).
  EXPECT_EQ(Window.Panel.Calls[4].SSum, Window.Panel.Calls[0].SSum);
  EXPECT_EQ(Window.Panel.Calls[7].SSum, Window.Panel.Calls[3].SSum);
  EXPECT_EQ(Window.Panel.Calls[12].SSum, Window.Panel.Calls[9].SSum);

  // Progress texts reached the window; the elapsed time shows as " <seconds with 3 decimals>s".
  testutil::ProcessUntil([&] { return Window.Progress.size() >= 5; }, 2000);
  ASSERT_FALSE(Window.Progress.empty());
  EXPECT_EQ(Window.Progress.front(), (std::pair<UINT, std::string>{WM_APP + 2, "Load file"}));
  bool named = false;
  for (auto &p : Window.Progress) named |= p.first == WM_APP + 1 && p.second == file.string();
  EXPECT_TRUE(named);
  EXPECT_EQ(Window.Progress.back(), (std::pair<UINT, std::string>{WM_APP + 2, ""}));
  EXPECT_TRUE(testutil::IsElapsedText(Window.Status[1])) << Window.Status[1];
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(ModuleFixture, CommandStatesFollowThePictureOnEveryPage) {
  const TAction *needPicture[] = {Module->actFlSave, Module->actFlImpRgns, Module->actFlExpPrj, Module->actFlExpPrjWPic};
  for (int page = 0; page <= 8; ++page) {
    Module->SetCurrentPage(static_cast<std::uint8_t>(page));
    for (const TAction *a : needPicture) EXPECT_FALSE(a->Enabled()) << page << " " << a->Name();
  }
  const fs::path file = Dir.Path / "pic.jpg";
  testutil::WriteTestJpeg(file, 16, 12);
  Module->SetCurrentPage(3);
  ASSERT_TRUE(Module->OpenFile(file.string()));
  ASSERT_TRUE(WaitIdle());
  // The enabler recomputed the page's commands before it let them go.
  EXPECT_EQ(Module->CurrentPage(), 3);
  for (const TAction *a : needPicture) EXPECT_TRUE(a->Enabled()) << a->Name();
  for (int page = 1; page <= 7; ++page) {
    Module->SetCurrentPage(static_cast<std::uint8_t>(page));
    for (const TAction *a : needPicture) EXPECT_TRUE(a->Enabled()) << page << " " << a->Name();
  }
  for (int page : {0, 8, 255}) {
    Module->SetCurrentPage(static_cast<std::uint8_t>(page));
    for (const TAction *a : needPicture) EXPECT_FALSE(a->Enabled()) << page;
  }
  // The picture's file is gone: only "save project" (without picture) needs it.
  fs::remove(file);
  Module->SetCurrentPage(1);
  EXPECT_FALSE(Module->actFlExpPrj->Enabled());
  EXPECT_TRUE(Module->actFlSave->Enabled());
  EXPECT_TRUE(Module->actFlExpPrjWPic->Enabled());

  // A state set while the commands are held shows when they are let go.
  Module->edaMain->DisableActions(false);
  Module->RegionsChanged(2);
  Module->RegionPageChanged(true);
  EXPECT_FALSE(Module->actNsCloseAll->Enabled());
  Module->edaMain->EnableActions(false);
  EXPECT_TRUE(Module->actNsCloseAll->Enabled());
  EXPECT_TRUE(Module->actFlExpRgns->Enabled());
  EXPECT_TRUE(Module->actNsClose->Enabled());
  Module->RegionsChanged(0);
  Module->RegionPageChanged(false);
  EXPECT_FALSE(Module->actNsCloseAll->Enabled());
  EXPECT_FALSE(Module->actNsClose->Enabled());

  int marker = 0;
  auto *chart = reinterpret_cast<TfrKalvCustomNoiseDraw *>(&marker);
  Module->SetCurrentChart(chart);
  EXPECT_TRUE(Module->actNsSetChartDefHeight->Enabled());
  Module->actNsSetChartDefHeight->Execute();
  EXPECT_EQ(Window.DefaultHeightChart, chart);
  Module->SetCurrentChart(nullptr);
  EXPECT_FALSE(Module->actNsSetChartDefHeight->Enabled());
}

TEST_F(ModuleFixture, FileKindsAndUnknownFilesChangeNothing) {
  EXPECT_EQ(GetFileKind("/x/a.JPG"), fkJPEG);
  EXPECT_EQ(GetFileKind("/x/a.jpe"), fkJPEG);
  EXPECT_EQ(GetFileKind("/x/a.Jpeg"), fkJPEG);
  EXPECT_EQ(GetFileKind("/x/a.bMp"), fkBMP);
  const fs::path project = Dir.Path / "p.KalvexProject", withPic = Dir.Path / "w.KalvexProject",
                 regions = Dir.Path / "r.KalvexRegions", odd = Dir.Path / "odd.KalvexProject",
                 high = Dir.Path / "high.txt";
  testutil::WriteFile(project, "; DO NOT EDIT THIS FILE!\r\n\r\n[Program]\r\nVersion=1\r\n");
  testutil::WriteFile(withPic, "[Program]\r\nFileType=1\r\n");
  testutil::WriteFile(regions, "[Program]\r\nFileType=2\r\n");
  testutil::WriteFile(odd, "[Program]\r\nFileType=7\r\n");
  testutil::WriteFile(high, "[Program]\r\nFileType=258\r\n"); // only the low 8 bits count
  EXPECT_EQ(GetFileKind(project.string()), fkProject);
  EXPECT_EQ(GetFileKind(withPic.string()), fkProjectWithPicture);
  EXPECT_EQ(GetFileKind(regions.string()), fkRegions);
  EXPECT_EQ(GetFileKind(odd.string()), fkUnknown);
  EXPECT_EQ(GetFileKind(high.string()), fkRegions);
  // A huge foreign file is not read whole to learn that it is none of the program's.
  const fs::path huge = Dir.Path / "huge.mkv";
  testutil::WriteFile(huge, "[Program]\r\nFileType=1\r\n");
  fs::resize_file(huge, MaxKindProbeSize + 1); // sparse: costs no disk space
  EXPECT_EQ(GetFileKind(huge.string()), fkUnknown);

  const fs::path file = Dir.Path / "pic.jpg";
  testutil::WriteTestJpeg(file, 20, 10);
  ASSERT_TRUE(Module->OpenFile(file.string()));
  ASSERT_TRUE(WaitIdle());
  TBitmap *rgb = Window.GetPageBitmap(1);
  const int resets = Window.Panel.Resets, cleared = Window.ClearedRegions;
  const size_t handed = Window.HandOrder.size();

  for (const fs::path &p : {odd, regions}) {
    EXPECT_FALSE(Module->OpenFile(p.string()));
    EXPECT_EQ(Module->CurrentFileName(), file.string());
    EXPECT_EQ(Window.Caption, "pic.jpg");
    EXPECT_FALSE(Module->IsBusy());
  }
  EXPECT_EQ(Window.GetPageBitmap(1), rgb);
  EXPECT_EQ(Window.Panel.Resets, resets);
  EXPECT_EQ(Window.ClearedRegions, cleared);
  EXPECT_EQ(Window.HandOrder.size(), handed);
  // Projects go to the project reader (which the project file's unit provides).
  std::string read;
  Module->OnReadProject = [&](const std::string &F) { read = F; };
  EXPECT_TRUE(Module->OpenFile(withPic.string()));
  EXPECT_EQ(read, withPic.string());
}

TEST_F(ModuleFixture, BrokenPictureIsReportedAndLeavesTheModuleIdle) {
  const fs::path file = Dir.Path / "broken.jpg";
  testutil::WriteFile(file, std::string("\xFF\xD8\xFF\xE0 this is not a picture", 26));
  ASSERT_TRUE(Module->OpenFile(file.string()));
  ASSERT_TRUE(WaitIdle());
  EXPECT_FALSE(Module->IsBusy());
  EXPECT_TRUE(Module->actFlOpn->Enabled());
  ASSERT_EQ(Boxes.size(), 1u); // the job framework's report of the failed decode
  EXPECT_NE(Boxes[0].find(STruncatedJpeg), std::string::npos) << Boxes[0]; // its data ends in a marker segment
  for (int page = 1; page <= 7; ++page) {
    TBitmap *b = Window.GetPageBitmap(page);
    EXPECT_TRUE(b == nullptr || b->Empty());
  }
  Module->SetCurrentPage(1);
  EXPECT_FALSE(Module->actFlSave->Enabled());

  // A missing picture file fails the same way.
  Boxes.clear();
  ASSERT_TRUE(Module->OpenFile((Dir.Path / "missing.bmp").string()));
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Boxes.size(), 1u);
}

TEST_F(ModuleFixture, FailedStartFreesTheDataAndStopsTheTimer) {
  const fs::path file = Dir.Path / "pic.jpg";
  testutil::WriteTestJpeg(file, 8, 8);
  Module->tmjLoadPic->SetThreadMan(nullptr);
  EXPECT_THROW(Module->OpenFile(file.string()), EThreadManNoThreadMan);
  EXPECT_FALSE(Module->IsBusy());
  EXPECT_FALSE(Module->tmrRun->isActive());
  EXPECT_TRUE(Module->actFlOpn->Enabled());
  Module->tmjLoadPic->SetThreadMan(Module->thmMain);
  ASSERT_TRUE(Module->OpenFile(file.string()));
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Window.GetPageBitmap(1)->Width(), 8);
}

// A job whose end the test can see.
struct TrackedJob : dmdKalvMain::TThreadManJob {
  using dmdKalvMain::TThreadManJob::TThreadManJob;
  ~TrackedJob() override { ++Freed; }
  static inline int Freed = 0;
};

TEST_F(ModuleFixture, RegionJobsShareTheHandlersButNotTheLoadSideEffects) {
  FakePanel region;
  TrackedJob::Freed = 0;
  std::unique_ptr<TrackedJob> job = Module->CreateJob<TrackedJob>(&region);
  EXPECT_EQ(job->Owner(), nullptr);
  EXPECT_EQ(job->TargetPanel, &region);
  EXPECT_TRUE(job->FreeOnDone);
  EXPECT_EQ(job->ThreadMan(), Module->thmMain);
  EXPECT_EQ(job->Executes, Module->tmjLoadPic->Executes);
  EXPECT_TRUE(static_cast<bool>(job->OnDone));

  // The copy operation copies TargetPanel between jobs of the module's class only.
  dmdKalvMain::TThreadManJob other(nullptr);
  other.Assign(job.get());
  EXPECT_EQ(other.TargetPanel, &region);

  auto bmp = std::make_unique<TBitmap24>();
  bmp->SetSize(10, 6);
  auto data = std::make_unique<TMemPicJobData>(std::move(bmp), NoProgressWnd);
  data->Job = job.get();
  StartJob(std::move(job), std::move(data)); // the manager frees the job, the done handler the data
  EXPECT_TRUE(Module->IsBusy());
  EXPECT_FALSE(Module->tmrRun->isActive()); // no time is shown for region runs
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(TrackedJob::Freed, 1);
  EXPECT_EQ(region.Calls.size(), 14u);
  EXPECT_EQ(region.Calls[0].SCount, 60);
  EXPECT_EQ(region.Position, (std::array<int, 4>{-1, -1, -1, -1}));
  EXPECT_TRUE(Window.HandOrder.empty());
  EXPECT_TRUE(Window.Status.find(1) == Window.Status.end());
  EXPECT_TRUE(Module->actFlOpn->Enabled());
}

TEST_F(ModuleFixture, CommandsReachTheWindow) {
  Module->actNsSameScale->Execute();
  EXPECT_TRUE(Module->SameScale());
  EXPECT_TRUE(Module->actNsSameScale->Checked());
  EXPECT_EQ(Window.Redraws, 1);
  // A click toggles the check mark itself; the command still toggles only once.
  Module->actNsSameScale->Action()->trigger();
  EXPECT_FALSE(Module->SameScale());
  EXPECT_FALSE(Module->actNsSameScale->Checked());
  EXPECT_EQ(Window.Redraws, 2);

  Module->actNsSetChartsDefHeight->Execute();
  EXPECT_EQ(Window.Panel.DefaultHeights, 1);
  Module->actNsSetChartDefHeight->Execute(); // no current chart: nothing
  EXPECT_EQ(Window.DefaultHeightChart, nullptr);
  Module->actFlExt->Execute();
  EXPECT_EQ(Window.Closes, 1);
  Module->RegionsChanged(1);
  Module->RegionPageChanged(true);
  Module->actNsClose->Execute();
  Module->actNsCloseAll->Execute();
  EXPECT_EQ(Window.RemovedRegions, 1);
  EXPECT_EQ(Window.ClearedRegions, 1);

  // Hints go to panel 0, except while the info window is up; a failing info window is dropped.
  Application()->SetHint("close this program");
  EXPECT_EQ(Window.Status[0], "close this program");
  bool shown = false;
  Module->OnShowInfo = [&] {
    shown = true;
    Application()->SetHint("inside");
    throw Exception("no window");
  };
  Module->actHlpInfo->Execute();
  EXPECT_TRUE(shown);
  EXPECT_EQ(Window.Status[0], "close this program");
  Application()->SetHint("");
  EXPECT_EQ(Window.Status[0], "");
}

TEST_F(ModuleFixture, OpenCommandRemembersTheFolder) {
  const fs::path folder = Dir.Path / "pics";
  fs::create_directories(folder);
  const fs::path file = folder / "a.jpg";
  testutil::WriteTestJpeg(file, 12, 9);
  std::vector<std::string> initialDirs;
  auto old = SetFileDialogExecuteFunction([&](TOpenDialog &D) {
    initialDirs.push_back(D.InitialDir);
    D.FileName = file.string();
    return true;
  });
  Module->actFlOpn->Execute();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Window.GetPageBitmap(1)->Width(), 12);
  Module->actFlOpn->Execute();
  ASSERT_TRUE(WaitIdle());
  SetFileDialogExecuteFunction(old);
  ASSERT_EQ(initialDirs.size(), 2u);
  EXPECT_EQ(initialDirs[1], folder.string());
  // Cancelling opens nothing and lets the commands go.
  old = SetFileDialogExecuteFunction([](TOpenDialog &) { return false; });
  const size_t handed = Window.HandOrder.size();
  Module->actFlOpn->Execute();
  SetFileDialogExecuteFunction(old);
  EXPECT_EQ(Window.HandOrder.size(), handed);
  EXPECT_TRUE(Module->actFlOpn->Enabled());
  EXPECT_EQ(Module->edaMain->DisableCount(), 0);
}

// A close while a load runs is deferred: the load is stopped, none of its partial figures or pages
// reach the window, and the window is closed again from the event loop once no job is counted.
TEST_F(ModuleFixture, ACloseDuringALoadStopsItAndClosesWhenTheLastJobIsDone) {
  const fs::path file = Dir.Path / "big.jpg";
  testutil::WriteTestJpeg(file, 1600, 1200);
  ASSERT_TRUE(Module->OpenFile(file.string()));
  EXPECT_FALSE(Module->QueryClose());
  EXPECT_TRUE(Module->Closing());
  EXPECT_TRUE(testutil::ProcessUntil([&] { return Window.Closes == 1; }));
  EXPECT_FALSE(Module->IsBusy());
  EXPECT_TRUE(Module->QueryClose());
  EXPECT_TRUE(Window.Panel.Calls.empty());
  for (int page = 1; page <= 7; ++page) EXPECT_EQ(Window.GetPageBitmap(page), nullptr) << page;
  EXPECT_TRUE(Window.Caption.empty());
  EXPECT_FALSE(Module->tmjLoadPic->Terminated()); // reset after its done event
  EXPECT_TRUE(Boxes.empty()); // a stopped load is no error
  // Nothing new starts once closing.
  ASSERT_TRUE(Module->OpenFile(file.string()));
  EXPECT_FALSE(Module->IsBusy());
}

// The a* and b* pages come from a job of their own after the figures: a close while it runs waits
// for it and the pages stay empty; a failure there is shown, and the rest of the work stays.
TEST_F(ModuleFixture, TheLabPagesJobIsWaitedForOnCloseAndItsFailureKeepsTheFigures) {
  const fs::path file = Dir.Path / "pic.jpg";
  testutil::WriteTestJpeg(file, 320, 240);
  std::atomic<bool> hold{true}, fail{false};
  const auto expectFivePages = [&] {
    for (int page = 1; page <= 7; ++page) {
      TBitmap *b = Window.GetPageBitmap(page);
      EXPECT_EQ(b != nullptr && !b->Empty(), page <= 5) << page;
    }
  };
  TPicPartThread::SetFaultForTests([&](TPicPartThread &Part) {
    auto *data = dynamic_cast<TPicPartThreadData *>(&Part);
    if (data == nullptr || data->PicLa.empty() || data->PicLa[0] == nullptr) return; // the load's own
    if (fail) throw EOutOfMemory("a* out of memory");
    while (hold) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  ASSERT_TRUE(Module->OpenFile(file.string()));
  EXPECT_TRUE(testutil::ProcessUntil([&] { return !Module->IsLoading(); }));
  EXPECT_EQ(Window.Panel.Calls.size(), 14u); // the figures are shown
  EXPECT_TRUE(Module->IsBusy());
  EXPECT_FALSE(Module->actFlOpn->Enabled());
  EXPECT_THROW(Module->OpenFile(file.string()), EInvalidOperation); // its picture stays as it is
  EXPECT_FALSE(Module->QueryClose());
  hold = false;
  EXPECT_TRUE(testutil::ProcessUntil([&] { return Window.Closes == 1; }));
  expectFivePages();
  EXPECT_TRUE(Boxes.empty()); // a stopped job is no error

  // A module of its own, not closing.
  Module.reset();
  Module = std::make_unique<TdmKalvMain>();
  Module->SetMainWindow(&Window);
  Module->InitModule();
  Window.Panel.Calls.clear();
  fail = true;
  ASSERT_TRUE(Module->OpenFile(file.string()));
  const bool idle = WaitIdle();
  TPicPartThread::SetFaultForTests(nullptr);
  ASSERT_TRUE(idle);
  ASSERT_EQ(Boxes.size(), 1u);
  EXPECT_NE(Boxes[0].find("a* out of memory"), std::string::npos) << Boxes[0];
  EXPECT_EQ(Window.Panel.Calls.size(), 14u);
  expectFivePages();
  EXPECT_TRUE(Module->actFlOpn->Enabled());
}

} // namespace

namespace {

// A part thread that fails fails the load: its error is shown like any load error and neither
// pictures nor figures reach the window.
TEST_F(ModuleFixture, AFailedPartShowsItsErrorAndHandsOverNothing) {
  const fs::path file = Dir.Path / "pic.jpg";
  testutil::WriteTestJpeg(file, 64, 48);
  TPicPartThread::SetFaultForTests([](TPicPartThread &Part) {
    if (dynamic_cast<TPicPartThreadNoise *>(&Part) != nullptr) throw EOutOfMemory("Part out of memory");
  });
  ASSERT_TRUE(Module->OpenFile(file.string()));
  const bool idle = WaitIdle();
  TPicPartThread::SetFaultForTests(nullptr);
  ASSERT_TRUE(idle);
  ASSERT_EQ(Boxes.size(), 1u);
  EXPECT_NE(Boxes[0].find("Part out of memory"), std::string::npos) << Boxes[0];
  EXPECT_TRUE(Window.Panel.Calls.empty());
  EXPECT_EQ(Window.Panel.Position, (std::array<int, 4>{-1, -1, -1, -1}));
  for (int page = 1; page <= 7; ++page) {
    TBitmap *b = Window.GetPageBitmap(page);
    EXPECT_TRUE(b == nullptr || b->Empty()) << page;
  }
  EXPECT_TRUE(Module->actFlOpn->Enabled());
}

} // namespace

namespace {

// A worker that does not stop when the module goes still runs the template job: the job must
// outlive it (it is left in memory, and stderr says so) instead of being freed under the worker.
TEST(ModuleShutdown, AWorkerThatDoesNotStopKeepsItsJob) {
  std::atomic<bool> release{false};
  struct TBlockingData : TJobData {
    std::atomic<bool> *Release;
    explicit TBlockingData(std::atomic<bool> *R) : Release(R) {}
    void Execute() override {
      while (!Release->load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      CheckTerminated(); // reads the job once more
    }
  };
  auto module = std::make_unique<TdmKalvMain>();
  module->thmMain->ThreadCountChangeTimeOut = 300;
  ::TThreadManJob *job = module->tmjLoadPic;
  auto data = std::make_unique<TBlockingData>(&release);
  data->Job = job;
  job->Start(static_cast<TJobData *>(data.get()));
  ASSERT_TRUE(testutil::ProcessUntil([&] { return job->State() == tmjsInternExecute; }));
  testing::internal::CaptureStderr();
  module.reset();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("did not stop"), std::string::npos) << err;
  release = true;
  // The worker finishes the job and sets its last state; only then is it safe to free.
  ASSERT_TRUE(testutil::ProcessUntil([&] { return job->State() == tmjsDone; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  delete job;
}

} // namespace

// The file commands: regions and projects written and read back, the page picture saved, and a
// project whose picture cannot load leaving the window as it was.
TEST_F(ModuleFixture, FileCommandsWriteAndReadProjectsRegionsAndPictures) {
  const fs::path picture = Dir.Path / "pic.jpg";
  testutil::WriteTestJpeg(picture, 40, 30);
  ASSERT_TRUE(Module->OpenFile(picture.string()));
  ASSERT_TRUE(WaitIdle());
  Window.Regions = {{5, 5, 15, 20}, {30, 10, 39, 29}};
  Module->RegionsChanged(2);
  Module->SetCurrentPage(1);
  std::map<std::string, fs::path> chosen;
  auto old = SetFileDialogExecuteFunction([&](TOpenDialog &D) {
    D.FileName = chosen.at(D.Name()).string();
    return true;
  });
  const fs::path regions = Dir.Path / "r.KalvexRegions", plain = Dir.Path / "p.KalvexProject",
                 embedded = Dir.Path / "w.KalvexProject";
  chosen["dlgRgnExp"] = regions;
  chosen["dlgPrjExp"] = plain;
  ASSERT_TRUE(Module->actFlExpRgns->Execute());
  ASSERT_TRUE(Module->actFlExpPrj->Execute());
  chosen["dlgPrjExp"] = embedded;
  ASSERT_TRUE(Module->actFlExpPrjWPic->Execute());
  EXPECT_EQ(Module->edaMain->DisableCount(), 0);
  {
    const TProgMemIniFile r(regions.string()), p(plain.string()), w(embedded.string());
    EXPECT_EQ(r.ReadSections(), (std::vector<std::string>{"Program", "Region.00000000", "Region.00000001"}));
    EXPECT_EQ(r.ReadString("Program", "FileType", ""), "2");
    EXPECT_EQ(r.ReadInteger("Region.00000001", "Y2", 0), 29);
    EXPECT_EQ(p.ReadSection("Program"), (std::vector<std::string>{"FileName", "RegionCount"}));
    EXPECT_EQ(p.ReadString("Program", "FileName", ""), picture.string());
    EXPECT_EQ(w.ReadString("Program", "FileName", ""), "pic.jpg");
    EXPECT_EQ(w.ReadString("Program", "FileType", ""), "1");
    EXPECT_EQ(w.ReadString("File", "Size", ""), std::to_string(fs::file_size(picture)));
  }

  // Saving the R page (8 bits) as BMP gives its pixels back; the L* page as JPEG is grayscale.
  Module->SetCurrentPage(2);
  chosen["dlgPicSve"] = Dir.Path / "r.bmp";
  ASSERT_TRUE(Module->actFlSave->Execute());
  TBitmap back;
  back.LoadFromFile((Dir.Path / "r.bmp").string());
  ASSERT_EQ(back.PixelFormat(), pf8bit);
  for (int y = 0; y < 30; ++y) EXPECT_EQ(std::memcmp(back.ScanLine(y), Window.GetPageBitmap(2)->ScanLine(y), 40), 0);
  Module->SetCurrentPage(5);
  chosen["dlgPicSve"] = Dir.Path / "l";
  ASSERT_TRUE(Module->actFlSave->Execute());
  const std::string jpeg = testutil::ReadFile(Dir.Path / "l");
  EXPECT_EQ(TJpegDecoder(std::span(reinterpret_cast<const std::uint8_t *>(jpeg.data()), jpeg.size())).Header().Components, 1);

  // The project with picture opens without the picture file: the same picture and regions.
  TBitmap24 shown;
  shown.Assign(Window.GetPageBitmap(1));
  const std::string pictureBytes = testutil::ReadFile(picture);
  fs::remove(picture);
  Window.ClearRegions();
  const int cleared = Window.ClearedRegions;
  Window.Regions = {{1, 1, 2, 2}};
  Boxes.clear();
  EXPECT_TRUE(Module->OpenFile(embedded.string()));
  EXPECT_EQ(Window.Regions.size(), 1u); // nothing changes before the picture has loaded
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(Boxes.empty());
  EXPECT_EQ(Window.ClearedRegions, cleared + 1); // replaced without asking
  EXPECT_EQ(Window.Regions, (std::vector<TRect>{{5, 5, 15, 20}, {30, 10, 39, 29}}));
  EXPECT_EQ(Module->CurrentFileName(), "pic.jpg");
  EXPECT_EQ(Window.Caption, "pic.jpg");
  ASSERT_EQ(Window.GetPageBitmap(1)->Width(), 40);
  for (int y = 0; y < 30; ++y) EXPECT_EQ(std::memcmp(shown.ScanLine(y), Window.GetPageBitmap(1)->ScanLine(y), 120), 0);

  // Saved again, the project embeds the picture on show, not a file of the same name in the
  // working folder; without its picture there is no file to name, and the command says so.
  {
    const fs::path cwd = fs::current_path();
    fs::current_path(Dir.Path);
    testutil::WriteFile(Dir.Path / "pic.jpg", std::string(58, 'x'));
    const fs::path again = Dir.Path / "again.KalvexProject", bare = Dir.Path / "bare.KalvexProject";
    chosen["dlgPrjExp"] = again;
    Module->SetCurrentPage(1);
    EXPECT_TRUE(Module->actFlExpPrjWPic->Execute());
    chosen["dlgPrjExp"] = bare;
    ASSERT_TRUE(Module->actFlExpPrj->Enabled());
    EXPECT_TRUE(Module->actFlExpPrj->Execute());
    fs::current_path(cwd);
    fs::remove(Dir.Path / "pic.jpg");
    EXPECT_FALSE(fs::exists(bare));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_NE(Boxes[0].find("exists only inside the project"), std::string::npos) << Boxes[0];
    Boxes.clear();
    const TProgMemIniFile a(again.string());
    EXPECT_EQ(a.ReadString("Program", "FileName", ""), "pic.jpg");
    const std::unique_ptr<TMemoryStream> back = ReadProjectPicture(a);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::string(back->Bytes().begin(), back->Bytes().end()), pictureBytes);
  }

  // Projects that cannot give a picture: an error, and the window as it was.
  const fs::path damaged = Dir.Path / "d.KalvexProject", named = Dir.Path / "n.KalvexProject",
                 odd = Dir.Path / "o.KalvexProject", self = Dir.Path / "s.KalvexProject";
  testutil::WriteFile(damaged, "[Program]\r\nFileType=1\r\nFileName=a.jpg\r\nRegionCount=1\r\n[Region.00000000]\r\nX2=3\r\n"
                               "Y2=3\r\n[File]\r\nSize=900\r\nCount=1\r\nLine.00000000=eJzLSM3JyQcABiwCFQ==\r\n");
  testutil::WriteFile(odd, "[Program]\r\nFileType=1\r\nFileName=a.png\r\n[File]\r\nSize=5\r\nCount=1\r\n"
                           "Line.00000000=eJzLSM3JyQcABiwCFQ==\r\n");
  testutil::WriteFile(self, "[Program]\r\nFileName=" + self.string() + "\r\n");
  // A picture too large to hold is told from its header (the file is the header alone).
  const fs::path hugeBmp = Dir.Path / "huge.bmp", huge = Dir.Path / "h.KalvexProject";
  testutil::WriteFile(hugeBmp, std::string("BM\x36\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x40\x9C\0\0\x40\x9C\0\0\1\0\x18\0", 30) +
                                   std::string(24, '\0'));
  testutil::WriteFile(huge, "[Program]\r\nFileName=" + hugeBmp.string() + "\r\n");
  try {
    Module->OpenFile(huge.string());
    ADD_FAILURE() << "a picture of 40000 x 40000 pixels was taken";
  } catch (const EReadError &e) {
    EXPECT_NE(e.Message.find(": Picture too large: 40000 x 40000 pixels"), std::string::npos) << e.Message;
  }
  for (const fs::path &p : {plain, damaged, odd, self, huge}) {
    TBitmap *before = Window.GetPageBitmap(1);
    EXPECT_THROW(Module->OpenFile(p.string()), EReadError) << p;
    EXPECT_EQ(Window.GetPageBitmap(1), before);
    EXPECT_EQ(Window.Regions.size(), 2u);
    EXPECT_EQ(Module->CurrentFileName(), "pic.jpg");
    EXPECT_EQ(Window.Caption, "pic.jpg");
    EXPECT_FALSE(Module->IsBusy());
  }
  // Importing a project's regions takes its regions block only.
  chosen["dlgRgnImp"] = damaged;
  Module->SetCurrentPage(1);
  ASSERT_TRUE(Module->actFlImpRgns->Execute());
  EXPECT_EQ(Window.Regions.back(), (TRect{0, 0, 3, 3}));
  EXPECT_EQ(Window.GetPageBitmap(1)->Width(), 40);
  SetFileDialogExecuteFunction(old);
  EXPECT_EQ(Module->edaMain->DisableCount(), 0);
}
