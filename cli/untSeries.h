// A series: the same regions measured over many files by MeasureFile, two files at once, so that
// one file's decoding fills the gaps the other's start and end leave. The window's series dialog,
// `kalvex --measure` with several files and bench/bench_series share it.
//
// Memory: each worker holds one picture at a time, so a series holds at most as many pictures as
// it has workers (two by default).
//
// Threads: MeasureSeries runs on the calling thread and on Workers - 1 more; the callbacks are
// called on those threads, one at a time (under the series' lock), and must not wait for the
// caller's thread. TSeriesRun runs a series on threads of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/untMeasure.h"

struct TSeriesCallbacks {
  // A file's measurement starts (Index into the files).
  std::function<void(std::size_t Index)> OnStart;
  // A file has been measured or has failed (Result.Error then holds the message). Not called for
  // a file that a stop cut short or kept from starting.
  std::function<void(std::size_t Index, const TFileResult &Result)> OnDone;
};

// The message of a file the series did not measure because it was stopped.
extern const char *const SSeriesStopped; // "Stopped before it was measured"

// Two workers where the machine has more than one processor, else one.
int SeriesWorkers();

// Measures Files with Regions, Workers files at once, and returns one result per file in the
// files' order; a file that fails has its message in Error (an allocation failure in words a user
// understands). Once Stop (when given) is true no further file starts, running ones end early, and
// every file not measured gets SSeriesStopped as its error.
std::vector<TFileResult> MeasureSeries(const std::vector<std::string> &Files, const std::vector<TRegionArg> &Regions,
                                       const TSeriesCallbacks &Callbacks, const std::atomic<bool> *Stop = nullptr,
                                       int Workers = SeriesWorkers());

// A series on threads of its own, started at construction. OnFinished is called on its thread
// once every file is done or stopped, after the last OnDone. Destroying it stops the series and
// waits for its threads, which a stop ends within a fraction of a second; no callback comes after.
class TSeriesRun {
public:
  TSeriesRun(std::vector<std::string> Files, std::vector<TRegionArg> Regions, TSeriesCallbacks Callbacks,
             std::function<void()> OnFinished, int Workers = SeriesWorkers());
  ~TSeriesRun();
  TSeriesRun(const TSeriesRun &) = delete;
  TSeriesRun &operator=(const TSeriesRun &) = delete;

  // Any thread, also from a callback.
  void Stop() { FStop = true; }
  bool StopRequested() const { return FStop.load(); }

private:
  std::atomic<bool> FStop{false};
  std::thread FThread;
};
