// Pictures of the engine: TBitmap24, the 24-bit picture every colour picture lives in, and the
// memory check that guards every decoder before it allocates a picture.
#pragma once

#include <cstdint>
#include <string>

#include "platform/untBitmaps.h"
#include "platform/untClasses.h"

// The largest side a picture may have (libjpeg's own limit, and the noise phase's row buffers).
constexpr int MaxPictureSide = 65500;
// The most pixels a picture may have, whatever its format: 2^30, about 32768 x 32768. Its seven
// pages then take 13 GiB, a BMP's reading briefly 10 bytes more per pixel, and every pixel count
// still fits a 32-bit int with room to spare.
constexpr std::int64_t MaxPicturePixels = std::int64_t{1} << 30;
// Bytes a loaded picture costs per pixel: the source and the a*/b* pictures at 3 bytes, the four
// 8-bit channel pictures at 1 byte.
constexpr std::uint64_t PictureBytesPerPixel = 13;

// The one limit every picture is held to, from its header and before anything is allocated: a
// side <= 0 raises EReadError; a side above MaxPictureSide, more than MaxPicturePixels pixels or
// pages that need more than the memory still available raise EOutOfMemory
// ("Picture too large: 60000 x 60000 pixels").
void CheckPictureMemory(int Width, int Height);

// A 24-bit picture (bytes blue, green, red). Rows are reached one at a time through ScanLine.
class TBitmap24 : public TBitmap {
public:
  TBitmap24();

  // Negative sides are taken as 0. Nothing happens when the size already matches; otherwise the
  // width goes to 0 first, then the height and the width are set, so no picture of the new height
  // and the old width is ever allocated.
  void SetSize(int AWidth, int AHeight);
  // Takes the size of any platform bitmap (0 x 0 for none) and its pixels converted to 24 bits,
  // both canvases locked during the copy. Other sources go to the inherited assignment.
  void Assign(const TPersistent *Source) override;
  // Reads a BMP of any bit depth (checked against the stream's size and against
  // CheckPictureMemory before the pixels are read); the result is always 24 bits. On failure the
  // picture keeps its previous content.
  void LoadFromStream(TStream &Stream);
  // Opens the file for reading with others denied writing.
  void LoadFromFile(const std::string &FileName);
  void SaveToFile(const std::string &FileName) const;
};
