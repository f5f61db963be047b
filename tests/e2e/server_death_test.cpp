// A decoding server that dies in the middle of a run: the host's request fails with a clear
// message instead of hanging, and a clip made once a new server runs works again.
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

}  // namespace
}  // namespace e2e
