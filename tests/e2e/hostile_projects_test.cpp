// Stale and hostile projects, paths and values through the real command-line host, plugin and
// decoding server, on media made by ffmpeg: each ends in a clear error naming its file, or in
// exactly the frames ffmpeg decodes; never in wrong pictures with exit 0.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

// `mpgsource info PROJECT --no-server`, expected to fail: its standard error.
std::string InfoError(const std::string& project) {
  CommandResult r = e2e::Run({Mpgsource(), "info", project, "--no-server"});
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  return r.err;
}

// The project's text with the line that starts with `keyword` replaced (or removed when
// `replacement` is empty).
std::string WithLine(const std::string& text, const std::string& keyword,
                     const std::string& replacement) {
  std::istringstream in(text);
  std::string out, line;
  while (std::getline(in, line)) {
    if (line.rfind(keyword, 0) == 0) {
      if (!replacement.empty()) out += replacement + "\n";
    } else {
      out += line + "\n";
    }
  }
  return out;
}

// The frames `mpgsource hash` serves for `frames`, as MD5s in order.
std::vector<std::string> Served(const std::string& project, const std::vector<int>& frames) {
  std::vector<std::string> md5s;
  for (const auto& frame : HashFrames(project, frames)) md5s.push_back(frame.second);
  return md5s;
}

std::vector<std::string> Reference(const std::vector<std::string>& all,
                                   const std::vector<int>& frames) {
  std::vector<std::string> md5s;
  for (int n : frames) md5s.push_back(all.at(n));
  return md5s;
}

const char kChanged[] = "MPGSource: The video file is not the one the VNT file was made from";

TEST(StaleProjects, AVideoReplacedShrunkOrSwappedIsRefusedAndAGrownOneServedExactly) {
  Server server;
  const std::string dir = TempDir();
  const std::string video = dir + "/recording.ts";
  fs::copy_file(MediaPath("ts576i.ts"), video);
  const std::string project = IndexVideo(video);
  const std::string made = ReadText(project);

  // A project of an older indexer has no such line: it loads as before.
  WriteText(dir + "/old.vnt", WithLine(made, "VIDEOFILE", ""));
  CommandResult r = e2e::Run({Mpgsource(), "info", dir + "/old.vnt", "--no-server"});
  EXPECT_EQ(r.status, 0) << r.err;

  // The same recording as M2TS, cut short, or another video under the same name.
  for (const char* other : {"m2ts576i.m2ts", "ts576i.ts", "es576i_open.m2v"}) {
    fs::copy_file(MediaPath(other), video, fs::copy_options::overwrite_existing);
    if (std::string(other) == "ts576i.ts") fs::resize_file(video, fs::file_size(video) / 2);
    const std::string err = InfoError(project);
    EXPECT_EQ(err.rfind(kChanged, 0), 0u) << other << ": " << err;
    EXPECT_NE(err.find(fs::canonical(video).string()), std::string::npos) << err;
  }

  // Without the line, a video shorter than the GOP list is still refused.
  EXPECT_NE(InfoError(dir + "/old.vnt").find("past the end of"), std::string::npos);

  // A recording that goes on being written keeps the indexed frames exact.
  fs::copy_file(MediaPath("ts576i.ts"), video, fs::copy_options::overwrite_existing);
  {
    std::ofstream more(video, std::ios::binary | std::ios::app);
    more << ReadText(MediaPath("ts576i.ts"));
  }
  const std::vector<int> frames = {0, 1, 40, 77, 149, 12};
  EXPECT_EQ(Served(project, frames), Reference(FfmpegMd5(MediaPath("ts576i.ts")), frames));
}

TEST(StaleProjects, AProjectCutShortInsideItsGopListIsRefused) {
  Server server;
  const std::string project = IndexVideo(MediaPath("es576i_open.m2v"));
  const std::string made = ReadText(project);
  const size_t list = made.find("\nSEQ ");
  ASSERT_NE(list, std::string::npos);
  // Cut inside a line and right after one.
  for (size_t cut : {list + (made.size() - list) / 2, made.rfind("\nSEQ ") + 1}) {
    const std::string cutProject = TempDir() + "/cut.vnt";
    WriteText(cutProject, made.substr(0, cut));
    const std::string err = InfoError(cutProject);
    EXPECT_EQ(err.rfind("MPGSource: The VNT file is incomplete", 0), 0u) << err;
    EXPECT_NE(err.find(cutProject + ": "), std::string::npos) << err;
  }
}

