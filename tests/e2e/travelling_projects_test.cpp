// A project names its video relative to itself when it lies beside or above the video, so that
// the folder can move, and a project written on Windows (a '\' between folders) opens here just
// as one written here: every frame served equals ffmpeg's decode.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

// The project's text with its third line (the video) replaced by `line`.
std::string WithVideoLine(const std::string& text, const std::string& line) {
  const size_t start = text.find('\n', text.find('\n') + 1) + 1;
  return text.substr(0, start) + line + text.substr(text.find('\n', start));
}

TEST(TravellingProjects, AVideoBelowTheProjectIsNamedRelativelyInEitherSeparator) {
  const std::string dir = TempDir();
  const std::string name = "clip \xC3\xA9t\xC3\xA9 \xE6\x9D\xB1\xE4\xBA\xAC.m2v";
  fs::create_directories(dir + "/moved/sub");
  const std::string video = dir + "/moved/sub/" + name;
  fs::copy_file(MediaPath("es576i_open.m2v"), video);
  const std::vector<std::string> reference = FfmpegMd5(video);
  ASSERT_FALSE(reference.empty());
  const std::string project = dir + "/moved/clip.vnt";
  const CommandResult r = e2e::Run({Mpgsource(), "index", video, "-o", project, "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = ReadText(project);
  EXPECT_EQ(text, WithVideoLine(text, "sub/" + name));
  std::vector<int> all;
  for (size_t n = 0; n < reference.size(); ++n) all.push_back(static_cast<int>(n));
  Server server;
  // As written here, as Windows writes it, and with both separators and dots.
  for (const std::string& line : {"sub/" + name, "sub\\" + name, ".\\sub/..\\sub\\" + name}) {
    const std::string variant = dir + "/moved/variant.vnt";
    WriteText(variant, WithVideoLine(text, line));
    const auto hashes = HashFrames(variant, all);
    ASSERT_EQ(hashes.size(), reference.size()) << line;
    int wrong = 0;
    for (size_t i = 0; i < hashes.size(); ++i) wrong += hashes[i].second != reference[i];
    EXPECT_EQ(wrong, 0) << line;
  }
}

}  // namespace
}  // namespace e2e
