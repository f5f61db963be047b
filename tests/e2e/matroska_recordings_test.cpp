// Matroska files as recordings leave them: stopped inside a cluster. What is complete is indexed
// with a warning that names where the file ends, and every frame served equals ffmpeg's decode of
// the same file in every request order.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

// Every frame of `project`, in every request order, against ffmpeg's decode of `video`.
void ExpectServedAsFfmpeg(const std::string& project, const std::string& video) {
  const std::vector<std::string> reference = FfmpegMd5(video);
  ASSERT_FALSE(reference.empty()) << video;
  EXPECT_EQ(Info(project)["frames"], std::to_string(reference.size()));
  for (const auto& [order, frames] : RequestOrders(int(reference.size()))) {
    const std::vector<std::pair<int, std::string>> served = HashFrames(project, frames);
    ASSERT_EQ(served.size(), frames.size()) << order;
    int wrong = 0;
    for (const auto& [n, md5] : served) {
      if (md5 != reference[size_t(n)] && ++wrong <= 3) {
        ADD_FAILURE() << order << ": frame " << n << " differs from ffmpeg's";
      }
    }
    EXPECT_EQ(wrong, 0) << order;
  }
}

// Where in the file the recording stopped, as a share of its size: inside GOPs near the start, in
// the middle and at the end, and one byte short of the whole file.
class CutMatroska : public ::testing::TestWithParam<double> {
 protected:
  Server server_;
};

TEST_P(CutMatroska, CompleteFramesIndexedWithWarningAndServedAsFfmpegDecodesThem) {
  const std::string dir = TempDir();
  const std::string bytes = ReadFile(MediaPath("mkv576i.mkv"));
  const size_t size = size_t(double(bytes.size()) * GetParam());
  const std::string cut = dir + "/cut.mkv";
  WriteFile(cut, bytes.substr(0, size));

  const std::string project = dir + "/cut.vnt";
  const CommandResult r = e2e::Run({BuildDir() + "/mpgsource", "index", cut, "-o", project});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("\"" + cut + "\" is cut off at byte " + std::to_string(size)),
            std::string::npos)
      << r.err;
  ExpectServedAsFfmpeg(project, cut);
}

INSTANTIATE_TEST_SUITE_P(Stops, CutMatroska, ::testing::Values(0.12, 0.47, 0.81, 0.99),
                         [](const ::testing::TestParamInfo<double>& info) {
                           return "At" + std::to_string(int(info.param * 100)) + "Percent";
                         });

}  // namespace
}  // namespace e2e
