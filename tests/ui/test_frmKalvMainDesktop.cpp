// The main window's desktop conveniences: figures out of the window, drops, screen fit, the
// right-hand width and the window kept in User.conf.
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QScrollArea>
#include <QSplitter>
#include <QTabWidget>
#include <QUrl>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>

#include "app/WideMemIniCnfCtrl.h"
#include "app/dmdKalvMain.h"
#include "cli/untMeasure.h"
#include "engine/untKalvChart.h"
#include "platform/untActions.h"
#include "platform/untApplication.h"
#include "tests/common/ModuleTestUtil.h"
#include "tests/common/TestUtil.h"
#include "ui/fraKalvNoise.h"
#include "ui/fraKalvNoises.h"
#include "ui/fraKalvPic.h"
#include "ui/frmKalvMain.h"
#include "widgets/TntExtraEdits.h"

namespace {

namespace fs = std::filesystem;

struct DesktopFixture : ::testing::Test {
  DesktopFixture() {
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((Dir.Path / "config").string()));
    OldBox = SetMessageBoxFunction([this](const std::string &Text, const std::string &, UINT) {
      Boxes.push_back(Text);
      return IDOK;
    });
    Open();
  }
  ~DesktopFixture() override {
    Close();
    SetMessageBoxFunction(OldBox);
  }
  void Open() {
    Module = std::make_unique<TdmKalvMain>();
    Window = std::make_unique<TfmKalvMain>(Module.get());
    Window->show();
    EXPECT_TRUE(testutil::ProcessUntil([&] { return Module->actFlOpn->Enabled(); }));
  }
  void Close() {
    if (Window) Window->close();
    Window.reset();
    Module.reset();
  }
  bool WaitIdle() { return testutil::ProcessUntil([&] { return !Module->IsBusy(); }, 30000); }

  testutil::TempDir Dir;
  TMessageBoxFunction OldBox;
  std::vector<std::string> Boxes;
  std::unique_ptr<TdmKalvMain> Module;
  std::unique_ptr<TfmKalvMain> Window;
};

// Ctrl+C in the noise page copies what the panel shows; export writes exactly the CSV of
// kalvex --measure for the same file.
TEST_F(DesktopFixture, CopiedAndExportedFiguresAreThePanelsAndTheCommandLinesFigures) {
  const fs::path file = Dir.Path / "photo.jpg";
  testutil::WriteTestJpeg(file, 123, 77);
  ASSERT_TRUE(Module->OpenFile(file.string()));
  ASSERT_TRUE(WaitIdle());

  QGuiApplication::clipboard()->clear();
  QApplication::setActiveWindow(Window.get());
  Window->frNs->sbxNoises->setFocus();
  QKeyEvent press(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, QStringLiteral("c"));
  QApplication::sendEvent(Window->frNs->sbxNoises, &press);
  QStringList lines = QGuiApplication::clipboard()->text().split('\n');
  ASSERT_EQ(lines.size(), 11) << QGuiApplication::clipboard()->text().toStdString(); // 10 lines, each ended
  // What the figures belong to, in the command line's words, then the column names.
  EXPECT_EQ(lines.takeFirst(), "photo.jpg");
  EXPECT_EQ(lines.takeFirst(), "picture 0,0 123 x 77");
  EXPECT_EQ(lines[0], "channel\tS/N ratio dB\tS mean\tN mean");
  const QStringList r = lines[1].split('\t');
  ASSERT_EQ(r.size(), 4);
  EXPECT_EQ(r[0], "R");
  EXPECT_EQ(r[1], Window->frNs->frNsR->edtSNRatio->text());
  EXPECT_EQ(r[2], Window->frNs->frNsR->edtSMean->text());
  EXPECT_EQ(r[3], Window->frNs->frNsR->edtNMean->text());
  EXPECT_EQ(lines[7].split('\t').value(0), "BR");
  EXPECT_EQ(lines[7].split('\t').value(3), Window->frNs->frNsBR->edtNMean->text());
  EXPECT_TRUE(lines[8].isEmpty());

  // "fit to 99.9% of counts" (in the charts' menu) ends every chart's scale at its fitted level.
  QMenu menu;
  Window->frNs->FillContextMenu(&menu);
  EXPECT_TRUE(menu.actions().contains(Window->actNsFitCounts->Action()));
  TfrKalvNoise *chart = Window->frNs->frNsR;
  const int plain = chart->GetMaxLevel(1);
  Window->actNsFitCounts->Action()->trigger();
  EXPECT_EQ(chart->GetMaxLevel(1), FitLevel(chart->Channels()[0]->HistogramData()));
  EXPECT_LT(chart->GetMaxLevel(1), plain);
  EXPECT_TRUE(chart->Drawing() || chart->RedrawPending());
  Window->actNsFitCounts->Action()->trigger();
  EXPECT_EQ(chart->GetMaxLevel(1), plain);

  // Ctrl+C on the pictures is not "copy figures".
  QGuiApplication::clipboard()->clear();
  Window->frPicRGB()->setFocus();
  QKeyEvent press2(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, QStringLiteral("c"));
  QApplication::sendEvent(Window->frPicRGB(), &press2);
  EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());

  // Export: the picture and every region, as kalvex --measure --region measures them.
  Window->AddRegion(10, 5, 60, 45);
  Window->AddRegion(100, 70, 80, 20); // corners in any order
  ASSERT_TRUE(WaitIdle());
  ASSERT_EQ(Window->NoisePanels().size(), 3u);
  Window->CopyFigures(Window->NoisePanels()[2]);
  EXPECT_TRUE(QGuiApplication::clipboard()->text().startsWith("photo.jpg\nregion 80,20 20 x 50\nchannel\t"));
  const fs::path csv = Dir.Path / "figures.csv";
  Window->ExportFigures(csv.string());
  std::ostringstream expected;
  WriteCsv(expected, {MeasureFile(file.string(), {TRegionArg{10, 5, 50, 40, ""}, TRegionArg{80, 20, 20, 50, ""}})},
           false);
  EXPECT_EQ(testutil::ReadFile(csv), expected.str());
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(DesktopFixture, DroppedFilesOpenLikeTheCommandLine) {
  const fs::path a = Dir.Path / "a.jpg", b = Dir.Path / "b.jpg";
  testutil::WriteTestJpeg(a, 20, 10);
  testutil::WriteTestJpeg(b, 10, 10);
  std::vector<QStringList> started;
  auto old = TfmKalvMain::SetStartInstanceFunction([&](const QString &, const QStringList &Args) {
    started.push_back(Args);
    return true;
  });
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(a.string())),
                QUrl::fromLocalFile(QString::fromStdString(b.string()))});
  const QPoint at = Window->rect().center();
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(Window.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(Window.get(), &drop);
  ASSERT_TRUE(WaitIdle());
  TfmKalvMain::SetStartInstanceFunction(old);
  EXPECT_EQ(Module->CurrentFileName(), a.string());
  ASSERT_NE(Window->GetPageBitmap(1), nullptr);
  EXPECT_EQ(Window->GetPageBitmap(1)->Width(), 20);
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0], QStringList{QString::fromStdString(b.string())});
  EXPECT_EQ(Module->edaMain->DisableCount(), 0);
}

