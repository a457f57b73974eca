#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "KalvexVersion.h"
#include "platform/untApplication.h"
#include "platform/untDesktop.h"
#include "tests/common/TestUtil.h"
#include "ui/frmKalvInfo.h"

namespace {

// A clock that only moves when the splash sleeps (or when the test moves it).
struct FakeClock {
  std::int64_t Now = 1000;
  std::int64_t Frequency = 1000; // counts per second
  bool CounterFails = false;
  bool FrequencyFails = false;
  TInfoTimeSource Old;

  FakeClock() {
    Old = TfmKalvInfo::SetTimeSource(TInfoTimeSource{
        [this](std::int64_t *C) -> BOOL {
          if (CounterFails) return 0;
          *C = Now;
          return 1;
        },
        [this](std::int64_t *F) -> BOOL {
          if (FrequencyFails) return 0;
          *F = Frequency;
          return 1;
        }});
  }
  ~FakeClock() { TfmKalvInfo::SetTimeSource(Old); }
};

void SendKey(QWidget *W, int Key) {
  QKeyEvent press(QEvent::KeyPress, Key, Qt::NoModifier);
  QCoreApplication::sendEvent(W, &press);
  QKeyEvent release(QEvent::KeyRelease, Key, Qt::NoModifier);
  QCoreApplication::sendEvent(W, &release);
}

void Click(QWidget *W) {
  const QPointF at(W->width() / 2.0, W->height() / 2.0);
  const QPointF global = W->mapToGlobal(at);
  QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(W, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QCoreApplication::sendEvent(W, &release);
}

} // namespace

TEST(KalvInfo, ShowsVersionAuthorAndLinks) {
  TfmKalvInfo f;
  EXPECT_EQ(f.windowTitle(), "Info " + QString::fromStdString(Application()->Title()));
  EXPECT_EQ(f.lblVer->text(), QString(KALVEX_VERSION) + ".0");
  EXPECT_EQ(f.lblAuthor->text(), KALVEX_AUTHOR);
  EXPECT_EQ(f.lblVerCap->text(), "Version:");
  EXPECT_TRUE(f.lblVer->font().bold());
  EXPECT_EQ(f.lblHomePage->toolTip(), KALVEX_HOMEPAGE);
  EXPECT_EQ(f.lblDownload->text(), "Download");
  EXPECT_TRUE(f.lblDownload->toolTip().startsWith(KALVEX_HOMEPAGE));
  EXPECT_EQ(f.lblDownload->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_FALSE(f.imgLogo->pixmap().isNull());
  EXPECT_FALSE(ProgramIcon().isNull());
  ASSERT_NE(f.btnOK, nullptr);
  EXPECT_EQ(f.btnOK->text(), "&OK");
  EXPECT_TRUE(f.btnOK->isDefault());
  EXPECT_TRUE(f.Closable());
  // Fixed size, at least the described client area, and nothing of the rows cut off.
  EXPECT_EQ(f.minimumSize(), f.maximumSize());
  EXPECT_GE(f.width(), 344);
  EXPECT_GE(f.height(), 176);
  EXPECT_LE(f.pnlHomepage->geometry().x() + f.pnlHomepage->sizeHint().width(),
            f.pnlClnt->width());
  f.show();
  QCoreApplication::processEvents();
  const QImage shot = f.grab().toImage();
  EXPECT_EQ(shot.size(), f.size() * f.devicePixelRatio());
  if (const char *dir = std::getenv("KALVEX_SCREENSHOTS")) {
    f.grab().save(QString(dir) + "/info.png");
    ProgramIcon().pixmap(256, 256).save(QString(dir) + "/kalvex-icon.png");
  }
}

TEST(KalvInfo, ModalDialogClosesWithEscapeAndOK) {
  std::vector<int> results;
  auto old = SetShowModalFunction([&](QDialog *D) {
    D->show();
    SendKey(D, Qt::Key_Escape);
    EXPECT_FALSE(D->isVisible());
    results.push_back(D->result());
    return D->result();
  });
  EXPECT_EQ(TfmKalvInfo::ShowInfo(), QDialog::Rejected);

  SetShowModalFunction([&](QDialog *D) {
    D->show();
    auto *f = dynamic_cast<TfmKalvInfo *>(D);
    EXPECT_NE(f, nullptr);
    if (f != nullptr) Click(f->btnOK);
    EXPECT_FALSE(D->isVisible());
    return D->result();
  });
  EXPECT_EQ(TfmKalvInfo::ShowInfo(), QDialog::Accepted);

  // The window is freed after its modal show.
  QPointer<QDialog> kept;
  SetShowModalFunction([&](QDialog *D) {
    kept = D;
    return 0;
  });
  TfmKalvInfo::ShowInfo();
  EXPECT_TRUE(kept.isNull());
  SetShowModalFunction(old);
}

TEST(KalvInfo, SplashStaysThreeSecondsAndCannotBeClosed) {
  FakeClock clock;
  TfmKalvInfo::ShowSplash();
  TfmKalvInfo *s = TfmKalvInfo::Splash();
  ASSERT_NE(s, nullptr);
  TfmKalvInfo::ShowSplash(); // a second call makes no second splash
  EXPECT_EQ(TfmKalvInfo::Splash(), s);
  EXPECT_TRUE(s->isVisible());
  EXPECT_FALSE(s->Closable());
  EXPECT_EQ(s->btnOK, nullptr);
  EXPECT_TRUE(s->pnlBtn->isHidden());
  EXPECT_TRUE(s->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(s->windowFlags() & Qt::WindowCloseButtonHint);

  SendKey(s, Qt::Key_Escape);
  EXPECT_TRUE(s->isVisible());
  EXPECT_FALSE(s->close());
  s->reject();
  s->accept();
  EXPECT_TRUE(s->isVisible());

  // Start-up took 1.25 s: the splash stays for the rest, closed by its own timer; the caller does
  // not wait.
  clock.Now += 1250;
  QPointer<TfmKalvInfo> guard(s);
  TfmKalvInfo::CloseSplash();
  ASSERT_EQ(TfmKalvInfo::Splash(), s);
  auto *timer = s->findChild<QTimer *>("tmrClose");
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->isActive());
  EXPECT_EQ(timer->interval(), 1751);
  // The timer fires early (by the fake clock): it waits again for what is left.
  clock.Now += 1000;
  timer->start(0);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return timer->interval() != 0; }));
  EXPECT_EQ(TfmKalvInfo::Splash(), s);
  EXPECT_EQ(timer->interval(), 751);
  clock.Now += 751;
  timer->start(0);
  EXPECT_TRUE(testutil::ProcessUntil([&] { return guard.isNull(); }));
  EXPECT_EQ(TfmKalvInfo::Splash(), nullptr);

  // Started late: closed at once. And a splash whose window went is closed at once whatever its
  // time.
  TfmKalvInfo::ShowSplash();
  clock.Now += 3001;
  TfmKalvInfo::CloseSplash();
  EXPECT_EQ(TfmKalvInfo::Splash(), nullptr);
  TfmKalvInfo::ShowSplash();
  TfmKalvInfo::CloseSplash(true);
  EXPECT_EQ(TfmKalvInfo::Splash(), nullptr);
  TfmKalvInfo::CloseSplash(); // nothing left to close
}

