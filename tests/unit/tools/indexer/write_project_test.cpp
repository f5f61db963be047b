// WriteProject end to end on real clips: the file's lines as the plugin's loader reads them back
// (keywords matched in the loader's order over its character counts), the video path rule of
// line 3, and replacing a project safely.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/unit/tools/indexer/indexer_test_support.h"
#include "tools/indexer/indexer.h"
#include "tools/indexer/video_path.h"

namespace fs = std::filesystem;

namespace {

using namespace indexer_test;

// What the loader takes from a project file.
struct Loaded {
  std::vector<std::string> lines;
  std::vector<std::string> matched;  // the keyword each keyword line matched, "" for none
  int fieldOrder = -1, streamType = -1, packetSize = -1, videoPid = -1;
  int gamma = -1, offset = -1, left = -1, right = -1, top = -1, bottom = -1;
  int width = -1, height = -1, fpsNumerator = -1, fpsDenominator = -1;
  std::vector<int> firstPicture;
  std::vector<unsigned long long> positions;
  std::string types;
};

Loaded Load(const std::string& text) {
  Loaded l;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) l.lines.push_back(line);
  static const std::pair<const char*, size_t> kKeywords[] = {
      {"FO", 2},   {"STREAM", 6}, {"PKTSIZ", 6}, {"VPID", 4}, {"LUMFILT", 7},
      {"CLIP", 4}, {"SIZ", 3},    {"FPS", 3},    {"SEQ ", 4}, {"FRM", 3}};
  for (size_t n = 5; n < l.lines.size(); ++n) {
    const std::string& s = l.lines[n];
    std::string keyword;
    for (const auto& k : kKeywords) {
      if (s.compare(0, k.second, k.first, k.second) == 0) {
        keyword = k.first;
        break;
      }
    }
    l.matched.push_back(keyword);
    const char* v = s.c_str() + (s.find(' ') == std::string::npos ? s.size() : s.find(' ') + 1);
    if (keyword == "FO") l.fieldOrder = atoi(v);
    if (keyword == "STREAM") l.streamType = atoi(v);
    if (keyword == "PKTSIZ") l.packetSize = atoi(v);
    if (keyword == "VPID") l.videoPid = atoi(v);
    if (keyword == "LUMFILT") sscanf(v, "%d %d", &l.gamma, &l.offset);
    if (keyword == "CLIP") sscanf(v, "%d %d %d %d", &l.left, &l.right, &l.top, &l.bottom);
    if (keyword == "SIZ") sscanf(v, "%d x %d", &l.width, &l.height);
    if (keyword == "FPS") sscanf(v, "%d / %d", &l.fpsNumerator, &l.fpsDenominator);
    if (keyword == "SEQ ") {
      l.firstPicture.push_back(static_cast<int>(l.types.size()));
      l.positions.push_back(strtoull(v, nullptr, 10));
    }
    if (keyword == "FRM" && !l.positions.empty()) l.types += *v;
  }
  return l;
}

indexer::IndexOptions Options(const std::string& video, const std::string& project) {
  indexer::IndexOptions options;
  options.videoPath = video;
  options.projectPath = project;
  options.progress = false;
  options.warn = [](const std::string&) {};
  return options;
}

