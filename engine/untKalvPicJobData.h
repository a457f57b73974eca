// The pixel level of the engine: the 8-bit channel pictures, the colour arithmetic, the seven
// pictures and seven measured channels, the noise accumulators, and the part threads that fill the
// pictures and the accumulators band by band.
//
// How a picture job uses the part threads (one phase; both phases work the same way):
//   1. Split the picture's H rows into n = processor-count bands: SplitRows(H, n) gives each part's
//      first row and row count (the first H mod n parts are one row taller; parts may be empty).
//   2. For each band, check for a stop request, then
//        auto t = std::make_unique<TPicPartThreadData>(ThreadList, {NsR, ..., NsBR}, W);
//      The new thread is suspended and already in ThreadList. Hand it its rows (AddRows with the
//      seven row addresses of every row of the band; for TPicPartThreadNoise first the preceding
//      row: the row above the band, or the picture's last row for the first band, then the band's
//      own rows through AddRow), then RunPicPart(std::move(t)): one of the part runners, threads
//      that stay alive from job to job, runs it and frees it (a part may also be started as a
//      thread of its own with StartFreeOnTerminate, or run on the caller's thread with RunHere).
//      A part freed before it ran (its rows could not be handed over) leaves the list.
//   3. Wait: ThreadList.Event.WaitFor(200) until it returns wrSignaled, checking for a stop request
//      after each timeout. The event is set exactly when the list is empty.
//   4. The seven accumulators now hold the merged sums of every part of the phase.
// On a failure while parts run: ThreadList.TerminateAll(), then wait on the event until it is set
// (the parts finish their rows regardless). The accumulators and the list must outlive the parts,
// so never destroy them while the event is not set.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/untGraphics.h"
#include "platform/untBitmaps.h"
#include "platform/untThreads.h"
#include "threading/untJobData.h"

// --- Pictures and channels -------------------------------------------------------------------

enum TPicKind { pkRGB = 1, pkR = 2, pkG = 3, pkB = 4, pkL = 5, pkLa = 6, pkLb = 7 };
constexpr TPicKind PicKinds[] = {pkRGB, pkR, pkG, pkB, pkL, pkLa, pkLb};
// The page captions, indexed by kind - 1: "RGB", "R", "G", "B", "L*", "a*", "b*". The one table
// of them; the window's page tabs use it.
extern const char *const PicKindCaptions[7];
const char *PicKindCaption(TPicKind Kind); // "" for a number that is no kind

enum TNoiseChannel { ncR = 0, ncG = 1, ncB = 2, ncL = 3, ncRG = 4, ncGB = 5, ncBR = 6 };
constexpr int NoiseChannelCount = 7;
constexpr TNoiseChannel NoiseChannels[] = {ncR, ncG, ncB, ncL, ncRG, ncGB, ncBR};
// The channel captions in channel order: "R", "G", "B", "L*", "RG", "GB", "BR". The one table of
// them; the noise panels and kalvex --measure use it.
extern const char *const NoiseChannelCaptions[NoiseChannelCount];
const char *NoiseChannelCaption(TNoiseChannel Channel); // "" for a number that is no channel
// The chart colour of a channel (0x00BBGGRR).
TColor NoiseChannelColor(TNoiseChannel Channel);
// The captions of the two combined charts: "RGB L*" and "RG GB BR".
extern const char *const NoiseCaptionRGBL;
extern const char *const NoiseCaptionPairs;

// A picture with 8 bits per pixel and a 256-entry palette (the R, G, B and L* pictures).
class TBitmap08Pal : public TBitmap {
public:
  TBitmap08Pal();
  // Width to 0, then the height, then the width (nothing when the size already matches).
  void SetSize(int AWidth, int AHeight);
  // Entry i gets red i when bit 0 of Mask is set (else 0), green i for bit 1, blue i for bit 2.
  void SetChannelPalette(int Mask);
};

// --- Colour arithmetic -----------------------------------------------------------------------
//
// Every intermediate value is a single-precision float. Matrix coefficients are long double
// constants; each product is the constant times the single value, converted to single once; sums
// are single additions in the order written. Conversions to bytes round to nearest with ties to
// even (std::nearbyint in the default rounding mode) and clamp afterwards.
//
// The cube root is the engine's own CubeRoot (below), not the C library's: it is built from
// basic IEEE operations only, so the scalar code and the vectorised extraction give the same bits
// on every machine. It agrees with the correctly rounded cube root to within one unit in the last
// place (exactly for all but a handful of inputs).

