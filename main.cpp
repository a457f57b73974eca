// kalvex: the window, or with --measure the headless measurement of pictures.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KalvexVersion.h"
#include "cli/untMeasure.h"

namespace {
void PrintUsage(std::FILE *to) {
  std::fprintf(to, "Usage: kalvex [FILE...] | --measure FILE... [options] | --version | --help\n"
                   "  FILE...            open the pictures or projects in the window\n"
                   "  --measure FILE...  measure pictures without a window (kalvex --measure --help)\n"
                   "  --version          print the version\n");
}
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
  PrintUsage(stderr);
  return 2;
}
