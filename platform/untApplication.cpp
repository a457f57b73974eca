#include "platform/untApplication.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <cstdio>
#include <memory>

namespace {
TMessageBoxFunction gMessageBox;       // a replacement (tests, the headless front end)
// The widget part's message box, when it is linked in; a function's static, since the widget part
// sets it while the program starts, whatever the order in which units are initialised.
TMessageBoxFunction &WidgetMessageBox() {
  static TMessageBoxFunction Box;
  return Box;
}

int StderrMessageBox(const std::string &Text, const std::string &Caption, UINT Flags) {
  std::fprintf(stderr, "%s: %s\n", Caption.c_str(), Text.c_str());
  return (Flags & 0xF) == MB_OK ? IDOK : IDCANCEL;
}
} // namespace

int MessageBox(const std::string &Text, const std::string &Caption, UINT Flags) {
  if (gMessageBox) return gMessageBox(Text, Caption, Flags);
  if (const TMessageBoxFunction &box = WidgetMessageBox()) return box(Text, Caption, Flags);
  return StderrMessageBox(Text, Caption, Flags);
}

TMessageBoxFunction SetMessageBoxFunction(TMessageBoxFunction Function) {
  TMessageBoxFunction old = std::move(gMessageBox);
  gMessageBox = std::move(Function);
  return old;
}

void SetWidgetMessageBoxFunction(TMessageBoxFunction Function) { WidgetMessageBox() = std::move(Function); }

TApplication::TApplication() : TComponent(nullptr) { SetName("Application"); }

void TApplication::SetTitle(const std::string &Value) {
  FTitle = Value;
  if (QCoreApplication::instance() != nullptr)
    QCoreApplication::setApplicationName(QString::fromStdString(Value));
}

void TApplication::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

std::string TApplication::ExceptionText(std::exception_ptr E) {
  if (!E) return {};
  try {
    std::rethrow_exception(E);
  } catch (const EAbort &) {
    return {};
  } catch (const Exception &e) {
    std::string msg = e.Message;
    // The platform's display ends a message with a full stop unless it ends in punctuation.
    if (!msg.empty() && static_cast<unsigned char>(msg.back()) > '.') msg += '.';
    return msg;
  } catch (const std::exception &e) {
    return e.what();
  } catch (...) {
    return "An unexpected error occurred.";
  }
}

void TApplication::HandleException(std::exception_ptr E) {
  if (!E) return;
  if (OnException) {
    OnException(this, E);
    return;
  }
  const std::string text = ExceptionText(E);
  if (text.empty()) return; // EAbort
  MessageBox(text, FTitle, MB_OK | MB_ICONSTOP);
}

void TApplication::SetHint(const std::string &Value) {
  if (FHint == Value) return;
  FHint = Value;
  DoHint();
}

void TApplication::DoHint() {
  if (OnHint) OnHint(this);
}

std::string TApplication::ExeName() const {
  if (QCoreApplication::instance() == nullptr) return "kalvex";
  const QString base = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
  return base.isEmpty() ? std::string("kalvex") : base.toStdString();
}

TApplication *Application() {
  static std::unique_ptr<TApplication> app = std::make_unique<TApplication>();
  return app.get();
}

void CallGuarded(const std::function<void()> &Body) {
  try {
    Body();
  } catch (...) {
    Application()->HandleException(std::current_exception());
  }
}