// The white point: built from the chromaticity (x, y); z, Xw and Zw are computed in single
// precision (z = (1 - x) - y, Xw = x * Yw / y, Zw = z * Yw / y).
struct TLab {
  TLab(float Ax, float Ay);
  static TLab D65(); // (0.312713, 0.329016)
  float x, y, z, Xw, Yw, Zw;
};

float CubeRoot(float t);
void RGBToLab(const TLab &Lab, std::uint8_t R, std::uint8_t G, std::uint8_t B, float &L, float &a, float &b);
void LabToRGB(const TLab &Lab, float L, float a, float b, std::uint8_t &R, std::uint8_t &G, std::uint8_t &B);

// --- Noise accumulators ----------------------------------------------------------------------

// The results of one channel: signal and difference sums, and the histogram of the difference
// magnitudes (entry 255 counts 255 and above).
class TChannelNoiseData : public TPersistent {
public:
  explicit TChannelNoiseData(TColor AColor = clBlack);

  TColor Color = clBlack;
  std::int64_t SSum = 0;
  std::int64_t SCount = 0;
  std::int64_t NSum = 0;
  std::int64_t NCount = 0;
  // Pixels at the end of the range (0 or 255) among the SCount signals: the channel's value for
  // R, G, B and L*, either of the two for a pair. Their noise is cut off, so an area with many of
  // them has a meaningless S/N ratio.
  std::int64_t Clipped = 0;

  void Assign(const TPersistent *Source) override;
  virtual void AddSignal(std::int32_t Value);
  virtual void AddNoise(std::int32_t Diff);
  // Adds Source's sums, counts and histogram (nothing for nullptr); Color stays.
  virtual void AddData(const TChannelNoiseData *Source);
  // False (Value untouched) without samples.
  virtual bool GetSMean(float &Value);
  virtual bool GetNMean(float &Value);
  // 10 * log10(S mean / N mean). False without samples, when N mean is 0, and when S mean is 0:
  // minus infinity is no figure a field can show, so the ratio is then unavailable too.
  virtual bool GetSNRatio(float &Value);

  // Entry Index mod 256. Not locked: read only from copies one thread owns.
  std::int64_t Histogram(int Index) const { return FHistogram[static_cast<std::uint8_t>(Index)]; }
  std::array<std::int64_t, 256> &HistogramData() { return FHistogram; }
  const std::array<std::int64_t, 256> &HistogramData() const { return FHistogram; }

protected:
  void CopyFrom(const TChannelNoiseData &Source);

private:
  std::array<std::int64_t, 256> FHistogram{};
};

// The job's shared accumulator: every operation runs under the object's own lock.
class TChannelNoiseSync : public TChannelNoiseData {
public:
  using TChannelNoiseData::TChannelNoiseData;

  void Assign(const TPersistent *Source) override;
  void AddSignal(std::int32_t Value) override;
  void AddNoise(std::int32_t Diff) override;
  void AddData(const TChannelNoiseData *Source) override;
  bool GetSMean(float &Value) override;
  bool GetNMean(float &Value) override;
  bool GetSNRatio(float &Value) override;

  void Lock() { FLock.Enter(); }
  void Unlock() { FLock.Leave(); }

private:
  TCriticalSection FLock;
};

// References to channel results, indexed by the caller (not owned).
using TChannelNoiseArray = std::vector<TChannelNoiseData *>;

// The seven accumulators a part merges into, in TNoiseChannel order (not owned).
using TPicNoiseTargets = std::array<TChannelNoiseSync *, NoiseChannelCount>;

// --- Part threads ----------------------------------------------------------------------------

// The running part threads of a job. Event is set exactly when the list is empty (created set).
class TPicThreadList : public TSyncThreadList {
public:
  TPicThreadList();
  // Waits for a part that is still leaving the list, so the lock is never freed under it.
  ~TPicThreadList() override;
  void Add(TObject *Thread);
  void Remove(TObject *Thread);
  void TerminateAll();
  // A part that failed records its exception here before it leaves the list; only the first one
  // is kept. TakeFailure returns it (empty when every part succeeded) and clears it.
  void SetFailure(std::exception_ptr E);
  std::exception_ptr TakeFailure();
  bool HasFailure();
  TEvent Event;
  // Set (auto-reset) whenever a part leaves: the job then looks for parts that can start.
  TEvent PartLeft;

private:
  std::exception_ptr FFailure; // under the list's lock
};

