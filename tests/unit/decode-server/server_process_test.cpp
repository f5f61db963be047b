// The mpgsource-server executable as a real process: start message, refusal while another server
// lives, clean-up on SIGTERM, a stale section left by a killed server, clients that die in the
// middle of a run, and a client that cuts its section short.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode-server/picture_writer.h"
#include "platform/event.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "server-link/client_slots.h"
#include "server-link/picture_pool.h"
#include "server-link/section_layout.h"
#include "tests/unit/decode-server/media_helpers.h"
#include "tests/unit/decode-server/test_client.h"

extern char** environ;

namespace decode_server {
namespace {

using decode_server_test::FfmpegFrameMd5;
using decode_server_test::TakenPicture;
using decode_server_test::TestClient;
using decode_server_test::TestStream;

// A server process with its standard output and error in pipes.
class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> args = {}) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<std::string> all{MPGSOURCE_SERVER_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, MPGSOURCE_SERVER_PATH, &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  // Stops a server still running as its users do (SIGTERM), so that it removes its objects; one
  // that does not end within 10 s is killed.
  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      if (WaitForExit() < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    close(out_);
    close(err_);
  }

  // Reads standard output until it holds `text` (true) or `ms` pass.
  bool WaitForOutput(const std::string& text, int ms = 10000) {
    return ReadUntil(out_, &stdout_, text, ms);
  }
  // Reads standard error until `text` has appeared `times` times (true) or `ms` pass.
  bool WaitForError(const std::string& text, int times, int ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int found = 0;
      for (size_t at = stderr_.find(text); at != std::string::npos;
           at = stderr_.find(text, at + 1)) {
        ++found;
      }
      if (found >= times) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      ReadUntil(err_, &stderr_, "\x01", 50);
    }
  }
  // Waits for the process to end; its exit status, or -1 after `ms`.
  int WaitForExit(int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 10) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        ReadUntil(out_, &stdout_, "\x01", 0);
        ReadUntil(err_, &stderr_, "\x01", 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      platform::Sleep(10);
    }
    return -1;
  }
  void Signal(int signal) { kill(pid_, signal); }
  const std::string& out() const { return stdout_; }
  const std::string& err() const { return stderr_; }

 private:
  static bool ReadUntil(int fd, std::string* text, const std::string& wanted, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if (text->find(wanted) != std::string::npos) return true;
      const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, left > 0 ? left : 0) <= 0) return false;
      char buffer[4096];
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0) return text->find(wanted) != std::string::npos;
      text->append(buffer, static_cast<size_t>(got));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string stdout_, stderr_;
};

// Names under /dev/shm that belong to the test's name space.
int SharedObjectsOf(const std::string& space) {
  int count = 0;
  DIR* dir = opendir("/dev/shm");
  if (!dir) return -1;
  while (dirent* entry = readdir(dir))
    count += std::string(entry->d_name).find(space) != std::string::npos;
  closedir(dir);
  return count;
}

bool ServerRunning() {
  bool existed = false;
  platform::Handle section =
      platform::CreateSection(server::kSectionName, server::kSectionSize, &existed);
  platform::CloseHandle(section);
  return existed;
}

// Takes a whole run from GOP `gop` and compares it with ffmpeg's decode.
void ExpectCleanRun(TestClient& client, const TestStream& stream, size_t gop) {
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
  const int first = stream.gops[gop].firstPicture;
  const int leading = stream.LeadingBs(gop);
  ASSERT_TRUE(client.Stop());
  client.StartFeeding(&stream.bytes, stream.UnitsFrom(gop));
  for (int k = 0; first + k < stream.frames; ++k) {
    const TakenPicture picture = client.Take();
    ASSERT_TRUE(picture.ok) << k;
    ASSERT_EQ(picture.index(), k);
    ASSERT_EQ(picture.md5, reference[first + std::max(k, leading)]) << k;
  }
  client.JoinFeeding();
  EXPECT_TRUE(client.endAnswered());
}

TEST(ServerProcess, StartsRefusesASecondServerAndCleansUpOnSigterm) {
  const std::string space = decode_server_test::UseFreshNamespace("proc");
  ServerProcess first({"--verbose"});
  ASSERT_TRUE(first.WaitForOutput("\n")) << first.err();
  EXPECT_NE(first.out().find("serving \"NVSharedMem\""), std::string::npos) << first.out();
  EXPECT_EQ(first.out().find('\n'), first.out().size() - 1) << "one start line";
  ASSERT_TRUE(ServerRunning());

  ServerProcess second;
  EXPECT_EQ(second.WaitForExit(), 1);
  EXPECT_NE(second.err().find("another mpgsource-server running"), std::string::npos)
      << second.err();
  ASSERT_TRUE(ServerRunning()) << "the refused server must leave the running one alone";
  {
    TestClient client;  // the first server still serves, with its events intact
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Init(0, true));
    const TestStream& stream = decode_server_test::Media("es1080p_closed.m2v");
    ExpectCleanRun(client, stream, stream.gops.size() - 1);
  }
  first.Signal(SIGTERM);
  EXPECT_EQ(first.WaitForExit(), 0);
  EXPECT_NE(first.err().find("run 1 decoded: first GOP"), std::string::npos) << first.err();
  EXPECT_FALSE(ServerRunning());
  EXPECT_EQ(SharedObjectsOf(space), 0) << "section and events removed";
}

