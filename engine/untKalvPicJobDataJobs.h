// Picture jobs: the job data that turns one source picture (a JPEG or BMP file, a JPEG or BMP
// stream, or a 24-bit picture in memory) into the seven pictures and the seven channel
// accumulators, measured over the whole picture.
//
//   TJobData -> TPicJobData -> TJPEGPicJobData -> TStreamJPEGPicJobData
//                           -> TBMPPicJobData  -> TStreamBMPPicJobData
//                                              -> TMemPicJobData
// (the two stream classes through TStreamPicJobData<format class>, their one implementation)
//
// Threads: Execute runs on one thread (a worker of the thread manager, or the caller of Run); it
// spreads the pixel work over parts run by the part runners (RunPicPart), as many at once as
// there are logical processors, runs the last part itself, and returns only after every part it
// started has left ThreadList. Progress texts are posted (never
// sent) to Wnd: WM_APP + 1 with the file name, WM_APP + 2 with the phase text; the LParam is a new
// TJobInfoText posted as the message's payload (the receiver takes it with TakePayload; a message
// dropped undelivered frees it, and the sender frees it when the post fails). Wnd = -1 posts
// nothing. The object itself has no lock: nobody else touches it while Execute runs.
//
// Ownership: the job data owns its thread list, its seven pictures and its seven accumulators. A
// consumer takes a picture over by moving it out of its field (the field is then empty); the
// accumulators stay and are copied.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "engine/untGraphics.h"
#include "engine/untKalvPicJobData.h"
#include "platform/untClasses.h"
#include "platform/untMessages.h"
#include "threading/untJobData.h"

// The progress messages of a picture job.
constexpr UINT WM_PICJOB_FILENAME = WM_APP + 1;
constexpr UINT WM_PICJOB_PHASE = WM_APP + 2;
// The Wnd of a job that reports no progress (a region's job, the headless measurement).
constexpr HWND NoProgressWnd = -1;

// The phase texts (WM_PICJOB_PHASE); the last phase text of a job is empty, also of one that
// failed or was stopped.
extern const char *const PicJobTextLoadFile;     // "Load file"
extern const char *const PicJobTextAnalyzeData;  // "Analyze Data"
extern const char *const PicJobTextCalculateNoise; // "Calculate Noise"

class TPicJobData : public TJobData {
public:
  TPicJobData(const std::string &AFileName, HWND AWnd);
  // Waits until no part thread is left in the list before anything is freed.
  ~TPicJobData() override;
  TPicJobData(const TPicJobData &) = delete;
  TPicJobData &operator=(const TPicJobData &) = delete;

  std::unique_ptr<TPicThreadList> ThreadList;
  HWND Wnd;
  std::string FileName;
  std::unique_ptr<TBitmap24> PicRGB;
  std::unique_ptr<TBitmap08Pal> PicR, PicG, PicB, PicL;
  std::unique_ptr<TBitmap24> PicLa, PicLb;
  std::unique_ptr<TChannelNoiseSync> NsR, NsG, NsB, NsL, NsRG, NsGB, NsBR;

  // The number of bands, and of parts run at once; 0 chooses the bands by the picture's size and
  // runs as many parts at once as the system has logical processors (PicPartCount). Tests set it.
  int PartCount = 0;
  // Only measure: the R, G, B, a* and b* pictures are not made (they stay empty) and the job
  // gives the same figures with less work and memory. The L* picture is made, the differences
  // need it.
  bool MeasureOnly = false;
  // The a* and b* pictures are not made (they stay empty): a TLabPagesJobData makes them from the
  // RGB picture afterwards, so that the figures, which need neither, come sooner.
  bool LabPagesLater = false;
  // The part threads' priority: the lowest keeps a window responsive; a measurement without one
  // runs its parts at normal priority.
  TThreadPriority PartPriority = tpLowest;
  // The parts run one after the other on the job's own thread, none is started: for small
  // pictures, where starting threads costs more than the work (the figures are the same).
  bool PartsHere = false;

  // The accumulator of a channel.
  TChannelNoiseSync *Ns(TNoiseChannel Channel) const;
  // The picture of a page (a TBitmap24 or a TBitmap08Pal); nullptr once taken over.
  TBitmap *Pic(TPicKind Kind) const;

  // Fills PicRGB from Stream (read from its start).
  virtual void LoadFromStream(TStream &Stream) = 0;
  // Fills PicRGB from the job's source: here the file FileName.
  virtual void LoadPicture();

