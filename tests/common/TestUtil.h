// Small helpers shared by the tests.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <unistd.h>

namespace testutil {

// Processes the main thread's events until Done() holds or TimeoutMs passes; returns Done().
inline bool ProcessUntil(const std::function<bool()> &Done, int TimeoutMs = 10000) {
  QElapsedTimer t;
  t.start();
  while (!Done()) {
    if (t.elapsed() > TimeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// A fresh folder below the system's temporary folder, removed when the object goes.
class TempDir {
public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kalvex-test-XXXXXX").string();
    char *made = mkdtemp(tmpl.data());
    Path = made != nullptr ? std::filesystem::path(made) : std::filesystem::temp_directory_path();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(Path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(Path, ec);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::filesystem::path Path;
};

// The whole content of a file (empty when it cannot be read).
inline std::string ReadFile(const std::filesystem::path &P) {
  std::ifstream in(P, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::filesystem::path &P, const std::string &Content) {
  std::ofstream f(P, std::ios::binary);
  f << Content;
}

} // namespace testutil
