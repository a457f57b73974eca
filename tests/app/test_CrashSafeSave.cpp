// Saves killed at random moments: a child process saves a project with picture and a regions file
// over and over, the parent kills it with SIGKILL, and each time both files must be the complete
// old or new version, with no temporary file left once the next save is done.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "app/untKalvProjectFile.h"
#include "app/untKalvRegionsFile.h"
#include "platform/untBitmaps.h"
#include "tests/common/TestUtil.h"

namespace fs = std::filesystem;

namespace {

// A BMP of noise, so that compressing it takes a while and the kills land in every phase.
void WriteNoiseBmp(const fs::path &File, int W, int H, unsigned Seed) {
  std::mt19937 gen(Seed);
  TBitmap b;
  b.SetSize(W, H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W * 3; ++x) b.ScanLine(y)[x] = static_cast<std::uint8_t>(gen());
  b.SaveToFile(Utf8FromPath(File));
}

struct TVersion {
  fs::path Picture;
  std::vector<TRect> Regions;
};

// What the window's "save project with picture" and "export regions" write.
void Save(const fs::path &Project, const fs::path &RegionsFile, const TVersion &V) {
  {
    TProgMemIniFile ini(Utf8FromPath(Project));
    ini.Clear();
    WriteWideOrDelete(ini, "Program", "FileName", Utf8FromPath(V.Picture.filename()));
    WriteIntOrDelete(ini, "Program", "FileType", ftProjectWithPicture);
    SaveRegionsToIni(ini, SRegionSectionFormat, V.Regions);
    WriteProjectPicture(ini, Utf8FromPath(V.Picture));
    ini.UpdateFile();
  }
  TProgMemIniFile ini(Utf8FromPath(RegionsFile));
  ini.Clear();
  WriteIntOrDelete(ini, "Program", "FileType", ftRegions);
  SaveRegionsToIni(ini, SRegionSectionFormat, V.Regions);
  ini.UpdateFile();
}

std::set<std::string> Entries(const fs::path &Dir) {
  std::set<std::string> names;
  for (const auto &e : fs::directory_iterator(Dir)) names.insert(e.path().filename().string());
  return names;
}

} // namespace

TEST(CrashSafeSave, KilledSavesLeaveTheOldOrNewFileAndNoTemporaryAfterTheNextSave) {
  testutil::TempDir dir;
  const fs::path project = dir.Path / "work.kpr", regions = dir.Path / "work.krg";
  TVersion versions[2];
  versions[0].Picture = dir.Path / "large.bmp";
  versions[1].Picture = dir.Path / "small.bmp";
  WriteNoiseBmp(versions[0].Picture, 320, 240, 1);
  WriteNoiseBmp(versions[1].Picture, 100, 90, 2);
  versions[0].Regions = {Rect(1, 2, 30, 40), Rect(5, 5, 6, 6)};
  for (int i = 0; i < 60; ++i) versions[1].Regions.push_back(Rect(i, i, i + 10, i + 20));

  // The two complete versions of each file.
  std::string projectText[2], regionsText[2];
  for (int v = 0; v < 2; ++v) {
    Save(project, regions, versions[v]);
    projectText[v] = testutil::ReadFile(project);
    regionsText[v] = testutil::ReadFile(regions);
  }
  const std::set<std::string> expected = Entries(dir.Path);
  ASSERT_EQ(expected.size(), 4u);

  // One pair of saves, timed, sets the range of the kill moments.
  const auto t0 = std::chrono::steady_clock::now();
  Save(project, regions, versions[0]);
  Save(project, regions, versions[1]);
  const auto cycle = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 gen(seed);
  std::uniform_int_distribution<long long> moment(0, 2 * cycle.count());
  constexpr int kKills = 200;
  int leftBehind = 0; // kills that caught a save between creating and renaming its temporary file
  for (int k = 0; k < kKills; ++k) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (unsigned n = 0;; ++n) {
        try {
          Save(project, regions, versions[n % 2]);
        } catch (...) {
          ::_exit(3);
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(moment(gen)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the saving child failed, kill " << k;

    const std::string p = testutil::ReadFile(project), r = testutil::ReadFile(regions);
    ASSERT_TRUE(p == projectText[0] || p == projectText[1]) << "kill " << k << ": project of " << p.size() << " bytes";
    ASSERT_TRUE(r == regionsText[0] || r == regionsText[1]) << "kill " << k << ": regions of " << r.size() << " bytes";
    if (Entries(dir.Path) != expected) ++leftBehind;

    Save(project, regions, versions[k % 2]);
    ASSERT_EQ(Entries(dir.Path), expected) << "kill " << k;
  }
  // The kills must have caught saves in the middle, or the test proves nothing.
  EXPECT_GT(leftBehind, kKills / 20);
  std::printf("[ kills ] %d, %d caught a save with its temporary file, cycle %lld us\n", kKills, leftBehind,
              static_cast<long long>(cycle.count()));
}