  // Load, extract, measure: see the unit's description. A stop request ends it quietly after
  // every running part has finished; any other failure passes on, also after the drain. A part
  // thread that fails makes the job fail with the part's exception (the first, if several).
  void Execute() override;
  // Execute ended with a failure (not a stop request): the pictures and accumulators are partial
  // and must not be shown.
  bool Failed() const { return FFailed; }
  // Execute ended early on a stop request: the figures cover part of the picture only.
  bool Stopped() const { return FStopped; }

protected:
  // Posts Msg with a TJobInfoText of Text to Wnd, unless Wnd is -1; a failed post frees the text.
  void PostText(UINT Msg, const std::string &Text);
  // A loader that decodes row by row tells the job how many rows of PicRGB are final (first 0,
  // once PicRGB has its size); the job starts the parts of those rows while the loader goes on.
  // A loader that does not call it has its picture measured once it returns.
  void RowsLoaded(int Rows);

private:
  // One band of rows, measured by an extraction part and then a difference part; the latter
  // needs the L* rows of its band and of the row above it (in band PrevBand).
  struct TBand {
    TPartRows Rows;
    int PrevBand = -1;
    bool ExtractStarted = false;
    bool NoiseStarted = false;
  };
  void ExecuteSteps();
  void PrepareBands();
  // Starts every part whose rows are ready, as far as the limit of parts at once allows.
  void StartReadyParts();
  void StartExtraction(TBand &Band, std::atomic<bool> &Finished);
  void StartNoise(const TBand &Band);
  bool AllExtracted() const;
  // Waits until the list is empty. With Check, a stop request ends the wait with EAbort, and a
  // part's failure is raised once all parts are done.
  void WaitForParts(bool Check);
  // After an early end: pictures whose rows were not all written are emptied, so that nobody
  // shows what the allocation left in them.
  void DropUnfinishedPictures();
  bool FFailed = false;
  bool FStopped = false;
  TPicNoiseTargets Targets() const;

  std::vector<TBand> FBands;
  std::unique_ptr<std::atomic<bool>[]> FExtracted; // per band, set by its extraction part
  bool FPrepared = false;
  bool FLoading = false; // the loader is still decoding on this thread
  int FRowsLoaded = 0;
  int FRunLimit = 1;
};

// The a* and b* pictures of a picture, made after the load job (with LabPagesLater) has handed
// its figures over. Source is borrowed: its owner keeps it, unchanged, until Execute has
// returned. The rows are spread over the part runners as a load job's are. A stop request ends
// the job quietly, a failure passes on; either way both pictures are then empty.
class TLabPagesJobData : public TJobData {
public:
  explicit TLabPagesJobData(const TBitmap24 &Source);
  // Waits until no part is left in the list before anything is freed.
  ~TLabPagesJobData() override;
  TLabPagesJobData(const TLabPagesJobData &) = delete;
  TLabPagesJobData &operator=(const TLabPagesJobData &) = delete;

  const TBitmap24 &Source() const { return *FSource; }
  std::unique_ptr<TBitmap24> PicLa, PicLb;
  // As a load job's: the number of bands (0: one per logical processor) and the parts' priority.
  int PartCount = 0;
  TThreadPriority PartPriority = tpLowest;

  void Execute() override;
  bool Stopped() const { return FStopped; }
  // Set when Execute returns: Source is read no more. Whoever lends it waits for this before it
  // frees Source while the job may still run.
  TEvent Ended{true, false};

private:
  void ExecuteSteps();
  void WaitForParts(bool Check);
  const TBitmap24 *FSource; // not owned
  std::unique_ptr<TPicThreadList> FList;
  bool FStopped = false;
};

class TJPEGPicJobData : public TPicJobData {
public:
  using TPicJobData::TPicJobData;
  // Decodes the JPEG at full size into PicRGB (libjpeg's default accuracy, 24 bits).
  void LoadFromStream(TStream &Stream) override;
};

// A job that reads its picture from a stream the creator keeps (a project's embedded picture),
// for either format: Base decodes, this reads from Stream instead of the file.
template <class Base> class TStreamPicJobData : public Base {
public:
  using Base::Base;
  TStream *Stream = nullptr; // set by the creator; not owned
  void LoadPicture() override {
    if (Stream == nullptr) throw EInvalidOperation("No stream to load the picture from");
    this->LoadFromStream(*Stream);
  }
};

class TStreamJPEGPicJobData : public TStreamPicJobData<TJPEGPicJobData> {
public:
  using TStreamPicJobData<TJPEGPicJobData>::TStreamPicJobData;
};

class TBMPPicJobData : public TPicJobData {
public:
  using TPicJobData::TPicJobData;
  // Reads a BMP of any bit depth into PicRGB (converted to 24 bits).
  void LoadFromStream(TStream &Stream) override;
};

class TStreamBMPPicJobData : public TStreamPicJobData<TBMPPicJobData> {
public:
  using TStreamPicJobData<TBMPPicJobData>::TStreamPicJobData;
};

// Measures a picture already in memory (a region's cut-out). Owns Bitmap; without one, PicRGB
// stays empty and the job fails in its noise phase (there is no row to compare with).
class TMemPicJobData : public TBMPPicJobData {
public:
  TMemPicJobData(std::unique_ptr<TBitmap24> ABitmap, HWND AWnd);
  std::unique_ptr<TBitmap24> Bitmap;
  // Gives PicRGB Bitmap's pixels (the same 24-bit picture a BMP round trip would give): a 24-bit
  // Bitmap becomes PicRGB itself (Bitmap is then empty), any other is converted.
  void LoadPicture() override;
};
