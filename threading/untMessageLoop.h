// A component that keeps the user interface alive during long work on one thread: called once per
// iteration of a long loop (CheckExecute), it processes the pending messages only when due, either
// every WaitCount milliseconds (cmTickCount) or every WaitCount calls (cmExecuteCount).
//
// A loop runs entirely on the thread that calls it and is not thread-safe.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/untObjects.h"
#include "platform/untSysUtils.h"

enum TCountingMode : std::uint8_t { cmTickCount, cmExecuteCount };
using TCounter = std::uint32_t;
using TLoopExecuteEvent =
    std::function<void(TObject *Sender, TCounter aLastCount, TCounter aElapsedCount)>;

class TCustomLoop : public TComponent {
public:
  explicit TCustomLoop(TComponent *AOwner = nullptr) : TComponent(AOwner) {}

  // A plain field: changing it does not restart the count.
  TCountingMode CountingMode = cmTickCount;
  TCounter LastCount() const { return FLastCount; }
  TCounter WaitCount() const { return FWaitCount; }
  void SetWaitCount(TCounter Value);

  // Runs a step when it is due; returns whether one ran.
  bool CheckExecute();
  // Runs a step now.
  void ExecuteNow();

  TLoopExecuteEvent OnBeforeExecute;
  TLoopExecuteEvent OnExecute;
  TLoopExecuteEvent OnAfterExecute;

  virtual TCounter GetDefaultWaitCount() = 0;
  // cmTickCount, the default wait count, Restart. Descendants call it from their constructor,
  // where their GetDefaultWaitCount is already in place.
  virtual void ResetDefaults();

protected:
  virtual void DoExecute(TCounter aLastCount, TCounter aElapsedCount) = 0;
  virtual void Execute(TCounter aLastCount, TCounter aElapsedCount);
  virtual void Restart();

private:
  TCounter FLastCount = 0;
  TCounter FWaitCount = 0;
};

class TCustomMessageLoop : public TCustomLoop {
public:
  explicit TCustomMessageLoop(TComponent *AOwner = nullptr);
  TCounter GetDefaultWaitCount() override { return 200; }

protected:
  // OnExecute when assigned, else the pending messages of the calling thread: on the main thread
  // the application's own processing, on any other thread its message queue.
  void DoExecute(TCounter aLastCount, TCounter aElapsedCount) override;
};

class TMessageLoop : public TCustomMessageLoop {
public:
  using TCustomMessageLoop::TCustomMessageLoop;
};
