#include "platform/untDesktop.h"

#include <QApplication>
#include <QDesktopServices>
#include <QUrl>

namespace {
TMessageBeepFunction gBeep;
TOpenAddressFunction gOpenAddress;

DWORD DefaultOpenAddress(const std::string &Address) {
  const QString text = QString::fromStdString(Address);
  // A plain path is opened as a local file; anything with a scheme as the URL it is.
  const QUrl url = QUrl::fromUserInput(text);
  if (!url.isValid()) return ERROR_INVALID_PARAMETER;
  return QDesktopServices::openUrl(url) ? ERROR_SUCCESS : ERROR_NO_ASSOCIATION;
}
} // namespace

void MessageBeep(UINT Type) {
  if (gBeep) {
    gBeep(Type);
    return;
  }
  if (qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr) QApplication::beep();
}

TMessageBeepFunction SetMessageBeepFunction(TMessageBeepFunction Function) {
  TMessageBeepFunction old = std::move(gBeep);
  gBeep = std::move(Function);
  return old;
}

DWORD OpenAddress(const std::string &Address) {
  return gOpenAddress ? gOpenAddress(Address) : DefaultOpenAddress(Address);
}

TOpenAddressFunction SetOpenAddressFunction(TOpenAddressFunction Function) {
  TOpenAddressFunction old = std::move(gOpenAddress);
  gOpenAddress = std::move(Function);
  return old;
}

std::string OpenAddressErrorMessage(DWORD Code) {
  if (Code == ERROR_NO_ASSOCIATION)
    return "No application is associated with the specified file for this operation.";
  return SysErrorMessage(Code);
}
