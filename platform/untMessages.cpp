#include "platform/untMessages.h"

#include <QCoreApplication>
#include <QEvent>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/untApplication.h"
#include "platform/untSystem.h"
#include "platform/untThreads.h"

namespace {

// A sender waiting for a message handled on another thread. Finished exactly once: by the
// window procedure, or by the event's destruction when the message never reached the window (the
// window went away first), so the sender never waits for ever.
class TSendCompletion {
public:
  void Finish(bool Handled, LRESULT Result) {
    std::lock_guard<std::mutex> G(FLock);
    if (FDone) return;
    FDone = true;
    FHandled = Handled;
    FResult = Result;
    FCond.notify_all();
  }
  // Returns whether the message was handled; Result is then the procedure's result.
  bool Wait(LRESULT &Result) {
    std::unique_lock<std::mutex> L(FLock);
    FCond.wait(L, [this] { return FDone; });
    Result = FResult;
    return FHandled;
  }

private:
  std::mutex FLock;
  std::condition_variable FCond;
  bool FDone = false;
  bool FHandled = false;
  LRESULT FResult = 0;
};

// Qt hands events between threads under its own locks, which the thread sanitizer cannot see;
// this counter states the same ordering in a form it understands (released by the poster after
// the event is complete, acquired before the receiver looks at it).
std::atomic<unsigned> EventFence{0};

class TMessageEvent : public QEvent {
public:
  TMessageEvent(UINT Msg, WPARAM WParam, LPARAM LParam, std::shared_ptr<TSendCompletion> Completion)
      : QEvent(Type()), Completion(std::move(Completion)) {
    Message.Msg = Msg;
    Message.WParam = WParam;
    Message.LParam = LParam;
  }
  ~TMessageEvent() override {
    EventFence.load(std::memory_order_acquire);
    if (Completion) Completion->Finish(false, 0);
  }
  static QEvent::Type Type() {
    static const QEvent::Type T = static_cast<QEvent::Type>(QEvent::registerEventType());
    return T;
  }

