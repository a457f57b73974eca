// The arguments of `kalvex --measure`: the input is the argument list (one argument a line) up
// to the first NUL byte, and after it the content of a regions file that every argument "@"
// stands for. Every region that comes out is then fitted into a picture.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "cli/untMeasure.h"
#include "fuzz/FuzzCommon.h"

namespace {

const std::string &RegionsPath() { return fuzz::ScratchFile("kalvex-fuzz-", ".krg"); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  const std::string_view all = fuzz::Text(Data, Size);
  const std::size_t nul = all.find('\0');
  const std::string_view argText = all.substr(0, nul);
  std::vector<std::string> args{"kalvex", "--measure"};
  std::size_t start = 0;
  while (start <= argText.size()) {
    std::size_t end = argText.find('\n', start);
    if (end == std::string_view::npos) end = argText.size();
    std::string a(argText.substr(start, end - start));
    args.push_back(a == "@" ? RegionsPath() : a);
    start = end + 1;
  }
  if (nul != std::string_view::npos) {
    std::ofstream f(RegionsPath(), std::ios::binary | std::ios::trunc);
    f << all.substr(nul + 1);
  } else {
    std::remove(RegionsPath().c_str());
  }
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  fuzz::Run([&] {
    const TMeasureOptions o = ParseMeasureArgs(static_cast<int>(args.size()), argv.data(), 2);
    for (const TRegionArg &r : o.Regions) {
      const auto f = FitRegion(r, 640, 480);
      if (f && (f->Left < 0 || f->Top < 0 || f->Width <= 0 || f->Height <= 0 || f->Left + f->Width > 640 ||
                f->Top + f->Height > 480)) {
        std::fprintf(stderr, "fault: fitted region outside the picture\n");
        std::abort();
      }
    }
  });
  return 0;
}
