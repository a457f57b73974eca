// The worker thread base: a thread with its own message queue that sleeps until a message arrives
// and reports its start, its end and its failures to a window of the main thread.
#pragma once

#include <atomic>
#include <exception>
#include <string>

#include "platform/untMessages.h"
#include "platform/untThreads.h"

// Messages of the job framework. All but WM_TM_WAKEUP go to the thread manager's window and are
// handled on the main thread; WM_APP + 2 is left free (picture jobs post their phase text with it
// to the main window).
constexpr UINT WM_TM_THREADSTARTED = WM_APP + 0;   // lParam: the thread
constexpr UINT WM_TM_THREADFINISHED = WM_APP + 1;  // lParam: the thread
constexpr UINT WM_TM_THREADEXCEPTION = WM_APP + 3; // wParam: the thread, lParam: TExceptionMessage
constexpr UINT WM_TM_WAKEUP = WM_APP + 4;          // thread message to a worker
constexpr UINT WM_TM_JOBSTATE = WM_APP + 5;        // wParam: previous state, lParam: the job
constexpr UINT WM_TM_JOBDONE = WM_APP + 6;
constexpr UINT WM_TM_JOBEXTERNBEFORE = WM_APP + 7; // wParam: the thread, lParam: the job
constexpr UINT WM_TM_JOBEXTERNAFTER = WM_APP + 8;  // wParam: the thread, lParam: the job
constexpr UINT WM_TM_STARTJOB = WM_APP + 9;        // lParam: TStartJobRequest (on the sender's stack)

// Class name and message of an exception, carried from a worker to the main thread as the
// payload of WM_TM_THREADEXCEPTION (the receiver takes it with TakePayload).
class TExceptionMessage : public TObject {
public:
  TExceptionMessage(std::string AClassName, std::string AMessage)
      : ExceptClassName(std::move(AClassName)), ExceptMessage(std::move(AMessage)) {}
  // From a caught exception: an Exception gives its class name and message, a foreign
  // std::exception its type name and what().
  explicit TExceptionMessage(std::exception_ptr E);

  std::string ExceptClassName;
  std::string ExceptMessage;
};

// Splits an exception into class name and message (what TExceptionMessage keeps).
void DescribeException(std::exception_ptr E, std::string &ClassName, std::string &Message);

// A worker thread that owns a message queue. It is created suspended; its creator resumes it, stops
// it by posting WM_QUIT to its ThreadID and destroys it after it has ended (unless the thread had
// to free itself, see below). Everything queued before WM_QUIT is still handled.
//
// Destroying a thread that still runs tells it to quit and waits for it; classes derived from
// this one do the same in their own destructor (StopAndWait), before their part of the object goes.
//
// Thread rules: Owner and Wnd are set at construction and only read afterwards. ExceptClassName and
// ExceptMessage are written by the thread itself and may be read once it has ended.
class TCustomThread : public TThread {
public:
  TCustomThread(TObject *AOwner, HWND AWnd, TThreadPriority APriority);
  ~TCustomThread() override;

  TObject *Owner() const { return FOwner; }
  HWND Wnd() const { return FWnd; }

  // The creator gives the thread up (for example because it did not end in time and the creator
  // goes away): from now on the thread reports nothing more to Wnd and frees itself when it ends.
  // Returns false when the thread is already on its way out and has reported (or is reporting) its
  // end; the creator then still owns it and must wait for it and destroy it.
  bool Orphan();
  bool Orphaned() const { return FEndState.load() == esOrphaned; }

  std::string ExceptClassName;
  std::string ExceptMessage;

protected:
  // Posts WM_QUIT and waits for the end, unless the thread is not running (or is the caller).
  void StopAndWait();
  void Execute() override;
  // Takes every queued message and hands it to HandleMessage; a failure is reported to Wnd and
  // the next message is handled.
  void ProcessMessages();
  virtual void HandleMessage(MSG &Message);
  // Called on the thread for every WM_TM_WAKEUP.
  virtual void DoWakeUp() {}

private:
  enum { esRunning, esLeaving, esOrphaned };
  TObject *const FOwner;
  const HWND FWnd;
  std::atomic<int> FEndState{esRunning};
};
