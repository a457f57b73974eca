#include "engine/untKalvPicStream.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "engine/untJpeg.h"

namespace {

std::function<void()> gBandFault;

// --- Sources ---------------------------------------------------------------------------------

class TJpegBands : public TPicBandSource {
public:
  explicit TJpegBands(TStream &Stream) : FDecoder(JpegStreamBytes(Stream, FCopy)) {
    CheckJpegMemory(FDecoder);
    FWidth = FDecoder.Header().Width;
    FHeight = FDecoder.Header().Height;
    FDecoder.Start();
  }
  void ReadRows(std::span<std::uint8_t *const> Rows) override { FDecoder.ReadRows(Rows); }
  void Finish() override { FDecoder.Finish(); }

private:
  std::vector<std::uint8_t> FCopy; // the file's bytes (before the decoder, which reads them)
  TJpegDecoder FDecoder;
};

// Uncompressed 24- and 32-bit rows hold the pixels as they are measured (32 bits: blue, green,
// red and a byte that is ignored), so they are read row by row, in either stored order.
class TBmpBands : public TPicBandSource {
public:
  TBmpBands(TStream &Stream, const TBmpInfo &Info) : FStream(Stream), FInfo(Info) {
    FWidth = Info.Width;
    FHeight = Info.Height;
    if (Info.BitCount == 32) FRow.resize(static_cast<std::size_t>(Info.Width) * 4);
  }
  void ReadRows(std::span<std::uint8_t *const> Rows) override {
    for (std::uint8_t *row : Rows) {
      const int y = FNext++;
      const std::int64_t stored = FInfo.TopDown ? y : FHeight - 1 - y;
      FStream.SetPosition(FInfo.PixelOffset + stored * FInfo.RowBytes);
      if (FRow.empty()) {
        FStream.ReadBuffer(row, std::int64_t{FWidth} * 3);
        continue;
      }
      FStream.ReadBuffer(FRow.data(), static_cast<std::int64_t>(FRow.size()));
      for (int x = 0; x < FWidth; ++x) std::memcpy(row + 3 * x, &FRow[4 * static_cast<std::size_t>(x)], 3);
    }
  }

private:
  TStream &FStream;
  TBmpInfo FInfo;
  int FNext = 0;
  std::vector<std::uint8_t> FRow;
};

class TBitmapBands : public TPicBandSource {
public:
  explicit TBitmapBands(const TBitmap24 &Picture, std::unique_ptr<TBitmap24> Owned = nullptr)
      : FOwned(std::move(Owned)), FPicture(Picture) {
    FWidth = Picture.Width();
    FHeight = Picture.Height();
  }
  void ReadRows(std::span<std::uint8_t *const> Rows) override {
    for (std::uint8_t *row : Rows) std::memcpy(row, FPicture.ScanLine(FNext++), static_cast<std::size_t>(FWidth) * 3);
  }

private:
  std::unique_ptr<TBitmap24> FOwned;
  const TBitmap24 &FPicture;
  int FNext = 0;
};

// --- The measurement -------------------------------------------------------------------------

// Slot 0 holds row First - 1 (when First > 0), slots 1 .. Count the band's own rows.
struct TBand {
  int First = 0, Count = 0;
  std::vector<std::uint8_t> RGB, L;
};

struct TSharedArea {
  TPicArea Box;
  bool FullWidth = false;
  std::mutex Lock; // Out, while a worker merges into it
  TAreaNoise *Out = nullptr;
  // The area's first and last rows, for the comparison of the first with the last; each is
  // written by the one worker that measures that row, and read once every worker is done.
  std::vector<std::uint8_t> FirstRGB, FirstL, LastRGB, LastL;
};

// A worker's sums of one area, until it is past the area's rows.
struct TWorkerArea {
  TNoiseHistograms Noise;
  TSignalSums Signal;
};

struct TWorker {
  std::vector<std::unique_ptr<TWorkerArea>> Areas; // by area index
  std::vector<std::size_t> Active;
  std::vector<std::unique_ptr<TWorkerArea>> Spare; // merged, cleared, for the next area
  std::vector<std::uint8_t> ScratchL;
};

void AddSignal(TSignalSums &To, const TSignalSums &From) {
  for (int c = 0; c < NoiseChannelCount; ++c) {
    To.SSum[static_cast<std::size_t>(c)] += From.SSum[static_cast<std::size_t>(c)];
    To.Clipped[static_cast<std::size_t>(c)] += From.Clipped[static_cast<std::size_t>(c)];
  }
  To.SCount += From.SCount;
}

std::array<TChannelNoiseData *, NoiseChannelCount> Targets(TAreaNoise &Out) {
  std::array<TChannelNoiseData *, NoiseChannelCount> t;
  for (int c = 0; c < NoiseChannelCount; ++c) t[static_cast<std::size_t>(c)] = &Out.Channels[static_cast<std::size_t>(c)];
  return t;
}

class TBandMeasure {
public:
  TBandMeasure(TPicBandSource &Source, std::span<const TPicArea> Areas, const std::atomic<bool> *Stop)
      : FSource(Source), FStopFlag(Stop), FWidth(Source.Width()), FHeight(Source.Height()), FAreas(Areas.size()) {
    for (std::size_t i = 0; i < Areas.size(); ++i) {
      const TPicArea &a = Areas[i];
      if (a.Width <= 0 || a.Height <= 0 || a.Left < 0 || a.Top < 0 || a.Left > FWidth - a.Width ||
          a.Top > FHeight - a.Height)
        throw EInvalidOperation(Format("Area %d,%d %d x %d lies outside the picture", a.Left, a.Top, a.Width, a.Height));
      FAreas[i].Box = a;
      FAreas[i].FullWidth = a.Left == 0 && a.Width == FWidth;
      if (FAreas[i].FullWidth) FFullWidth.push_back(i);
      FResults.push_back(std::make_unique<TAreaNoise>());
      FAreas[i].Out = FResults.back().get();
    }
  }

