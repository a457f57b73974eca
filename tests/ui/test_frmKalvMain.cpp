#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QMenuBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusTipEvent>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBar>
#include <QToolTip>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <sstream>

#include "app/dmdKalvMain.h"
#include "engine/untGraphics.h"
#include "engine/untJpeg.h"
#include "platform/untApplication.h"
#include "tests/common/ModuleTestUtil.h"
#include "tests/common/TestUtil.h"
#include "threading/untJobData.h"
#include "ui/fraKalvNoises.h"
#include "ui/fraKalvPic.h"
#include "ui/frmKalvMain.h"
#include "widgets/TntExtraEdits.h"
#include "widgets/untStatusBar.h"
#include "widgets/untStatusBarWideText.h"
#include "tests/ui/WindowFixture.h"

namespace {

namespace fs = std::filesystem;

TEST_F(WindowFixture, FirstShowHoldsTheCommandsUntilTheDeferredStartUpRan) {
  EXPECT_EQ(Window->windowTitle(), "Kalvex");
  EXPECT_EQ(Window->pctPics->count(), 7);
  EXPECT_EQ(Window->pctMain->tabText(0), "Picture S/N ratio");
  EXPECT_EQ(Window->stbMain->PanelCount(), 5);
  EXPECT_EQ(Window->stbMain->height(), 19);
  Window->show();
  // The start-up message is only posted: right after the show everything is held.
  EXPECT_FALSE(Module->actFlOpn->Enabled());
  EXPECT_FALSE(Module->actHlpInfo->Enabled());
  EXPECT_EQ(Window->PageNumber(Window->tbsPics[0]), 0);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return Module->actFlOpn->Enabled(); }));
  EXPECT_EQ(Window->menuBar(), Module->mnuMain.data());
  for (int i = 0; i < 7; ++i) EXPECT_EQ(TfmKalvMain::PageNumber(Window->tbsPics[static_cast<size_t>(i)]), i + 1);
  EXPECT_EQ(Window->stxMain->HintPanel(), 0);
  EXPECT_EQ(Module->CurrentPage(), 1);
  EXPECT_EQ(Module->tmjLoadPic->TargetPanel, Window->frNs);
  // Commands with no picture on show stay off; the rest are back.
  EXPECT_FALSE(Module->actFlSave->Enabled());
  EXPECT_FALSE(Module->actNsClose->Enabled());
  EXPECT_TRUE(Module->actNsSameScale->Enabled());
  EXPECT_EQ(Module->edaMain->DisableCount(), 0);
  // The tool bar shows open, save, a 4-pixel gap and remove region.
  const QList<QAction *> tools = Window->tlbMain->actions();
  ASSERT_EQ(tools.size(), 4);
  EXPECT_EQ(tools[0], Module->actFlOpn->Action());
  EXPECT_EQ(tools[1], Module->actFlSave->Action());
  EXPECT_EQ(tools[3], Module->actNsClose->Action());
}