TEST(WriteProject, LinesReadBackAsWritten) {
  TempDir dir;
  fs::create_directories(dir.File("clips"));
  fs::copy_file(Media("es480i_bff.m2v"), dir.File("clips/bff.m2v"));
  indexer::IndexOptions options = Options(dir.File("clips/bff.m2v"), dir.File("bff.vnt"));
  options.clipLeft = 8, options.clipRight = 16, options.clipTop = 4, options.clipBottom = 2;
  options.lumGamma = 0, options.lumOffset = 10;
  std::string error;
  ASSERT_EQ(indexer::WriteProject(options, &error), indexer::kIndexOk) << error;

  const std::string text = ReadText(dir.File("bff.vnt"));
  ASSERT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);
  Loaded l = Load(text);
  ASSERT_GT(l.lines.size(), 5u);
  EXPECT_EQ(l.lines[0], "VantuIndexFileNV1");
  EXPECT_EQ(l.lines[1], "mpgsource-index 1.0");
  EXPECT_EQ(l.lines[2], "clips/bff.m2v");
  EXPECT_NE(l.lines[3].find("720x480"), std::string::npos) << l.lines[3];
  EXPECT_EQ(l.lines[4], "");
  // Every keyword line is taken for the keyword it starts with, except our own lines
  // (VIDEOFILE, PICTURES and the stream facts in INFO lines), which the loader's keywords do not
  // match, so that every loader skips them.
  for (size_t i = 0; i < l.matched.size(); ++i) {
    const std::string& s = l.lines[i + 5];
    const std::string word = s.substr(0, s.find(' '));
    const bool ours = word == "VIDEOFILE" || word == "PICTURES" || word == "INFO";
    EXPECT_EQ(l.matched[i], ours ? "" : word + (word == "SEQ" ? " " : "")) << s;
  }
  // Our lines come before the GOP list, so that a list cut short keeps them.
  const size_t firstSeq = text.find("\nSEQ ");
  EXPECT_LT(text.find("\nPICTURES " + std::to_string(l.types.size()) + "\n"), firstSeq);
  const size_t videoLine =
      text.find("\nVIDEOFILE " + std::to_string(fs::file_size(dir.File("clips/bff.m2v"))) + " ");
  EXPECT_LT(videoLine, firstSeq);
  EXPECT_EQ(text.find('\n', videoLine + 1) - text.rfind(' ', text.find('\n', videoLine + 1)), 17u)
      << "16 hexadecimal digits";
  EXPECT_EQ(l.fieldOrder, 1);
  EXPECT_EQ(l.streamType, 0);
  EXPECT_EQ(l.width, 720);
  EXPECT_EQ(l.height, 480);
  EXPECT_EQ(l.fpsNumerator, 30000);
  EXPECT_EQ(l.fpsDenominator, 1001);
  EXPECT_EQ(l.left, 8);
  EXPECT_EQ(l.right, 16);
  EXPECT_EQ(l.top, 4);
  EXPECT_EQ(l.bottom, 2);
  EXPECT_EQ(l.gamma, 0);
  EXPECT_EQ(l.offset, 10);
  EXPECT_EQ(DisplayOrder(l.types), FfprobeTypes(Media("es480i_bff.m2v")));
  ASSERT_EQ(l.positions.size(), 7u);
  EXPECT_EQ(l.firstPicture[0], 0);
  EXPECT_EQ(l.positions[0], 0u);
  for (size_t i = 1; i < l.positions.size(); ++i) {
    EXPECT_GT(l.positions[i], l.positions[i - 1]);
    EXPECT_EQ(l.types[l.firstPicture[i]], 'I');
  }
}

TEST(WriteProject, TransportStreamKeywords) {
  TempDir dir;
  std::string error;
  ASSERT_EQ(indexer::WriteProject(Options(Media("m2ts576i.m2ts"), dir.File("m.vnt")), &error),
            indexer::kIndexOk)
      << error;
  Loaded l = Load(ReadText(dir.File("m.vnt")));
  EXPECT_EQ(l.streamType, 1);
  EXPECT_EQ(l.packetSize, 192);
  EXPECT_EQ(l.videoPid, 0x1011);
  EXPECT_EQ(l.fieldOrder, 0);
  EXPECT_EQ(l.left + l.right + l.top + l.bottom, 0);
  EXPECT_EQ(l.gamma + l.offset, 0);
  EXPECT_EQ(l.types.size(), 150u);
  // The video lies outside the project's folder: absolute path.
  EXPECT_EQ(l.lines[2], fs::canonical(Media("m2ts576i.m2ts")).string());
}