TEST(ServerProcess, ServesAsManyClientsAsAskedAndRefusesOtherCounts) {
  const std::string space = decode_server_test::UseFreshNamespace("clients");
  for (const char* bad : {"0", "17", "2x", ""}) {
    ServerProcess refused({"--clients", bad});
    EXPECT_EQ(refused.WaitForExit(), 2) << bad;
    EXPECT_NE(refused.err().find("--clients wants a number from 1 to 16"), std::string::npos)
        << refused.err();
  }
  for (int clients : {3, 6, 16}) {
    ServerProcess server({"--clients", std::to_string(clients)});
    ASSERT_TRUE(server.WaitForOutput("\n")) << server.err();
    EXPECT_NE(server.out().find("for up to " + std::to_string(clients) + " clients"),
              std::string::npos)
        << server.out();
    // Slot 0 with the plain names, then slots 1 and up: a section, five events and a picture
    // pool each.
    EXPECT_EQ(SharedObjectsOf(space), 7 * clients);
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(), 0);
    EXPECT_EQ(SharedObjectsOf(space), 0) << clients << " clients: every slot's objects removed";
  }
}

// A client of the same user cuts its slot's section short (ftruncate to 0): where the server meets
// the cut, on the client's next request or when it writes the client's next picture, it drops the
// client's run, restores the section and goes on; the other slot is served throughout, and the
// cut slot serves its next client. The picture pool is guarded alike: a client that takes its
// pictures there cuts it short, and the server meets the cut when it decodes the next picture.
struct Cut {
  const char* name;
  const char* section;  // the section cut
  uint32_t size;        // its size
  bool atPicture;       // cut after a picture was taken, not before a request
};

class SectionCutShort : public ::testing::TestWithParam<Cut> {};

TEST_P(SectionCutShort, ServerSurvivesAndServesTheOtherSlots) {
  const Cut& cut = GetParam();
  const bool atPicture = cut.atPicture;
  const bool pool = cut.size == server::kPoolSectionSize;
  const std::string space = decode_server_test::UseFreshNamespace("cut");
  ServerProcess server({"--clients", "2"});
  ASSERT_TRUE(server.WaitForOutput("serving")) << server.err();
  const TestStream& stream = decode_server_test::Media("es576i_open.m2v");
  FfmpegFrameMd5(stream.path, "");  // before fork: the child must not run ffmpeg
  TestClient other;
  ASSERT_TRUE(other.Connect(0));
  ASSERT_TRUE(other.Init(0, true));
  const std::string file =
      "/dev/shm/mpgsource.u" + std::to_string(geteuid()) + "." + space + "." + cut.section + ".1";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TestClient client;
    if (!client.Connect(1) || !client.Init(0, true, pool) || !client.Stop()) _exit(3);
    if (atPicture) {
      client.StartFeeding(&stream.bytes, stream.UnitsFrom(1));
      if (!client.Take().ok) _exit(4);
    }
    if (truncate(file.c_str(), 0) != 0) _exit(5);
    if (atPicture) {
      client.Take();  // the client's own view faults as well once the server answers
    } else {
      // A request on the cut section, sent without touching the client's own view.
      std::string error;
      platform::Handle exec =
          platform::OpenOwnedEvent((std::string(server::kExecEventName) + ".1").c_str(), &error);
      platform::Handle done =
          platform::OpenOwnedEvent((std::string(server::kDoneEventName) + ".1").c_str(), &error);
      platform::SetEvent(exec);
      if (platform::WaitForEvent(done, decode_server_test::kTestTimeoutMs) !=
          platform::kWaitObject0) {
        _exit(6);
      }
    }
    _exit(0);
  }
  // The child's own steps are each bounded by kTestTimeoutMs; on a loaded machine they may take
  // longer together than the usual ten seconds.
  ASSERT_TRUE(
      server.WaitForError("cut the shared section short; its run was dropped and the "
                          "section restored",
                          1, 3 * static_cast<int>(decode_server_test::kTestTimeoutMs)))
      << server.err();
  int status = 0;
  waitpid(child, &status, 0);
  if (!atPicture) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  struct stat info;
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, static_cast<off_t>(cut.size));
  ExpectCleanRun(other, stream, 3);
  TestClient next;
  ASSERT_TRUE(next.Connect(1));
  ASSERT_TRUE(next.Init(0, true));
  ExpectCleanRun(next, stream, 2);
  next.Disconnect();
  other.Disconnect();
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitForExit(), 0) << server.err();
  EXPECT_EQ(SharedObjectsOf(space), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Where, SectionCutShort,
    ::testing::Values(Cut{"AtRequest", server::kSectionName, server::kSectionSize, false},
                      Cut{"AtPicture", server::kSectionName, server::kSectionSize, true},
                      Cut{"PoolAtPicture", server::kPoolSectionName, server::kPoolSectionSize,
                          true}),
    [](const ::testing::TestParamInfo<Cut>& info) { return std::string(info.param.name); });