TEST_F(WindowFixture, OpeningAPictureFillsTheSevenViewsAndThePanel) {
  ShowAndStart();
  const fs::path file = Dir.Path / "photo.jpg";
  testutil::WriteTestJpeg(file, 123, 77);
  ASSERT_TRUE(Module->OpenFile(file.string()));
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Window->pctPics->tabText(0), "photo.jpg");
  for (int page = 1; page <= 7; ++page) {
    TBitmap *b = Window->GetPageBitmap(page);
    ASSERT_NE(b, nullptr) << page;
    EXPECT_EQ(b->Width(), 123);
    EXPECT_EQ(b->Height(), 77);
    EXPECT_EQ(Window->frPics[static_cast<size_t>(page - 1)]->pnlPic->size(), QSize(123, 77));
  }
  EXPECT_EQ(Window->GetPageBitmap(0), nullptr);
  EXPECT_EQ(Window->GetPageBitmap(8), nullptr);
  EXPECT_EQ(Window->frNs->edtPosLeft->text(), "0");
  EXPECT_EQ(Window->frNs->edtPosTop->text(), "0");
  EXPECT_EQ(Window->frNs->edtPosWidth->text(), "123");
  EXPECT_EQ(Window->frNs->edtPosHeight->text(), "77");
  // Status: elapsed time, the file name, and the empty phase once done.
  testutil::ProcessUntil([&] { return Window->stxMain->PanelText(2) == file.string(); }, 2000);
  EXPECT_EQ(Window->stxMain->PanelText(2), file.string());
  EXPECT_EQ(Window->stxMain->PanelText(3), "");
  EXPECT_EQ(Window->stbMain->Panel(3).Width, 0);
  EXPECT_TRUE(testutil::IsElapsedText(Window->stxMain->PanelText(1)));
  for (int page = 1; page <= 7; ++page) {
    Window->pctPics->setCurrentIndex(page - 1);
    EXPECT_EQ(Module->CurrentPage(), page);
    EXPECT_TRUE(Module->actFlSave->Enabled()) << page;
  }
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(WindowFixture, CommandLineOpensTheFirstFileAndStartsInstancesForTheOthers) {
  ShowAndStart();
  const fs::path a = Dir.Path / "a.jpg", b = Dir.Path / "b b.jpg", c = Dir.Path / "c.BMP",
                 rgn = Dir.Path / "r.KalvexRegions";
  testutil::WriteTestJpeg(a, 10, 10);
  testutil::WriteTestJpeg(b, 10, 10);
  TBitmap24 bmp;
  bmp.SetSize(5, 4);
  bmp.SaveToFile(c.string());
  testutil::WriteFile(rgn, "[Program]\r\nFileType=2\r\n");
  std::vector<std::pair<QString, QStringList>> started;
  auto old = TfmKalvMain::SetStartInstanceFunction([&](const QString &P, const QStringList &Args) {
    started.emplace_back(P, Args);
    return true;
  });
  const QString oldDir = QDir::currentPath();
  QDir::setCurrent(QString::fromStdString(Dir.Path.string()));
  fs::create_directory(Dir.Path / "folder.jpg");
  // Relative names are taken from the current folder; a missing file and a folder are passed
  // over with one line each on stderr.
  std::ostringstream err;
  auto *oldErr = std::cerr.rdbuf(err.rdbuf());
  Window->OpenCommandLine({"r.KalvexRegions", "missing.jpg", "folder.jpg", "a.jpg", QString::fromStdString(b.string()), "c.BMP"});
  std::cerr.rdbuf(oldErr);
  QDir::setCurrent(oldDir);
  EXPECT_EQ(err.str(), "kalvex: ignoring \"missing.jpg\": No such file or directory\n"
                       "kalvex: ignoring \"folder.jpg\": Is a directory\n");
  ASSERT_TRUE(WaitIdle());
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[0].first, QCoreApplication::applicationFilePath());
  EXPECT_EQ(started[0].second, QStringList{QString::fromStdString(b.string())});
  EXPECT_EQ(started[1].second, QStringList{QString::fromStdString(c.string())});
  EXPECT_EQ(Module->CurrentFileName(), a.string());
  EXPECT_EQ(Window->GetPageBitmap(1)->Width(), 10);

  // An instance that cannot be started is an error; the first file is not opened then.
  TfmKalvMain::SetStartInstanceFunction([](const QString &, const QStringList &) { return false; });
  EXPECT_THROW(Window->OpenCommandLine({QString::fromStdString(a.string()), QString::fromStdString(c.string())}), EOSError);
  TfmKalvMain::SetStartInstanceFunction(old);
}

TEST_F(WindowFixture, SplitterAndResizeKeepBothSidesAtTwoHundred) {
  ShowAndStart();
  EXPECT_EQ(TfmKalvMain::splMainCanResize(150), 200);
  EXPECT_EQ(TfmKalvMain::splMainCanResize(350), 350);
  EXPECT_EQ(Window->splMain->handleWidth(), 4);
  EXPECT_FALSE(Window->splMain->childrenCollapsible());
  // The splitter cannot make the right side narrower than 200.
  const int total = Window->splMain->width() - Window->splMain->handleWidth();
  Window->splMain->setSizes({total - 50, 50});
  QApplication::processEvents();
  EXPECT_GE(Window->RightWidth(), 200);
  // A wide right side and a narrow window: the pictures keep 200, the right side gives way.
  Window->splMain->setSizes({200, total - 200});
  Window->resize(700, 500);
  testutil::ProcessUntil([&] { return Window->width() == 700; }, 2000);
  QApplication::processEvents();
  EXPECT_GE(Window->pctPics->width(), 200);
  EXPECT_EQ(Window->pctPics->width() + Window->RightWidth() + 4, Window->splMain->width());
  // The window itself stops at 640 x 480.
  Window->resize(300, 200);
  QApplication::processEvents();
  EXPECT_GE(Window->width(), 640);
  EXPECT_GE(Window->height(), 480);
  EXPECT_EQ(Window->minimumSize(), QSize(640, 480));
}

