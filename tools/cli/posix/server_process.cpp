#include "tools/cli/server_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/section.h"
#include "platform/thread.h"
#include "server-link/section_layout.h"

namespace cli {

std::string ProgramFolder() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return std::string();
  const std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

std::string ServerProgram() {
  if (const char* env = std::getenv("MPGSOURCE_SERVER")) return env;
  const std::string folder = ProgramFolder();
  const std::string candidate = folder + "mpgsource-server";
  if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  return "mpgsource-server";
}

int RunServerInForeground(const std::vector<std::string>& serverArgs, std::string* error) {
  std::string program = ServerProgram();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : serverArgs) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execvp(program.c_str(), argv.data());
  *error = "could not run the decoding server " + program + ": " + std::strerror(errno);
  return 1;
}

struct StartedServer::Process {
  pid_t pid = -1;
};

StartedServer::StartedServer() = default;

StartedServer::~StartedServer() {
  Stop();
}

bool StartedServer::Start(std::string* error) {
  std::string program = ServerProgram();
  // A namespace of this process's own: no other host finds this server, and this host never
  // finds, uses or stops another's. Its random part keeps anyone from guessing the names and
  // making objects under them first.
  const char* outer = std::getenv("MPGSOURCE_IPC_NAMESPACE");
  std::string space = outer && *outer ? std::string(outer) + "." : std::string();
  unsigned char secret[16];
  if (getrandom(secret, sizeof secret, 0) != static_cast<ssize_t>(sizeof secret)) {
    *error = std::string("could not start the decoding server: no random name (") +
             std::strerror(errno) + ")";
    return false;
  }
  space += "cli" + std::to_string(getpid()) + ".";
  for (unsigned char byte : secret) {
    space += "0123456789abcdef"[byte >> 4];
    space += "0123456789abcdef"[byte & 15];
  }
  setenv("MPGSOURCE_IPC_NAMESPACE", space.c_str(), 1);
  const pid_t parent = getpid();
  const std::string parentId = std::to_string(parent);  // no allocation between fork and exec
  pid_t pid = fork();
  if (pid < 0) {
    *error = "could not start the decoding server (fork failed)";
    return false;
  }
  if (pid == 0) {
    // The server ends with this process, however this process ends (a signal, a crash): the kernel
    // sends it SIGTERM, on which it removes its objects. A parent that died before the request
    // took effect is caught by the check after it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    // The server's output would mix with ours (a Y4M stream may be on stdout): send it to stderr.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    // The server also watches this process itself, in case the kernel's signal is lost (the
    // request belongs to the thread that forked, and is dropped by some exec transitions).
    execlp(program.c_str(), program.c_str(), "--clients", "1", "--parent", parentId.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  process_.reset(new Process{pid});
  for (int waited = 0; waited < 10000; waited += 10) {
    if (ServerRunning()) return true;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      process_.reset();
      *error = "the decoding server " + program + " exited at start";
      return false;
    }
    platform::Sleep(10);
  }
  Stop();
  *error = "the decoding server " + program + " did not come up within 10 seconds";
  return false;
}

void StartedServer::Stop() {
  if (!process_) return;
  kill(process_->pid, SIGTERM);
  int status = 0;
  waitpid(process_->pid, &status, 0);
  process_.reset();
}

}  // namespace cli
