#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

#include "platform/untClasses.h"
#include "tests/common/TestUtil.h"

TEST(TMemoryStream, ReadWriteSeekAndSize) {
  TMemoryStream m;
  m.WriteBuffer("abcdef", 6);
  EXPECT_EQ(m.Size(), 6);
  EXPECT_EQ(m.Position(), 6);
  m.SetPosition(2);
  char buf[8] = {};
  EXPECT_EQ(m.Read(buf, 8), 4);
  EXPECT_STREQ(buf, "cdef");
  EXPECT_EQ(m.Read(buf, 8), 0);
  EXPECT_THROW(m.ReadBuffer(buf, 1), EReadError);
  m.Seek(-1, soEnd);
  m.WriteBuffer("XY", 2);
  EXPECT_EQ(std::string(m.Bytes().begin(), m.Bytes().end()), "abcdeXY");
  EXPECT_THROW(m.Seek(-1, soBeginning), EStreamError);
  TMemoryStream copy;
  copy.CopyFrom(m, 0);
  EXPECT_EQ(copy.Bytes(), m.Bytes());
}

TEST(TFileStream, OpensUtf8NamesAndReportsFailures) {
  testutil::TempDir dir;
  const std::string name = Utf8FromPath(dir.Path / "Bild \xC3\x9C.bin");
  {
    TFileStream f(name, fmCreate);
    f.WriteBuffer("hello", 5);
  }
  TFileStream r(name, fmOpenRead | fmShareDenyWrite);
  EXPECT_EQ(r.Size(), 5);
  try {
    TFileStream missing(Utf8FromPath(dir.Path / "none"), fmOpenRead);
    FAIL();
  } catch (const EFOpenError &e) {
    EXPECT_EQ(e.Message, "Cannot open \"" + Utf8FromPath(dir.Path / "none") + "\": No such file or directory");
  }
  EXPECT_THROW(TFileStream(Utf8FromPath(dir.Path), fmOpenRead), EFOpenError); // a folder
  try { // a device is no file to read a picture or project from
    TFileStream device("/dev/null", fmOpenRead);
    FAIL();
  } catch (const EFOpenError &e) {
    EXPECT_EQ(e.Message, "Cannot open \"/dev/null\": not a regular file (a device)");
  }
}

TEST(WriteFileAtomically, ReplacesKeepsModeFollowsLinksAndLeavesOldFileOnFailure) {
  testutil::TempDir dir;
  const auto target = dir.Path / "project.ini";
  {
    std::ofstream(target) << "old";
  }
  ::chmod(target.c_str(), 0640);
  WriteFileAtomically(Utf8FromPath(target), "new", 3);
  EXPECT_EQ(testutil::ReadFile(target), "new");
  struct stat st {};
  ::stat(target.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  const auto link = dir.Path / "link.ini";
  std::filesystem::create_symlink("project.ini", link);
  WriteFileAtomically(Utf8FromPath(link), "via link", 8);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(testutil::ReadFile(target), "via link");

  if (::geteuid() != 0) { // root may write into a read-only folder
    ::chmod(dir.Path.c_str(), 0500);
    EXPECT_THROW(WriteFileAtomically(Utf8FromPath(target), "lost?", 5), EFCreateError);
    ::chmod(dir.Path.c_str(), 0700);
    EXPECT_EQ(testutil::ReadFile(target), "via link");
  }
  // No temporary files are left behind.
  int files = 0;
  for ([[maybe_unused]] auto &e : std::filesystem::directory_iterator(dir.Path)) ++files;
  EXPECT_EQ(files, 2);
}
