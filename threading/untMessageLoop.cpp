#include "threading/untMessageLoop.h"

#include <QCoreApplication>
#include <QThread>

#include "platform/untApplication.h"
#include "platform/untMessages.h"
#include "platform/untSystem.h"

void TCustomLoop::SetWaitCount(TCounter Value) {
  if (Value == FWaitCount) return;
  FWaitCount = Value;
  Restart();
}

bool TCustomLoop::CheckExecute() {
  if (CountingMode == cmTickCount) {
    const TCounter elapsed = GetTickCount() - FLastCount; // unsigned: a wrap is harmless
    if (elapsed < FWaitCount) return false;
    Execute(FLastCount, elapsed);
    return true;
  }
  if (FLastCount == 0) {
    Execute(0, 0);
    return true;
  }
  if (--FLastCount != 0) return false;
  Execute(1, 1);
  return true;
}

void TCustomLoop::ExecuteNow() {
  if (CountingMode == cmTickCount)
    Execute(FLastCount, GetTickCount() - FLastCount);
  else
    Execute(FLastCount, FLastCount != 0 ? 1 : 0);
}

void TCustomLoop::Execute(TCounter aLastCount, TCounter aElapsedCount) {
  if (OnBeforeExecute) OnBeforeExecute(this, aLastCount, aElapsedCount);
  DoExecute(aLastCount, aElapsedCount);
  if (OnAfterExecute) OnAfterExecute(this, aLastCount, aElapsedCount);
  Restart();
}

void TCustomLoop::Restart() { FLastCount = CountingMode == cmTickCount ? GetTickCount() : FWaitCount; }

void TCustomLoop::ResetDefaults() {
  CountingMode = cmTickCount;
  FWaitCount = GetDefaultWaitCount();
  Restart();
}

TCustomMessageLoop::TCustomMessageLoop(TComponent *AOwner) : TCustomLoop(AOwner) { ResetDefaults(); }

void TCustomMessageLoop::DoExecute(TCounter aLastCount, TCounter aElapsedCount) {
  if (OnExecute) {
    OnExecute(this, aLastCount, aElapsedCount);
    return;
  }
  QCoreApplication *app = QCoreApplication::instance();
  if (app != nullptr && QThread::currentThread() == app->thread()) {
    Application()->ProcessMessages();
    return;
  }
  MSG msg;
  while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessage(&msg);
  }
}
