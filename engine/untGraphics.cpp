#include "engine/untGraphics.h"

#include "platform/untSystem.h"
#include "platform/untThreads.h"

void CheckPictureMemory(int Width, int Height) {
  if (Width <= 0 || Height <= 0)
    throw EReadError(Format("Invalid picture size: %d x %d pixels", Width, Height));
  const std::uint64_t pixels = static_cast<std::uint64_t>(Width) * static_cast<std::uint64_t>(Height);
  if (Width > MaxPictureSide || Height > MaxPictureSide || pixels > static_cast<std::uint64_t>(MaxPicturePixels) ||
      pixels * PictureBytesPerPixel > GetAvailableMemory() + KeptPixelBufferBytes()) // kept: for it to take
    throw EOutOfMemory(Format("Picture too large: %d x %d pixels", Width, Height));
}

TBitmap24::TBitmap24() { SetPixelFormat(pf24bit); }

void TBitmap24::SetSize(int AWidth, int AHeight) {
  AWidth = std::max(0, AWidth);
  AHeight = std::max(0, AHeight);
  if (AWidth == Width() && AHeight == Height()) return;
  SetWidth(0);
  SetHeight(AHeight);
  SetWidth(AWidth);
}

void TBitmap24::Assign(const TPersistent *Source) {
  const auto *src = dynamic_cast<const TBitmap *>(Source);
  if (Source != nullptr && src == nullptr) {
    TBitmap::Assign(Source);
    return;
  }
  if (src == this) return;
  if (src == nullptr) {
    SetSize(0, 0);
    return;
  }
  auto *s = const_cast<TBitmap *>(src);
  TCanvas *dstCanvas = Canvas();
  TCanvas *srcCanvas = s->Canvas();
  TLockGuard dstLock(*dstCanvas);
  TLockGuard srcLock(*srcCanvas);
  SetSize(s->Width(), s->Height());
  if (!Empty()) {
    // Pixel for pixel into 24 bits (8-bit pictures through their colour table).
    if (s->PixelFormat() == pf24bit) {
      for (int y = 0; y < Height(); ++y) std::copy_n(s->ScanLine(y), Width() * 3, ScanLine(y));
    } else {
      const std::vector<TColor> table = s->ColorTable();
      for (int y = 0; y < Height(); ++y) {
        const std::uint8_t *in = s->ScanLine(y);
        std::uint8_t *out = ScanLine(y);
        for (int x = 0; x < Width(); ++x) {
          const TColor c = table[in[x]];
          out[3 * x] = static_cast<std::uint8_t>(GetBValue(c));
          out[3 * x + 1] = static_cast<std::uint8_t>(GetGValue(c));
          out[3 * x + 2] = static_cast<std::uint8_t>(GetRValue(c));
        }
      }
    }
  }
}

void TBitmap24::LoadFromStream(TStream &Stream) {
  TBitmap tmp;
  tmp.LoadFromStream(Stream, [](int W, int H) { CheckPictureMemory(W, H); });
  Assign(&tmp);
}

void TBitmap24::LoadFromFile(const std::string &FileName) {
  TFileStream fs(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(fs);
}

void TBitmap24::SaveToFile(const std::string &FileName) const { TBitmap::SaveToFile(FileName); }
