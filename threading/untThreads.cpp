#include "threading/untThreads.h"

#include <cxxabi.h>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace {
std::string DemangledTypeName(const std::type_info &Type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void *)> name(
      abi::__cxa_demangle(Type.name(), nullptr, nullptr, &status), std::free);
  std::string result = (status == 0 && name) ? name.get() : Type.name();
  if (auto colon = result.rfind("::"); colon != std::string::npos) result.erase(0, colon + 2);
  return result;
}
} // namespace

void DescribeException(std::exception_ptr E, std::string &ClassName, std::string &Message) {
  try {
    if (E) std::rethrow_exception(E);
    ClassName = "Exception";
    Message.clear();
  } catch (const Exception &e) {
    ClassName = e.ClassName();
    Message = e.Message;
  } catch (const std::exception &e) {
    ClassName = DemangledTypeName(typeid(e));
    Message = e.what();
  } catch (...) {
    ClassName = "Exception";
    Message = "Unknown exception";
  }
}

TExceptionMessage::TExceptionMessage(std::exception_ptr E) {
  DescribeException(E, ExceptClassName, ExceptMessage);
}

TCustomThread::TCustomThread(TObject *AOwner, HWND AWnd, TThreadPriority APriority)
    : TThread(true), FOwner(AOwner), FWnd(AWnd) {
  SetPriority(APriority);
  FreeOnTerminate = false;
}

TCustomThread::~TCustomThread() { StopAndWait(); }

void TCustomThread::StopAndWait() {
  // A thread destroyed while it still serves its queue would never see the terminated flag the
  // base destructor sets (it sleeps in WaitMessage), so it is told to quit the usual way, and
  // waited for here, while the object is still whole.
  if (Suspended() || Finished() || ThreadID() == GetCurrentThreadId()) return;
  PostThreadMessage(ThreadID(), WM_QUIT, 0, 0);
  WaitFor();
}

bool TCustomThread::Orphan() {
  int expected = esRunning;
  return FEndState.compare_exchange_strong(expected, esOrphaned) || expected == esOrphaned;
}

void TCustomThread::Execute() {
  try {
    MSG msg;
    PeekMessage(&msg, 0, WM_USER, WM_USER, PM_NOREMOVE); // creates the queue
    if (Orphaned()) {
      // Given up before it could report itself: nobody will ever destroy this object.
      FreeOnTerminate = true;
      return;
    }
    if (!PostMessage(FWnd, WM_TM_THREADSTARTED, 0, reinterpret_cast<LPARAM>(this))) {
      FreeOnTerminate = true; // the window is gone, so is whoever would have destroyed us
      RaiseLastOSError();
    }
    std::exception_ptr loopError;
    try {
      while (!Terminated()) {
        WaitMessage();
        ProcessMessages();
      }
    } catch (...) {
      loopError = std::current_exception();
    }
    int expected = esRunning;
    if (!FEndState.compare_exchange_strong(expected, esLeaving)) {
      FreeOnTerminate = true; // orphaned: report nothing, free ourselves
    } else if (!PostMessage(FWnd, WM_TM_THREADFINISHED, 0, reinterpret_cast<LPARAM>(this))) {
      FreeOnTerminate = true;
      RaiseLastOSError();
    }
    if (loopError) std::rethrow_exception(loopError);
  } catch (...) {
    DescribeException(std::current_exception(), ExceptClassName, ExceptMessage);
  }
}

void TCustomThread::ProcessMessages() {
  MSG msg;
  // Every queued message is handled, also after one of them failed: returning to WaitMessage with
  // messages left would strand them until something else is posted.
  while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) {
    try {
      HandleMessage(msg);
    } catch (...) {
      if (Orphaned()) continue; // nobody listens any more
      auto report = std::make_unique<TExceptionMessage>(std::current_exception());
      if (!PostMessage(FWnd, WM_TM_THREADEXCEPTION, reinterpret_cast<WPARAM>(this), report))
        RaiseLastOSError();
    }
  }
}

void TCustomThread::HandleMessage(MSG &Message) {
  switch (Message.message) {
  case WM_QUIT: Terminate(); break;
  case WM_TM_WAKEUP: DoWakeUp(); break;
  default:
    TranslateMessage(&Message);
    DispatchMessage(&Message);
    break;
  }
}