  std::vector<std::unique_ptr<TAreaNoise>> Run() {
    // Bands of about 2^18 pixels: small enough to stay in the caches while they are measured, and
    // large enough that the row of context and the hand-over cost little.
    FBandRows = static_cast<int>(std::clamp<std::int64_t>((std::int64_t{1} << 18) / std::max(1, FWidth), 1,
                                                          std::max(1, FHeight)));
    const int workers = PicPartCount();
    const std::size_t rowBytes = static_cast<std::size_t>(FWidth) * 3;
    FBands.resize(static_cast<std::size_t>(workers) + 2);
    for (TBand &b : FBands) {
      b.RGB.resize(rowBytes * static_cast<std::size_t>(FBandRows + 1));
      b.L.resize(static_cast<std::size_t>(FWidth) * static_cast<std::size_t>(FBandRows + 1));
      FFree.push_back(&b);
    }
    std::vector<std::thread> threads;
    try {
      for (int t = 0; t < workers; ++t) threads.emplace_back([this] { Work(); });
      Read();
    } catch (...) {
      Fail(std::current_exception());
    }
    {
      std::lock_guard<std::mutex> g(FLock);
      FEnd = true;
    }
    FReadyCv.notify_all();
    Work(); // what is left, on this thread too
    for (std::thread &t : threads) t.join();
    if (FFailure) std::rethrow_exception(FFailure);
    // The first row of every area against its last, as a picture's first row is compared with
    // the row above it, which wraps around.
    for (TSharedArea &a : FAreas) {
      if (a.Box.Width < 2) continue;
      const bool one = a.Box.Height == 1;
      TNoiseHistograms h;
      h.AddRow(one ? a.FirstRGB.data() : a.LastRGB.data(), one ? a.FirstL.data() : a.LastL.data(), a.FirstRGB.data(),
               a.FirstL.data(), a.Box.Width);
      h.AddTo(Targets(*a.Out));
    }
    return std::move(FResults);
  }

private:
  void Fail(std::exception_ptr E) {
    {
      std::lock_guard<std::mutex> g(FLock);
      if (!FFailure) FFailure = std::move(E);
      FStop = true;
    }
    FReadyCv.notify_all();
    FFreeCv.notify_all();
  }

