#include "platform/section.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/event.h"
#include "platform/thread.h"
#include "tests/unit/platform/ipc_test_support.h"

using namespace platform;
using platform_test::RunChild;
using platform_test::ScopedNamespace;
using platform_test::StartChild;
using platform_test::WaitChild;

namespace {

constexpr uint32_t kSize = 1 << 20;

class SectionTest : public ::testing::Test {
 protected:
  void SetUp() override { file_ = space_.SectionFile("Shared"); }

  // Starts a child that owns "Shared" and writes `mark` into it; returns once it is ready. The
  // child stays until it is killed or its "Release" event is set.
  pid_t StartOwner(char mark) {
    space_.EventFile("Ready");
    space_.EventFile("Release");
    Handle ready = CreateEvent("Ready", true);
    const pid_t pid = StartChild([mark] {
      std::string error;
      Handle section = CreateOwnedSection("Shared", kSize, &error);
      if (section == nullptr) return 1;
      auto* view = static_cast<char*>(MapSection(section, kSize));
      if (view == nullptr) return 2;
      view[0] = mark;
      Handle release = CreateEvent("Release", false);
      SetEvent(CreateEvent("Ready", true));
      WaitForEvent(release, 20000);
      CloseHandle(section);
      return 0;
    });
    EXPECT_EQ(WaitForEvent(ready, 10000), kWaitObject0);
    ResetEvent(ready);
    CloseHandle(ready);
    return pid;
  }

  ScopedNamespace space_;
  std::string file_;
};

TEST_F(SectionTest, WithoutAnOwnerTheSectionDidNotExistAndNothingIsLeftBehind) {
  bool existed = true;
  Handle section = CreateSection("Shared", kSize, &existed);
  ASSERT_NE(section, nullptr);
  EXPECT_FALSE(existed);
  EXPECT_FALSE(SectionOwnerAlive(section));
  // The handle still gives usable memory, shared between its views.
  auto* a = static_cast<char*>(MapSection(section, kSize));
  auto* b = static_cast<char*>(MapSection(section, kSize));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  a[kSize - 1] = 7;
  EXPECT_EQ(b[kSize - 1], 7);
  UnmapSection(a, kSize);
  UnmapSection(b, kSize);
  CloseHandle(section);
  EXPECT_NE(access(file_.c_str(), F_OK), 0);
}

TEST_F(SectionTest, ClientSeesTheLiveOwnersSectionAndData) {
  const pid_t owner = StartOwner('S');
  bool existed = false;
  Handle section = CreateSection("Shared", kSize, &existed);
  ASSERT_NE(section, nullptr);
  EXPECT_TRUE(existed);
  EXPECT_TRUE(SectionOwnerAlive(section));
  auto* view = static_cast<char*>(MapSection(section, kSize));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 'S');
  EXPECT_EQ(view[kSize - 1], 0);  // zero-filled
  // A view larger than the owner's section is refused rather than left to fault.
  EXPECT_EQ(MapSection(section, 2 * kSize), nullptr);
  // A second owner is refused while the first lives.
  std::string error;
  EXPECT_EQ(CreateOwnedSection("Shared", kSize, &error), nullptr);
  EXPECT_NE(error.find("held by another running process"), std::string::npos) << error;
  // A clean exit removes the name; the client's view stays valid and tells the owner is gone.
  Handle release = CreateEvent("Release", false);
  SetEvent(release);
  CloseHandle(release);
  EXPECT_EQ(WaitChild(owner), 0);
  EXPECT_FALSE(SectionOwnerAlive(section));
  EXPECT_EQ(view[0], 'S');
  EXPECT_NE(access(file_.c_str(), F_OK), 0);
  UnmapSection(view, kSize);
  CloseHandle(section);
}

TEST_F(SectionTest, KilledOwnersObjectCountsAsMissingAndCanBeTakenOver) {
  const pid_t owner = StartOwner('K');
  bool existed = false;
  Handle client = CreateSection("Shared", kSize, &existed);
  ASSERT_TRUE(existed);
  auto* oldView = static_cast<char*>(MapSection(client, kSize));
  ASSERT_NE(oldView, nullptr);
  kill(owner, SIGKILL);
  EXPECT_EQ(WaitChild(owner), -1);
  EXPECT_FALSE(SectionOwnerAlive(client));
  EXPECT_EQ(access(file_.c_str(), F_OK), 0);  // the stale object is still there...
  Handle late = CreateSection("Shared", kSize, &existed);
  ASSERT_NE(late, nullptr);
  EXPECT_FALSE(existed);  // ...but reported as not existing
  CloseHandle(late);
  // A new owner takes the name over with a fresh, zero-filled object.
  std::string error;
  Handle owned = CreateOwnedSection("Shared", kSize, &error);
  ASSERT_NE(owned, nullptr) << error;
  EXPECT_TRUE(SectionOwnerAlive(owned));
  auto* view = static_cast<char*>(MapSection(owned, kSize));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 0);
  EXPECT_EQ(oldView[0], 'K');  // the old client keeps its old object intact
  Handle again = CreateSection("Shared", kSize, &existed);
  EXPECT_TRUE(existed);
  EXPECT_FALSE(SectionOwnerAlive(client));
  EXPECT_TRUE(SectionOwnerAlive(again));
  CloseHandle(again);
  UnmapSection(view, kSize);
  UnmapSection(oldView, kSize);
  CloseHandle(client);
  CloseHandle(owned);
  EXPECT_NE(access(file_.c_str(), F_OK), 0);
}

