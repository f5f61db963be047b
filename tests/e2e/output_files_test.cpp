// What the programs write, through the real command-line host, indexer program, plugin and
// decoding server: never onto what a run reads or onto a link, FIFO or device; a read-only file
// only when forced; nothing half-made when a run fails or is killed; and the exit status tells
// when standard output could not be written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A folder holding a copy of a clip ("v.m2v") and its project ("p.vnt", which names the video by
// a relative path).
struct Clip {
  std::string dir, video, project;
};

Clip MakeClip() {
  Clip clip;
  clip.dir = TempDir();
  clip.video = clip.dir + "/v.m2v";
  clip.project = clip.dir + "/p.vnt";
  fs::copy_file(MediaPath("es576i_open.m2v"), clip.video, fs::copy_options::overwrite_existing);
  CommandResult r = e2e::Run({Mpgsource(), "index", clip.video, "-o", clip.project});
  EXPECT_EQ(r.status, 0) << r.err;
  return clip;
}

// Each target that `pipe -o` must refuse, made in the clip's folder, and the reason given.
struct Refused {
  const char* target;
  const char* reason;
};

class PipeRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(PipeRefuses, TheTargetAndEveryInputStayAsTheyWere) {
  Server server;
  const Clip clip = MakeClip();
  const std::string name = GetParam().target;
  ASSERT_EQ(link(clip.project.c_str(), (clip.dir + "/hard.vnt").c_str()), 0);
  fs::create_symlink("v.m2v", clip.dir + "/video-link.y4m");
  fs::create_symlink(clip.dir + "/none.y4m", clip.dir + "/dangling.y4m");
  ASSERT_EQ(mkfifo((clip.dir + "/fifo.y4m").c_str(), 0600), 0);
  WriteText(clip.dir + "/read-only.y4m", "kept");
  ASSERT_EQ(chmod((clip.dir + "/read-only.y4m").c_str(), 0444), 0);
  const std::string target = name.empty() || name[0] == '/' ? name : clip.dir + "/" + name;
  const std::string video = ReadText(clip.video), project = ReadText(clip.project);
  const std::set<std::string> entries = Entries(clip.dir);

  CommandResult r = e2e::Run({Mpgsource(), "pipe", clip.project, "-o", target, "--frames", "0-2"});
  EXPECT_EQ(r.status, name.empty() ? 2 : 1) << "2: a command line not understood";
  EXPECT_EQ(r.out, "");
  const std::string expected = name.empty() ? "mpgsource: -o needs a file name, not an empty one\n"
                                            : "mpgsource: will not write the stream \"" + target +
                                                  "\": " + GetParam().reason + "\n";
  EXPECT_EQ(r.err, expected);
  EXPECT_EQ(ReadText(clip.video), video);
  EXPECT_EQ(ReadText(clip.project), project);
  EXPECT_EQ(ReadText(clip.dir + "/read-only.y4m"), "kept");
  EXPECT_TRUE(fs::is_fifo(clip.dir + "/fifo.y4m"));
  EXPECT_TRUE(fs::is_symlink(clip.dir + "/dangling.y4m"));
  EXPECT_EQ(Entries(clip.dir), entries);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, PipeRefuses,
    ::testing::Values(Refused{"v.m2v", "it is the video being read"},
                      Refused{"./v.m2v", "it is the video being read"},
                      Refused{"video-link.y4m", "it is the video being read"},
                      Refused{"p.vnt", "it is the project being read"},
                      Refused{"hard.vnt", "it is the project being read"},
                      Refused{"dangling.y4m", "it is a symbolic link"},
                      Refused{"fifo.y4m", "it is a FIFO"}, Refused{"/dev/null", "it is a device"},
                      Refused{".", "it is a folder"},
                      Refused{"read-only.y4m", "it is read-only (--force replaces it)"},
                      Refused{"", ""}));

