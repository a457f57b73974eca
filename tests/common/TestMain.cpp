// The main of every test executable: a QApplication on the offscreen platform (unless the caller
// chose another), so that widget, message and painting tests run without a display; a
// QGuiApplication in a build without the window, which links no widgets.
#include <cstdlib>
#include <gtest/gtest.h>
#ifdef KALVEX_TEST_WIDGETS
#include <QApplication>
using TTestApplication = QApplication;
#else
#include <QGuiApplication>
using TTestApplication = QGuiApplication;
#endif

int main(int argc, char **argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  TTestApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
