// Helpers for tests that use named shared objects and child processes.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
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
  std::string SectionFile(const std::string& name) { return Track(Prefix() + name); }
  std::string EventFile(const std::string& name) { return Track(Prefix() + "event." + name); }

 private:
  std::string Prefix() const {
    return "/dev/shm/mpgsource.u" + std::to_string(geteuid()) + "." + space_ + ".";
  }
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

// Another user for tests of what other users can do to our objects: "nobody". Only a process
// running as root can become another user; the tests that need one skip elsewhere.
constexpr uid_t kOtherUser = 65534;
inline bool CanBecomeAnotherUser() {
  return geteuid() == 0;
}
// Switches the calling process (a child of the test) to the other user for good.
inline bool BecomeAnotherUser() {
  return setgroups(0, nullptr) == 0 && setresgid(kOtherUser, kOtherUser, kOtherUser) == 0 &&
         setresuid(kOtherUser, kOtherUser, kOtherUser) == 0;
}

// Objects that someone else makes under our names before we get to them, as a stand-in server
// would: files under /dev/shm open to everyone (mode 0666), `size` bytes, each with the owner's
// lock held. A child process makes them, of the other user when `otherUser`, and holds them until
// this is destroyed; they are removed then unless someone replaced them meanwhile.
class PlantedObjects {
 public:
  PlantedObjects(const std::vector<std::string>& files, off_t size, bool otherUser)
      : files_(files) {
    int ready[2], release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      if (otherUser && !BecomeAnotherUser()) _exit(1);
      for (const std::string& file : files) {
        const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
        struct flock lock;
        std::memset(&lock, 0, sizeof lock);
        lock.l_type = F_WRLCK;
        lock.l_len = 1;
        if (fd < 0 || fchmod(fd, 0666) != 0 || ftruncate(fd, size) != 0 ||
            fcntl(fd, F_OFD_SETLK, &lock) != 0) {
          _exit(2);
        }
      }
      if (write(ready[1], "r", 1) != 1) _exit(3);
      char byte;
      while (read(release[0], &byte, 1) < 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    pollfd p{ready[0], POLLIN, 0};
    char byte = 0;
    ok_ = pid_ > 0 && poll(&p, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    for (const std::string& file : files_) {
      struct stat info;
      inodes_.push_back(stat(file.c_str(), &info) == 0 ? info.st_ino : 0);
    }
  }
  ~PlantedObjects() {
    if (release_ >= 0) close(release_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    for (size_t i = 0; i < files_.size(); ++i) {
      struct stat info;
      if (stat(files_[i].c_str(), &info) == 0 && info.st_ino == inodes_[i]) {
        unlink(files_[i].c_str());
      }
    }
  }
  bool ok() const { return ok_; }
  ino_t inode(size_t i) const { return inodes_[i]; }

 private:
  std::vector<std::string> files_;
  std::vector<ino_t> inodes_;
  pid_t pid_ = -1;
  int release_ = -1;
  bool ok_ = false;
};

}  // namespace platform_test