TEST(KalvInfo, SplashClockFailures) {
  FakeClock clock;
  // A frequency that cannot be read counts as 1 000 000 per second.
  clock.FrequencyFails = true;
  TfmKalvInfo f(nullptr, true);
  f.show();
  clock.Now += 2000000;
  EXPECT_DOUBLE_EQ(f.SecondsShown(), 2.0);
  clock.FrequencyFails = false;
  clock.Frequency = 0;
  EXPECT_DOUBLE_EQ(f.SecondsShown(), 2.0);
  // A counter that cannot be read ends the wait.
  clock.Frequency = 1000;
  TfmKalvInfo::ShowSplash();
  clock.CounterFails = true;
  TfmKalvInfo::CloseSplash();
  EXPECT_EQ(TfmKalvInfo::Splash(), nullptr);
  f.SetClosable(true);
}

TEST(KalvInfo, LinksOpenTheirAddressOrShowTheError) {
  std::vector<std::string> opened;
  DWORD answer = ERROR_SUCCESS;
  auto oldOpen = SetOpenAddressFunction([&](const std::string &A) {
    opened.push_back(A);
    return answer;
  });
  std::vector<std::string> boxes;
  auto oldBox = SetMessageBoxFunction([&](const std::string &Text, const std::string &, UINT) {
    boxes.push_back(Text);
    return IDOK;
  });
  TfmKalvInfo f;
  f.show();
  f.lblHomePage->setToolTip(QStringLiteral("  https://example.invalid/k  "));
  Click(f.lblHomePage);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], "https://example.invalid/k");
  EXPECT_TRUE(boxes.empty());

  answer = ERROR_NO_ASSOCIATION;
  Click(f.lblDownload);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[1], f.DownloadAddress().toStdString());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].rfind(opened[1] + ": No application is associated", 0), 0u) << boxes[0];
  EXPECT_TRUE(f.isVisible());

  SetMessageBoxFunction(oldBox);
  SetOpenAddressFunction(oldOpen);
}
