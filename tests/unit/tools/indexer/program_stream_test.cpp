// Program streams are found by their pack headers wherever the file starts: cut inside a pack or
// after padding, an ffmpeg-made VOB or MPG is indexed as a program stream from its first whole
// pack on, never taken for an elementary stream.
#include "tools/indexer/program_stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <tuple>

#include "tests/unit/tools/indexer/indexer_test_support.h"

namespace {

using indexer_test::Ffmpeg;
using indexer_test::Media;
using indexer_test::ReadFile;
using indexer_test::TempDir;
using indexer_test::WriteFile;

enum class Lead { kCut, kZeros, kOnes };

// (ffmpeg -f, lead, bytes cut off or padding put before)
using Case = std::tuple<const char*, Lead, size_t>;

class ProgramStreamStart : public ::testing::TestWithParam<Case> {};

TEST_P(ProgramStreamStart, IsIndexedFromItsFirstPack) {
  const auto& [format, lead, bytes] = GetParam();
  TempDir dir;
  const std::string whole = dir.File("whole.mpg");
  ASSERT_TRUE(Ffmpeg("-i " + Media("es576i_open.m2v") + " -c copy -f " + format + " " + whole));
  std::vector<uint8_t> file = ReadFile(whole);
  ASSERT_GT(file.size(), bytes + 4096);
  if (lead == Lead::kCut) {
    file.erase(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(bytes));
  } else {
    file.insert(file.begin(), bytes, lead == Lead::kZeros ? 0x00 : 0xFF);
  }
  const std::string video = dir.File("recording.vob");
  WriteFile(video, file);

  indexer::VideoIndex index;
  indexer::StreamLayout layout;
  std::string error;
  ASSERT_EQ(indexer_test::Index(video, &index, &layout, &error), indexer::kIndexOk) << error;
  EXPECT_EQ(layout.carriage, indexer::Carriage::kProgram);
  EXPECT_EQ(layout.pid, 0xE0);
  // A whole file behind padding loses no picture: ffprobe sees the same ones.
  if (lead != Lead::kCut || bytes == 0) {
    EXPECT_EQ(indexer_test::DisplayOrder(indexer_test::CodedTypes(index)),
              indexer_test::FfprobeTypes(video));
  } else {
    EXPECT_GT(index.pictureCount, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(CutOrPadded, ProgramStreamStart,
                         ::testing::Combine(::testing::Values("vob", "dvd", "mpeg"),
                                            ::testing::Values(Lead::kCut, Lead::kZeros,
                                                              Lead::kOnes),
                                            ::testing::Values(size_t{0}, size_t{7}, size_t{1000},
                                                              size_t{2048 + 14}, size_t{33333})));

// The chain of pack headers is what is recognised: a lone pack start code inside other data is
// not enough, and a pack header whose length leads nowhere breaks the chain.
TEST(FindProgramStream, NeedsPackHeadersThatChain) {
  TempDir dir;
  ASSERT_TRUE(Ffmpeg("-i " + Media("es576i_open.m2v") + " -c copy -f vob " + dir.File("a.vob")));
  std::vector<uint8_t> ps = ReadFile(dir.File("a.vob"));
  indexer::ProgramStreamMatch match;
  ASSERT_TRUE(indexer::FindProgramStream(ps.data() + 5, ps.size() - 5, ps.size() - 5, &match));
  EXPECT_FALSE(match.mpeg1);
  EXPECT_GT(match.firstPack, 0u);

  std::vector<uint8_t> es = ReadFile(Media("es576i_open.m2v"));
  EXPECT_FALSE(indexer::FindProgramStream(es.data(), es.size(), es.size(), &match));
  // One MPEG-2 pack header planted in the middle of the video: no chain follows it.
  const std::vector<uint8_t> pack(ps.begin(), ps.begin() + 14);
  es.insert(es.begin() + 5000, pack.begin(), pack.end());
  EXPECT_FALSE(indexer::FindProgramStream(es.data(), es.size(), es.size(), &match));
}

// --list names every stream ffprobe finds, by stream id (private stream 1's by substream), and
// marks the first video stream as the one indexed.
TEST(ListProgramStream, NamesTheStreamsFfprobeFinds) {
  for (const char* media : {"vob576i.vob", "dvd480i_bff.vob", "mpeg576i.mpg"}) {
    TempDir dir;
    const std::string listing = dir.File("list.txt");
    std::string error;
    FILE* out = std::fopen(listing.c_str(), "w");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(indexer::ListProgramStream(Media(media), out, &error), indexer::kIndexOk) << error;
    std::fclose(out);
    const std::string text = indexer_test::ReadText(listing);
    const std::string ids =
        indexer_test::Shell("ffprobe -v error -show_entries stream=id -of csv=p=0 " + Media(media));
    std::istringstream lines(ids);
    std::string id;
    int streams = 0;
    while (std::getline(lines, id)) {
      if (id.empty()) continue;
      ++streams;
      // ffprobe writes 0x1e0 for stream 0xE0, 0x80 for substream 0x80 of private stream 1.
      const int value = std::stoi(id, nullptr, 16);
      char expected[64];
      if (value >= 0x100) {
        std::snprintf(expected, sizeof expected, "stream 0x%X", value & 0xFF);
      } else {
        std::snprintf(expected, sizeof expected, "substream 0x%X", value);
      }
      EXPECT_NE(text.find(expected), std::string::npos) << media << ": " << expected << "\n"
                                                        << text;
    }
    EXPECT_GT(streams, 1) << media;
    EXPECT_NE(text.find("stream 0xE0 (224): MPEG video  <- indexed by default"), std::string::npos)
        << text;
  }
}

}  // namespace