TEST(WriteProject, VideoPathIsRelativeOnlyBelowTheProjectFolder) {
  TempDir dir;
  fs::create_directories(dir.File("a/b"));
  fs::create_directories(dir.File("other"));
  for (const char* name : {"top.m2v", "a/b/deep.m2v", "other/side.m2v"}) {
    WriteText(dir.File(name), "x");
  }
  std::string line, error;
  ASSERT_TRUE(indexer::ProjectVideoPath(dir.File("top.m2v"), dir.File("p.vnt"), &line, &error));
  EXPECT_EQ(line, "top.m2v");
  ASSERT_TRUE(
      indexer::ProjectVideoPath(dir.File("a/b/deep.m2v"), dir.File("p.vnt"), &line, &error));
  EXPECT_EQ(line, "a/b/deep.m2v");
  ASSERT_TRUE(
      indexer::ProjectVideoPath(dir.File("a/b/deep.m2v"), dir.File("a/./p.vnt"), &line, &error));
  EXPECT_EQ(line, "b/deep.m2v");
  ASSERT_TRUE(
      indexer::ProjectVideoPath(dir.File("other/side.m2v"), dir.File("a/p.vnt"), &line, &error));
  EXPECT_EQ(line, fs::canonical(dir.File("other/side.m2v")).string());
  ASSERT_TRUE(
      indexer::ProjectVideoPath(dir.File("a/../top.m2v"), dir.File("a/b/p.vnt"), &line, &error));
  EXPECT_EQ(line, dir.path() + "/top.m2v");

  // Through a link to the folder, the relative path still leads to the video.
  fs::create_directory_symlink(dir.File("a"), dir.File("link"));
  ASSERT_TRUE(
      indexer::ProjectVideoPath(dir.File("a/b/deep.m2v"), dir.File("link/p.vnt"), &line, &error));
  EXPECT_EQ(line, "b/deep.m2v");

  // A project in the root folder: the loader resolves from the root as from any folder.
  ASSERT_TRUE(indexer::ProjectVideoPath(dir.File("top.m2v"), "/p.vnt", &line, &error));
  EXPECT_EQ(line, fs::absolute(dir.File("top.m2v")).lexically_normal().relative_path().string());

  // A '\' in a name here would be a separator to a reader on Windows: such a path stays absolute.
  WriteText(dir.File("back\\slash.m2v"), "x");
  ASSERT_TRUE(
      indexer::ProjectVideoPath(dir.File("back\\slash.m2v"), dir.File("p.vnt"), &line, &error));
  EXPECT_EQ(line, dir.path() + "/back\\slash.m2v");

  // Paths that cannot be written on one line.
  WriteText(dir.File("two\nlines.m2v"), "x");
  EXPECT_FALSE(
      indexer::ProjectVideoPath(dir.File("two\nlines.m2v"), dir.File("p.vnt"), &line, &error));
  EXPECT_NE(error.find("line break"), std::string::npos);
  EXPECT_FALSE(indexer::ProjectVideoPath(dir.File("none.m2v"), dir.File("p.vnt"), &line, &error));
}

