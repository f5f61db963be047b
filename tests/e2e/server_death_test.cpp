// A decoding server that dies or goes silent in the middle of a run: the host's request fails with
// a clear message instead of hanging, a server that resumes within the bound still serves exact
// frames, and a clip made once a new server runs works again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

TEST(ServerDeath, ARequestFailsClearlyAndANewServerServesAgain) {
  std::string project = IndexVideo(MediaPath("es576i_open.m2v"));
  std::string errFile = TempDir() + "/hash.err";
  std::string outFile = TempDir() + "/hash.out";
  std::string list;
  for (int i = 0; i < 150; ++i) list += (i ? "," : "") + std::to_string((i * 37) % 150);

  pid_t host = -1;
  {
    Server server;
    // Shuffled requests restart the run each time, so the host is busy for a good while.
    host = fork();
    if (host == 0) {
      int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, STDERR_FILENO);
      dup2(out, STDOUT_FILENO);
      std::string cli = BuildDir() + "/mpgsource";
      execl(cli.c_str(), cli.c_str(), "hash", project.c_str(), "--no-server", "--frames",
            list.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Kill the server once the host has served a few frames (each line is one frame).
    for (int waited = 0; waited < 30000; waited += 10) {
      std::ifstream out(outFile);
      std::string line;
      int lines = 0;
      while (std::getline(out, line)) ++lines;
      if (lines >= 3) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    server.Kill(SIGKILL);
  }
  // The host must give up on its own, well within a few seconds.
  int status = 0;
  bool ended = false;
  for (int waited = 0; waited < 10000 && !ended; waited += 20) {
    ended = waitpid(host, &status, WNOHANG) == host;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!ended) {
    kill(host, SIGKILL);
    waitpid(host, &status, 0);
    FAIL() << "the host hung after its server was killed";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  std::ifstream in(errFile);
  std::stringstream err;
  err << in.rdbuf();
  EXPECT_NE(err.str().find("MPGSource: CUVID Server is no longer running!"), std::string::npos)
      << err.str();

  // The killed server left its objects behind; a new server takes over and serves.
  Server restarted;
  std::vector<std::string> reference = FfmpegMd5(MediaPath("es576i_open.m2v"));
  auto hashes = HashFrames(project, {40, 3, 149});
  ASSERT_EQ(hashes.size(), 3u);
  EXPECT_EQ(hashes[0].second, reference[40]);
  EXPECT_EQ(hashes[1].second, reference[3]);
  EXPECT_EQ(hashes[2].second, reference[149]);
}

// A host child: `mpgsource hash PROJECT --no-server --frames LIST` run in `folder` (where a
// defaults file may set the answer time-out), stdout and stderr into files there.
pid_t StartHost(const std::string& folder, const std::string& project, const std::string& list) {
  // Absolute paths: the child runs in `folder`.
  char* cli = realpath((BuildDir() + "/mpgsource").c_str(), nullptr);
  char* vnt = realpath(project.c_str(), nullptr);
  if (cli == nullptr || vnt == nullptr) {
    ADD_FAILURE() << "cannot resolve the host or the project";
    return -1;
  }
  const pid_t host = fork();
  if (host == 0) {
    if (chdir(folder.c_str()) != 0) _exit(126);
    int err = open("hash.err", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int out = open("hash.out", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, STDERR_FILENO);
    dup2(out, STDOUT_FILENO);
    execl(cli, cli, "hash", vnt, "--no-server", "--frames", list.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  free(cli);
  free(vnt);
  return host;
}

void WaitForLines(const std::string& path, int count) {
  for (int waited = 0; waited < 30000; waited += 5) {
    std::ifstream out(path);
    std::string line;
    int lines = 0;
    while (std::getline(out, line)) ++lines;
    if (lines >= count) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The host's exit status, or -1 (the host killed) when it did not end within `limitMs`.
int WaitForHost(pid_t host, int limitMs) {
  int status = 0;
  for (int waited = 0; waited < limitMs; waited += 20) {
    if (waitpid(host, &status, WNOHANG) == host)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(host, SIGKILL);
  waitpid(host, &status, 0);
  return -1;
}

std::string ShuffledList(int frames) {
  std::string list;
  for (int i = 0; i < frames; ++i) list += (i ? "," : "") + std::to_string((i * 37) % frames);
  return list;
}

// A server that holds its lock but answers nothing (stopped here) fails the host's request after
// the defaults file's server_timeout, with a message that names the server's process.
TEST(ServerSilence, AStoppedServerFailsTheRequestAfterTheBoundNamingItsProcess) {
  const std::string folder = TempDir();
  const std::string project = IndexVideo(MediaPath("es576i_open.m2v"));
  std::ofstream(folder + "/VantuDecodeNV.def") << "server_timeout=2\n";
  Server server;
  const pid_t host = StartHost(folder, project, ShuffledList(150));
  WaitForLines(folder + "/hash.out", 3);
  kill(server.pid(), SIGSTOP);
  const int status = WaitForHost(host, 20000);
  kill(server.pid(), SIGCONT);
  ASSERT_NE(status, -1) << "the host hung on a stopped server";
  EXPECT_NE(status, 0);
  EXPECT_NE(ReadText(folder + "/hash.err")
                .find("MPGSource: the CUVID Server (process " + std::to_string(server.pid()) +
                      ") has not answered for 2 seconds"),
            std::string::npos)
      << ReadText(folder + "/hash.err");
}

// A server stopped for a while (longer than the three seconds a stop of a run was once given) that
// resumes within the bound serves every frame exactly, whatever it was doing when it stopped.
TEST(ServerSilence, AServerThatResumesWithinTheBoundServesExactFrames) {
  const std::vector<std::string> reference = FfmpegMd5(MediaPath("es576i_open.m2v"));
  const std::string project = IndexVideo(MediaPath("es576i_open.m2v"));
  Server server;
  for (int pause : {0, 1, 2}) {
    SCOPED_TRACE("pause " + std::to_string(pause));
    const std::string folder = TempDir();
    std::ofstream(folder + "/VantuDecodeNV.def") << "server_timeout=20\n";
    const pid_t host = StartHost(folder, project, ShuffledList(150));
    WaitForLines(folder + "/hash.out", 3 + 20 * pause);
    kill(server.pid(), SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(3500 + 500 * pause));
    kill(server.pid(), SIGCONT);
    ASSERT_EQ(WaitForHost(host, 60000), 0) << ReadText(folder + "/hash.err");
    std::istringstream out(ReadText(folder + "/hash.out"));
    int n = 0, lines = 0;
    std::string md5;
    while (out >> n >> md5) {
      ++lines;
      ASSERT_TRUE(n >= 0 && n < static_cast<int>(reference.size()));
      EXPECT_EQ(md5, reference[n]) << "frame " << n;
    }
    EXPECT_EQ(lines, 150);
  }
}

}  // namespace
}  // namespace e2e
