// BMP loading: the header check, then the platform bitmap (8-bit kept) and the 24-bit picture.
#include <cstdint>

#include "engine/untGraphics.h"
#include "fuzz/FuzzCommon.h"
#include "platform/untBitmaps.h"

// Every uncompressed picture within the fuzzer's 64 KB inputs (1 bit per pixel) stays below this;
// only run-length BMPs go above it, and a big one reaches no more of the decoder than a small
// one while it takes a third of a second a run.
constexpr std::int64_t MaxBmpPixels = std::int64_t{1} << 19;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  fuzz::Run([&] {
    TMemoryStream stream;
    stream.Write(Data, static_cast<std::int64_t>(Size));
    stream.Seek(0, soBeginning);
    const TBmpInfo info = ReadBmpInfo(stream);
    if (std::int64_t{info.Width} * info.Height > MaxBmpPixels) return;
    {
      TBitmap bitmap;
      stream.Seek(0, soBeginning);
      bitmap.LoadFromStream(stream);
    }
    TBitmap24 picture;
    stream.Seek(0, soBeginning);
    picture.LoadFromStream(stream);
  });
  return 0;
}
