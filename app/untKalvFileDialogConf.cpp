#include "app/untKalvFileDialogConf.h"

#include <exception>
#include <filesystem>

#include "platform/untClasses.h"

namespace {
constexpr const char *kSection = "File";

// Runs Body inside one activation of Cnf; the deactivation also happens after an error, and an
// error of the body wins over one of the deactivation.
template <class F> void WithActive(TConfControl &Cnf, F &&Body) {
  Cnf.SetActive(true);
  try {
    Body();
  } catch (...) {
    try {
      Cnf.SetActive(false);
    } catch (...) {
    }
    throw;
  }
  Cnf.SetActive(false);
}
} // namespace

std::string ExtractFileDir(const std::string &FileName) {
  const std::size_t slash = FileName.find_last_of('/');
  if (slash == std::string::npos) return {};
  std::size_t end = slash;
  while (end > 0 && FileName[end - 1] == '/') --end; // "a//b" and "/b"
  return end == 0 ? std::string("/") : FileName.substr(0, end);
}

void PrepareFileDialog(TConfControl &Cnf, TOpenDialog &Dialog, TFileDialogGroup Group) {
  std::string folder;
  WithActive(Cnf, [&] { folder = Cnf.ReadWideString(kSection, FileDialogGroupName(Group), ""); });
  std::error_code ec;
  if (!folder.empty() && std::filesystem::is_directory(PathFromUtf8(folder), ec))
    Dialog.InitialDir = folder;
  else if (!Dialog.FileName.empty())
    Dialog.InitialDir = ExtractFileDir(Dialog.FileName);
  Dialog.FileName.clear();
}

void RememberFileDialogFolder(TConfControl &Cnf, const TOpenDialog &Dialog, TFileDialogGroup Group) {
  if (Dialog.FileName.empty()) return;
  const std::string folder = ExtractFileDir(Dialog.FileName);
  if (folder.find_first_of("\r\n") != std::string::npos) return;
  WithActive(Cnf, [&] { Cnf.WriteWideString(kSection, FileDialogGroupName(Group), folder); });
}