// One band of rows: part i starts at First and has Count rows.
struct TPartRows {
  int First = 0;
  int Count = 0;
};
// H rows over n parts (n taken as at least 1): H div n each, one more for the first H mod n.
std::vector<TPartRows> SplitRows(int Height, int PartCount);
// The number of parts a job splits into: the logical processors of the process, at least 1.
int PicPartCount();

// A part thread: created suspended, at the lowest priority, already in the list; frees itself
// when it ends. Execute runs DoWork with private accumulators and merges them into the targets
// once; whatever happens, the thread then leaves the list. A part that fails records its
// exception in the list first, so the job fails with it instead of reporting partial sums.
class TPicPartThread : public TThread {
public:
  TPicPartThread(TPicThreadList &List, const TPicNoiseTargets &Targets, int AWidth);
  // Only for a thread that was never started (a failed hand-over): leaves the list.
  ~TPicPartThread() override;

  const int Width;

  // Runs at the start of every part's Execute (tests make a part fail with it); empty: nothing.
  // Set it only while no job runs.
  using TFaultFunction = std::function<void(TPicPartThread &Part)>;
  static void SetFaultForTests(TFaultFunction Function);
  // Set to true once the part has merged its sums (not on failure), before it leaves the list.
  // Set before Start; not owned.
  std::atomic<bool> *Finished = nullptr;
  // Does the part's work on the calling thread instead of starting it (a failure is left in the
  // list, as a thread's would be); the part is then done and is freed by its owner.
  void RunHere();

protected:
  void Execute() override;
  virtual void DoWork() = 0;
  // The part's own accumulators; they exist only while Execute runs.
  std::array<std::unique_ptr<TChannelNoiseData>, NoiseChannelCount> Data;

private:
  void LeaveList();
  TPicThreadList *FList; // not owned
  TPicNoiseTargets FTargets;
  std::atomic<bool> FInList{true};
};

// Runs Part on one of the process's part runners: threads that stay alive from job to job, one
// set per priority (PicPartCount of them, made on first use at the part's priority, since a thread
// cannot raise its own priority again), so that a job's parts start no thread of their own. The
// part runs as its own started thread would (it leaves the list when done; a failure is kept in
// the list) and is freed afterwards. Parts run in the order they were handed over and never wait
// for one another. At exit the runners finish every part already handed to them and end; a part
// handed over after that runs on the calling thread.
void RunPicPart(std::unique_ptr<TPicPartThread> Part);

// First phase: copies R, G, B into their pictures, builds the L*, a* and b* pictures and sums the
// signals of the seven channels.
class TPicPartThreadData : public TPicPartThread {
public:
  using TPicPartThread::TPicPartThread;
  void AddRows(const std::uint8_t *RGB, std::uint8_t *R, std::uint8_t *G, std::uint8_t *B, std::uint8_t *L,
               std::uint8_t *La, std::uint8_t *Lb);
  std::vector<const std::uint8_t *> PicRGB;
  std::vector<std::uint8_t *> PicR, PicG, PicB, PicL, PicLa, PicLb;

protected:
  void DoWork() override;
};

// Second phase: entry 0 is the row before the part, entries 1..k its own rows; every pixel but the
// first of a row is compared with its left neighbour and the three above it.
class TPicPartThreadNoise : public TPicPartThread {
public:
  using TPicPartThread::TPicPartThread;
  void AddRow(const std::uint8_t *RGB, const std::uint8_t *L);
  std::vector<const std::uint8_t *> PicRGB, PicL;

protected:
  void DoWork() override;
};

// --- The row kernels (used by the part threads; public for the tests and the benchmark) ------

struct TExtractRow {
  const std::uint8_t *RGB;
  std::uint8_t *R, *G, *B, *L, *La, *Lb;
};
// Signal sums of the seven channels (SCount is the same for all).
struct TSignalSums {
  std::array<std::int64_t, NoiseChannelCount> SSum{};
  std::int64_t SCount = 0;
  std::array<std::int64_t, NoiseChannelCount> Clipped{};
};
// Adds the clipped pixels of Width pixels of one row (24-bit, bytes blue, green, red) and of its
// L* bytes to Clipped (indexed by TNoiseChannel).
void CountClipped(const std::uint8_t *RGB, const std::uint8_t *L, int Width,
                  std::array<std::int64_t, NoiseChannelCount> &Clipped);
