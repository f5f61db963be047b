// Helpers for tests that use named shared objects and child processes.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace platform_test {

// Gives the test its own IPC namespace, so that tests running side by side never share objects,
// and removes whatever the test left behind under the names it lists.
class ScopedNamespace {
 public:
  ScopedNamespace() {
    static std::atomic<int> counter{0};
    space_ = "test." + std::to_string(getpid()) + "." + std::to_string(counter++);
    const char* previous = getenv("MPGSOURCE_IPC_NAMESPACE");
    hadPrevious_ = previous != nullptr;
    if (hadPrevious_) previous_ = previous;
    setenv("MPGSOURCE_IPC_NAMESPACE", space_.c_str(), 1);
  }
  ~ScopedNamespace() {
    for (const std::string& object : objects_) unlink(object.c_str());
    if (hadPrevious_) {
      setenv("MPGSOURCE_IPC_NAMESPACE", previous_.c_str(), 1);
    } else {
      unsetenv("MPGSOURCE_IPC_NAMESPACE");
    }
  }
  // The file under /dev/shm behind a section or event of this namespace; removed at the end.
  std::string SectionFile(const std::string& name) {
    return Track("/dev/shm/mpgsource." + space_ + "." + name);
  }
  std::string EventFile(const std::string& name) {
    return Track("/dev/shm/mpgsource." + space_ + ".event." + name);
  }

 private:
  std::string Track(const std::string& file) {
    objects_.push_back(file);
    return file;
  }
  std::string space_;
  std::string previous_;
  bool hadPrevious_ = false;
  std::vector<std::string> objects_;
};

// Runs `body` in a forked child; its result is the child's exit status.
inline pid_t StartChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

// Waits for the child and returns its exit status, or -1 when it did not exit normally.
inline int WaitChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int RunChild(const std::function<int()>& body) {
  return WaitChild(StartChild(body));
}

}  // namespace platform_test
