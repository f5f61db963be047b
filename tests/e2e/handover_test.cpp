// Units reach the decoding server in batches when both sides agree at set-up, and one per request
// when either side keeps to the plain protocol: our server held to it (--one-unit), or our client
// held to it (MPGSOURCE_ONE_UNIT). Every way serves ffmpeg's frames in every order, and the
// server's log says which way the client's units came.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

struct Way {
  const char* name;
  std::vector<std::string> serverArgs;
  bool clientOneUnit;
  const char* logged;  // how the server's log describes the client's set-up
};

struct Case {
  Way way;
  const char* file;
  const char* pixFmt;  // ffmpeg's output format for the clip's default pixel type
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.file << " " << c.way.name;
}

class Handover : public ::testing::TestWithParam<Case> {};

TEST_P(Handover, ServesFfmpegsFramesInEveryOrder) {
  const Case& c = GetParam();
  const std::string log = TempDir() + "/server.log";
  std::vector<std::string> args = c.way.serverArgs;
  args.push_back("--verbose");
  Server server(args, log);
  if (c.way.clientOneUnit) setenv("MPGSOURCE_ONE_UNIT", "1", 1);
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
  unsetenv("MPGSOURCE_ONE_UNIT");
  const std::string text = ReadText(log);
  size_t at = 0;
  int setUps = 0;
  while ((at = text.find("client set up: ", at)) != std::string::npos) {
    const size_t end = text.find('\n', at);
    EXPECT_NE(text.substr(at, end - at).find(c.way.logged), std::string::npos)
        << text.substr(at, end - at);
    at = end;
    ++setUps;
  }
  EXPECT_GT(setUps, 0) << text;
}

std::vector<Case> AllCases() {
  const Way ways[] = {
      {"Batches", {}, false, "units in batches"},
      {"ServerTakesOneUnit", {"--one-unit"}, false, "one unit per request"},
      {"ClientSendsOneUnit", {}, true, "one unit per request"},
  };
  // SD 4:2:0, and 1080i 4:2:2 (whose odd chroma rows share the unit area with the batches).
  const std::pair<const char*, const char*> files[] = {{"ts576i.ts", "yuv420p"},
                                                       {"ts422i_1080.ts", "yuyv422"}};
  std::vector<Case> cases;
  for (const auto& file : files) {
    for (const Way& way : ways) cases.push_back({way, file.first, file.second});
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