TEST_F(WindowFixture, AllPicturePagesScrollTogether) {
  ShowAndStart();
  for (int page = 1; page <= 7; ++page) {
    auto bmp = std::make_unique<TBitmap24>();
    bmp->SetSize(2000, 1500);
    Window->SetPageBitmap(page, std::move(bmp));
  }
  QApplication::processEvents();
  QScrollArea *box = Window->frPics[0]->sbxPics;
  ASSERT_GT(box->horizontalScrollBar()->maximum(), 300);
  box->horizontalScrollBar()->setValue(300);
  box->verticalScrollBar()->setValue(200);
  // Every page shows the same part, also those that were not on show while it scrolled.
  for (int i = 1; i < 7; ++i) {
    Window->pctPics->setCurrentIndex(i);
    QApplication::processEvents();
    TfrKalvPic *view = Window->frPics[static_cast<size_t>(i)];
    EXPECT_EQ(view->sbxPics->horizontalScrollBar()->value(), 300) << i;
    EXPECT_EQ(view->sbxPics->verticalScrollBar()->value(), 200) << i;
  }
  // Scrolling another page moves the first one along.
  Window->frPics[4]->sbxPics->verticalScrollBar()->setValue(120);
  Window->pctPics->setCurrentIndex(0);
  QApplication::processEvents();
  EXPECT_EQ(box->verticalScrollBar()->value(), 120);
  EXPECT_EQ(box->horizontalScrollBar()->value(), 300);
  // A new picture brings every page back to the corner.
  for (int page = 1; page <= 7; ++page) {
    auto bmp = std::make_unique<TBitmap24>();
    bmp->SetSize(1800, 1400);
    Window->SetPageBitmap(page, std::move(bmp));
  }
  for (int i = 0; i < 7; ++i) {
    Window->pctPics->setCurrentIndex(i);
    QApplication::processEvents();
    EXPECT_EQ(Window->frPics[static_cast<size_t>(i)]->sbxPics->horizontalScrollBar()->value(), 0) << i;
    EXPECT_EQ(Window->frPics[static_cast<size_t>(i)]->sbxPics->verticalScrollBar()->value(), 0) << i;
  }
}

TEST_F(WindowFixture, StatusPanelsShowHintsAndProgressTexts) {
  ShowAndStart();
  // Hints of commands under the pointer arrive as status tips.
  QStatusTipEvent tip("open a picture file for analysis");
  QApplication::sendEvent(Window.get(), &tip);
  EXPECT_EQ(Window->stxMain->PanelText(0), "open a picture file for analysis");
  QFont bold = Window->stbMain->font();
  bold.setBold(true);
  EXPECT_EQ(Window->stbMain->Panel(0).Width, QFontMetrics(bold).horizontalAdvance("  open a picture file for analysis ") +
                                                 Window->stbMain->BorderWidth() + Window->stbMain->PanelSpacing());
  EXPECT_TRUE(Window->PanelFont(0).bold());
  EXPECT_FALSE(Window->PanelFont(2).bold());

  // Progress texts are posted with a text object the window takes over.
  auto file = std::make_unique<TJobInfoText>("/p/x.jpg");
  auto phase = std::make_unique<TJobInfoText>("Analyze Data");
  ASSERT_TRUE(PostMessage(Window->ProgressWnd(), WM_APP + 1, 0, file));
  ASSERT_TRUE(PostMessage(Window->ProgressWnd(), WM_APP + 2, 0, phase));
  EXPECT_EQ(file, nullptr);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return Window->stxMain->PanelText(3) == "Analyze Data"; }));
  EXPECT_EQ(Window->stxMain->PanelText(2), "/p/x.jpg");
  EXPECT_GT(Window->stbMain->Panel(2).Width, 0);

  // The hint panel is painted on the tooltip colours, the others on the bar's own. The events
  // processed above may bring a status tip of their own (the pointer's), so the hint is given
  // again right before the bar is painted.
  QApplication::sendEvent(Window.get(), &tip);
  ASSERT_FALSE(Window->stbMain->PanelRect(0).isEmpty());
  const QImage shot = Window->stbMain->grab().toImage();
  const QRect r0 = Window->stbMain->PanelRect(0), r3 = Window->stbMain->PanelRect(3);
  EXPECT_EQ(QColor(shot.pixel(r0.left() + 1, r0.top() + 1)), QToolTip::palette().color(QPalette::ToolTipBase));
  EXPECT_EQ(QColor(shot.pixel(r3.left() + 1, r3.top() + 1)), Window->stbMain->palette().color(QPalette::Window));
  QStatusTipEvent none("");
  QApplication::sendEvent(Window.get(), &none);
  EXPECT_EQ(Window->stbMain->Panel(0).Width, 0);
}

