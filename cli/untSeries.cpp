#include "cli/untSeries.h"

#include <algorithm>
#include <mutex>
#include <new>

#include "engine/untKalvPicJobData.h"

const char *const SSeriesStopped = "Stopped before it was measured";

int SeriesWorkers() { return PicPartCount() > 1 ? 2 : 1; }

std::vector<TFileResult> MeasureSeries(const std::vector<std::string> &Files, const std::vector<TRegionArg> &Regions,
                                       const TSeriesCallbacks &Callbacks, const std::atomic<bool> *Stop, int Workers) {
  const std::size_t count = Files.size();
  std::vector<TFileResult> results(count);
  std::vector<char> measured(count, 0);
  std::mutex lock; // the next file's index, the callbacks
  std::size_t next = 0;
  const auto stopped = [Stop] { return Stop != nullptr && Stop->load(); };
  auto work = [&] {
    for (;;) {
      std::size_t i;
      {
        std::lock_guard<std::mutex> g(lock);
        if (next >= count || stopped()) return;
        i = next++;
        if (Callbacks.OnStart) Callbacks.OnStart(i);
      }
      TFileResult r;
      try {
        r = MeasureFile(Files[i], Regions, Stop);
      } catch (const EAbort &) {
        if (stopped()) return; // cut short: reported as not measured
        r = TFileResult();
        r.File = Files[i];
        r.Error = "Operation aborted";
      } catch (const std::exception &e) {
        r = TFileResult();
        r.File = Files[i];
        // The library's own words for an allocation that failed mean nothing to a user.
        r.Error = dynamic_cast<const std::bad_alloc *>(&e) != nullptr ? "Not enough memory to read or measure the file"
                                                                       : std::string(e.what());
      }
      std::lock_guard<std::mutex> g(lock);
      results[i] = std::move(r);
      measured[i] = 1;
      if (Callbacks.OnDone) Callbacks.OnDone(i, results[i]);
    }
  };
  {
    std::vector<std::thread> helpers;
    const int threads = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(1, Workers)), count));
    for (int t = 1; t < threads; ++t) helpers.emplace_back(work);
    work();
    for (std::thread &t : helpers) t.join();
  }
  for (std::size_t i = 0; i < count; ++i)
    if (measured[i] == 0) {
      results[i].File = Files[i];
      results[i].Error = SSeriesStopped;
    }
  return results;
}

TSeriesRun::TSeriesRun(std::vector<std::string> Files, std::vector<TRegionArg> Regions, TSeriesCallbacks Callbacks,
                       std::function<void()> OnFinished, int Workers)
    : FThread([this, files = std::move(Files), regions = std::move(Regions), callbacks = std::move(Callbacks),
               finished = std::move(OnFinished), Workers] {
        try {
          MeasureSeries(files, regions, callbacks, &FStop, Workers);
        } catch (...) { // no memory for the series' own lists: it ends as if stopped
        }
        if (finished) finished();
      }) {}

TSeriesRun::~TSeriesRun() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
}
