// The main of every test executable: a QApplication on the offscreen platform (unless the caller
// chose another), so that widget, message and painting tests run without a display; a
// QGuiApplication in a build without the window, which links no widgets. The application counts
// event loops nested inside event delivery, which the window tests check (EventLoopProbe.h).
#include <QAbstractEventDispatcher>
#include <cstdlib>
#include <gtest/gtest.h>

#include "tests/common/EventLoopProbe.h"
#ifdef KALVEX_TEST_WIDGETS
#include <QApplication>
using TTestApplicationBase = QApplication;
#else
#include <QGuiApplication>
using TTestApplicationBase = QGuiApplication;
#endif

namespace {
thread_local int gDeliveryDepth = 0; // of the thread delivering; the dispatcher is the main thread's
int gNested = 0;
int gAllowed = 0;

class TTestApplication : public TTestApplicationBase {
public:
  using TTestApplicationBase::TTestApplicationBase;
  bool notify(QObject *Receiver, QEvent *Event) override {
    ++gDeliveryDepth;
    struct TLeave {
      ~TLeave() { --gDeliveryDepth; }
    } leave;
    return TTestApplicationBase::notify(Receiver, Event);
  }
};

void Woke() {
  if (gDeliveryDepth > 0 && gAllowed == 0) ++gNested;
}

} // namespace

namespace testutil {
int NestedEventLoops() { return gNested; }
AllowNestedEventLoops::AllowNestedEventLoops() { ++gAllowed; }
AllowNestedEventLoops::~AllowNestedEventLoops() { --gAllowed; }
} // namespace testutil

int main(int argc, char **argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  TTestApplication app(argc, argv);
  QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
  QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, &app, &Woke,
                   Qt::DirectConnection);
  QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &app, &Woke,
                   Qt::DirectConnection);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
