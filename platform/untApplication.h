// The application object: title, hint, message processing and the error display, plus the
// replaceable functions behind every modal interaction (so tests never block on a dialog). Part
// of the platform's core (no widgets); the on-screen message box and the modal dialog run come
// from its widget part.
//
// Only the main thread uses the application object.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "platform/untObjects.h"
#include "platform/untSysUtils.h"

class QDialog;
class QWidget;

// Message-box flags and answers, with the platform's values.
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_YESNOCANCEL = 0x3;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONSTOP = MB_ICONERROR;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr UINT MB_DEFBUTTON2 = 0x100;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

using TMessageBoxFunction =
    std::function<int(const std::string &Text, const std::string &Caption, UINT Flags)>;
// Shows a message box and returns the answer: a QMessageBox when the widget part of the platform
// is linked in and a GUI application runs, otherwise the text on stderr.
int MessageBox(const std::string &Text, const std::string &Caption, UINT Flags);
// Replaces the message box; returns the previous function. An empty function restores the default.
TMessageBoxFunction SetMessageBoxFunction(TMessageBoxFunction Function);
// The widget part installs its message box here (the default under any replacement).
void SetWidgetMessageBoxFunction(TMessageBoxFunction Function);

// The widget part (platform/untApplicationWidgets.cpp; QtWidgets) defines these two.
using TShowModalFunction = std::function<int(QDialog *Dialog)>;
// Runs a dialog modally (QDialog::exec) and returns its result code.
int ShowModalDialog(QDialog *Dialog);
TShowModalFunction SetShowModalFunction(TShowModalFunction Function);

class TApplication : public TComponent {
public:
  TApplication();

  const std::string &Title() const { return FTitle; }
  void SetTitle(const std::string &Value);

  // Handles everything queued for the main thread (posted messages and paint events included).
  void ProcessMessages();

  // Shows the exception in a message box captioned with the title: an Exception's message (with a
  // full stop added), a foreign std::exception's what(), anything else a generic text. EAbort
  // shows nothing. Call it inside a catch block (it uses the current exception) or pass one.
  void HandleException(std::exception_ptr E = std::current_exception());
  // What HandleException would show for E; empty for EAbort.
  static std::string ExceptionText(std::exception_ptr E);

  // The current hint; setting it fires OnHint.
  const std::string &Hint() const { return FHint; }
  void SetHint(const std::string &Value);
  std::function<void(TObject *Sender)> OnHint;
  // Replaces HandleException's display (tests, the headless front end).
  std::function<void(TObject *Sender, std::exception_ptr E)> OnException;

  // The program file without folder and extension ("kalvex").
  std::string ExeName() const;

protected:
  virtual void DoHint();

private:
  std::string FTitle = "Kalvex";
  std::string FHint;
};

// The one application object (created on first use, on the main thread).
TApplication *Application();

// Runs Body and hands any exception to Application()->HandleException: the guard of every Qt
// entry point (slot, event override, timer, paint) that may throw, so no exception crosses the
// Qt event loop.
void CallGuarded(const std::function<void()> &Body);
