// Windows, window messages and thread message queues.
//
// A TMessageWindow is a QObject living on the thread that made it, with an integer handle
// registered in a process-wide table. PostMessage never blocks; SendMessage runs the window
// procedure directly on the window's thread and otherwise waits until that thread has handled the
// message (its event loop or a processEvents loop must be running). Worker threads get a message
// queue of their own with the first PeekMessage call (PM_NOREMOVE is the usual way).
#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "platform/untSysUtils.h"

constexpr UINT WM_NULL = 0;
constexpr UINT WM_QUIT = 18;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 1024;
constexpr UINT WM_APP = 32768;

constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;

struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
  // The object a posted message carries (see PostMessage with a payload): owned by the message's
  // event while the window procedure runs; nullptr for other messages. Take it with TakePayload.
  std::unique_ptr<TObject> *PayloadSlot = nullptr;
};

// Takes over the payload of a posted message when it is a T (nullptr otherwise, and for a
// message without one). A payload nobody takes is freed with its event after the window
// procedure returned.
template <class T> std::unique_ptr<T> TakePayload(TMessage &Message) {
  if (Message.PayloadSlot == nullptr) return nullptr;
  T *p = dynamic_cast<T *>(Message.PayloadSlot->get());
  if (p == nullptr) return nullptr;
  Message.PayloadSlot->release();
  return std::unique_ptr<T>(p);
}

struct MSG {
  HWND hwnd = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;
};

using TWndMethod = std::function<void(TMessage &Message)>;

class TMessageWindow : public QObject {
  Q_OBJECT
public:
  // WndProc, when given, is the window procedure; otherwise the virtual WndProc is used.
  explicit TMessageWindow(TWndMethod Proc = {}, QObject *Parent = nullptr);
  ~TMessageWindow() override; // the handle is gone from the table before anything else is freed
  HWND Handle() const { return FHandle; }
  DWORD ThreadId() const { return FThreadId; } // the thread that made the window and handles it

  // Handles one message; the base calls the procedure given at construction, or sets Result 0.
  virtual void WndProc(TMessage &Message);

protected:
  bool event(QEvent *Event) override;

private:
  HWND FHandle = 0;
  TWndMethod FProc;
  DWORD FThreadId = 0;
};

// The platform's AllocateHWnd/DeallocateHWnd: a message window with a procedure, owned by the
// table until DeallocateHWnd.
HWND AllocateHWnd(TWndMethod Proc);
void DeallocateHWnd(HWND Wnd);

BOOL IsWindow(HWND Wnd);
// Fails (FALSE, last error 1400) for a handle that names no window.
BOOL PostMessage(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);
// Posts Msg with an object as its LParam. On success the object belongs to the message's event:
// the receiver takes it over with TakePayload, and an event dropped undelivered (its window was
// destroyed first) frees it. On failure Payload is left with the caller.
BOOL PostMessage(HWND Wnd, UINT Msg, WPARAM WParam, std::unique_ptr<TObject> &Payload);
template <class T> BOOL PostMessage(HWND Wnd, UINT Msg, WPARAM WParam, std::unique_ptr<T> &Payload) {
  std::unique_ptr<TObject> p(Payload.release());
  const BOOL ok = PostMessage(Wnd, Msg, WParam, p);
  if (!ok) Payload.reset(static_cast<T *>(p.release()));
  return ok;
}
// Returns the window procedure's Result; 0 with last error 1400 for a handle that names no window.
LRESULT SendMessage(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);
// Direct call on the window's thread, posted without waiting from any other thread.
BOOL SendNotifyMessage(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);

// Thread message queues.
// PostThreadMessage fails (FALSE, last error 1444) when the thread has no queue (yet or any more).
BOOL PostThreadMessage(DWORD ThreadId, UINT Msg, WPARAM WParam, LPARAM LParam);
// Creates the calling thread's queue if needed; with PM_REMOVE takes the oldest message. Only
// messages without a window (hwnd 0) live in thread queues; Wnd and the filter range (0, 0 = all)
// select among them.
BOOL PeekMessage(MSG *Msg, HWND Wnd, UINT FilterMin, UINT FilterMax, UINT RemoveMsg);
// Blocks until a message is queued; removes and returns it. FALSE for WM_QUIT.
BOOL GetMessage(MSG *Msg, HWND Wnd, UINT FilterMin, UINT FilterMax);
// Blocks until the calling thread's queue holds a message that was not there at the last
// PeekMessage/GetMessage call.
BOOL WaitMessage();
// Posts WM_QUIT with ExitCode to the calling thread's queue.
void PostQuitMessage(int ExitCode);
// A message with a window goes to its window procedure (as SendMessage); others are ignored.
// Returns its Result.
LRESULT DispatchMessage(const MSG *Msg);
BOOL TranslateMessage(const MSG *Msg);
// Frees the calling thread's queue (done automatically when the thread ends).
void DestroyThreadQueue();