// Clients claim an owner's section one at a time; a claim ends with its handle or its process,
// and neither claiming nor being claimed touches the owner's liveness.
TEST_F(SectionTest, OneClientAtATimeClaimsTheSectionUntilItsHandleOrProcessEnds) {
  std::string error;
  Handle owned = CreateOwnedSection("Shared", kSize, &error);
  ASSERT_NE(owned, nullptr) << error;
  EXPECT_FALSE(SectionClaimed(owned));
  bool existed = false;
  Handle first = CreateSection("Shared", kSize, &existed);
  Handle second = CreateSection("Shared", kSize, &existed);
  ASSERT_TRUE(existed);
  ASSERT_TRUE(ClaimSection(first));
  EXPECT_TRUE(ClaimSection(first)) << "a claim held already";
  EXPECT_FALSE(ClaimSection(second));
  EXPECT_TRUE(SectionClaimed(owned));
  EXPECT_TRUE(SectionOwnerAlive(second)) << "a claim is not an owner";
  CloseHandle(first);
  EXPECT_FALSE(SectionClaimed(owned));
  ASSERT_TRUE(ClaimSection(second));
  CloseHandle(second);

  // A claimant that is killed leaves the section free, without any clean-up of its own.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t claimant = StartChild([&] {
    bool live = false;
    Handle mine = CreateSection("Shared", kSize, &live);
    if (!live || !ClaimSection(mine) || write(ready[1], "c", 1) != 1) return 1;
    for (;;) pause();
  });
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  close(ready[1]);
  EXPECT_TRUE(SectionClaimed(owned));
  Handle third = CreateSection("Shared", kSize, &existed);
  EXPECT_FALSE(ClaimSection(third)) << "claimed by another process";
  kill(claimant, SIGKILL);
  EXPECT_EQ(WaitChild(claimant), -1);
  EXPECT_FALSE(SectionClaimed(owned));
  EXPECT_TRUE(ClaimSection(third));
  // Nor does a claim keep an owner from ending and a successor from taking the name.
  CloseHandle(owned);
  EXPECT_FALSE(SectionOwnerAlive(third));
  Handle successor = CreateOwnedSection("Shared", kSize, &error);
  EXPECT_NE(successor, nullptr) << error;
  CloseHandle(successor);
  CloseHandle(third);
  EXPECT_NE(access(file_.c_str(), F_OK), 0);
}

TEST_F(SectionTest, OwnerRemovesItsNamesFromASignalHandler) {
  space_.EventFile("Exec");
  const pid_t owner = StartChild([] {
    std::string error;
    Handle section = CreateOwnedSection("Shared", kSize, &error);
    Handle exec = CreateOwnedEvent("Exec", false);
    if (section == nullptr || exec == nullptr) return 1;
    signal(SIGTERM, [](int) {
      RemoveOwnedObjects();
      _exit(0);
    });
    SetEvent(CreateEvent("Ready", true));
    for (;;) pause();
  });
  space_.EventFile("Ready");
  Handle ready = CreateEvent("Ready", true);
  ASSERT_EQ(WaitForEvent(ready, 10000), kWaitObject0);
  EXPECT_EQ(access(file_.c_str(), F_OK), 0);
  kill(owner, SIGTERM);
  EXPECT_EQ(WaitChild(owner), 0);
  EXPECT_NE(access(file_.c_str(), F_OK), 0);
  bool existed = true;
  Handle section = CreateSection("Shared", kSize, &existed);
  EXPECT_FALSE(existed);
  CloseHandle(section);
  CloseHandle(ready);
}