// A server told to watch a process stops as on SIGTERM once that process ends, however it ends.
TEST(ServerProcess, StopsAndCleansUpWhenTheProcessItWatchesEnds) {
  const std::string space = decode_server_test::UseFreshNamespace("parent");
  const pid_t watched = fork();
  ASSERT_GE(watched, 0);
  if (watched == 0) {
    for (;;) pause();
  }
  ServerProcess server({"--parent", std::to_string(watched), "--verbose"});
  ASSERT_TRUE(server.WaitForOutput("serving")) << server.err();
  EXPECT_TRUE(ServerRunning());
  kill(watched, SIGKILL);
  waitpid(watched, nullptr, 0);
  EXPECT_EQ(server.WaitForExit(), 0) << server.err();
  EXPECT_NE(server.out().find("stopped (Terminated)"), std::string::npos) << server.out();
  EXPECT_EQ(SharedObjectsOf(space), 0);

  ServerProcess refused({"--parent", "0"});
  EXPECT_EQ(refused.WaitForExit(), 2);
}

TEST(ServerProcess, StaleSectionOfAKilledServerIsReplaced) {
  const std::string space = decode_server_test::UseFreshNamespace("stale");
  {
    ServerProcess killed;
    ASSERT_TRUE(killed.WaitForOutput("serving"));
    killed.Signal(SIGKILL);
    killed.WaitForExit();
  }
  EXPECT_GT(SharedObjectsOf(space), 0) << "a killed server leaves its objects";
  EXPECT_FALSE(ServerRunning()) << "but no client takes them for a live server";
  {
    ServerProcess next;
    ASSERT_TRUE(next.WaitForOutput("serving")) << next.err();
    TestClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Init(0, true));
    const TestStream& stream = decode_server_test::Media("es576i_open.m2v");
    ExpectCleanRun(client, stream, stream.gops.size() - 2);
  }
  EXPECT_EQ(SharedObjectsOf(space), 0) << "the next server took the objects over and removed them";
}

// A client process killed in the middle of a run: with its feeder held back by a full queue, with
// the decoder waiting to queue pictures (two per frame, none taken), and with a picture request
// outstanding. The server serves the next client cleanly.
void ServesTheNextClientAfterOneIsKilled() {
  ServerProcess server({"--queue", "2", "--verbose"});
  ASSERT_TRUE(server.WaitForOutput("serving")) << server.err();
  const TestStream& stream = decode_server_test::Media("es576i_open.m2v");
  FfmpegFrameMd5(stream.path, "");  // before fork: the child must not run ffmpeg
  const char* variants[] = {"held back", "decoder waiting", "request outstanding"};
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variants[variant]);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ready[0]);
      TestClient client;
      if (!client.Connect() || !client.Init(variant == 1 ? 2 : 0, true) || !client.Stop()) _exit(3);
      if (variant < 2) {
        client.StartFeeding(&stream.bytes, stream.UnitsFrom(1));
        for (int k = 0; k < (variant == 0 ? 3 : 0); ++k) client.Take();
        // Until the server stops answering units: the queue is full.
        for (int seen = -1, wait = 0; wait < 100 && client.unitsAnswered() != seen; ++wait) {
          seen = client.unitsAnswered();
          platform::Sleep(100);
        }
      } else {
        client.Take(100);  // no run: the request stays outstanding
      }
      if (write(ready[1], "r", 1) != 1) _exit(4);
      for (;;) pause();
    }
    close(ready[1]);
    char byte = 0;
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 20000), 1);
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    TestClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Init(0, true)) << "the new client's set-up is answered";
    if (variant < 2) {
      EXPECT_TRUE(server.WaitForError("closed (the client went away)", variant + 1))
          << server.err();
    }
    ExpectCleanRun(client, stream, 4);
  }
}

TEST(ServerProcess, ServesTheNextClientAfterOneIsKilledMidRun) {
  const std::string space = decode_server_test::UseFreshNamespace("killed");
  ServesTheNextClientAfterOneIsKilled();
  EXPECT_EQ(SharedObjectsOf(space), 0) << "clients leave no objects; the server removed its own";
}

}  // namespace
}  // namespace decode_server
