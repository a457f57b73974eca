#include "platform/untApplication.h"

#include <QApplication>
#include <QDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>
#include <memory>

namespace {
TMessageBoxFunction gMessageBox;
TShowModalFunction gShowModal;

int DefaultMessageBox(const std::string &Text, const std::string &Caption, UINT Flags) {
  if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr) {
    std::fprintf(stderr, "%s: %s\n", Caption.c_str(), Text.c_str());
    return (Flags & 0xF) == MB_OK ? IDOK : IDCANCEL;
  }
  QMessageBox box;
  box.setWindowTitle(QString::fromStdString(Caption));
  box.setText(QString::fromStdString(Text));
  switch (Flags & 0xF0) {
  case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
  case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
  case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
  case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
  default: break;
  }
  QMessageBox::StandardButtons buttons;
  switch (Flags & 0xF) {
  case MB_OKCANCEL: buttons = QMessageBox::Ok | QMessageBox::Cancel; break;
  case MB_YESNOCANCEL: buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel; break;
  case MB_YESNO: buttons = QMessageBox::Yes | QMessageBox::No; break;
  default: buttons = QMessageBox::Ok; break;
  }
  box.setStandardButtons(buttons);
  if (Flags & MB_DEFBUTTON2) {
    const auto list = box.buttons();
    if (list.size() > 1) box.setDefaultButton(qobject_cast<QPushButton *>(list.at(1)));
  }
  switch (box.exec()) {
  case QMessageBox::Ok: return IDOK;
  case QMessageBox::Yes: return IDYES;
  case QMessageBox::No: return IDNO;
  default: return IDCANCEL;
  }
}
} // namespace

int MessageBox(const std::string &Text, const std::string &Caption, UINT Flags) {
  return gMessageBox ? gMessageBox(Text, Caption, Flags) : DefaultMessageBox(Text, Caption, Flags);
}

TMessageBoxFunction SetMessageBoxFunction(TMessageBoxFunction Function) {
  TMessageBoxFunction old = std::move(gMessageBox);
  gMessageBox = std::move(Function);
  return old;
}

int ShowModalDialog(QDialog *Dialog) { return gShowModal ? gShowModal(Dialog) : Dialog->exec(); }

TShowModalFunction SetShowModalFunction(TShowModalFunction Function) {
  TShowModalFunction old = std::move(gShowModal);
  gShowModal = std::move(Function);
  return old;
}

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
