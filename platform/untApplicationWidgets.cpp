// The widget part of the application object: the message box on screen and the modal run of
// dialogs. Every program with windows links this unit (the info window runs through
// ShowModalDialog); while it is linked in, its message box is the default of MessageBox.
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>

#include "platform/untApplication.h"

namespace {
TShowModalFunction gShowModal;

int WidgetMessageBox(const std::string &Text, const std::string &Caption, UINT Flags) {
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

// Installs the box above as MessageBox's default when the program starts.
[[maybe_unused]] const bool gInstalled = [] {
  SetWidgetMessageBoxFunction(WidgetMessageBox);
  return true;
}();
} // namespace

int ShowModalDialog(QDialog *Dialog) { return gShowModal ? gShowModal(Dialog) : Dialog->exec(); }

TShowModalFunction SetShowModalFunction(TShowModalFunction Function) {
  TShowModalFunction old = std::move(gShowModal);
  gShowModal = std::move(Function);
  return old;
}
