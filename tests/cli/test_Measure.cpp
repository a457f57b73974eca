#include <gtest/gtest.h>

#include <QImage>

#include <fcntl.h>
#include <sys/stat.h>
#include <atomic>
#include <fstream>
#include <unistd.h>
#include <iostream>
#include <sstream>

#include <exiv2/exiv2.hpp>
#include <nlohmann/json.hpp>

#include "app/WideIniFile.h"
#include "app/untKalvProjectFile.h"
#include "app/untKalvRegionsFile.h"
#include "cli/untMeasure.h"
#include "cli/untSeries.h"
#include "engine/untJpeg.h"
#include "engine/untKalvPicJobData.h"
#include "engine/untKalvPicStream.h"
#include "tests/common/ModuleTestUtil.h"
#include "tests/common/TestUtil.h"
#include "tests/engine/PicJobTestUtil.h"

namespace {

// Runs kalvex --measure with the given arguments; returns the exit status and what was written.
struct TRun {
  int Status = 0;
  std::string Out, Err;
};
TRun Measure(std::vector<std::string> Args) {
  std::vector<char *> argv;
  static char name[] = "kalvex";
  argv.push_back(name);
  for (std::string &a : Args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::ostringstream out, err;
  auto *oldOut = std::cout.rdbuf(out.rdbuf());
  auto *oldErr = std::cerr.rdbuf(err.rdbuf());
  TRun r;
  r.Status = RunMeasure(static_cast<int>(argv.size()) - 1, argv.data(), 1);
  std::cout.rdbuf(oldOut);
  std::cerr.rdbuf(oldErr);
  r.Out = out.str();
  r.Err = err.str();
  return r;
}

// A 100 x 60 picture: left half grey 100, right half alternating 90/110 columns; saved as BMP (so
// the figures are exact) and as JPEG.
struct TPictures {
  testutil::TempDir Dir;
  std::string Bmp, Jpeg;
  TPictures() {
    auto bmp = picjobtest::MakeBitmap(100, 60, [](int x, int) {
      const std::uint8_t v = x < 50 ? 100 : (x % 2 ? 110 : 90);
      return picjobtest::TRgb{v, v, v};
    });
    Bmp = (Dir.Path / "chart.bmp").string();
    bmp->SaveToFile(Bmp);
    std::vector<const std::uint8_t *> rows;
    for (int y = 0; y < 60; ++y) rows.push_back(bmp->ScanLine(y));
    const auto jpeg = EncodeJpeg(100, 60, 3, rows, 95);
    Jpeg = (Dir.Path / "chart, \"copy\".jpg").string();
    std::ofstream(Jpeg, std::ios::binary)
        .write(reinterpret_cast<const char *>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
  }
};

} // namespace

TEST(Measure, ArgumentsAndUsageErrors) {
  const TMeasureOptions o = [] {
    std::vector<std::string> a = {"x", "a.jpg", "--region", "1,2,3,4", "--region=-5, 6,7,-8",
                                  "--format=csv", "--histogram", "b.bmp"};
    std::vector<char *> argv;
    for (auto &s : a) argv.push_back(s.data());
    return ParseMeasureArgs(static_cast<int>(argv.size()), argv.data(), 1);
  }();
  EXPECT_EQ(o.Files, (std::vector<std::string>{"a.jpg", "b.bmp"}));
  ASSERT_EQ(o.Regions.size(), 2u);
  EXPECT_EQ(o.Regions[1].Left, -5);
  EXPECT_EQ(o.Regions[1].Top, 6);
  EXPECT_EQ(o.Regions[1].Height, -8);
  EXPECT_EQ(o.Format, TMeasureFormat::mfCsv);
  EXPECT_TRUE(o.Histogram);

  for (const auto &bad : std::vector<std::vector<std::string>>{
           {}, {"--region", "1,2,3,4"}, {"a.jpg", "--region", "1,2,x,4"}, {"a.jpg", "--region", "1,2,3"},
           {"a.jpg", "--region", "1,2,3,4,5"}, {"a.jpg", "--region"}, {"a.jpg", "--format", "xml"},
           {"a.jpg", "--bogus"}, {"a.jpg", "--region", "99999999999,0,1,1"}}) {
    const TRun r = Measure(bad);
    EXPECT_EQ(r.Status, 2) << testing::PrintToString(bad);
    EXPECT_NE(r.Err.find("Usage: kalvex --measure"), std::string::npos);
    EXPECT_TRUE(r.Out.empty());
  }
  EXPECT_EQ(Measure({"--help"}).Status, 0);
}

// Regions are fitted as the window fits two corners.
TEST(Measure, RegionsFitLikeTheWindow) {
  auto fit = [](int L, int T, int W, int H, int PW, int PH) {
    return FitRegion(TRegionArg{L, T, W, H, "", {}}, PW, PH);
  };
  auto r = fit(100, 50, -90, -45, 120, 80); // corners (100, 50) and (10, 5)
  ASSERT_TRUE(r);
  EXPECT_EQ(std::make_tuple(r->Left, r->Top, r->Width, r->Height), std::make_tuple(10, 5, 90, 45));
  r = fit(40, 0, 40, 10, 60, 30); // reaches 20 past the right edge: moved left
  ASSERT_TRUE(r);
  EXPECT_EQ(std::make_tuple(r->Left, r->Width), std::make_tuple(20, 40));
  r = fit(-10, -10, 500, 500, 60, 30); // larger than the picture: the whole picture
  ASSERT_TRUE(r);
  EXPECT_EQ(std::make_tuple(r->Left, r->Top, r->Width, r->Height), std::make_tuple(0, 0, 60, 30));
  EXPECT_FALSE(fit(5, 5, 0, 10, 60, 30));
  EXPECT_FALSE(fit(5, 5, 10, 0, 60, 30));
  EXPECT_FALSE(fit(-50, 0, 20, 10, 60, 30)); // wholly left of the picture
}

// The three formats on one picture, with a region at (and past) the picture's right edge.
TEST(Measure, TextJsonAndCsvOnAGeneratedPicture) {
  TPictures pics;
  // 80,10,50,20 reaches 30 past the right edge of 100 and becomes 50,10,50,20: the noisy half.
  const TRun text = Measure({pics.Bmp, "--region", "80,10,50,20", "--region", "0,0,0,5"});
  EXPECT_EQ(text.Status, 1); // the empty region is an error
  EXPECT_NE(text.Err.find("region 0,0,0,5: Empty region"), std::string::npos) << text.Err;
  EXPECT_NE(text.Out.find("chart.bmp: 100 x 60 pixels"), std::string::npos);
  EXPECT_NE(text.Out.find("region 50,10 50 x 20"), std::string::npos) << text.Out;
  // The region: S mean 100, columns alternate 90/110 and the rows are all alike; the pair
  // channels see no difference at all.
  std::istringstream lines(text.Out);
  std::string line;
  std::vector<std::string> regionLines;
  bool inRegion = false;
  while (std::getline(lines, line)) {
    if (line.rfind("region 50,10", 0) == 0) inRegion = true;
    else if (inRegion && line.rfind("  ", 0) == 0) regionLines.push_back(line);
    else if (inRegion) break;
  }
  ASSERT_EQ(regionLines.size(), 8u);
  // Per row of 50: 49 horizontal pairs of 20, above-left 49 of 20, above 50 of 0, above-right 48
  // of 20: 146 * 20 / 195 = 14.97; S/N = 10 log10(100 / 14.97) = 8.25.
  EXPECT_EQ(regionLines[1], "  R                 8.25     100.00      14.97");
  EXPECT_EQ(regionLines[5], "  RG                   -     100.00       0.00");

  const TRun json = Measure({pics.Bmp, "--format", "json", "--region", "80,10,50,20"});
  ASSERT_EQ(json.Status, 0) << json.Err;
  const auto docs = nlohmann::json::parse(json.Out);
  ASSERT_TRUE(docs.is_array()); // one file is an array of one, as for many
  ASSERT_EQ(docs.size(), 1u);
  const auto &doc = docs[0];
  EXPECT_EQ(doc["width"], 100);
  ASSERT_EQ(doc["areas"].size(), 2u);
  const auto &region = doc["areas"][1];
  EXPECT_EQ(region["name"], "region");
  EXPECT_EQ(region["left"], 50);
  EXPECT_EQ(region["width"], 50);
  for (const char *ch : {"R", "G", "B", "L*", "RG", "GB", "BR"}) {
    const auto &c = region["channels"][ch];
    EXPECT_EQ(c["s_count"], 1000) << ch;
    EXPECT_EQ(c["n_count"], 20 * (4 * 50 - 5)) << ch;
    ASSERT_EQ(c["histogram"].size(), 256u);
    std::int64_t total = 0;
    for (const auto &v : c["histogram"]) total += v.get<std::int64_t>();
    EXPECT_EQ(total, c["n_count"].get<std::int64_t>()) << ch;
  }
  EXPECT_DOUBLE_EQ(region["channels"]["R"]["n_mean"].get<double>(), 146.0 * 20 / 195);
  EXPECT_TRUE(region["channels"]["RG"]["snr_db"].is_null());
  EXPECT_EQ(region["channels"]["RG"]["n_mean"], 0.0);
  EXPECT_NEAR(region["channels"]["R"]["snr_db"].get<double>(), 10 * std::log10(100 / (146.0 * 20 / 195)), 1e-12);

  const TRun csv = Measure({pics.Jpeg, pics.Bmp, "--format", "csv", "--histogram", "--region", "80,10,50,20"});
  ASSERT_EQ(csv.Status, 0) << csv.Err;
  std::istringstream rows(csv.Out);
  std::vector<std::string> all;
  while (std::getline(rows, line)) all.push_back(line);
  ASSERT_EQ(all.size(), 1u + 2 * 2 * 7); // header, 2 files x 2 areas x 7 channels
  EXPECT_EQ(std::count(all[0].begin(), all[0].end(), ','), 14 + 256 + 8 + 1); // camera columns, clipped share
  for (const std::string &l : all) {
    // The JPEG's name holds a comma and quotes: quoted and doubled, so the columns stay in place.
    if (l.rfind('"', 0) == 0) {
      EXPECT_NE(l.find("chart, \"\"copy\"\".jpg\""), std::string::npos) << l;
    }
  }
  EXPECT_NE(all[1].find(",picture,0,0,100,60,R,"), std::string::npos) << all[1];
}

// A file that cannot be measured is reported on stderr and keeps its place in JSON and CSV, so
// the output stays one document that a script can read whatever fails; a redirected stderr holds
// the messages and nothing else (no progress line).
TEST(Measure, BadFilesKeepTheirPlaceAndRedirectedStderrHasNoProgress) {
  TPictures pics;
  const std::string missing = (pics.Dir.Path / "missing.jpg").string();
  const std::string text = (pics.Dir.Path / "notes\n\tx.txt").string();
  std::ofstream(text) << "not a picture\n";

  // stderr (the descriptor, as a shell redirects it) goes to a file during the runs.
  const auto errFile = pics.Dir.Path / "stderr.txt";
  const int saved = dup(STDERR_FILENO);
  const int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  dup2(fd, STDERR_FILENO);
  close(fd);
  auto run = [&](std::vector<std::string> Args) {
    std::vector<char *> argv;
    static char name[] = "kalvex";
    argv.push_back(name);
    for (std::string &a : Args) argv.push_back(a.data());
    std::ostringstream out;
    auto *oldOut = std::cout.rdbuf(out.rdbuf());
    const int status = RunMeasure(static_cast<int>(argv.size()), argv.data(), 1);
    std::cout.rdbuf(oldOut);
    return std::make_pair(status, out.str());
  };
  const auto json = run({missing, pics.Bmp, text, "--format", "json"});
  const auto allFail = run({missing, text, "--format=json"});
  const auto csv = run({missing, pics.Bmp, "--format", "csv"});
  std::cerr.flush();
  dup2(saved, STDERR_FILENO);
  close(saved);

  EXPECT_EQ(json.first, 1);
  const auto doc = nlohmann::json::parse(json.second);
  ASSERT_TRUE(doc.is_array());
  ASSERT_EQ(doc.size(), 3u);
  EXPECT_EQ(doc[0]["file"], missing);
  EXPECT_TRUE(doc[0]["error"].is_string());
  EXPECT_FALSE(doc[0].contains("areas"));
  EXPECT_EQ(doc[1]["file"], pics.Bmp);
  EXPECT_FALSE(doc[1].contains("error"));
  EXPECT_EQ(doc[1]["areas"][0]["channels"]["G"]["s_count"], 6000);
  EXPECT_EQ(doc[2]["error"], "Not a JPEG or BMP picture, nor a project");
  const auto none = nlohmann::json::parse(allFail.second);
  ASSERT_TRUE(none.is_array());
  EXPECT_EQ(none.size(), 2u);

  // CSV: the failed file is one row of 15 fields (and the 8 empty camera ones) with its message in the error column; the
  // figures are in their shortest exact form (the picture's N mean is 20 * 1460 / 1950 x 0.5).
  std::istringstream rows(csv.second);
  std::vector<std::string> lines;
  for (std::string l; std::getline(rows, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 1u + 1 + 7);
  EXPECT_EQ(lines[1].rfind(missing + ",,,,,,,,,,,,,,", 0), 0u) << lines[1];
  EXPECT_EQ(std::count(lines[1].begin(), lines[1].end(), ','), 14 + 8 + 1);
  EXPECT_NE(lines[2].find(",picture,0,0,100,60,R,600000,6000,"), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find(",100,"), std::string::npos) << lines[2]; // S mean 100, not 100.00000000000000
  EXPECT_EQ(ShortestNumber(17.8), "17.8");
  EXPECT_EQ(ShortestNumber(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(ShortestNumber(std::nullopt), "");

  // Only the messages, one line each with the program's name; the name's line break and tab are
  // escaped.
  const std::string err = testutil::ReadFile(errFile);
  EXPECT_EQ(err.find('\r'), std::string::npos);
  EXPECT_EQ(err.find("\x1b"), std::string::npos);
  std::istringstream errLines(err);
  int count = 0;
  for (std::string l; std::getline(errLines, l); ++count) EXPECT_EQ(l.rfind("kalvex: ", 0), 0u) << l;
  EXPECT_EQ(count, 5);
  EXPECT_NE(err.find("notes\\n\\tx.txt: Not a JPEG or BMP picture"), std::string::npos) << err;
  EXPECT_EQ(EscapeFileName("a\\b\x01" "c\rd"), "a\\\\b\\x01c\\rd");
}

// A FIFO without writer, a folder, an empty file, a cut JPEG and a header too large to hold are
// refused at once, in the words the window uses.
TEST(Measure, FifosFoldersAndEmptyFilesAreRefusedAtOnce) {
  TPictures pics;
  const std::string missing = (pics.Dir.Path / "missing.jpg").string();
  const std::string fifo = (pics.Dir.Path / "pipe.jpg").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = (pics.Dir.Path / "folder.bmp").string();
  std::filesystem::create_directory(folder);
  const std::string empty = (pics.Dir.Path / "empty.bmp").string();
  std::ofstream{empty};
  const std::string cut = (pics.Dir.Path / "cut.jpg").string(), huge = (pics.Dir.Path / "huge.bmp").string();
  std::filesystem::copy_file(pics.Jpeg, cut);
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 2);
  auto header = picjobtest::MakeBmp(picjobtest::TBmpKind::b24, 1, 1);
  header.resize(54);
  header[18] = header[22] = 0x40; // 40000 = 0x9C40 on both sides
  header[19] = header[23] = 0x9C;
  std::ofstream(huge, std::ios::binary).write(reinterpret_cast<const char *>(header.data()), 54);
  const TRun r = Measure({missing, fifo, folder, empty, cut, huge, pics.Bmp});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("Cannot open \"" + missing + "\": No such file or directory"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("Cannot open \"" + fifo + "\": not a regular file (a FIFO)"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("Cannot open \"" + folder + "\": Is a directory"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("empty.bmp: The BMP picture is empty (0 bytes)"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find(std::string("cut.jpg: ") + STruncatedJpeg), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("huge.bmp: Picture too large: 40000 x 40000 pixels"), std::string::npos) << r.Err;
  EXPECT_NE(r.Out.find("100 x 60"), std::string::npos) << r.Out; // the good picture is still measured
}

// A part thread that fails makes the file fail: exit 1, its error, and no figures of it.
TEST(Measure, AFailedPartGivesNoFigures) {
  TPictures pics;
  SetBandFaultForTests([] { throw EOutOfMemory("Part out of memory"); });
  const TRun r = Measure({pics.Bmp, "--format", "json"});
  SetBandFaultForTests(nullptr);
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("chart.bmp: Part out of memory"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Out.find("s_count"), std::string::npos) << r.Out;
}

// Regions files and projects in place of a picture: the same regions, fitted as the window fits
// them, and the same figures as the picture itself.
TEST(Measure, RegionsFilesAndProjects) {
  TPictures pics;
  const std::string regions = (pics.Dir.Path / "patches.KalvexRegions").string();
  {
    TProgMemIniFile ini(regions);
    ini.WriteInteger("Program", "FileType", 2);
    // 10,5 30 x 20; an entry without width (skipped); corners 130,70 and 90,50 fitted to 60,40.
    const TRect rects[] = {{10, 5, 40, 25}, {7, 0, 7, 9}, {130, 70, 90, 50}};
    SaveRegionsToIni(ini, SRegionSectionFormat, rects);
    ini.UpdateFile();
  }
  const TRun byFile = Measure({pics.Bmp, "--format", "json", "--regions", regions, "--region", "1,2,3,4"});
  ASSERT_EQ(byFile.Status, 0) << byFile.Err;
  const auto doc = nlohmann::json::parse(byFile.Out)[0];
  ASSERT_EQ(doc["areas"].size(), 4u);
  auto box = [](const nlohmann::json &A) {
    return std::vector<int>{A["left"].get<int>(), A["top"].get<int>(), A["width"].get<int>(), A["height"].get<int>()};
  };
  EXPECT_EQ(box(doc["areas"][1]), (std::vector<int>{10, 5, 30, 20}));
  EXPECT_EQ(box(doc["areas"][2]), (std::vector<int>{60, 40, 40, 20}));
  EXPECT_EQ(box(doc["areas"][3]), (std::vector<int>{1, 2, 3, 4}));
  const auto byArgs = nlohmann::json::parse(
      Measure({pics.Bmp, "--format", "json", "--region", "10,5,30,20", "--region", "60,40,40,20"}).Out)[0];
  EXPECT_EQ(doc["areas"][1]["channels"], byArgs["areas"][1]["channels"]);
  EXPECT_EQ(doc["areas"][2]["channels"], byArgs["areas"][2]["channels"]);
  EXPECT_FALSE(doc.contains("picture"));

  // A project with the picture embedded and one naming it: the project's regions, "file" as
  // given and "picture" as stored.
  const std::string embedded = (pics.Dir.Path / "with.KalvexProject").string();
  const std::string named = (pics.Dir.Path / "named.KalvexProject").string();
  for (const std::string &p : {embedded, named}) {
    TProgMemIniFile ini(p);
    ini.WriteWideString("Program", "FileName", p == embedded ? "chart.bmp" : pics.Bmp);
    if (p == embedded) ini.WriteInteger("Program", "FileType", 1);
    const TRect rect[] = {{10, 5, 40, 25}};
    SaveRegionsToIni(ini, SRegionSectionFormat, rect);
    if (p == embedded) WriteProjectPicture(ini, pics.Bmp);
    ini.UpdateFile();
  }
  // A damaged project fails alone: the other files are still measured.
  const std::string broken = (pics.Dir.Path / "broken.KalvexProject").string();
  testutil::WriteFile(broken, "[Program]\r\nFileType=1\r\nFileName=x.bmp\r\n[File]\r\nSize=2147483648\r\nCount=1\r\n"
                              "Line.00000000=eJzLSM3JyQcABiwCFQ==\r\n");
  const TRun projects = Measure({embedded, broken, named, "--format", "json"});
  EXPECT_EQ(projects.Status, 1);
  EXPECT_NE(projects.Err.find("broken.KalvexProject: The project's embedded picture claims"), std::string::npos)
      << projects.Err;
  const auto all = nlohmann::json::parse(projects.Out);
  ASSERT_EQ(all.size(), 3u); // the broken one keeps its place, with its error
  EXPECT_EQ(all[0]["file"], embedded);
  EXPECT_EQ(all[0]["picture"], "chart.bmp");
  EXPECT_EQ(all[1]["file"], broken);
  EXPECT_TRUE(all[1]["error"].is_string());
  EXPECT_EQ(all[2]["picture"], pics.Bmp);
  for (const auto &f : {all[0], all[2]}) {
    ASSERT_EQ(f["areas"].size(), 2u);
    EXPECT_EQ(f["areas"][0]["channels"], doc["areas"][0]["channels"]);
    EXPECT_EQ(f["areas"][1]["channels"], doc["areas"][1]["channels"]);
  }
  EXPECT_NE(Measure({embedded}).Out.find("with.KalvexProject (picture chart.bmp): 100 x 60 pixels"), std::string::npos);

  // A regions file that cannot be read, or holds no regions, fails (exit 1) in words that say what
  // it is, without the usage text; one led by a byte-order mark is read.
  const std::string fifo = (pics.Dir.Path / "pipe.KalvexRegions").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string junk = (pics.Dir.Path / "junk.KalvexRegions").string(), bom = (pics.Dir.Path / "bom.KalvexRegions").string();
  testutil::WriteFile(junk, "[Program]\r\nFileType=2\r\nRegionCount=1\r\n");
  testutil::WriteFile(bom, "\xEF\xBB\xBF" + testutil::ReadFile(regions));
  const std::pair<std::string, std::string> unread[] = {
      {regions + ".gone", "No such file or directory"}, {fifo, "not a regular file (a FIFO)"},
      {pics.Dir.Path.string(), "Is a directory"},        {"/dev/null", "not a regular file (a device)"},
      {junk, "junk.KalvexRegions\" holds no regions"},   {pics.Jpeg, "copy\".jpg\" holds no regions"}};
  for (const auto &[file, words] : unread) {
    const TRun r = Measure({pics.Bmp, "--regions", file});
    EXPECT_EQ(r.Status, 1) << file;
    EXPECT_NE(r.Err.find("kalvex: --regions: "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(words), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find("Usage"), std::string::npos) << r.Err;
    EXPECT_TRUE(r.Out.empty()) << r.Out;
  }
  const TRun withBom = Measure({pics.Bmp, "--format", "json", "--regions", bom});
  ASSERT_EQ(withBom.Status, 0) << withBom.Err;
  EXPECT_EQ(nlohmann::json::parse(withBom.Out)[0]["areas"].size(), 3u);
  // A project naming a FIFO as its picture says so.
  const std::string pipeProject = (pics.Dir.Path / "pipe.KalvexProject").string();
  {
    TProgMemIniFile ini(pipeProject);
    ini.WriteWideString("Program", "FileName", fifo);
    ini.UpdateFile();
  }
  const TRun piped = Measure({pipeProject});
  EXPECT_EQ(piped.Status, 1);
  EXPECT_NE(piped.Err.find("The project's picture: Cannot open \"" + fifo + "\": not a regular file (a FIFO)"),
            std::string::npos) << piped.Err;
  // A regions file is no picture.
  const TRun asPicture = Measure({regions});
  EXPECT_EQ(asPicture.Status, 1);
  EXPECT_NE(asPicture.Err.find("regions file holds no picture"), std::string::npos) << asPicture.Err;
}

// Camera settings written into a picture with Exiv2 come back in every format; a picture with a
// damaged EXIF block is measured all the same, with a warning. The shares of clipped pixels too.
TEST(Measure, CameraSettingsAndClippedSharesReachEveryFormat) {
  testutil::TempDir dir;
  const std::string shot = (dir.Path / "iso800.jpg").string(), bare = (dir.Path / "bare.jpg").string(),
                    broken = (dir.Path / "broken.jpg").string();
  testutil::WriteTestJpeg(shot, 64, 48);
  testutil::WriteTestJpeg(bare, 64, 48);
  {
    std::unique_ptr<Exiv2::Image> image(Exiv2::ImageFactory::open(shot).release());
    image->readMetadata();
    Exiv2::ExifData ed;
    ed["Exif.Image.Make"] = "Orvane";
    ed["Exif.Image.Model"] = "Orvane Test 1";
    ed["Exif.Photo.ISOSpeedRatings"] = uint16_t(800);
    ed["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
    ed["Exif.Photo.FNumber"] = Exiv2::URational(28, 10);
    ed["Exif.Photo.FocalLength"] = Exiv2::URational(50, 1);
    ed["Exif.Photo.LensModel"] = "Test 50mm";
    ed["Exif.Photo.DateTimeOriginal"] = "2026:01:02 10:11:12";
    image->setExifData(ed);
    image->writeMetadata();
  }
  {
    // An APP1 "Exif" segment whose TIFF header is garbage, right after the start of image.
    const std::string jpeg = testutil::ReadFile(bare);
    const std::string app1("\xFF\xE1\x00\x16" "Exif\0\0" "MM\x00\x2A\xFF\xFF\xFF\xF0" "garbage!", 24);
    testutil::WriteFile(broken, jpeg.substr(0, 2) + app1 + jpeg.substr(2));
  }
  const TRun text = Measure({shot, bare, broken});
  ASSERT_EQ(text.Status, 0) << text.Err;
  EXPECT_NE(text.Out.find("camera: Orvane Test 1, lens Test 50mm, ISO 800, 1/250 s, f/2.8, 50 mm, 2026:01:02 10:11:12\n"),
            std::string::npos)
      << text.Out;
  EXPECT_EQ(text.Out.find("camera:", text.Out.find("bare.jpg")), std::string::npos); // none for the others
  EXPECT_NE(text.Err.find("broken.jpg: warning: damaged EXIF data"), std::string::npos) << text.Err;

  const TRun json = Measure({shot, bare, broken, "--format", "json"});
  ASSERT_EQ(json.Status, 0) << json.Err;
  const nlohmann::json doc = nlohmann::json::parse(json.Out);
  ASSERT_EQ(doc.size(), 3u);
  const nlohmann::json &e = doc[0]["exif"];
  EXPECT_EQ(e["iso"], 800.0);
  EXPECT_DOUBLE_EQ(e["exposure_time"].get<double>(), 0.004);
  EXPECT_NEAR(e["f_number"].get<double>(), 2.8, 1e-6);
  EXPECT_EQ(e["focal_length"], 50.0);
  EXPECT_EQ(e["make"], "Orvane");
  EXPECT_EQ(e["model"], "Orvane Test 1");
  EXPECT_EQ(e["lens"], "Test 50mm");
  EXPECT_EQ(e["date_time"], "2026:01:02 10:11:12");
  EXPECT_TRUE(doc[1]["exif"].is_object() && doc[1]["exif"].empty());
  // The damaged one has its figures, the same as the clean picture's.
  EXPECT_EQ(doc[2]["areas"][0]["channels"]["L*"]["s_sum"], doc[1]["areas"][0]["channels"]["L*"]["s_sum"]);

  const TRun csv = Measure({shot, "--format", "csv"});
  ASSERT_EQ(csv.Status, 0);
  EXPECT_NE(csv.Out.find(",800,0.004,2.8,50,Orvane,Orvane Test 1,Test 50mm,2026:01:02 10:11:12,"), std::string::npos)
      << csv.Out;

  // A quarter of the pixels at 255 and a line of them at 0 in green: shares in JSON and CSV, and
  // the area marked in the text; the region beside them is not.
  const std::string lit = (dir.Path / "lit.bmp").string();
  {
    TBitmap24 b;
    b.SetSize(40, 20);
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 40; ++x) {
        std::uint8_t *p = b.ScanLine(y) + 3 * x;
        p[0] = p[1] = p[2] = static_cast<std::uint8_t>(x < 10 ? 255 : 100 + (x + y) % 7);
        if (y == 0 && x >= 10) p[1] = 0;
      }
    b.SaveToFile(lit);
  }
  const TRun clip = Measure({lit, "--format", "json", "--region", "20,5,10,10"});
  ASSERT_EQ(clip.Status, 0) << clip.Err;
  const nlohmann::json c = nlohmann::json::parse(clip.Out)[0]["areas"];
  EXPECT_EQ(c[0]["clipped"], true);
  EXPECT_DOUBLE_EQ(c[0]["channels"]["R"]["clipped"].get<double>(), 0.25);
  EXPECT_DOUBLE_EQ(c[0]["channels"]["G"]["clipped"].get<double>(), (200.0 + 30) / 800);
  EXPECT_DOUBLE_EQ(c[0]["channels"]["RG"]["clipped"].get<double>(), (200.0 + 30) / 800);
  EXPECT_EQ(c[1]["clipped"], false);
  EXPECT_EQ(c[1]["channels"]["G"]["clipped"], 0.0);
  const TRun clipText = Measure({lit, "--region", "20,5,10,10"});
  EXPECT_NE(clipText.Out.find("picture 0,0 40 x 20  (clipped)\n"), std::string::npos) << clipText.Out;
  EXPECT_NE(clipText.Out.find("   clipped 25.0%\n"), std::string::npos) << clipText.Out;
  EXPECT_NE(clipText.Out.find("region 20,5 10 x 10\n"), std::string::npos) << clipText.Out;
  const TRun clipCsv = Measure({lit, "--format", "csv"});
  EXPECT_NE(clipCsv.Out.find(",R,"), std::string::npos);
  EXPECT_NE(clipCsv.Out.find(",,,,,,,,0.25\n"), std::string::npos) << clipCsv.Out;
}

// A series: three shots at ISO 400, 100 and 200 come out ordered by ISO in every format and are
// plotted against it (SVG with its axis titles and legend, or PNG by the extension); --by file
// keeps the command line's order, and a picture without ISO makes file order the default.
TEST(Measure, SeriesAreOrderedAndPlottedByTheirAxis) {
  testutil::TempDir dir;
  std::vector<std::string> shots;
  for (int iso : {400, 100, 200}) {
    const std::string f = (dir.Path / ("iso" + std::to_string(iso) + ".jpg")).string();
    testutil::WriteTestJpeg(f, 48 + iso / 100, 32);
    std::unique_ptr<Exiv2::Image> image(Exiv2::ImageFactory::open(f).release());
    image->readMetadata();
    Exiv2::ExifData ed;
    ed["Exif.Photo.ISOSpeedRatings"] = static_cast<uint16_t>(iso);
    ed["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 100000 / iso);
    image->setExifData(ed);
    image->writeMetadata();
    shots.push_back(f);
  }
  const std::string svg = (dir.Path / "snr.svg").string(), png = (dir.Path / "snr.PNG").string();
  const TRun csv = Measure({shots[0], shots[1], shots[2], "--format", "csv", "--plot", svg, "--region", "2,2,20,20",
                            "--channels", "L*,r"});
  ASSERT_EQ(csv.Status, 0) << csv.Err;
  std::vector<std::size_t> at;
  for (const char *name : {"iso100.jpg", "iso200.jpg", "iso400.jpg"}) at.push_back(csv.Out.find(name));
  EXPECT_TRUE(at[0] < at[1] && at[1] < at[2]) << csv.Out;
  const std::string drawn = testutil::ReadFile(svg);
  EXPECT_NE(drawn.find("<svg"), std::string::npos);
  for (const char *text : {">ISO<", ">S/N ratio (dB)<", ">picture L*<", ">region 1 R<", ">100<", ">400<"})
    EXPECT_NE(drawn.find(text), std::string::npos) << text;

  const TRun json = Measure({shots[0], shots[1], shots[2], "--format", "json", "--by", "file", "--plot", png});
  ASSERT_EQ(json.Status, 0) << json.Err;
  EXPECT_EQ(nlohmann::json::parse(json.Out)[0]["exif"]["iso"], 400.0);
  QImage image;
  ASSERT_TRUE(image.load(QString::fromStdString(png), "PNG"));
  EXPECT_EQ(image.size(), QSize(900, 560));
  // Long file names are shortened to the room between their ticks rather than run into each other.
  std::vector<std::string> named;
  for (const std::string &f : shots) {
    named.push_back((dir.Path / (std::string(120, 'x') + "-" + std::filesystem::path(f).filename().string())).string());
    std::filesystem::copy_file(f, named.back());
  }
  const std::string byFile = (dir.Path / "file.svg").string();
  ASSERT_EQ(Measure({named[0], named[1], named[2], "--by", "file", "--plot", byFile}).Status, 0);
  const std::string files = testutil::ReadFile(byFile);
  EXPECT_EQ(files.find(std::string(120, 'x')), std::string::npos);
  for (const char *end : {"iso100.jpg<", "iso200.jpg<", "iso400.jpg<"}) // elided in the middle
    EXPECT_NE(files.find(end), std::string::npos) << end;
  const TRun exposure = Measure({shots[0], shots[1], shots[2], "--by", "exposure"});
  EXPECT_LT(exposure.Out.find("iso100.jpg"), exposure.Out.find("iso400.jpg"));

  const std::string plain = (dir.Path / "plain.jpg").string();
  testutil::WriteTestJpeg(plain, 40, 30);
  EXPECT_EQ(SeriesAxis({MeasureFile(shots[0], {}), MeasureFile(plain, {})}, TSeriesAxis::saNone), TSeriesAxis::saFile);
  EXPECT_EQ(SeriesAxis({MeasureFile(shots[0], {}), MeasureFile(shots[1], {})}, TSeriesAxis::saNone), TSeriesAxis::saIso);
  EXPECT_EQ(Measure({plain, "--by", "speed"}).Status, 2);
  EXPECT_EQ(Measure({plain, "--plot", svg, "--channels", "L*,Q"}).Status, 2);
}

// A series measures every file as MeasureFile does, each result in its file's place (a failing
// file in the middle among them), with one start and one end per file; a stop keeps waiting files
// from starting and cuts a running one short, and no end is reported for either.
TEST(Measure, SeriesEqualsSingleFilesAndStops) {
  TPictures p;
  const std::string broken = (p.Dir.Path / "broken.jpg").string();
  std::ofstream(broken) << "no picture";
  const std::vector<std::string> files = {p.Bmp, p.Jpeg, broken, p.Bmp, p.Jpeg};
  const std::vector<TRegionArg> regions = {TRegionArg{10, 5, 30, 20, "10,5,30,20"}, TRegionArg{500, 5, 10, 10, "500,5,10,10"}};
  std::vector<int> starts(files.size(), 0), ends(files.size(), 0);
  TSeriesCallbacks callbacks;
  callbacks.OnStart = [&](std::size_t I) { ++starts[I]; };
  callbacks.OnDone = [&](std::size_t I, const TFileResult &) { ++ends[I]; };
  const std::vector<TFileResult> series = MeasureSeries(files, regions, callbacks, nullptr, 2);
  std::ostringstream got, want;
  WriteCsv(got, series, true);
  std::vector<TFileResult> single;
  for (const std::string &f : files) {
    try {
      single.push_back(MeasureFile(f, regions));
    } catch (const std::exception &e) {
      single.emplace_back();
      single.back().File = f;
      single.back().Error = e.what();
    }
  }
  WriteCsv(want, single, true);
  EXPECT_EQ(got.str(), want.str());
  EXPECT_FALSE(series[2].Error.empty());
  EXPECT_EQ(starts, std::vector<int>(files.size(), 1));
  EXPECT_EQ(ends, std::vector<int>(files.size(), 1));

  std::atomic<bool> stop{false};
  std::fill(ends.begin(), ends.end(), 0);
  callbacks.OnStart = [&](std::size_t) { stop = true; }; // the first file is cut short
  const std::vector<TFileResult> stopped = MeasureSeries(files, regions, callbacks, &stop, 1);
  for (const TFileResult &r : stopped) EXPECT_EQ(r.Error, SSeriesStopped);
  EXPECT_EQ(ends, std::vector<int>(files.size(), 0));
  EXPECT_THROW(MeasureFile(p.Jpeg, regions, &stop), EAbort);
}