  // The caller's part: the rows, band by band, into the free buffers.
  void Read() {
    const std::size_t rowBytes = static_cast<std::size_t>(FWidth) * 3;
    std::vector<std::uint8_t> context(rowBytes); // the last row of the band before
    std::vector<std::uint8_t *> rows;
    for (int next = 0; next < FHeight;) {
      if (FStopFlag != nullptr && FStopFlag->load()) throw EAbort();
      TBand *band;
      {
        std::unique_lock<std::mutex> g(FLock);
        FFreeCv.wait(g, [this] { return FStop || !FFree.empty(); });
        if (FStop) return;
        band = FFree.front();
        FFree.pop_front();
      }
      band->First = next;
      band->Count = std::min(FBandRows, FHeight - next);
      rows.clear();
      for (int r = 1; r <= band->Count; ++r) rows.push_back(band->RGB.data() + rowBytes * static_cast<std::size_t>(r));
      try {
        FSource.ReadRows(rows);
      } catch (...) {
        std::lock_guard<std::mutex> g(FLock);
        FFree.push_back(band);
        throw;
      }
      if (next > 0) std::memcpy(band->RGB.data(), context.data(), rowBytes);
      std::memcpy(context.data(), rows.back(), rowBytes);
      next += band->Count;
      {
        std::lock_guard<std::mutex> g(FLock);
        FReady.push_back(band);
      }
      FReadyCv.notify_one();
    }
    FSource.Finish();
  }

  void Work() {
    TWorker worker;
    worker.Areas.resize(FAreas.size());
    worker.ScratchL.resize(static_cast<std::size_t>(FWidth));
    try {
      for (;;) {
        TBand *band;
        {
          std::unique_lock<std::mutex> g(FLock);
          FReadyCv.wait(g, [this] { return FStop || FEnd || !FReady.empty(); });
          if (FStop || FReady.empty()) break;
          band = FReady.front();
          FReady.pop_front();
        }
        try {
          Measure(*band, worker);
        } catch (...) {
          std::lock_guard<std::mutex> g(FLock);
          FFree.push_back(band);
          throw;
        }
        {
          std::lock_guard<std::mutex> g(FLock);
          FFree.push_back(band);
        }
        FFreeCv.notify_one();
      }
      for (std::size_t i : worker.Active) Merge(i, worker);
    } catch (...) {
      Fail(std::current_exception());
    }
  }

  // Adds the worker's sums of area I into the area's figures and forgets them.
  void Merge(std::size_t I, TWorker &W) {
    std::unique_ptr<TWorkerArea> mine = std::move(W.Areas[I]);
    if (!mine) return;
    TSharedArea &a = FAreas[I];
    {
      std::lock_guard<std::mutex> g(a.Lock);
      mine->Noise.AddTo(Targets(*a.Out));
      for (int c = 0; c < NoiseChannelCount; ++c) {
        TChannelNoiseData &d = a.Out->Channels[static_cast<std::size_t>(c)];
        d.SSum += mine->Signal.SSum[static_cast<std::size_t>(c)];
        d.SCount += mine->Signal.SCount;
        d.Clipped += mine->Signal.Clipped[static_cast<std::size_t>(c)];
      }
    }
    mine->Noise.Clear();
    mine->Signal = TSignalSums();
    W.Spare.push_back(std::move(mine));
  }

  static void Keep(std::vector<std::uint8_t> &RGB, std::vector<std::uint8_t> &L, const std::uint8_t *FromRGB,
                   const std::uint8_t *FromL, int Width) {
    RGB.assign(FromRGB, FromRGB + 3 * static_cast<std::size_t>(Width));
    L.assign(FromL, FromL + Width);
  }

