#include "app/untKalvPicFile.h"

#include <vector>

#include "engine/untJpeg.h"
#include "platform/untClasses.h"
#include "platform/untSysUtils.h"

bool IsBmpFileName(const std::string &FileName) {
  const std::u8string ext = PathFromUtf8(FileName).extension().u8string();
  return SameText(std::string(ext.begin(), ext.end()), ".bmp");
}

void SavePagePicture(const TBitmap &Bitmap, const std::string &FileName) {
  if (Bitmap.Empty()) throw EInvalidOperation("There is no picture to save");
  if (IsBmpFileName(FileName)) {
    Bitmap.SaveToFile(FileName);
    return;
  }
  const int w = Bitmap.Width(), h = Bitmap.Height();
  std::vector<const std::uint8_t *> rows(static_cast<std::size_t>(h));
  std::vector<std::uint8_t> grey;
  if (Bitmap.PixelFormat() == pf8bit) {
    // The grey level of each colour-table entry (the channel pictures' table is the ramp itself).
    const std::vector<TColor> table = Bitmap.ColorTable();
    std::uint8_t level[256];
    bool ramp = true;
    for (int i = 0; i < 256; ++i) {
      const TColor c = i < static_cast<int>(table.size()) ? table[static_cast<std::size_t>(i)] : RGBColor(i, i, i);
      level[i] = static_cast<std::uint8_t>((GetRValue(c) * 299 + GetGValue(c) * 587 + GetBValue(c) * 114 + 500) / 1000);
      ramp = ramp && level[i] == i;
    }
    if (ramp) {
      for (int y = 0; y < h; ++y) rows[static_cast<std::size_t>(y)] = Bitmap.ScanLine(y);
    } else {
      grey.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
      for (int y = 0; y < h; ++y) {
        const std::uint8_t *src = Bitmap.ScanLine(y);
        std::uint8_t *dst = grey.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
        for (int x = 0; x < w; ++x) dst[x] = level[src[x]];
        rows[static_cast<std::size_t>(y)] = dst;
      }
    }
    const std::vector<std::uint8_t> data = EncodeJpeg(w, h, 1, rows, 90);
    WriteFileAtomically(FileName, data.data(), data.size());
    return;
  }
  for (int y = 0; y < h; ++y) rows[static_cast<std::size_t>(y)] = Bitmap.ScanLine(y);
  const std::vector<std::uint8_t> data = EncodeJpeg(w, h, 3, rows, 90);
  WriteFileAtomically(FileName, data.data(), data.size());
}
