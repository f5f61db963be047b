#include "platform/path.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

using namespace platform;

namespace {

std::string Canonical(const char* path, size_t size = 260) {
  std::string out(size, 'x');
  if (!PathCanonicalize(&out[0], size, path))
    return "<fails:" + out.substr(0, out.find('\0')) + ">";
  return out.substr(0, out.find('\0'));
}

TEST(PathTest, SeparatorsAndRelativePaths) {
  EXPECT_TRUE(IsPathSeparator('/'));
  EXPECT_FALSE(IsPathSeparator('\\'));
  EXPECT_EQ(PreferredSeparator(), '/');
  EXPECT_FALSE(PathIsRelative("/a/b"));
  EXPECT_TRUE(PathIsRelative("a/b"));
  EXPECT_TRUE(PathIsRelative("./a"));
  EXPECT_TRUE(PathIsRelative("C:\\a"));
  EXPECT_TRUE(PathIsRelative(""));
}

TEST(PathTest, CanonicalizeResolvesDotsLexically) {
  EXPECT_EQ(Canonical("/a/./b/../c"), "/a/c");
  EXPECT_EQ(Canonical("/a/b/c/../../d.m2v"), "/a/d.m2v");
  EXPECT_EQ(Canonical("/a//b///c"), "/a/b/c");
  EXPECT_EQ(Canonical("/a/b/"), "/a/b/");
  EXPECT_EQ(Canonical("/a/b/.."), "/a");
  EXPECT_EQ(Canonical("/a/.."), "/");
  EXPECT_EQ(Canonical("/"), "/");
  // ".." at the root stays at the root.
  EXPECT_EQ(Canonical("/../../x"), "/x");
  EXPECT_EQ(Canonical("/.."), "/");
  // A relative path keeps the ".." it cannot resolve.
  EXPECT_EQ(Canonical("a/../../b"), "../b");
  EXPECT_EQ(Canonical("a/.."), ".");
  EXPECT_EQ(Canonical("./x"), "x");
  EXPECT_EQ(Canonical(""), "");
  // Names that merely contain dots are names.
  EXPECT_EQ(Canonical("/a/...b/..c/c.."), "/a/...b/..c/c..");
}

TEST(PathTest, CanonicalizeIsBoundedByTheOutputSize) {
  EXPECT_EQ(Canonical("/abc/def", 9), "/abc/def");
  EXPECT_EQ(Canonical("/abc/def", 8), "<fails:>");
  // The bound applies to the result, not to the input.
  EXPECT_EQ(Canonical("/abc/../def", 5), "/def");
  char one[1] = {'x'};
  EXPECT_FALSE(PathCanonicalize(one, 1, "/a"));
  EXPECT_EQ(one[0], '\0');
  EXPECT_FALSE(PathCanonicalize(one, 0, "/a"));
  EXPECT_FALSE(PathCanonicalize(nullptr, 10, "/a"));
}

TEST(PathTest, CurrentDirectoryIsBounded) {
  char expected[4096];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  const size_t length = std::string(expected).size();
  char out[4096];
  EXPECT_EQ(GetCurrentDirectory(out, sizeof out), length);
  EXPECT_STREQ(out, expected);
  EXPECT_EQ(GetCurrentDirectory(out, length + 1), length);
  EXPECT_EQ(GetCurrentDirectory(out, length), 0u);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(GetCurrentDirectory(out, 0), 0u);
}

// Links are resolved as the system resolves them (checked against realpath(3) and the link's own
// target); what does not exist resolves to nothing.
TEST(PathTest, ResolveLinksFollowsTheSystemsLinks) {
  char folder[] = "/tmp/mpg-path-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string base = folder;
  ASSERT_EQ(mkdir((base + "/real").c_str(), 0700), 0);
  ASSERT_EQ(symlink((base + "/real").c_str(), (base + "/link").c_str()), 0);
  char* system = realpath(base.c_str(), nullptr);
  ASSERT_NE(system, nullptr);
  const std::string expected = std::string(system) + "/real";
  free(system);
  EXPECT_EQ(ResolveLinks(base + "/link"), expected);
  EXPECT_EQ(ResolveLinks(base + "/link/../link/."), expected);
  EXPECT_EQ(ResolveLinks(base + "/real"), expected);
  EXPECT_EQ(ResolveLinks(base + "/missing"), "");
  EXPECT_EQ(ResolveLinks(""), "");
  unlink((base + "/link").c_str());
  rmdir((base + "/real").c_str());
  rmdir(base.c_str());
}

}  // namespace
