// The project reader: section "Program", the embedded picture (Base64 lines, zlib, its size),
// the picture itself by its name's kind, and the regions block.
#include <cstdint>
#include <memory>
#include <span>

#include "app/untKalvMainConstType.h"
#include "app/untKalvProjectFile.h"
#include "app/untKalvRegionsFile.h"
#include "engine/untGraphics.h"
#include "engine/untJpeg.h"
#include "fuzz/FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  fuzz::Run([&] {
    TProgMemIniFile ini("");
    ini.LoadFromText(fuzz::Text(Data, Size));
    int regions = 0;
    LoadRegionsFromIni(ini, SRegionSectionFormat, [&](int, int, int, int) { ++regions; });
    const TProjectInfo info = ReadProjectInfo(ini);
    const std::unique_ptr<TMemoryStream> picture = ReadProjectPicture(ini);
    if (!picture) return;
    const TFileKind kind = PictureKindByExtension(info.FileName);
    TBitmap24 bitmap;
    if (kind == fkBMP) {
      picture->Seek(0, soBeginning);
      const TBmpInfo bmp = ReadBmpInfo(*picture);
      if (std::int64_t{bmp.Width} * bmp.Height > fuzz::MaxFuzzPixels) return;
      bitmap.LoadFromStream(*picture);
    } else if (kind == fkJPEG) {
      {
        TJpegDecoder probe(std::span<const std::uint8_t>(picture->Bytes()));
        if (std::int64_t{probe.Header().Width} * probe.Header().Height > fuzz::MaxFuzzPixels) return;
      }
      LoadJpegFromStream(*picture, bitmap);
    }
  });
  return 0;
}
