#include "tests/e2e/e2e_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "platform/section.h"
#include "platform/thread.h"
#include "server-link/section_layout.h"

extern char** environ;

namespace e2e {

std::string BuildDir() {
  const char* dir = std::getenv("MPG_BUILD_DIR");
  return dir ? dir : ".";
}

std::string MediaPath(const std::string& name) {
  return BuildDir() + "/media/" + name;
}

std::string TempDir() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "e2e";
  std::replace(name.begin(), name.end(), '/', '_');
  std::string dir = BuildDir() + "/e2e-tmp/" + name + "." + std::to_string(getpid());
  // Made afresh once per test; later calls of the same test share it.
  static std::string made;
  if (made != dir) {
    std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    made = dir;
  }
  return dir;
}

std::string Mpgsource() {
  return BuildDir() + "/mpgsource";
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

CommandResult Run(const std::vector<std::string>& argv) {
  CommandResult result;
  const std::filesystem::path tmp = std::filesystem::temp_directory_path();
  std::string outName = (tmp / "mpg-e2e-out.XXXXXX").string();
  std::string errName = (tmp / "mpg-e2e-err.XXXXXX").string();
  int outFd = mkstemp(outName.data());
  int errFd = mkstemp(errName.data());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(outFd);
  close(errFd);
  result.out = ReadText(outName);
  result.err = ReadText(errName);
  unlink(outName.c_str());
  unlink(errName.c_str());
  return result;
}

std::vector<std::string> FfmpegMd5(const std::string& file, const std::string& vf,
                                   const std::string& pixFmt) {
  // The first video stream only: a transport stream's audio would add its own lines.
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-threads",
                                   "1",      "-i",       file, "-map",  "0:v:0"};
  if (!vf.empty()) {
    argv.push_back("-vf");
    argv.push_back(vf);
  }
  for (const std::string& a : {std::string("-f"), std::string("framemd5"), std::string("-pix_fmt"),
                               pixFmt, std::string("-")}) {
    argv.push_back(a);
  }
  CommandResult r = Run(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> md5s;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    md5s.push_back(line.substr(line.rfind(' ') + 1));
  }
  return md5s;
}