  TMessage Message;
  std::shared_ptr<TSendCompletion> Completion;
  std::unique_ptr<TObject> Payload; // freed with the event unless the receiver took it
};

struct TWindowEntry {
  TMessageWindow *Window = nullptr;
  DWORD ThreadId = 0;
};

// The process-wide handle table. Handles are never reused, so a stale handle can only ever fail.
struct TWindowTable {
  std::mutex Lock;
  std::unordered_map<HWND, TWindowEntry> Windows;
  std::unordered_map<HWND, TMessageWindow *> Allocated; // AllocateHWnd's windows, owned here
  HWND NextHandle = 1;
};

TWindowTable &Windows() {
  static TWindowTable *T = new TWindowTable; // outlives every window and thread
  return *T;
}

bool FindWindow(HWND Wnd, TWindowEntry &Entry) {
  TWindowTable &T = Windows();
  std::lock_guard<std::mutex> G(T.Lock);
  auto It = T.Windows.find(Wnd);
  if (It == T.Windows.end()) return false;
  Entry = It->second;
  return true;
}

// Posts under the table lock, so the window cannot be freed between look-up and post.
bool PostToWindow(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam,
                  std::shared_ptr<TSendCompletion> Completion, std::unique_ptr<TObject> *Payload = nullptr) {
  TWindowTable &T = Windows();
  std::lock_guard<std::mutex> G(T.Lock);
  auto It = T.Windows.find(Wnd);
  if (It == T.Windows.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  auto *Event = new TMessageEvent(Msg, WParam, LParam, std::move(Completion));
  if (Payload != nullptr) Event->Payload = std::move(*Payload);
  EventFence.fetch_add(1, std::memory_order_release);
  QCoreApplication::postEvent(It->second.Window, Event);
  return true;
}

LRESULT CallWindow(TMessageWindow *Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
  TMessage M;
  M.Msg = Msg;
  M.WParam = WParam;
  M.LParam = LParam;
  Window->WndProc(M);
  return M.Result;
}

// ---- thread message queues ----

struct TThreadQueue {
  std::mutex Lock;
  std::condition_variable Cond;
  std::deque<MSG> Messages;
  std::uint64_t Posted = 0; // messages ever queued
  std::uint64_t Seen = 0;   // Posted at the last PeekMessage/GetMessage
};

struct TQueueTable {
  std::mutex Lock;
  std::unordered_map<DWORD, std::shared_ptr<TThreadQueue>> Queues;
};

TQueueTable &Queues() {
  static TQueueTable *T = new TQueueTable; // threads unregister while the process ends
  return *T;
}

// The calling thread's queue; unregistered when the thread ends, so posts fail from then on.
struct TQueueOwner {
  DWORD Id = 0;
  std::shared_ptr<TThreadQueue> Queue;

  ~TQueueOwner() { Release(); }

  TThreadQueue &Get() {
    if (!Queue) {
      Id = GetCurrentThreadId();
      Queue = std::make_shared<TThreadQueue>();
      TQueueTable &T = Queues();
      std::lock_guard<std::mutex> G(T.Lock);
      T.Queues[Id] = Queue;
    }
    return *Queue;
  }

  void Release() {
    if (!Queue) return;
    {
      TQueueTable &T = Queues();
      std::lock_guard<std::mutex> G(T.Lock);
      T.Queues.erase(Id);
    }
    Queue.reset();
  }
};

thread_local TQueueOwner OwnQueue;

bool Matches(const MSG &M, HWND Wnd, UINT FilterMin, UINT FilterMax) {
  // Thread messages have no window: a filter for a particular window selects none of them.
  if (Wnd != 0 && Wnd != -1 && M.hwnd != Wnd) return false;
  if (M.message == WM_QUIT) return true; // the quit request passes every range filter
  if (FilterMin == 0 && FilterMax == 0) return true;
  return M.message >= FilterMin && M.message <= FilterMax;
}

// Under the queue's lock: the oldest matching message, or end().
std::deque<MSG>::iterator FindMatch(TThreadQueue &Q, HWND Wnd, UINT FilterMin, UINT FilterMax) {
  for (auto It = Q.Messages.begin(); It != Q.Messages.end(); ++It)
    if (Matches(*It, Wnd, FilterMin, FilterMax)) return It;
  return Q.Messages.end();
}

} // namespace

// ---- TMessageWindow ----

TMessageWindow::TMessageWindow(TWndMethod Proc, QObject *Parent)
    : QObject(Parent), FProc(std::move(Proc)), FThreadId(GetCurrentThreadId()) {
  TWindowTable &T = Windows();
  std::lock_guard<std::mutex> G(T.Lock);
  FHandle = T.NextHandle++;
  T.Windows[FHandle] = TWindowEntry{this, FThreadId};
}

TMessageWindow::~TMessageWindow() {
  {
    TWindowTable &T = Windows();
    std::lock_guard<std::mutex> G(T.Lock);
    T.Windows.erase(FHandle);
    T.Allocated.erase(FHandle);
  }
  // Messages still queued for this window are dropped now rather than by QObject's destructor,
  // so that waiting senders are released before anything else of the window is gone.
  QCoreApplication::removePostedEvents(this, TMessageEvent::Type());
}

void TMessageWindow::WndProc(TMessage &Message) {
  if (FProc)
    FProc(Message);
  else
    Message.Result = 0;
}

bool TMessageWindow::event(QEvent *Event) {
  EventFence.load(std::memory_order_acquire);
  if (Event->type() != TMessageEvent::Type()) return QObject::event(Event);
  auto *E = static_cast<TMessageEvent *>(Event);
  TMessage M = E->Message;
  M.PayloadSlot = &E->Payload;
  CallGuarded([this, &M] { WndProc(M); });
  if (E->Completion) E->Completion->Finish(true, M.Result);
  return true;
}

HWND AllocateHWnd(TWndMethod Proc) {
  auto *W = new TMessageWindow(std::move(Proc));
  TWindowTable &T = Windows();
  std::lock_guard<std::mutex> G(T.Lock);
  T.Allocated[W->Handle()] = W;
  return W->Handle();
}

void DeallocateHWnd(HWND Wnd) {
  TMessageWindow *W = nullptr;
  DWORD Owner = 0;
  {
    TWindowTable &T = Windows();
    std::lock_guard<std::mutex> G(T.Lock);
    auto It = T.Allocated.find(Wnd);
    if (It == T.Allocated.end()) return;
    W = It->second;
    Owner = W->ThreadId();
    T.Allocated.erase(It);
  }
  if (Owner == GetCurrentThreadId())
    delete W;
  else
    W->deleteLater(); // a QObject is freed on its own thread
}

BOOL IsWindow(HWND Wnd) {
  TWindowEntry E;
  return FindWindow(Wnd, E) ? 1 : 0;
}

BOOL PostMessage(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
  return PostToWindow(Wnd, Msg, WParam, LParam, nullptr) ? 1 : 0;
}

BOOL PostMessage(HWND Wnd, UINT Msg, WPARAM WParam, std::unique_ptr<TObject> &Payload) {
  const LPARAM LParam = reinterpret_cast<LPARAM>(Payload.get());
  return PostToWindow(Wnd, Msg, WParam, LParam, nullptr, &Payload) ? 1 : 0;
}

LRESULT SendMessage(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
  TWindowEntry E;
  if (!FindWindow(Wnd, E)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  // On its own thread the window cannot go away under us (only that thread frees it).
  if (E.ThreadId == GetCurrentThreadId()) return CallWindow(E.Window, Msg, WParam, LParam);

  auto Completion = std::make_shared<TSendCompletion>();
  if (!PostToWindow(Wnd, Msg, WParam, LParam, Completion)) return 0;
  LRESULT Result = 0;
  if (!Completion->Wait(Result)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE); // the window was destroyed before it got there
    return 0;
  }
  return Result;
}

BOOL SendNotifyMessage(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
  TWindowEntry E;
  if (!FindWindow(Wnd, E)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (E.ThreadId == GetCurrentThreadId()) {
    CallWindow(E.Window, Msg, WParam, LParam);
    return 1;
  }
  return PostToWindow(Wnd, Msg, WParam, LParam, nullptr) ? 1 : 0;
}

// ---- thread queues ----

BOOL PostThreadMessage(DWORD ThreadId, UINT Msg, WPARAM WParam, LPARAM LParam) {
  TQueueTable &T = Queues();
  // The table lock is held while queueing, so a queue being freed either gets the message before
  // it goes or the post fails.
  std::lock_guard<std::mutex> G(T.Lock);
  auto It = ThreadId == 0 ? T.Queues.end() : T.Queues.find(ThreadId);
  if (It == T.Queues.end()) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return 0;
  }
  TThreadQueue &Q = *It->second;
  std::lock_guard<std::mutex> QG(Q.Lock);
  MSG M;
  M.message = Msg;
  M.wParam = WParam;
  M.lParam = LParam;
  M.time = GetTickCount();
  Q.Messages.push_back(M);
  ++Q.Posted;
  Q.Cond.notify_all();
  return 1;
}

BOOL PeekMessage(MSG *Msg, HWND Wnd, UINT FilterMin, UINT FilterMax, UINT RemoveMsg) {
  TThreadQueue &Q = OwnQueue.Get();
  std::lock_guard<std::mutex> G(Q.Lock);
  Q.Seen = Q.Posted;
  auto It = FindMatch(Q, Wnd, FilterMin, FilterMax);
  if (It == Q.Messages.end()) return 0;
  if (Msg != nullptr) *Msg = *It;
  if (RemoveMsg & PM_REMOVE) Q.Messages.erase(It);
  return 1;
}

BOOL GetMessage(MSG *Msg, HWND Wnd, UINT FilterMin, UINT FilterMax) {
  TThreadQueue &Q = OwnQueue.Get();
  std::unique_lock<std::mutex> L(Q.Lock);
  std::deque<MSG>::iterator It;
  Q.Cond.wait(L, [&] { return (It = FindMatch(Q, Wnd, FilterMin, FilterMax)) != Q.Messages.end(); });
  Q.Seen = Q.Posted;
  MSG M = *It;
  Q.Messages.erase(It);
  if (Msg != nullptr) *Msg = M;
  return M.message == WM_QUIT ? 0 : 1;
}

BOOL WaitMessage() {
  TThreadQueue &Q = OwnQueue.Get();
  std::unique_lock<std::mutex> L(Q.Lock);
  Q.Cond.wait(L, [&Q] { return Q.Posted != Q.Seen; });
  return 1;
}

void PostQuitMessage(int ExitCode) {
  OwnQueue.Get();
  PostThreadMessage(GetCurrentThreadId(), WM_QUIT, static_cast<WPARAM>(ExitCode), 0);
}

LRESULT DispatchMessage(const MSG *Msg) {
  if (Msg == nullptr || Msg->hwnd == 0) return 0;
  return SendMessage(Msg->hwnd, Msg->message, Msg->wParam, Msg->lParam);
}

BOOL TranslateMessage(const MSG *) { return 0; } // no keyboard messages in thread queues

void DestroyThreadQueue() { OwnQueue.Release(); }