// Converts Width pixels of one row. R, G and B may be nullptr (those pictures are not made); with
// La or Lb nullptr only L* is converted, with the same bits; with L nullptr (La and Lb given) only
// a* and b* are, and no sums are counted. The fast path: per-channel matrix products from tables,
// vectorised cube roots (AVX2 when the processor has it, else the portable path), and step tables
// for the back-conversions; colours the step tables cannot answer exactly are converted directly.
void ExtractRow(const TExtractRow &Row, int Width, TSignalSums &Sums);
// Which vector path ExtractRow takes; tests pin each in turn and compare.
enum TSimdPath { spAuto, spPortable, spAVX2 };
void SetSimdPathForTests(TSimdPath Path);
TSimdPath ActiveSimdPath();

// The difference histograms of one part. A magnitude of R, G, B or L* is at most 255; a pair
// magnitude, at most 510, counts in bin 255 and in full in the sum.
//
// Each pixel has four neighbour magnitudes per channel; the vector code turns two of them into one
// 16-bit index, so a pixel costs 14 counts instead of 28. Small parts count each magnitude in a
// 256-bin histogram; from JointAfter pixels on, the two-magnitude indices count in 65536-bin joint
// histograms, whose row and column sums are the same counts. Large parts count most pixels in 6
// counts: a neighbour pair whose R, G and B differences are small counts all six of its R, G, B
// and pair magnitudes as one code of those differences.
class TNoiseHistograms {
public:
  static constexpr std::int64_t DefaultJointAfter = 1 << 18;
  explicit TNoiseHistograms(std::int64_t JointAfter = DefaultJointAfter);
  ~TNoiseHistograms();
  TNoiseHistograms(const TNoiseHistograms &) = delete;
  TNoiseHistograms &operator=(const TNoiseHistograms &) = delete;
  // Compares row Cur with its left neighbours and row Prev (both Width pixels; RGB rows of 3 bytes
  // per pixel, L rows of 1).
  void AddRow(const std::uint8_t *PrevRGB, const std::uint8_t *PrevL, const std::uint8_t *CurRGB,
              const std::uint8_t *CurL, int Width);
  // Adds the counts into the seven accumulators (NSum, NCount, Histogram).
  void AddTo(const std::array<TChannelNoiseData *, NoiseChannelCount> &Data);
  // Forgets every count, as a new object (its buffers are kept for the next rows).
  void Clear();

private:
  void Flush();
  void FlushFast();
  // Zero what the 14-way tables counted (the corners FWideSeen bounds) and what the coded way did.
  void ClearWide();
  void ClearFast();
  // Gives the joint block back to the thread, all zero (a kept block is taken without clearing).
  void ReturnJoint();
  void Count(const std::uint16_t *Index, int N);
  void CountFast(const std::uint16_t *Codes, int N);
  void CountPair(const std::int16_t *Cur, const std::int16_t *Prev, size_t W, int X, int Neighbour);

  std::int64_t FJointAfter;
  std::int64_t FPixels = 0;          // pixels counted so far
  std::int64_t FSinceFlush = 0;      // pixels since the 32-bit counters were last emptied
  std::vector<std::uint32_t> FSmall; // 4 x 7 x 256
  std::uint32_t *FJoint = nullptr;   // 7 joint histograms of 65536 bins, once the part is large
  std::vector<std::int64_t> FTotal;  // 7 x 256
  std::int64_t FSum[NoiseChannelCount] = {};
  std::vector<std::int16_t> FPlanes; // per-row planar copies of the current and previous row
  std::vector<std::uint16_t> FIndex; // per block: two indices per channel and pixel
  std::vector<std::uint16_t> FCodes; // per block: four codes and two L* indices per pixel
  bool FWideUsed = false;            // the 14-way joint histograms hold counts
  bool FFastUsed = false;            // the coded way's tables hold counts
  std::uint16_t FWideSeen[NoiseChannelCount] = {}; // per channel, every index counted there OR-ed together
  int FSkipCodes = 0;                // blocks left to count the 14 way without trying codes
  int FCurHalf = 0;
  const std::uint8_t *FLastRGB = nullptr, *FLastL = nullptr;
};