std::string IndexVideo(const std::string& video, const std::vector<std::string>& extra) {
  std::string project = TempDir() + "/project.vnt";
  std::vector<std::string> argv = {BuildDir() + "/mpgsource", "index", video, "-o", project};
  argv.insert(argv.end(), extra.begin(), extra.end());
  CommandResult r = Run(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  return project;
}

std::vector<std::pair<int, std::string>> HashFrames(const std::string& project,
                                                    const std::vector<int>& frames,
                                                    const std::vector<std::string>& clip) {
  std::string list;
  for (int n : frames) list += (list.empty() ? "" : ",") + std::to_string(n);
  std::vector<std::string> argv = {BuildDir() + "/mpgsource", "hash", project, "--no-server"};
  if (!frames.empty()) {
    argv.push_back("--frames");
    argv.push_back(list);
  }
  argv.insert(argv.end(), clip.begin(), clip.end());
  CommandResult r = Run(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::pair<int, std::string>> hashes;
  std::istringstream lines(r.out);
  int n = 0;
  std::string md5;
  while (lines >> n >> md5) hashes.emplace_back(n, md5);
  return hashes;
}

std::map<std::string, std::string> Info(const std::string& project,
                                        const std::vector<std::string>& clip) {
  std::vector<std::string> argv = {BuildDir() + "/mpgsource", "info", project, "--json",
                                   "--no-server"};
  argv.insert(argv.end(), clip.begin(), clip.end());
  CommandResult r = Run(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  // A flat JSON object of numbers and strings: "key": value pairs.
  std::map<std::string, std::string> info;
  std::string text = r.out;
  size_t pos = 0;
  while ((pos = text.find('"', pos)) != std::string::npos) {
    size_t end = text.find('"', pos + 1);
    if (end == std::string::npos) break;
    std::string key = text.substr(pos + 1, end - pos - 1);
    size_t colon = text.find(':', end);
    if (colon == std::string::npos) break;
    size_t first = text.find_first_not_of(' ', colon + 1);
    if (first != std::string::npos && text[first] == '[') {
      // An array (of objects) is kept whole, as its JSON text; its members are not keys.
      size_t close = text.find(']', first);
      if (close == std::string::npos) break;
      info[key] = text.substr(first, close - first + 1);
      pos = close + 1;
      continue;
    }
    if (first != std::string::npos && text[first] == '"') {
      // A string, which may hold commas.
      size_t close = text.find('"', first + 1);
      if (close == std::string::npos) break;
      info[key] = text.substr(first + 1, close - first - 1);
      pos = close + 1;
      continue;
    }
    size_t stop = text.find_first_of(",}", colon);
    if (stop == std::string::npos) break;
    std::string value = text.substr(colon + 1, stop - colon - 1);
    value.erase(0, value.find_first_not_of(" \""));
    value.erase(value.find_last_not_of(" \"") + 1);
    info[key] = value;
    pos = stop + 1;
  }
  return info;
}

std::map<std::string, std::vector<int>> RequestOrders(int frameCount, int shuffledCount) {
  std::map<std::string, std::vector<int>> orders;
  std::vector<int> all(frameCount);
  for (int i = 0; i < frameCount; ++i) all[i] = i;
  orders["in order"] = all;
  // Backwards over a stretch that crosses GOP boundaries: every request restarts the run.
  std::vector<int> reverse;
  for (int n = std::min(frameCount - 1, 60); n >= 0 && n >= std::min(frameCount - 1, 60) - 30; --n)
    reverse.push_back(n);
  orders["reverse"] = reverse;
  std::vector<int> shuffled = all;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(20261207));
  if (shuffledCount >= 0 && shuffledCount < frameCount) shuffled.resize(shuffledCount);
  orders["shuffled"] = shuffled;
  std::vector<int> window;
  for (int n : {0, 5, 13, 31, frameCount / 2, frameCount - 25}) {
    for (int step : {0, 9, 10, 19, 20}) {
      if (n >= 0 && n + step < frameCount) window.push_back(n + step);
    }
  }
  orders["window jumps"] = window;
  return orders;
}

Server::Server(const std::vector<std::string>& args, const std::string& logFile) {
  // One namespace for every server of this test process (a server started after another finds
  // what the other left). The process id alone may come round again while a long run goes on
  // (pid_max is often 32768), so a random part keeps it apart from every other test's.
  static const std::string space = [] {
    std::random_device random;
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
    return "e2e-" + std::to_string(getpid()) + "-" + suffix;
  }();
  space_ = space;
  setenv("MPGSOURCE_IPC_NAMESPACE", space_.c_str(), 1);
  std::string program = BuildDir() + "/mpgsource-server";
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  // The server ends with this test process however it ends, so none outlives its test.
  std::string parent = std::to_string(getpid());
  std::string parentFlag = "--parent";
  argv.push_back(const_cast<char*>(parentFlag.c_str()));
  argv.push_back(const_cast<char*>(parent.c_str()));
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    if (!logFile.empty()) {
      const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (log >= 0) dup2(log, STDERR_FILENO);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  for (int waited = 0; waited < 10000; waited += 10) {
    // A server that ended at start (its names held by another) must not pass for one that runs.
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      ADD_FAILURE() << "the decoding server ended at start (status " << status << ")";
      return;
    }
    bool existed = false;
    platform::Handle h =
        platform::CreateSection(server::kSectionName, server::kSectionSize, &existed);
    platform::CloseHandle(h);
    if (existed) return;
    platform::Sleep(10);
  }
  ADD_FAILURE() << "the decoding server did not come up";
}

std::string Server::SlotUsers() const {
  // Every process that holds one of this namespace's sections open, by the section's name.
  const std::string marker = "." + space_ + "." + server::kSectionName;
  std::map<std::string, std::string> users;
  std::error_code ec;
  for (const auto& process : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string pid = process.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fdError;
    for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", fdError)) {
      std::error_code linkError;
      const std::string target = std::filesystem::read_symlink(fd.path(), linkError).string();
      const size_t at = target.find(marker);
      if (linkError || at == std::string::npos) continue;
      users[target.substr(at + space_.size() + 2)] += " " + pid;
    }
  }
  std::string text;
  for (const auto& entry : users) text += entry.first + " held by" + entry.second + "; ";
  return text.empty() ? "no section of the server is open" : text;
}

void Server::Kill(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

Server::~Server() {
  Kill(SIGTERM);
}

}  // namespace e2e
