// Several hosts at once, through the real command-line host, plugin and decoding server: CLI runs
// that each start a server of their own, host processes that share one server, a host beyond the
// server's capacity, and CLI runs ended by signals. Every frame is compared with ffmpeg's decode;
// nothing may stay behind in /dev/shm.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"

extern char** environ;

namespace e2e {
namespace {

// Generous bound on every wait for a process, so that a fault fails the test instead of hanging
// it; no test measures time.
constexpr int kPatienceMs = 60000;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Names under /dev/shm that contain `part`.
std::vector<std::string> SharedObjects(const std::string& part) {
  std::vector<std::string> names;
  DIR* dir = opendir("/dev/shm");
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.find(part) != std::string::npos) names.push_back(name);
  }
  closedir(dir);
  return names;
}

// True once `pid` has ended (gone, or a zombie that its new parent has not reaped yet).
bool ProcessEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z';
}

// Polls `done` every 10 ms until it holds (true) or the patience runs out (false).
template <typename Condition>
bool Eventually(Condition done) {
  for (int waited = 0; waited < kPatienceMs; waited += 10) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// A program running in the background, its standard error in a file and its standard output in a
// file or the given descriptor.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const std::string& name, int outFd = -1) {
    outFile_ = TempDir() + "/" + name + ".out";
    errFile_ = TempDir() + "/" + name + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile_.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Background() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }
  // Waits for the program to end: its exit status, 128 + the signal that ended it, or -1 when it
  // did not end within the patience (it is killed then).
  int Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    const bool ended = Eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    if (!ended) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string out() const { return ReadText(outFile_); }
  std::string err() const { return ReadText(errFile_); }

 private:
  pid_t pid_ = -1;
  std::string outFile_, errFile_;
};

struct Clip {
  std::string video;
  std::string project;
  std::vector<std::string> reference;  // ffmpeg's MD5 of each frame
  std::vector<int> frames;             // the requests: every frame, shuffled
};

// Indexes `video` into a project of its own and prepares a shuffled request of every frame, so
// that each request restarts the run and the hosts' runs interleave all the time.
Clip PrepareClip(const std::string& file, unsigned seed) {
  Clip clip;
  clip.video = MediaPath(file);
  clip.project = TempDir() + "/" + file + ".vnt";
  CommandResult r = Run({BuildDir() + "/mpgsource", "index", clip.video, "-o", clip.project});
  EXPECT_EQ(r.status, 0) << r.err;
  clip.reference = FfmpegMd5(clip.video);
  for (int n = 0; n < static_cast<int>(clip.reference.size()); ++n) clip.frames.push_back(n);
  std::shuffle(clip.frames.begin(), clip.frames.end(), std::mt19937(seed));
  return clip;
}

std::vector<std::string> HashCommand(const Clip& clip, bool shareServer) {
  std::string list;
  for (int n : clip.frames) list += (list.empty() ? "" : ",") + std::to_string(n);
  std::vector<std::string> argv = {BuildDir() + "/mpgsource", "hash", clip.project, "--frames",
                                   list};
  if (shareServer) argv.push_back("--no-server");
  return argv;
}

// Every request of the run came back, in order, with ffmpeg's picture.
void ExpectExactRun(const Clip& clip, Background& run) {
  SCOPED_TRACE(clip.video);
  ASSERT_EQ(run.Wait(), 0) << run.err();
  std::istringstream lines(run.out());
  int n = 0;
  std::string md5;
  size_t served = 0;
  int wrong = 0;
  while (lines >> n >> md5) {
    ASSERT_LT(served, clip.frames.size());
    ASSERT_EQ(n, clip.frames[served]);
    if (md5 != clip.reference[n] && ++wrong <= 5) ADD_FAILURE() << "frame " << n << " differs";
    ++served;
  }
  EXPECT_EQ(served, clip.frames.size());
  EXPECT_EQ(wrong, 0);
}

// Runs one `mpgsource hash` per clip at the same time and checks each against ffmpeg.
void ServeAtOnce(const std::vector<Clip>& clips, bool shareServer) {
  std::vector<std::unique_ptr<Background>> runs;
  for (size_t i = 0; i < clips.size(); ++i) {
    runs.push_back(std::make_unique<Background>(HashCommand(clips[i], shareServer),
                                                "hash" + std::to_string(i)));
  }
  for (size_t i = 0; i < clips.size(); ++i) ExpectExactRun(clips[i], *runs[i]);
}

// The test's own IPC namespace, so that what it leaves behind can be told apart.
std::string UseNamespace() {
  const std::string space = "e2e-clients-" + std::to_string(getpid());
  setenv("MPGSOURCE_IPC_NAMESPACE", space.c_str(), 1);
  return space;
}

TEST(SeveralClients, CliRunsAtOnceEachServedExactlyByAServerOfItsOwn) {
  const std::string space = UseNamespace();
  const std::vector<Clip> clips = {PrepareClip("es576i_open.m2v", 1),
                                   PrepareClip("es480i_bff.m2v", 2),
                                   PrepareClip("es1080p_closed.m2v", 3)};
  {
    SCOPED_TRACE("two runs");
    ServeAtOnce({clips[0], clips[1]}, false);
  }
  {
    SCOPED_TRACE("three runs");
    ServeAtOnce(clips, false);
  }
  EXPECT_TRUE(SharedObjects(space).empty()) << "each run's server removed its objects";
}

