// Units reach the decoding server in batches when both sides agree at set-up, and one per request
// when either side keeps to the plain protocol: our server held to it (--one-unit), or our client
// held to it (MPGSOURCE_ONE_UNIT). Pictures likewise come where the server decoded them (its
// shared pool) when both sides agree, and copied into the section when either side keeps to the
// plain protocol (--copy-pictures, MPGSOURCE_COPY_PICTURES), when the pool has no free buffer (a
// queue longer than the pool), and always for 4:2:2 clips. Every way serves ffmpeg's frames in
// every order, and the server's log says which way the client's units and pictures came.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

struct Way {
  const char* name;
  std::vector<std::string> serverArgs;
  const char* clientVariable;       // set to "1" in the client's environment; may be null
  std::vector<const char*> logged;  // how the server's log describes every client's set-up
  bool inPlace = false;             // some pictures came in place
  bool poolRanOut = false;          // some pictures were decoded outside the pool
};

struct Case {
  Way way;
  const char* file;
  const char* pixFmt;  // ffmpeg's output format for the clip's default pixel type
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.file << " " << c.way.name;
}

// Whether some line of the server's log counts more than none of `what` ("3 in place)").
bool SomeCounted(const std::string& text, const std::string& what) {
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) {
    size_t digits = at;
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(text[digits - 1]))) --digits;
    if (digits < at && std::stoll(text.substr(digits, at - digits)) > 0) return true;
  }
  return false;
}

class Handover : public ::testing::TestWithParam<Case> {};

TEST_P(Handover, ServesFfmpegsFramesInEveryOrder) {
  const Case& c = GetParam();
  const std::string log = TempDir() + "/server.log";
  std::vector<std::string> args = c.way.serverArgs;
  args.push_back("--verbose");
  Server server(args, log);
  if (c.way.clientVariable) setenv(c.way.clientVariable, "1", 1);
  const std::string video = MediaPath(c.file);
  const std::vector<std::string> reference = FfmpegMd5(video, "", c.pixFmt);
  const std::string project = IndexVideo(video);
  const int frames = std::stoi(Info(project)["frames"]);
  const int shift = frames - static_cast<int>(reference.size());
  int wrong = 0;
  for (const auto& [order, list] : RequestOrders(frames, 60)) {
    const auto hashes = HashFrames(project, list);
    ASSERT_EQ(hashes.size(), list.size()) << order;
    for (size_t i = 0; i < list.size(); ++i) {
      const int n = std::max(list[i], shift) - shift;
      if (hashes[i].second != reference[n] && ++wrong <= 5) {
        ADD_FAILURE() << order << ": frame " << list[i] << " differs from ffmpeg's";
      }
    }
  }
  EXPECT_EQ(wrong, 0);
  if (c.way.clientVariable) unsetenv(c.way.clientVariable);
  const std::string text = ReadText(log);
  size_t at = 0;
  int setUps = 0;
  while ((at = text.find("client set up: ", at)) != std::string::npos) {
    const size_t end = text.find('\n', at);
    for (const char* logged : c.way.logged) {
      EXPECT_NE(text.substr(at, end - at).find(logged), std::string::npos)
          << text.substr(at, end - at);
    }
    at = end;
    ++setUps;
  }
  EXPECT_GT(setUps, 0) << text;
  EXPECT_EQ(SomeCounted(text, " in place)"), c.way.inPlace) << text;
  EXPECT_EQ(SomeCounted(text, " buffers outside the pool)"), c.way.poolRanOut) << text;
}

std::vector<Case> AllCases() {
  const Way ways[] = {
      {"Batches", {}, nullptr, {"units in batches", "pictures in place"}, true},
      {"ServerTakesOneUnit", {"--one-unit"}, nullptr, {"one unit per request"}, true},
      {"ClientSendsOneUnit", {}, "MPGSOURCE_ONE_UNIT", {"one unit per request"}, true},
      {"ServerCopiesPictures", {"--copy-pictures"}, nullptr, {"pictures copied"}},
      {"ClientCopiesPictures", {}, "MPGSOURCE_COPY_PICTURES", {"pictures copied"}},
      // A queue longer than the pool: pictures decoded outside it go by copy, in the same runs
      // as pictures in place.
      {"PoolRunsOut", {"--queue", "40"}, nullptr, {"pictures in place"}, true, true},
  };
  // SD 4:2:0, and 1080i 4:2:2 (whose odd chroma rows share the unit area with the batches, and
  // whose pictures are always copied).
  std::vector<Case> cases;
  for (const Way& way : ways) cases.push_back({way, "ts576i.ts", "yuv420p"});
  for (const Way& way : ways) {
    if (std::string(way.name) == "PoolRunsOut") continue;
    Way copied = way;
    copied.logged.erase(
        std::remove(copied.logged.begin(), copied.logged.end(), std::string("pictures in place")),
        copied.logged.end());
    copied.logged.push_back("pictures copied");
    copied.inPlace = false;
    cases.push_back({copied, "ts422i_1080.ts", "yuyv422"});
  }
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  std::string file = info.param.file;
  file.erase(std::remove_if(file.begin(), file.end(), [](char ch) { return !std::isalnum(ch); }),
             file.end());
  return file + info.param.way.name;
}

INSTANTIATE_TEST_SUITE_P(Ways, Handover, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
}  // namespace e2e
