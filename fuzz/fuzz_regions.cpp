// The regions block: loaded from a store into a region sink that fits every region into a
// picture as the window does, then written back and read again to the same regions.
#include <cstdint>
#include <vector>

#include "app/untKalvRegionsFile.h"
#include "engine/untKalvRegion.h"
#include "fuzz/FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  fuzz::Run([&] {
    TProgMemIniFile ini("");
    ini.LoadFromText(fuzz::Text(Data, Size));
    std::vector<TRect> regions;
    LoadRegionsFromIni(ini, SRegionSectionFormat, [&](int X1, int Y1, int X2, int Y2) {
      if (const auto r = FitRegionCorners(X1, Y1, X2, Y2, 640, 480)) {
        if (r->Left < 0 || r->Top < 0 || r->Right > 640 || r->Bottom > 480 || r->Width() <= 0 ||
            r->Height() <= 0) {
          std::fprintf(stderr, "fault: fitted region outside the picture\n");
          std::abort();
        }
        regions.push_back(*r);
      }
    });
    TProgMemIniFile out("");
    SaveRegionsToIni(out, SRegionSectionFormat, regions);
    std::vector<TRect> back;
    LoadRegionsFromIni(out, SRegionSectionFormat,
                       [&](int X1, int Y1, int X2, int Y2) { back.push_back(Rect(X1, Y1, X2, Y2)); });
    if (back != regions) {
      std::fprintf(stderr, "fault: regions read back differently\n");
      std::abort();
    }
  });
  return 0;
}
