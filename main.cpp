// kalvex: the window, or with --measure the headless measurement of pictures.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KalvexVersion.h"
#include "cli/untMeasure.h"

#ifdef KALVEX_WITH_GUI
#include <QApplication>
#include <memory>

#include "app/dmdKalvMain.h"
#include "platform/untApplication.h"
#include "platform/untSystem.h"
#include "ui/frmKalvInfo.h"
#include "ui/frmKalvMain.h"
#endif

namespace {
void PrintUsage(std::FILE *to) {
  std::fprintf(to, "Usage: kalvex [FILE...] | --measure FILE... [options] | --version | --help\n"
                   "  FILE...            open the pictures or projects in the window (the first here,\n"
                   "                     each further one in a window of its own)\n"
                   "  --measure FILE...  measure pictures without a window (kalvex --measure --help)\n"
                   "  --version          print the version\n"
                   "  --help             print this text\n"
                   "See kalvex(1) for the window and the output formats of --measure.\n");
}

#ifdef KALVEX_WITH_GUI
// The window: splash, title, the main module, then the main window, and the event loop until the
// window closes. The window opens the command line's files itself once it is on screen.
int RunWindow(int argc, char **argv) {
  SetSinglePrecisionMode();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Kalvex"));
  QApplication::setWindowIcon(ProgramIcon());
  TfmKalvInfo::ShowSplash();
  Application()->SetTitle("Kalvex");
  int result = 0;
  try {
    auto module = std::make_unique<TdmKalvMain>();
    {
      auto window = std::make_unique<TfmKalvMain>(module.get());
      window->show();
      // The splash stays above the window until the start-up work lets it go.
      if (TfmKalvInfo *splash = TfmKalvInfo::Splash()) splash->raise();
      result = app.exec();
    }
    module.reset();
  } catch (...) {
    Application()->HandleException();
    TfmKalvInfo::CloseSplash(true);
    return 1;
  }
  return result;
}
#endif
} // namespace

int main(int argc, char **argv) {
  // --measure takes every other argument as its own, wherever it stands.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--measure") == 0) {
      std::vector<char *> args;
      for (int j = 0; j < argc; ++j)
        if (j != i) args.push_back(argv[j]);
      args.push_back(nullptr);
      return RunMeasure(argc - 1, args.data(), 1);
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("Kalvex %s\n", KALVEX_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage(stdout);
      return 0;
    }
  }
#ifdef KALVEX_WITH_GUI
  // Files (and Qt's own one-dash options) go to the window; an unknown long option is a mistake.
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--", 2) == 0) {
      std::fprintf(stderr, "kalvex: unknown option %s\n", argv[i]);
      PrintUsage(stderr);
      return 2;
    }
  }
  return RunWindow(argc, argv);
#else
  PrintUsage(stderr);
  return 2;
#endif
}
