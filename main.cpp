// kalvex: the window, or with --measure the headless measurement of pictures.
#include <cstdio>
#include <cstring>
#include <string>

#include "KalvexVersion.h"

namespace {
void PrintUsage(std::FILE *to) {
  std::fprintf(to, "Usage: kalvex [FILE...] | --measure FILE... [options] | --version | --help\n");
}
} // namespace

int main(int argc, char **argv) {
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
