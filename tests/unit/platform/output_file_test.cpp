// The output rule on real files: what is refused (by identity, type and permission), what is
// replaced, and that a run that fails, or is killed, leaves nothing beside the target.
#include "platform/output_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using platform::OutputFile;
using platform::OutputRule;

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/mpg-output-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dir_ = folder;
    WriteText(File("video.m2v"), "video bytes");
    rule_.what = "the project";
    rule_.inputs = {{File("video.m2v"), "the video being read"}};
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
  // Writes `text` to `path` by the rule; the error when it is refused or fails.
  std::string Write(const std::string& path, const std::string& text) {
    OutputFile out;
    std::string error;
    if (!out.Open(path, rule_, &error)) return error;
    std::fputs(text.c_str(), out.stream());
    if (!out.Finish(&error) || !out.Commit(&error)) return error;
    return "";
  }

  std::string dir_;
  OutputRule rule_;
};

// Each refused target: how it is made, and what the message says.
struct Refused {
  const char* name;
  const char* reason;
};

class OutputFileRefuses : public OutputFileTest, public ::testing::WithParamInterface<Refused> {};

TEST_P(OutputFileRefuses, LeavesTheEntryAndTheFolderAsTheyWere) {
  const std::string name = GetParam().name;
  const std::string kept = File("kept.vnt");
  WriteText(kept, "kept\n");
  std::string target = File(name);
  if (name == "hard.m2v") {
    ASSERT_EQ(link(File("video.m2v").c_str(), target.c_str()), 0);
  }
  if (name == "video-link.vnt") fs::create_symlink("video.m2v", target);
  if (name == "folder-link/video.m2v") fs::create_directory_symlink(dir_, File("folder-link"));
  if (name == "link.vnt") fs::create_symlink(kept, target);
  if (name == "fifo") {
    ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
  }
  if (name == "folder") fs::create_directory(target);
  if (name == "read-only.vnt") {
    WriteText(target, "kept\n");
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
  }
  if (name == "/dev/null") target = name;
  if (name == "empty") target = "";
  if (name == "dash") target = "-";
  if (name == "ends-in-slash") target = File("new/");
  struct stat before;
  const bool existed = lstat(target.c_str(), &before) == 0;
  const std::set<std::string> entries = Entries();

  const std::string error = Write(target, "new\n");
  EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
  if (!target.empty()) {
    EXPECT_NE(error.find("\"" + target + "\""), std::string::npos) << error;
  }
  EXPECT_EQ(Entries(), entries);
  EXPECT_EQ(ReadText(File("video.m2v")), "video bytes");
  EXPECT_EQ(ReadText(kept), "kept\n");
  struct stat after;
  if (existed) {
    ASSERT_EQ(lstat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, OutputFileRefuses,
    ::testing::Values(Refused{"video.m2v", "it is the video being read"},
                      Refused{"./video.m2v", "it is the video being read"},
                      Refused{"hard.m2v", "it is the video being read"},
                      Refused{"video-link.vnt", "it is the video being read"},
                      Refused{"folder-link/video.m2v", "it is the video being read"},
                      Refused{"link.vnt", "it is a symbolic link"}, Refused{"fifo", "it is a FIFO"},
                      Refused{"folder", "it is a folder"}, Refused{"/dev/null", "it is a device"},
                      Refused{"read-only.vnt", "it is read-only (--force replaces it)"},
                      Refused{"empty", "the name is empty"},
                      Refused{"dash", "it cannot go to standard output"},
                      Refused{"ends-in-slash", "ends in a folder separator"}),
    [](const ::testing::TestParamInfo<Refused>& info) {
      std::string name = std::to_string(info.index) + "_";
      for (const char* c = info.param.name; *c != '\0'; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
      }
      return name;
    });

TEST_F(OutputFileTest, WritesANewNameAndReplacesARegularFileKeepingItsPermissions) {
  EXPECT_EQ(Write(File("new.vnt"), "one\n"), "");
  EXPECT_EQ(ReadText(File("new.vnt")), "one\n");
  ASSERT_EQ(chmod(File("new.vnt").c_str(), 0640), 0);
  EXPECT_EQ(Write(File("new.vnt"), "two\n"), "");
  EXPECT_EQ(ReadText(File("new.vnt")), "two\n");
  struct stat st;
  ASSERT_EQ(stat(File("new.vnt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // Forced, a read-only file is replaced and stays read-only.
  ASSERT_EQ(chmod(File("new.vnt").c_str(), 0444), 0);
  rule_.force = true;
  EXPECT_EQ(Write(File("new.vnt"), "three\n"), "");
  EXPECT_EQ(ReadText(File("new.vnt")), "three\n");
  ASSERT_EQ(stat(File("new.vnt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  EXPECT_EQ(Entries(), (std::set<std::string>{"new.vnt", "video.m2v"}));
  // "-" is standard output where the caller allows it.
  rule_.standardOutput = true;
  OutputFile out;
  std::string error;
  ASSERT_TRUE(out.Open("-", rule_, &error)) << error;
  EXPECT_TRUE(out.toStandardOutput());
  EXPECT_EQ(out.stream(), stdout);
}

TEST_F(OutputFileTest, AnOutputNotCommittedLeavesNothingAndTheTargetUnchanged) {
  WriteText(File("p.vnt"), "old\n");
  const std::set<std::string> entries = Entries();
  {
    OutputFile out;
    std::string error;
    ASSERT_TRUE(out.Open(File("p.vnt"), rule_, &error)) << error;
    std::fputs("half", out.stream());
    ASSERT_TRUE(out.Finish(&error)) << error;
  }
  EXPECT_EQ(Entries(), entries);
  EXPECT_EQ(ReadText(File("p.vnt")), "old\n");
  // The target turned into something else between opening and renaming: checked again.
  OutputFile out;
  std::string error;
  ASSERT_TRUE(out.Open(File("p.vnt"), rule_, &error)) << error;
  std::fputs("new", out.stream());
  ASSERT_TRUE(out.Finish(&error)) << error;
  ASSERT_EQ(unlink(File("p.vnt").c_str()), 0);
  ASSERT_EQ(mkfifo(File("p.vnt").c_str(), 0600), 0);
  EXPECT_FALSE(out.Commit(&error));
  EXPECT_NE(error.find("it is a FIFO"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_fifo(File("p.vnt")));
  EXPECT_EQ(Entries(), entries);
  // A folder that cannot be written: the reason is the system's.
  EXPECT_NE(Write(File("none/p.vnt"), "x").find("No such file or directory"), std::string::npos);
}

TEST_F(OutputFileTest, AProcessKilledWhileWritingLeavesNothing) {
  WriteText(File("p.vnt"), "old\n");
  const std::set<std::string> entries = Entries();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    OutputFile out;
    std::string error;
    if (!out.Open(File("p.vnt"), rule_, &error)) _exit(1);
    std::fputs("half a project", out.stream());
    out.Finish(&error);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  ASSERT_EQ(kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(Entries(), entries);
  EXPECT_EQ(ReadText(File("p.vnt")), "old\n");
}

}  // namespace