TEST_F(WindowFixture, RemoveRegionFollowsTheRightHandPage) {
  ShowAndStart();
  EXPECT_FALSE(Module->actNsClose->Enabled());
  auto *page = new QWidget;
  Window->pctMain->addTab(page, "L:0 T:0 W:20 H:20");
  Window->pctMain->setCurrentIndex(1);
  EXPECT_TRUE(Module->actNsClose->Enabled());
  Window->pctMain->setCurrentIndex(0);
  EXPECT_FALSE(Module->actNsClose->Enabled());
  // The page control measures each tab text once, yet its tabs follow a new text and a new font.
  QTabBar *bar = Window->pctMain->tabBar();
  const int narrow = bar->tabRect(1).width();
  Window->pctMain->setTabText(1, "L:1000 T:1000 W:2000 H:2000");
  const int wide = bar->tabRect(1).width();
  EXPECT_GT(wide, narrow);
  QFont big = bar->font();
  if (big.pointSize() > 0) big.setPointSize(big.pointSize() * 2);
  else big.setPixelSize(big.pixelSize() * 2);
  bar->setFont(big);
  EXPECT_GT(bar->tabRect(1).width(), wide);
}

// A close queued while the load job starts (its waiting handler holds the commands) runs once
// the start is over. With the load running it is deferred: the load stops, none of its partial
// figures reach the picture panel, and the window closes when no job is counted.
TEST_F(WindowFixture, ACloseQueuedDuringAJobStartIsDeferredUntilTheLoadHasStopped) {
  ShowAndStart();
  const fs::path file = Dir.Path / "big.jpg";
  testutil::WriteTestJpeg(file, 2400, 1800);
  bool queued = false;
  Module->edaMain->BeforeDisableActions = [&](TObject *) {
    if (queued) return;
    queued = true;
    Module->actFlExt->Action()->setEnabled(true); // the command itself is held; close as the window manager would
    QMetaObject::invokeMethod(Window.get(), "close", Qt::QueuedConnection);
  };
  ASSERT_TRUE(Module->OpenFile(file.string()));
  EXPECT_TRUE(queued);
  EXPECT_TRUE(Window->isVisible());
  EXPECT_TRUE(testutil::ProcessUntil([&] { return !Window->isVisible(); }, 30000));
  Module->edaMain->BeforeDisableActions = nullptr;
  EXPECT_FALSE(Module->IsBusy());
  EXPECT_EQ(Window->frNs->edtPosWidth->text(), "");
  EXPECT_EQ(Window->GetPageBitmap(1), nullptr);
  EXPECT_TRUE(Boxes.empty());
  // The module outlives the window without touching it.
  Window.reset();
  EXPECT_EQ(Module->MainWindow(), nullptr);
}

} // namespace

namespace {

TEST_F(WindowFixture, InfoCommandShowsTheInfoWindowModallyWithoutOwner) {
  ShowAndStart();
  std::vector<std::string> shown;
  bool ownerless = false;
  auto old = SetShowModalFunction([&](QDialog *D) {
    shown.push_back(D->windowTitle().toStdString());
    ownerless = D->parentWidget() == nullptr;
    return static_cast<int>(QDialog::Accepted);
  });
  int hints = 0;
  Application()->OnHint = [&](TObject *) { ++hints; };
  ASSERT_TRUE(Module->actHlpInfo->Enabled());
  Module->actHlpInfo->Execute();
  SetShowModalFunction(old);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "Info Kalvex");
  EXPECT_TRUE(ownerless);
  // The hint hook is back afterwards.
  EXPECT_TRUE(static_cast<bool>(Application()->OnHint));
  Application()->OnHint = nullptr;
  // Without its window the module's command does nothing (and does not fail).
  Window.reset();
  EXPECT_NO_THROW(Module->actHlpInfo->Execute());
}

} // namespace