  void Measure(TBand &Band, TWorker &W) {
    if (gBandFault) gBandFault();
    const std::size_t rowBytes = static_cast<std::size_t>(FWidth) * 3;
    auto rgb = [&](int Slot) { return Band.RGB.data() + rowBytes * static_cast<std::size_t>(Slot); };
    auto lrow = [&](int Slot) { return Band.L.data() + static_cast<std::size_t>(FWidth) * static_cast<std::size_t>(Slot); };
    const int first = Band.First, end = Band.First + Band.Count;
    // The worker is past the areas that end above this band (bands come in row order).
    std::erase_if(W.Active, [&](std::size_t i) {
      const TPicArea &b = FAreas[i].Box;
      if (b.Top + b.Height > first) return false;
      Merge(i, W);
      return true;
    });
    auto state = [&](std::size_t i) -> TWorkerArea & {
      if (!W.Areas[i]) {
        if (W.Spare.empty()) {
          W.Areas[i] = std::make_unique<TWorkerArea>();
        } else {
          W.Areas[i] = std::move(W.Spare.back());
          W.Spare.pop_back();
        }
        W.Active.push_back(i);
      }
      return *W.Areas[i];
    };
    // The L* bytes of every row, and the signal sums of the areas as wide as the picture.
    for (int slot = first > 0 ? 0 : 1; slot <= Band.Count; ++slot) {
      TSignalSums sums;
      ExtractRow(TExtractRow{rgb(slot), nullptr, nullptr, nullptr, lrow(slot), nullptr, nullptr}, FWidth, sums);
      if (slot == 0) continue; // context only
      const int y = first + slot - 1;
      for (std::size_t i : FFullWidth) {
        const TPicArea &b = FAreas[i].Box;
        if (y >= b.Top && y < b.Top + b.Height) AddSignal(state(i).Signal, sums);
      }
    }
    for (std::size_t i = 0; i < FAreas.size(); ++i) {
      TSharedArea &a = FAreas[i];
      const TPicArea &b = a.Box;
      const int from = std::max(first, b.Top), to = std::min(end, b.Top + b.Height);
      if (from >= to) continue;
      TWorkerArea &s = state(i);
      const std::size_t left = static_cast<std::size_t>(b.Left);
      for (int y = from; y < to; ++y) {
        const int slot = y - first + 1;
        const std::uint8_t *cur = rgb(slot) + 3 * left, *curL = lrow(slot) + left;
        if (!a.FullWidth)
          ExtractRow(TExtractRow{cur, nullptr, nullptr, nullptr, W.ScratchL.data(), nullptr, nullptr}, b.Width, s.Signal);
        if (y == b.Top) Keep(a.FirstRGB, a.FirstL, cur, curL, b.Width);
        else s.Noise.AddRow(rgb(slot - 1) + 3 * left, lrow(slot - 1) + left, cur, curL, b.Width);
        if (y == b.Top + b.Height - 1 && b.Height > 1) Keep(a.LastRGB, a.LastL, cur, curL, b.Width);
      }
    }
  }

  TPicBandSource &FSource;
  const std::atomic<bool> *FStopFlag; // the caller's stop: ends the reading at the next band
  const int FWidth, FHeight;
  int FBandRows = 1;
  std::vector<TSharedArea> FAreas;
  std::vector<std::size_t> FFullWidth; // the areas as wide as the picture
  std::vector<std::unique_ptr<TAreaNoise>> FResults;
  std::vector<TBand> FBands;

  std::mutex FLock; // the queues and the flags
  std::condition_variable FReadyCv, FFreeCv;
  std::deque<TBand *> FReady, FFree;
  bool FEnd = false, FStop = false;
  std::exception_ptr FFailure;
};

} // namespace

std::unique_ptr<TPicBandSource> JpegBandSource(TStream &Stream) { return std::make_unique<TJpegBands>(Stream); }

std::unique_ptr<TPicBandSource> BmpBandSource(TStream &Stream) {
  Stream.SetPosition(0);
  const TBmpInfo info = ReadBmpInfo(Stream, [](int W, int H) { CheckPictureMemory(W, H); });
  // The kinds read here as stored; any other (palettes, bit fields, compression, later headers
  // with their colour spaces) goes through the picture reader whole.
  const bool plain = info.Compression == 0 && info.RowBytes > 0 &&
                     ((info.BitCount == 24 && (info.HeaderSize == 12 || info.HeaderSize == 40)) ||
                      (info.BitCount == 32 && info.HeaderSize == 40));
  if (plain) return std::make_unique<TBmpBands>(Stream, info);
  Stream.SetPosition(0);
  auto picture = std::make_unique<TBitmap24>();
  picture->LoadFromStream(Stream);
  const TBitmap24 &p = *picture;
  return std::make_unique<TBitmapBands>(p, std::move(picture));
}

std::unique_ptr<TPicBandSource> BitmapBandSource(const TBitmap24 &Picture) {
  return std::make_unique<TBitmapBands>(Picture);
}

std::vector<std::unique_ptr<TAreaNoise>> MeasureBands(TPicBandSource &Source, std::span<const TPicArea> Areas,
                                                      const std::atomic<bool> *Stop) {
  TBandMeasure measure(Source, Areas, Stop);
  return measure.Run();
}

void SetBandFaultForTests(std::function<void()> Function) { gBandFault = std::move(Function); }
