#include "app/WideMemIniCnfCtrl.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <filesystem>
#include <string_view>

#include "platform/untClasses.h"

namespace {
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
} // namespace

TWideMemIniConfControl::TWideMemIniConfControl(TComponent *AOwner) : TConfControl(AOwner) {}

std::string TWideMemIniConfControl::ConfDestination() const {
  const std::string_view d(FDestination);
  if (d.substr(0, kUtf8Mark.size()) == kUtf8Mark) return RepairUtf8(d.substr(kUtf8Mark.size()));
  return Cp1252ToUtf8(d);
}

void TWideMemIniConfControl::SetConfDestination(const std::string &Value) {
  FDestination = std::string(kUtf8Mark) + Value;
}

void TWideMemIniConfControl::OpenClose(bool aOpen) {
  if (aOpen) {
    if (FStore == nullptr) FStore = std::make_unique<TProgMemIniFile>(ConfDestination());
    return;
  }
  if (FStore == nullptr) return;
  std::unique_ptr<TWideFileMemIniFile> store = std::move(FStore); // freed however writing ends
  if (FAutoUpdateFile) store->UpdateFile();
}

std::string GetShellFolderPath(int FolderKind, bool Create) {
  QStandardPaths::StandardLocation location;
  switch (FolderKind) {
  case CSIDL_APPDATA: location = QStandardPaths::GenericConfigLocation; break;
  case CSIDL_LOCAL_APPDATA: location = QStandardPaths::GenericDataLocation; break;
  case CSIDL_PERSONAL: location = QStandardPaths::DocumentsLocation; break;
  default: return {};
  }
  QString path = QStandardPaths::writableLocation(location);
  if (path.isEmpty()) return {};
  path = QDir::cleanPath(path);
  if (Create && !QDir().mkpath(path)) return {};
  return path.toStdString();
}

std::string ProgramFileName() {
  if (QCoreApplication::instance() != nullptr) {
    const QString base = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    if (!base.isEmpty()) return base.toStdString();
  }
  return "Kalvex";
}

void SetupConfigPath(TWideMemIniConfControl *Cnf, int FolderKind, const std::string &FileName) {
  if (Cnf == nullptr) return;
  std::string folder = GetShellFolderPath(FolderKind, true);
  if (folder.empty()) folder = QDir::homePath().toStdString();
  if (folder.empty() || folder.back() != '/') folder += '/';
  folder += "Orvane/";
  folder += ProgramFileName();
  folder += '/';
  std::error_code ec;
  std::filesystem::create_directories(PathFromUtf8(folder), ec);
  Cnf->SetConfDestination(folder + FileName);
}