TEST(HostilePaths, IndexWritesNoProjectOntoAFifoALinkOrTheVideo) {
  const std::string dir = TempDir();
  const std::string video = dir + "/v.m2v";
  fs::copy_file(MediaPath("es576i_open.m2v"), video);
  const std::string original = ReadText(video);
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  WriteText(dir + "/kept.vnt", "kept\n");
  fs::create_symlink(dir + "/kept.vnt", dir + "/link.vnt");
  fs::create_symlink(video, dir + "/video-link.vnt");
  for (const std::string& target :
       {dir + "/fifo", dir + "/link.vnt", dir + "/video-link.vnt", video, dir + "/./v.m2v"}) {
    CommandResult r = e2e::Run({Mpgsource(), "index", video, "-o", target});
    EXPECT_NE(r.status, 0) << target;
    EXPECT_EQ(r.err.rfind("mpgsource: will not write the project \"" + target + "\": it is ", 0),
              0u)
        << r.err;
  }
  EXPECT_EQ(ReadText(video), original);
  EXPECT_TRUE(fs::is_fifo(dir + "/fifo"));
  EXPECT_TRUE(fs::is_symlink(dir + "/link.vnt"));
  EXPECT_EQ(ReadText(dir + "/kept.vnt"), "kept\n");
  // A video named like a project is not replaced by its default project name either.
  fs::copy_file(video, dir + "/clip.vnt");
  CommandResult r = e2e::Run({Mpgsource(), "index", dir + "/clip.vnt"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(ReadText(dir + "/clip.vnt"), original);
}

TEST(HostilePaths, AVideoLineNamingAFifoFolderOrDeviceFailsAtOnce) {
  Server server;
  const std::string dir = TempDir();
  const std::string made = ReadText(IndexVideo(MediaPath("es576i_open.m2v")));
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {dir + "/fifo", "a FIFO, not a regular file"},
      {dir, "a folder, not a regular file"},
      {"/dev/zero", "a device, not a regular file"}};
  for (const auto& c : cases) {
    const std::string project = dir + "/hostile.vnt";
    std::string text = made;
    const size_t line3 = text.find('\n', text.find('\n') + 1) + 1;
    text.replace(line3, text.find('\n', line3) - line3, c.first);
    WriteText(project, WithLine(text, "VIDEOFILE", ""));
    EXPECT_EQ(InfoError(project), "MPGSource: Could not open one of the input files. (" + c.first +
                                      ": " + c.second + ")\n");
  }
  // The project itself.
  EXPECT_EQ(InfoError(dir + "/fifo"), "MPGSource: Could not open one of the input files. (" + dir +
                                          "/fifo: a FIFO, not a regular file)\n");
}

TEST(HostilePaths, ProjectAndVideoInAFolderPathFarBeyond260Characters) {
  Server server;
  std::string folder = TempDir();
  for (int i = 0; folder.size() < 700; ++i) folder += "/folder-" + std::string(100, 'a' + i);
  fs::create_directories(folder);
  fs::copy_file(MediaPath("es480i_bff.m2v"), folder + "/v.m2v");
  CommandResult r = e2e::Run({Mpgsource(), "index", folder + "/v.m2v"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string project = folder + "/v.vnt";
  std::istringstream lines(ReadText(project));
  std::string line;
  for (int i = 0; i < 3; ++i) std::getline(lines, line);
  EXPECT_EQ(line, "v.m2v") << "relative to the project's folder";
  const std::vector<int> frames = {0, 44, 89, 3};
  const std::vector<std::string> reference = FfmpegMd5(MediaPath("es480i_bff.m2v"));
  EXPECT_EQ(Served(project, frames), Reference(reference, frames));
  // The project named relative to the current folder, which is as long.
  r = e2e::Run(
      {"sh", "-c",
       "cd '" + folder + "' && exec '" + Mpgsource() + "' hash v.vnt --no-server --frames 7"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "7 " + reference.at(7) + "\n");
}

TEST(HostileValues, SizFpsAndGopPositionsThatCannotBeRight) {
  Server server;
  const std::string dir = TempDir();
  const std::string made = ReadText(IndexVideo(MediaPath("m2ts576i.m2ts")));
  const std::string size = std::to_string(fs::file_size(MediaPath("m2ts576i.m2ts")));
  // Each case replaces the n-th line that starts like its replacement; "@" in the message stands
  // for that line's number.
  const struct {
    std::string replacement;
    int occurrence;
    std::string message;
  } cases[] = {
      {"SIZ 704 x 576", 1, "SIZ 704x576 is not the picture size of"},
      {"SIZ 720 x 480", 1, "SIZ 720x480 is not the picture size of"},
      {"FPS 0 / 0", 1, "FPS 0/0 is not a frame rate"},
      {"FPS -25 / 1", 1, "FPS -25/1 is not a frame rate"},
      {"SEQ " + size, 1, "line @: GOP 0 starts at byte " + size + ", past the end of"},
      // Numbers that were clamped, a later GOP's position that is none (it served the pictures
      // of the first GOP), values outside their range.
      {"FPS 4294967297 / 1", 1, "line @ \"FPS 4294967297 / 1\": a number out of range"},
      {"SEQ -5", 3, "line @ \"SEQ -5\": no GOP position (a number from 0 up)"},
      {"LUMFILT 4096 0", 1, "line @ \"LUMFILT 4096 0\": the gamma is not from -2048 to 2048"},
      {"FRM Q", 20, "line @ \"FRM Q\": not a picture coding type (I, P or B)"}};
  for (const auto& c : cases) {
    const std::string project = dir + "/bad.vnt";
    // Only that line changes; the picture count still matches.
    std::string text = made;
    const std::string keyword = c.replacement.substr(0, 4);
    size_t at = 0;
    for (int n = 0; n < c.occurrence; ++n) {
      at = text.find("\n" + keyword, at) + 1;
      ASSERT_NE(at, 0u) << c.replacement;
    }
    text.replace(at, text.find('\n', at) - at, c.replacement);
    WriteText(project, text);
    std::string message = c.message;
    const size_t mark = message.find('@');
    if (mark != std::string::npos) {
      message.replace(mark, 1,
                      std::to_string(1 + std::count(text.begin(), text.begin() + at, '\n')));
    }
    const std::string err = InfoError(project);
    EXPECT_EQ(err.rfind("MPGSource: The VNT file holds a value that cannot be right for its "
                        "video. (" +
                            project + ": " + message,
                        0),
              0u)
        << c.replacement << ": " << err;
  }
}

TEST(HostileValues, DeinterlaceOutsideZeroToTwoInTheDefaultsFile) {
  Server server;
  const std::string dir = TempDir();
  const std::string project = IndexVideo(MediaPath("es576i_open.m2v"));
  WriteText(dir + "/VantuDecodeNV.def", "deinterlace=7\n");
  CommandResult r = e2e::Run(
      {"sh", "-c",
       "cd '" + dir + "' && exec '" + Mpgsource() + "' info '" + project + "' --no-server"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.err, "MPGSource: deinterlace must be 0, 1 or 2, not 7 (VantuDecodeNV.def).\n");
  // Given on the command line, the valid value wins over the file's.
  r = e2e::Run({"sh", "-c",
                "cd '" + dir + "' && exec '" + Mpgsource() + "' info '" + project +
                    "' --no-server --deinterlace 2 --json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"frames\": 300"), std::string::npos) << r.out;
  // Hexadecimal is no deinterlacing mode; 0741 is decimal PID 741.
  r = e2e::Run({Mpgsource(), "info", project, "--no-server", "--deinterlace", "0x2"});
  EXPECT_EQ(r.status, 2) << "a command line not understood";
  EXPECT_EQ(r.err.rfind("mpgsource: --deinterlace", 0), 0u) << r.err;
  r = e2e::Run(
      {Mpgsource(), "index", MediaPath("ts576i.ts"), "-o", dir + "/p.vnt", "--pid", "0741"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("PID 741"), std::string::npos) << r.err;
  r = e2e::Run(
      {Mpgsource(), "index", MediaPath("ts576i.ts"), "-o", dir + "/p.vnt", "--pid", "0x1E1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(ReadText(dir + "/p.vnt").find("\nVPID 481\n"), std::string::npos);
}

TEST(Output, AFullDiskFailsTheCommandWithTheSystemsReason) {
  Server server;
  const std::string project = IndexVideo(MediaPath("es576i_open.m2v"));
  const std::string quoted = "'" + Mpgsource() + "' ";
  for (const std::string& command :
       {quoted + "info '" + project + "' --no-server >/dev/full",
        quoted + "hash '" + project + "' --no-server --frames 0-2 >/dev/full",
        quoted + "pipe '" + project + "' --no-server --frames 0-2 >/dev/full",
        quoted + "pipe '" + project + "' --no-server --frames 0-2 -o - >/dev/full"}) {
    CommandResult r = e2e::Run({"sh", "-c", command});
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_EQ(r.err.rfind("mpgsource: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(": No space left on device\n"), std::string::npos) << command << r.err;
  }
}

TEST(Messages, PluginErrorsArePrintedOnceAndNameTheFile) {
  Server server;
  const std::string missing = TempDir() + "/missing.vnt";
  EXPECT_EQ(InfoError(missing), "MPGSource: Could not open one of the input files. (" + missing +
                                    ": No such file or directory)\n");
  const std::string text = TempDir() + "/text.vnt";
  WriteText(text, "not a project\n");
  for (const char* command : {"info", "hash", "pipe"}) {
    CommandResult r = e2e::Run({Mpgsource(), command, text, "--no-server"});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, "MPGSource: The input file is not a VNT project file. (" + text + ")\n");
  }
  // The indexer's warnings in the program's own style: a recording that starts mid-GOP.
  const std::string bytes = ReadText(MediaPath("es576i_open.m2v"));
  WriteText(TempDir() + "/mid.m2v", bytes.substr(20000));
  CommandResult r = e2e::Run({Mpgsource(), "index", TempDir() + "/mid.m2v"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.rfind("mpgsource: warning: ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("mpgsource-index"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace e2e
