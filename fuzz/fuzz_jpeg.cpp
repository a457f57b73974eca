// JPEG loading: the header, then the whole decode into a picture, as a JPEG file is opened.
#include <cstdint>
#include <span>

#include "engine/untGraphics.h"
#include "engine/untJpeg.h"
#include "fuzz/FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  fuzz::Run([&] {
    {
      TJpegDecoder probe(std::span<const std::uint8_t>(Data, Size));
      const TJpegHeader &h = probe.Header();
      if (std::int64_t{h.Width} * h.Height > fuzz::MaxFuzzPixels) return;
    }
    TMemoryStream stream;
    stream.Write(Data, static_cast<std::int64_t>(Size));
    TBitmap24 picture;
    LoadJpegFromStream(stream, picture);
  });
  return 0;
}