TEST(PipeToAFile, AFailedOrKilledRunLeavesNoFileAndACompleteOneReplacesTheOld) {
  Server server;
  const Clip clip = MakeClip();
  const std::string out = clip.dir + "/out.y4m";
  const std::set<std::string> entries = Entries(clip.dir);
  // A frame beyond the clip fails the run after the stream's header was made.
  CommandResult r =
      e2e::Run({Mpgsource(), "pipe", clip.project, "-o", out, "--frames", "0-2,100000"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Entries(clip.dir), entries);
  // Killed at any point: before, while or after frames are written, never a file cut short.
  for (int delayMs : {0, 20, 200}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      execl(Mpgsource().c_str(), "mpgsource", "pipe", clip.project.c_str(), "-o", out.c_str(),
            "--no-server", static_cast<char*>(nullptr));
      _exit(127);
    }
    usleep(delayMs * 1000);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (fs::exists(out)) {
      EXPECT_EQ(fs::file_size(out), (6 + 720 * 576 * 3 / 2) * 150 + ReadText(out).find('\n') + 1)
          << "only a complete stream";
      fs::remove(out);
    }
    EXPECT_EQ(Entries(clip.dir), entries) << "killed after " << delayMs << " ms";
  }
  // A complete run replaces the old file; a read-only one only with --force.
  WriteText(out, "old");
  r = e2e::Run({Mpgsource(), "pipe", clip.project, "-o", out, "--frames", "3", "--no-server"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string header = "YUV4MPEG2 W720 H576 F25:1 It A1:1 C420mpeg2\n";
  EXPECT_EQ(ReadText(out).substr(0, header.size() + 6), header + "FRAME\n");
  EXPECT_EQ(fs::file_size(out), header.size() + 6 + 720 * 576 * 3 / 2);
  WriteText(out, "old");
  ASSERT_EQ(chmod(out.c_str(), 0444), 0);
  r = e2e::Run({Mpgsource(), "pipe", clip.project, "-o", out, "--frames", "3", "--no-server"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadText(out), "old");
  r = e2e::Run(
      {Mpgsource(), "pipe", clip.project, "-o", out, "--frames", "3", "--no-server", "--force"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::file_size(out), header.size() + 6 + 720 * 576 * 3 / 2);
}

TEST(IndexOutput, ReadOnlyProjectEmptyNameAndAFailedTimestampsWrite) {
  const std::string dir = TempDir();
  const std::string video = MediaPath("es576i_open.m2v");
  const std::string project = dir + "/p.vnt";
  WriteText(project, "kept\n");
  ASSERT_EQ(chmod(project.c_str(), 0444), 0);
  CommandResult r = e2e::Run({Mpgsource(), "index", video, "-o", project});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "mpgsource: will not write the project \"" + project +
                       "\": it is read-only (--force replaces it)\n");
  EXPECT_EQ(ReadText(project), "kept\n");
  r = e2e::Run({Mpgsource(), "index", video, "-o", project, "--force"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadText(project).rfind("VantuIndexFileNV1\n", 0), 0u);
  // The same through the indexer program.
  const std::string indexer = BuildDir() + "/mpgsource-index";
  ASSERT_EQ(chmod(project.c_str(), 0444), 0);
  r = e2e::Run({indexer, "--quiet", video, project});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("it is read-only"), std::string::npos) << r.err;
  r = e2e::Run({indexer, "--quiet", "--force", video, project});
  EXPECT_EQ(r.status, 0) << r.err;

  // An empty name is no name: neither the default project nor no timestamps.
  for (const char* option : {"-o", "--timestamps"}) {
    r = e2e::Run({Mpgsource(), "index", video, option, ""});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "mpgsource: " + std::string(option) + " needs a file name, not an empty one\n");
  }
  // Timestamps that cannot be written: no new project either.
  const std::string fresh = dir + "/fresh.vnt";
  r = e2e::Run({Mpgsource(), "index", video, "-o", fresh, "--timestamps", dir + "/none/t.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write the timestamps \"" + dir + "/none/t.txt\""), std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(fresh));
  r = e2e::Run({Mpgsource(), "index", video, "-o", fresh, "--timestamps", "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "mpgsource: will not write the timestamps \"/dev/full\": it is a device\n");
  EXPECT_FALSE(fs::exists(fresh));
  EXPECT_EQ(Entries(dir), std::set<std::string>{"p.vnt"});
}

// The video argument of `index` that is no regular file: refused at once, called what it is.
TEST(IndexInput, AFifoOrADeviceIsRefusedWithoutWaiting) {
  const std::string dir = TempDir();
  ASSERT_EQ(mkfifo((dir + "/fifo.m2v").c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {dir + "/fifo.m2v", "a FIFO, not a regular file"},
      {"/dev/zero", "a device, not a regular file"},
      {dir, "a folder, not a regular file"}};
  for (const auto& c : cases) {
    for (const char* command : {"index", "list"}) {
      std::vector<std::string> argv = {Mpgsource(), "index", c.first, "-o", dir + "/p.vnt"};
      if (std::string(command) == "list") argv = {Mpgsource(), "index", c.first, "--list"};
      CommandResult r = e2e::Run(argv);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "mpgsource: cannot read \"" + c.first + "\": " + c.second + "\n");
    }
  }
  EXPECT_FALSE(fs::exists(dir + "/p.vnt"));
}

// Every program: --version names it, and the exit status says success (0), failure (1) or a
// command line not understood (2).
TEST(CommandLine, VersionAndExitStatusOfEveryProgram) {
  const std::string video = MediaPath("es576i_open.m2v");
  const std::string dir = TempDir();
  const std::string index = BuildDir() + "/mpgsource-index";
  const std::string server = BuildDir() + "/mpgsource-server";
  struct Case {
    std::vector<std::string> argv;
    int status;
  };
  const Case cases[] = {
      {{Mpgsource(), "--version"}, 0},
      {{index, "--version"}, 0},
      {{server, "--version"}, 0},
      {{Mpgsource(), "index", video, "--bogus"}, 2},
      {{index, "--bogus", video}, 2},
      {{server, "--bogus"}, 2},
      {{server, "--clients", "0"}, 2},
      {{Mpgsource(), "hash", dir + "/p.vnt", "--deinterlace", "3"}, 2},
      {{Mpgsource(), "index", dir + "/none.m2v", "-o", dir + "/p.vnt"}, 1},
      {{index, dir + "/none.m2v", dir + "/p.vnt"}, 1},
      // The indexer program takes the flags of `mpgsource index`.
      {{index, video, "-o", dir + "/q.vnt", "--crop", "2,2,0,0", "--timestamps", dir + "/t.txt",
        "--quiet"},
       0},
      {{index, video, "--list"}, 0},
  };
  for (const Case& c : cases) {
    CommandResult r = e2e::Run(c.argv);
    EXPECT_EQ(r.status, c.status) << c.argv[0] << " " << c.argv[1] << ": " << r.err;
    if (c.argv.back() == "--version") {
      const std::string name = c.argv[0].substr(c.argv[0].rfind('/') + 1);
      EXPECT_EQ(r.out.rfind(name + " ", 0), 0u) << r.out;
    }
  }
  EXPECT_EQ(ReadText(dir + "/t.txt").rfind("# timestamp format v2\n", 0), 0u);
}

// Help and output that cannot be written to standard output fail the program.
TEST(StandardOutput, HelpThatCannotBeWrittenFailsEveryProgram) {
  const std::string project = IndexVideo(MediaPath("es576i_open.m2v"));
  const std::string quoted = "'" + Mpgsource() + "' ";
  for (const std::string& command :
       {quoted + "--help", quoted + "index --help", quoted + "pipe --help",
        quoted + "index '" + MediaPath("es576i_open.m2v") + "' --list",
        "'" + BuildDir() + "/mpgsource-index' --help",
        "'" + BuildDir() + "/mpgsource-server' --help"}) {
    CommandResult r = e2e::Run({"sh", "-c", command + " >/dev/full"});
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.err.find("could not write to standard output: No space left on device\n"),
              std::string::npos)
        << command << ": " << r.err;
    r = e2e::Run({"sh", "-c", command + " >/dev/null"});
    EXPECT_EQ(r.status, 0) << command << ": " << r.err;
  }
}

// The YUV4MPEG2 header carries the stream's sample aspect ratio, as ffprobe reads it.
TEST(PipeHeader, SampleAspectRatioIsTheStreams) {
  Server server;
  const std::string dir = TempDir();
  const std::string video = dir + "/wide.m2v";
  CommandResult r =
      e2e::Run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=720x576:rate=25",
                "-frames:v", "6", "-aspect", "16:9", "-c:v", "mpeg2video", video});
  ASSERT_EQ(r.status, 0) << r.err;
  r = e2e::Run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                "stream=sample_aspect_ratio", "-of", "default=nw=1:nk=1", video});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string sar = r.out.substr(0, r.out.find('\n'));
  ASSERT_EQ(sar, "64:45");
  const std::string project = IndexVideo(video);
  r = e2e::Run({Mpgsource(), "pipe", project, "--frames", "0", "--no-server"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string header = r.out.substr(0, r.out.find('\n'));
  EXPECT_NE(header.find(" A" + sar + " "), std::string::npos) << header;
}

}  // namespace
}  // namespace e2e