namespace {

// A BMP header for a W x H 24-bit picture whose pixel data is not there.
std::string BmpHeaderOnly(std::int32_t W, std::int32_t H) {
  std::string h(54, '\0');
  auto put32 = [&](size_t At, std::uint32_t V) {
    for (int i = 0; i < 4; ++i) h[At + static_cast<size_t>(i)] = static_cast<char>((V >> (8 * i)) & 0xFF);
  };
  h[0] = 'B';
  h[1] = 'M';
  put32(2, 54);
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<std::uint32_t>(W));
  put32(22, static_cast<std::uint32_t>(H));
  h[26] = 1;
  h[28] = 24;
  return h;
}

TEST_F(WindowFixture, AFailedLoadGivesEveryCommandBackAndClearsThePhase) {
  ShowAndStart();
  auto states = [&] {
    std::vector<bool> s;
    for (int i = 0; i < Module->aclMain->ActionCount(); ++i) s.push_back(Module->aclMain->Actions(i)->Enabled());
    return s;
  };
  const std::vector<bool> idle = states();
  QWidget *openButton = Window->tlbMain->widgetForAction(Module->actFlOpn->Action());
  const fs::path empty = Dir.Path / "empty.jpg", cut = Dir.Path / "cut.bmp", huge = Dir.Path / "huge.bmp";
  testutil::WriteFile(empty, "");
  testutil::WriteFile(cut, BmpHeaderOnly(64, 64) + std::string(100, '\x7F'));
  testutil::WriteFile(huge, BmpHeaderOnly(200000, 200000));
  for (const fs::path &bad : {empty, cut, huge}) {
    Boxes.clear();
    ASSERT_TRUE(Module->OpenFile(bad.string()));
    ASSERT_TRUE(WaitIdle()) << bad;
    QCoreApplication::processEvents();
    EXPECT_EQ(Boxes.size(), 1u) << bad;
    EXPECT_EQ(states(), idle) << bad;
    EXPECT_TRUE(openButton->isEnabled()) << bad;
    EXPECT_EQ(Module->edaMain->DisableCount(), 0) << bad;
    EXPECT_EQ(Window->stxMain->PanelText(3), "") << bad;
  }
  const fs::path good = Dir.Path / "good.jpg";
  testutil::WriteTestJpeg(good, 40, 30);
  ASSERT_TRUE(Module->OpenFile(good.string()));
  ASSERT_TRUE(WaitIdle());
  ASSERT_NE(Window->GetPageBitmap(1), nullptr);
  EXPECT_EQ(Window->GetPageBitmap(1)->Width(), 40);
  EXPECT_TRUE(Module->actFlSave->Enabled());
  EXPECT_EQ(Window->frNs->edtPosWidth->text(), "40");
}

} // namespace

namespace {

// A close that arrives while the load's done handler hands the pictures over is handled after the
// handler returned (nothing there runs an event loop of its own; the fixture checks that), and
// then closes at once.
TEST_F(WindowFixture, ACloseDuringTheDoneHandlerClosesAfterIt) {
  ShowAndStart();
  const fs::path file = Dir.Path / "pic.jpg";
  testutil::WriteTestJpeg(file, 64, 48);
  bool closedInDone = false;
  auto done = Module->tmjLoadPic->OnDone;
  Module->tmjLoadPic->OnDone = [&](TThreadManThread *T, TThreadManJob *J, bool &F) {
    QMetaObject::invokeMethod(Window.get(), "close", Qt::QueuedConnection);
    done(T, J, F);
    closedInDone = !Window->isVisible();
  };
  ASSERT_TRUE(Module->OpenFile(file.string()));
  EXPECT_TRUE(testutil::ProcessUntil([&] { return !Window->isVisible(); }));
  EXPECT_FALSE(closedInDone);
  EXPECT_FALSE(Module->IsBusy());
  EXPECT_TRUE(Boxes.empty());
}

} // namespace