TEST(WriteProject, FailureLeavesTheOldProjectAlone) {
  TempDir dir;
  const std::string project = dir.File("p.vnt");
  WriteText(project, "old project\n");
  std::string error;
  EXPECT_EQ(indexer::WriteProject(Options(Media("audio.wav"), project), &error),
            indexer::kIndexNotMpeg2);
  EXPECT_EQ(ReadText(project), "old project\n");

  ASSERT_EQ(indexer::WriteProject(Options(Media("es1080p_closed.m2v"), project), &error),
            indexer::kIndexOk)
      << error;
  EXPECT_EQ(ReadText(project).rfind("VantuIndexFileNV1\n", 0), 0u);
  // Nothing but the project is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

  EXPECT_EQ(
      indexer::WriteProject(Options(Media("es1080p_closed.m2v"), dir.File("no/p.vnt")), &error),
      indexer::kIndexCannotWrite);
  EXPECT_NE(error.find("no/p.vnt"), std::string::npos) << error;
  EXPECT_EQ(indexer::WriteProject(Options(Media("es1080p_closed.m2v"), dir.path()), &error),
            indexer::kIndexCannotWrite);
  EXPECT_EQ(indexer::WriteProject(Options(Media("es1080p_closed.m2v"), ""), &error),
            indexer::kIndexBadOptions);
  // A luminance correction that the plugin would refuse is never written.
  for (const auto& lum :
       {std::pair<int, int>{2049, 0}, {-2049, 0}, {0, 256}, {0, -256}, {INT_MIN, INT_MIN}}) {
    indexer::IndexOptions options = Options(Media("es1080p_closed.m2v"), project);
    options.lumGamma = lum.first;
    options.lumOffset = lum.second;
    EXPECT_EQ(indexer::WriteProject(options, &error), indexer::kIndexBadOptions);
    EXPECT_NE(error.find("out of range"), std::string::npos) << error;
  }
  EXPECT_EQ(ReadText(project).rfind("VantuIndexFileNV1\n", 0), 0u);
}