// The window fits the screen; narrowing it takes width from the right side, widening gives it
// back; size, right-hand width and same scale come back from User.conf, the dialogs' folders stay.
TEST_F(DesktopFixture, WindowFitsTheScreenKeepsTheFiguresInReachAndIsRemembered) {
  const QSize avail = Window->screen()->availableGeometry().size();
  EXPECT_LE(Window->frameGeometry().width(), avail.width());
  EXPECT_LE(Window->frameGeometry().height(), avail.height());
  EXPECT_LE(Window->minimumWidth(), avail.width());

  const int right = Window->RightWidth();
  EXPECT_GE(right, 410);
  Window->setMinimumSize(300, 300);
  Window->resize(450, 400);
  QCoreApplication::processEvents();
  EXPECT_LT(Window->RightWidth(), right);
  EXPECT_GE(Window->splMain->sizes().value(0), SplitterMinSize);
  Window->resize(std::min(avail.width() - 16, 780), 400);
  QCoreApplication::processEvents();
  EXPECT_EQ(Window->RightWidth(), right);

  const std::string conf = Module->cnfUser->ConfDestination();
  testutil::WriteFile(conf, "; DO NOT EDIT THIS FILE!\r\n\r\n[File]\r\nfdgProject=/tmp/x\r\n\r\n");
  Window->resize(700, 500);
  Module->actNsSameScaleExecute(nullptr);
  ASSERT_TRUE(Module->SameScale());
  Window->actNsFitCounts->Action()->trigger();
  Close();
  const std::string text = testutil::ReadFile(conf);
  EXPECT_NE(text.find("[File]\r\nfdgProject=/tmp/x\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[Window]\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Width=700\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("SameScale=1\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("FitCounts=1\r\n"), std::string::npos) << text;

  Open();
  EXPECT_EQ(Window->size(), QSize(700, 500));
  EXPECT_EQ(Window->RightWidth(), right);
  EXPECT_TRUE(Module->SameScale());
  EXPECT_TRUE(Module->actNsSameScale->Checked());
  EXPECT_TRUE(Window->FitCounts());

  // A hand-edited section with absurd values opens a window that still fits the screen.
  Close();
  testutil::WriteFile(conf, "; DO NOT EDIT THIS FILE!\r\n\r\n[Window]\r\nLeft=-2147483648\r\nTop=x\r\n"
                            "Width=2147483647\r\nHeight=2147483647\r\nRightWidth=99999\r\n\r\n");
  Open();
  EXPECT_LE(Window->width(), avail.width());
  EXPECT_LE(Window->height(), avail.height());
  EXPECT_GE(Window->splMain->sizes().value(0), SplitterMinSize);
  EXPECT_TRUE(Boxes.empty());
}

} // namespace