TEST(SeveralClients, HostProcessesAtOnceShareOneServerExactly) {
  const std::vector<Clip> clips = {PrepareClip("es576i_open.m2v", 4), PrepareClip("ts576i.ts", 5),
                                   PrepareClip("es1080p_closed.m2v", 6)};
  std::string space;
  {
    Server server;
    space = server.space();
    {
      SCOPED_TRACE("two hosts");
      ServeAtOnce({clips[0], clips[1]}, true);
    }
    {
      SCOPED_TRACE("three hosts");
      ServeAtOnce(clips, true);
    }
  }
  EXPECT_TRUE(SharedObjects("." + space + ".").empty());
}

// A host that holds the only connection of a one-client server: its Y4M stream goes into a pipe
// that nobody reads, so it stays in the middle of its first frame.
TEST(SeveralClients, HostBeyondTheServersCapacityIsRefusedUntilASlotIsFree) {
  Clip clip = PrepareClip("es576i_open.m2v", 7);
  Server server({"--clients", "1"});
  int stalled[2];
  ASSERT_EQ(pipe2(stalled, O_CLOEXEC), 0);
  auto holder = std::make_unique<Background>(
      std::vector<std::string>{BuildDir() + "/mpgsource", "pipe", clip.project, "--no-server"},
      "holder", stalled[1]);
  close(stalled[1]);
  // The holder has connected once its Y4M header has arrived.
  char byte = 0;
  ASSERT_EQ(read(stalled[0], &byte, 1), 1);

  CommandResult refused =
      e2e::Run({BuildDir() + "/mpgsource", "info", clip.project, "--no-server"});
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.err.find("MPGSource: CUVID Server is busy"), std::string::npos) << refused.err;
  EXPECT_TRUE(refused.out.empty());

  // A killed host's connection is free again at once.
  holder.reset();
  close(stalled[0]);
  auto hashes = HashFrames(clip.project, {140, 7, 75});
  ASSERT_EQ(hashes.size(), 3u);
  EXPECT_EQ(hashes[0].second, clip.reference[140]);
  EXPECT_EQ(hashes[1].second, clip.reference[7]);
  EXPECT_EQ(hashes[2].second, clip.reference[75]);
}

// A CLI run ended by a signal takes its server with it, and the server's shared memory.
class CliEndedBySignal : public ::testing::TestWithParam<int> {};

TEST_P(CliEndedBySignal, LeavesNoServerAndNoSharedMemory) {
  const int signal = GetParam();
  const std::string space = UseNamespace();
  Clip clip = PrepareClip("es576i_open.m2v", 8);
  int stalled[2];
  ASSERT_EQ(pipe2(stalled, O_CLOEXEC), 0);
  Background cli({BuildDir() + "/mpgsource", "pipe", clip.project}, "pipe", stalled[1]);
  close(stalled[1]);
  ASSERT_GT(cli.pid(), 0);
  // Once the Y4M header arrives the run has its server and its clip.
  char byte = 0;
  ASSERT_EQ(read(stalled[0], &byte, 1), 1);
  const std::string own = space + ".cli" + std::to_string(cli.pid()) + ".";
  EXPECT_FALSE(SharedObjects(own).empty()) << "the run's server serves in its own namespace";
  // Its names go on with 128 random bits, so that nobody can make objects under them first.
  for (const std::string& name : SharedObjects(own)) {
    const std::string rest = name.substr(name.find(own) + own.size());
    EXPECT_TRUE(rest.size() > 33 && rest[32] == '.' &&
                rest.find_first_not_of("0123456789abcdef") == 32)
        << name;
  }
  std::ifstream children("/proc/" + std::to_string(cli.pid()) + "/task/" +
                         std::to_string(cli.pid()) + "/children");
  pid_t server = -1;
  ASSERT_TRUE(children >> server) << "the run started a server";

  if (signal == SIGPIPE) {
    // As `mpgsource pipe ... | head` sees it: the reader goes away.
    close(stalled[0]);
  } else {
    kill(cli.pid(), signal);
  }
  EXPECT_EQ(cli.Wait(), 128 + signal) << cli.err();
  EXPECT_TRUE(Eventually([&] { return ProcessEnded(server); })) << "the server lives on";
  EXPECT_TRUE(Eventually([&] { return SharedObjects(own).empty(); }))
      << SharedObjects(own).size() << " objects left";
  if (signal != SIGPIPE) close(stalled[0]);
}

INSTANTIATE_TEST_SUITE_P(Signals, CliEndedBySignal, ::testing::Values(SIGTERM, SIGHUP, SIGPIPE),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGTERM  ? "Sigterm"
                                              : info.param == SIGHUP ? "Sighup"
                                                                     : "Sigpipe");
                         });

}  // namespace
}  // namespace e2e