TEST(WriteProject, OnlyANewPathOrARegularFileIsWritten) {
  TempDir dir;
  const std::string video = dir.File("v.m2v");
  fs::copy_file(Media("es1080p_closed.m2v"), video);
  const std::string original = ReadText(video);
  std::string error;
  auto write = [&](const std::string& project) {
    return indexer::WriteProject(Options(video, project), &error);
  };
  // The video itself, by its own name, another spelling and a second hard link.
  for (const std::string& self : {video, dir.File("./v.m2v"), dir.File("hard.m2v")}) {
    if (self == dir.File("hard.m2v")) fs::create_hard_link(video, self);
    EXPECT_EQ(write(self), indexer::kIndexCannotWrite) << self;
    EXPECT_NE(error.find("it is the video being indexed"), std::string::npos) << error;
    EXPECT_EQ(ReadText(video), original);
  }
  // A link (even to a project), a FIFO, a device: the entry stays what it was.
  WriteText(dir.File("old.vnt"), "old\n");
  fs::create_symlink(dir.File("old.vnt"), dir.File("link.vnt"));
  EXPECT_EQ(write(dir.File("link.vnt")), indexer::kIndexCannotWrite);
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_symlink(dir.File("link.vnt")));
  EXPECT_EQ(ReadText(dir.File("old.vnt")), "old\n");
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_EQ(write(dir.File("fifo")), indexer::kIndexCannotWrite);
  EXPECT_NE(error.find("it is a FIFO"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_fifo(dir.File("fifo")));
  // A device node of our own (the null device's numbers), made only where that is allowed.
  if (mknod(dir.File("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    EXPECT_EQ(write(dir.File("null")), indexer::kIndexCannotWrite);
    EXPECT_NE(error.find("it is a device"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_character_file(dir.File("null")));
  }
  // A regular file and a new path are written.
  EXPECT_EQ(write(dir.File("old.vnt")), indexer::kIndexOk) << error;
  EXPECT_EQ(write(dir.File("new.vnt")), indexer::kIndexOk) << error;
  EXPECT_EQ(ReadText(video), original);
}

TEST(WriteProject, AReadOnlyProjectIsReplacedOnlyWhenForced) {
  TempDir dir;
  const std::string project = dir.File("p.vnt");
  WriteText(project, "kept\n");
  ASSERT_EQ(chmod(project.c_str(), 0444), 0);
  indexer::IndexOptions options = Options(Media("es1080p_closed.m2v"), project);
  std::string error;
  EXPECT_EQ(indexer::WriteProject(options, &error), indexer::kIndexCannotWrite);
  EXPECT_EQ(error, "will not write the project \"" + project +
                       "\": it is read-only (--force replaces it)");
  EXPECT_EQ(ReadText(project), "kept\n");
  options.force = true;
  ASSERT_EQ(indexer::WriteProject(options, &error), indexer::kIndexOk) << error;
  EXPECT_EQ(ReadText(project).rfind("VantuIndexFileNV1\n", 0), 0u);
  struct stat st;
  ASSERT_EQ(stat(project.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u) << "a replaced project keeps its permissions";
}

// The project and the timestamps are renamed into place only when both were written: a run
// whose timestamps fail leaves no new project beside the old files, and the old ones unchanged.
TEST(WriteProject, TimestampsThatCannotBeWrittenLeaveNoNewProject) {
  TempDir dir;
  const std::string video = dir.File("v.m2v");
  fs::copy_file(Media("es480i_bff.m2v"), video);
  WriteText(dir.File("old.vnt"), "old\n");
  WriteText(dir.File("old.txt"), "old\n");
  ASSERT_EQ(chmod(dir.File("old.txt").c_str(), 0444), 0);
  const std::pair<std::string, std::string> cases[] = {
      {dir.File("none/t.txt"), "No such file or directory"},
      {dir.File("old.txt"), "it is read-only"},
      {video, "it is the video being indexed"},
      {"", "cannot both go to"}};  // the project's own name
  for (const std::string& project : {dir.File("new.vnt"), dir.File("old.vnt")}) {
    for (const auto& c : cases) {
      indexer::IndexOptions options = Options(video, project);
      options.timestampsPath = c.first.empty() ? project : c.first;
      std::string error;
      EXPECT_NE(indexer::WriteProject(options, &error), indexer::kIndexOk) << c.first;
      EXPECT_NE(error.find(c.second), std::string::npos) << error;
      EXPECT_FALSE(fs::exists(dir.File("new.vnt")));
      EXPECT_EQ(ReadText(dir.File("old.vnt")), "old\n");
      EXPECT_EQ(ReadText(dir.File("old.txt")), "old\n");
    }
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
  // Both written when both can be.
  indexer::IndexOptions options = Options(video, dir.File("new.vnt"));
  options.timestampsPath = dir.File("new.txt");
  std::string error;
  ASSERT_EQ(indexer::WriteProject(options, &error), indexer::kIndexOk) << error;
  EXPECT_EQ(ReadText(dir.File("new.txt")).rfind("# timestamp format v2\n", 0), 0u);
}

TEST(WriteProject, CommandLineProgram) {
  TempDir dir;
  const char* build = getenv("MPG_BUILD_DIR");
  const std::string program = std::string(build ? build : "build") + "/mpgsource-index";
  if (!fs::exists(program)) GTEST_SKIP() << program << " not built";
  int status = 0;
  std::string out = Shell(program + " --pid 0x1E1 --clip 2,4,6,8 --quiet " + Media("ts576i.ts") +
                              " " + dir.File("t.vnt") + " 2>&1",
                          &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "");
  Loaded l = Load(ReadText(dir.File("t.vnt")));
  EXPECT_EQ(l.videoPid, 0x1E1);
  EXPECT_EQ(l.left * 1000 + l.right * 100 + l.top * 10 + l.bottom, 2468);
  // Decimal unless written with 0x: 0741 is PID 741, which carries nothing here.
  out = Shell(
      program + " --pid 0741 --quiet " + Media("ts576i.ts") + " " + dir.File("o.vnt") + " 2>&1",
      &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(out.find("PID 741"), std::string::npos) << out;
  out =
      Shell(program + " --clip 0x8,0,0,0 " + Media("ts576i.ts") + " " + dir.File("o.vnt") + " 2>&1",
            &status);
  EXPECT_NE(status, 0);
  out = Shell(program + " " + Media("audio.wav") + " " + dir.File("w.vnt") + " 2>&1", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(out.find("audio.wav"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.File("w.vnt")));
}

}  // namespace
