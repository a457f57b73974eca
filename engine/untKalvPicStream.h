// The streaming measurement: the figures of a picture and of any number of areas in it, with no
// whole picture in memory.
//
// A band source hands out the picture's rows top-down, a band at a time (the JPEG decoder's
// scanlines, a BMP file's rows, or a picture already in memory). Each band is measured and
// dropped: its rows get their L* bytes and signal sums from the extraction kernel, and their
// neighbour differences from the noise histograms, against the band's own rows and one row of
// context (the last row of the band before). An area takes its rows from the bands as they pass
// and is measured as the picture job measures a picture of its own: its first row is compared with
// its last, so both are kept until the end.
//
// Threads: the caller's thread reads the bands; PicPartCount() workers measure them, each with its
// own accumulators per area, merged into the area's figures once the worker is past its rows. The
// figures are the same as the picture job's, bit for bit, whatever the band size or the threads.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "engine/untGraphics.h"
#include "engine/untKalvPicJobData.h"
#include "platform/untClasses.h"

// Rows of a picture, top-down, 24 bits (bytes blue, green, red).
class TPicBandSource {
public:
  virtual ~TPicBandSource() = default;
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  // Fills the next Rows.size() rows (Width * 3 bytes each). Raises for damaged or missing data.
  virtual void ReadRows(std::span<std::uint8_t *const> Rows) = 0;
  // After the last row: raises for damage found only at the end (a JPEG's trailing data).
  virtual void Finish() {}

protected:
  int FWidth = 0, FHeight = 0;
};

// A JPEG from Stream (a memory stream is decoded where it is). The header is read, and the size
// held to CheckPictureMemory, here.
std::unique_ptr<TPicBandSource> JpegBandSource(TStream &Stream);
// A BMP from Stream (read from its start; Stream must outlive the source). Uncompressed 24- and
// 32-bit rows are read as they are needed; other kinds are loaded whole first.
std::unique_ptr<TPicBandSource> BmpBandSource(TStream &Stream);
// A picture in memory (not owned; it must outlive the source).
std::unique_ptr<TPicBandSource> BitmapBandSource(const TBitmap24 &Picture);

// An area of the picture, wholly inside it and not empty.
struct TPicArea {
  int Left = 0, Top = 0, Width = 0, Height = 0;
};

// The seven channels' figures of one area, in TNoiseChannel order.
struct TAreaNoise {
  std::array<TChannelNoiseData, NoiseChannelCount> Channels;
};

// Reads every row of Source and measures every area (raises EInvalidOperation for an area that
// is not wholly inside the picture). The result holds one entry per area, in order. A set *Stop
// ends the reading at the next band and raises EAbort.
std::vector<std::unique_ptr<TAreaNoise>> MeasureBands(TPicBandSource &Source, std::span<const TPicArea> Areas,
                                                      const std::atomic<bool> *Stop = nullptr);

// Runs at the start of every band's measurement (tests make a worker fail with it); empty:
// nothing. Set it only while no measurement runs.
void SetBandFaultForTests(std::function<void()> Function);