TEST_F(SectionTest, RemovalBeforeCloseLeavesASuccessorsObjectAlone) {
  std::string error;
  Handle first = CreateOwnedSection("Shared", kSize, &error);
  ASSERT_NE(first, nullptr) << error;
  RemoveOwnedObjects();
  // The name is free again: a successor can own it while the first handle is still open.
  const int status = RunChild([] {
    std::string childError;
    return CreateOwnedSection("Shared", kSize, &childError) != nullptr ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  Handle second = CreateOwnedSection("Shared", kSize, &error);
  ASSERT_NE(second, nullptr) << error;
  CloseHandle(first);  // must not remove the second owner's name
  EXPECT_EQ(access(file_.c_str(), F_OK), 0);
  CloseHandle(second);
  EXPECT_NE(access(file_.c_str(), F_OK), 0);
}

TEST_F(SectionTest, BadArgumentsAreRefused) {
  bool existed = true;
  EXPECT_EQ(CreateSection("Shared", 0, &existed), nullptr);
  EXPECT_EQ(CreateSection("bad/name", kSize, &existed), nullptr);
  EXPECT_EQ(CreateSection(std::string(300, 'x').c_str(), kSize, &existed), nullptr);
  std::string error;
  EXPECT_EQ(CreateOwnedSection("bad/name", kSize, &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(MapSection(nullptr, kSize), nullptr);
  EXPECT_FALSE(SectionOwnerAlive(nullptr));
  UnmapSection(nullptr, kSize);
}

TEST_F(SectionTest, NamespacesKeepSectionsApart) {
  std::string error;
  Handle owned = CreateOwnedSection("Shared", kSize, &error);
  ASSERT_NE(owned, nullptr);
  {
    ScopedNamespace other;
    bool existed = true;
    Handle section = CreateSection("Shared", kSize, &existed);
    EXPECT_FALSE(existed);
    CloseHandle(section);
  }
  bool existed = false;
  Handle same = CreateSection("Shared", kSize, &existed);
  EXPECT_TRUE(existed);
  CloseHandle(same);
  CloseHandle(owned);
}

// Objects under our names that are not ours: another user's, made open to everyone with the
// owner's lock held as a stand-in server would hold them (OtherUser), or one of ours that was
// opened to other users (OpenToOthers). A client never uses them; an owner never adopts them and
// takes the names with objects of its own.
class PlantedObjectTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !platform_test::CanBecomeAnotherUser()) {
      GTEST_SKIP() << "only a test run as root can act as another user";
    }
    section_ = space_.SectionFile("Shared");
    event_ = space_.EventFile("Exec");
  }
  // What the refusal says about the object.
  std::string Why() const {
    return GetParam() ? "belongs to user 65534, not to this user"
                      : "is open to other users (mode 0666)";
  }
  static std::string ObjectName(const std::string& file) { return file.substr(8); }  // "/dev/shm"

  ScopedNamespace space_;
  std::string section_, event_;
};

TEST_P(PlantedObjectTest, ClientRefusesItNamingTheObject) {
  platform_test::PlantedObjects planted({section_, event_}, kSize, GetParam());
  ASSERT_TRUE(planted.ok());
  bool existed = true;
  std::string error;
  EXPECT_EQ(CreateSection("Shared", kSize, &existed, &error), nullptr);
  EXPECT_FALSE(existed);
  EXPECT_NE(error.find("shared memory \"" + ObjectName(section_) + "\" " + Why()),
            std::string::npos)
      << error;
  EXPECT_EQ(OpenOwnedEvent("Exec", &error), nullptr);
  EXPECT_NE(error.find("\"" + ObjectName(event_) + "\" " + Why()), std::string::npos) << error;
  EXPECT_EQ(CreateEvent("Exec", false), nullptr);
}

TEST_P(PlantedObjectTest, OwnerTakesTheNamesWithObjectsOfItsOwn) {
  platform_test::PlantedObjects planted({section_, event_}, kSize, GetParam());
  ASSERT_TRUE(planted.ok());
  std::string error;
  Handle owned = CreateOwnedSection("Shared", kSize, &error);
  ASSERT_NE(owned, nullptr) << error;
  Handle exec = CreateOwnedEvent("Exec", false, &error);
  ASSERT_NE(exec, nullptr) << error;
  size_t index = 0;
  for (const std::string& file : {section_, event_}) {
    struct stat info;
    ASSERT_EQ(stat(file.c_str(), &info), 0) << file;
    EXPECT_NE(info.st_ino, planted.inode(index++)) << file << " was adopted";
    EXPECT_EQ(info.st_uid, geteuid()) << file;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
  }
  // Our client uses them, and a set through its handle reaches the owner's.
  bool existed = false;
  Handle section = CreateSection("Shared", kSize, &existed, &error);
  ASSERT_NE(section, nullptr) << error;
  EXPECT_TRUE(existed);
  Handle client = OpenOwnedEvent("Exec", &error);
  ASSERT_NE(client, nullptr) << error;
  SetEvent(client);
  EXPECT_EQ(WaitForEvent(exec, 0), kWaitObject0);
  if (GetParam()) {
    // The other user can neither read nor resize them.
    const std::string files[] = {section_, event_};
    EXPECT_EQ(RunChild([&files] {
                if (!platform_test::BecomeAnotherUser()) return 1;
                for (const std::string& file : files) {
                  if (open(file.c_str(), O_RDONLY) >= 0 || errno != EACCES) return 2;
                  if (truncate(file.c_str(), 0) == 0) return 3;
                }
                return 0;
              }),
              0);
  }
  for (Handle h : {client, section, exec, owned}) CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Planted, PlantedObjectTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "OtherUser" : "OpenToOthers");
                         });

}  // namespace
