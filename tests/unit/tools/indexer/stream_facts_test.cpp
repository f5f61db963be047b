// Stream facts: derived from the index (scan, aspect ratio, colour), written as INFO lines that
// read back unchanged, and invisible to the plugin's project loader's keywords.
#include "tools/indexer/stream_facts.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/unit/tools/indexer/indexer_test_support.h"

namespace {

using indexer::StreamFacts;
using indexer::VideoIndex;

VideoIndex Pal(int aspectCode) {
  VideoIndex index;
  index.sequence.width = 720;
  index.sequence.height = 576;
  index.sequence.fpsNumerator = 25;
  index.sequence.fpsDenominator = 1;
  index.sequence.aspectRatioCode = aspectCode;
  index.pictureCount = 10;
  return index;
}

TEST(StreamFacts, AspectRatioComesFromTheCodeAndTheDisplayRectangle) {
  StreamFacts facts = indexer::FactsOf(Pal(2), {});
  EXPECT_EQ(facts.sarNumerator, 16);  // 4:3 over 720x576
  EXPECT_EQ(facts.sarDenominator, 15);
  EXPECT_EQ(facts.darNumerator, 4);
  EXPECT_EQ(facts.darDenominator, 3);
  facts = indexer::FactsOf(Pal(3), {});
  EXPECT_EQ(facts.sarNumerator, 64);
  EXPECT_EQ(facts.sarDenominator, 45);
  facts = indexer::FactsOf(Pal(1), {});
  EXPECT_EQ(facts.sarNumerator, 1);
  EXPECT_EQ(facts.darNumerator, 5);
  EXPECT_EQ(facts.darDenominator, 4);
  facts = indexer::FactsOf(Pal(9), {});  // reserved code
  EXPECT_EQ(facts.sarNumerator, 0);

  // A display extension whose rectangle does not show as 4:3 or 16:9 leaves the ratio on the
  // whole picture: 4:3 with a 704-wide rectangle keeps 16:15.
  VideoIndex narrow = Pal(2);
  narrow.sequence.displayExtension = true;
  narrow.sequence.displayWidth = 704;
  narrow.sequence.displayHeight = 576;
  facts = indexer::FactsOf(narrow, {});
  EXPECT_EQ(facts.sarNumerator, 16);
  EXPECT_EQ(facts.sarDenominator, 15);
}

// The aspect ratio of streams with a sequence display extension, made by mpeg2enc, against
// ffprobe's sample and display aspect ratio.
struct DisplayRectangle {
  int width, height;   // coded picture
  int aspectCode;      // mpeg2enc -a
  int shownW, shownH;  // display extension (mpeg2enc -x, -y)
};

class DisplayExtensionAspect : public ::testing::TestWithParam<DisplayRectangle> {};

std::string ProbeField(const std::string& out, const std::string& key) {
  const size_t at = out.find(key + "=");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 1;
  return out.substr(from, out.find('\n', from) - from);
}

TEST_P(DisplayExtensionAspect, EqualsFfprobe) {
  const DisplayRectangle& r = GetParam();
  if (indexer_test::Shell("command -v mpeg2enc").empty()) GTEST_SKIP() << "mpeg2enc missing";
  indexer_test::TempDir dir;
  const std::string video = dir.File("v.m2v");
  int status = 0;
  indexer_test::Shell("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=" +
                          std::to_string(r.width) + "x" + std::to_string(r.height) +
                          ":rate=25 -frames:v 2 -pix_fmt yuv420p -f yuv4mpegpipe - | "
                          "mpeg2enc -v 0 -f 3 -b 6000 -a " +
                          std::to_string(r.aspectCode) + " -x " + std::to_string(r.shownW) +
                          " -y " + std::to_string(r.shownH) + " -o '" + video + "' 2>&1",
                      &status);
  ASSERT_EQ(status, 0);
  const std::string probe = indexer_test::Shell(
      "ffprobe -v error -select_streams v:0 -show_entries "
      "stream=sample_aspect_ratio,display_aspect_ratio -of default=nw=1 '" +
      video + "'");
  VideoIndex index;
  indexer::StreamLayout layout;
  std::string error;
  ASSERT_EQ(indexer_test::Index(video, &index, &layout, &error), indexer::kIndexOk) << error;
  ASSERT_TRUE(index.sequence.displayExtension);
  ASSERT_EQ(index.sequence.displayWidth, r.shownW);
  const StreamFacts facts = indexer::FactsOf(index, {});
  EXPECT_EQ(std::to_string(facts.sarNumerator) + ":" + std::to_string(facts.sarDenominator),
            ProbeField(probe, "sample_aspect_ratio"));
  EXPECT_EQ(std::to_string(facts.darNumerator) + ":" + std::to_string(facts.darDenominator),
            ProbeField(probe, "display_aspect_ratio"));
}

INSTANTIATE_TEST_SUITE_P(
    Broadcasts, DisplayExtensionAspect,
    ::testing::Values(DisplayRectangle{720, 576, 3, 540, 576},  // 16:9 shown 540 wide
                      DisplayRectangle{720, 576, 3, 704, 576},  // 16:9 shown 704 wide
                      DisplayRectangle{720, 480, 3, 704, 480},
                      DisplayRectangle{720, 576, 2, 704, 576},  // 4:3 shown 704 wide
                      DisplayRectangle{720, 576, 2, 540, 576},  // shows as exactly 16:9
                      DisplayRectangle{720, 576, 3, 720, 432},  // letterbox rectangle
                      DisplayRectangle{720, 576, 3, 720, 576},
                      DisplayRectangle{480, 576, 4, 352, 576},
                      DisplayRectangle{720, 576, 1, 540, 576}));

TEST(StreamFacts, ScanFollowsTheFrames) {
  VideoIndex index = Pal(2);
  EXPECT_EQ(indexer::FactsOf(index, {}).scan, "interlaced");
  index.progressiveFrames = 4;
  EXPECT_EQ(indexer::FactsOf(index, {}).scan, "mixed");
  index.progressiveFrames = 10;
  EXPECT_EQ(indexer::FactsOf(index, {}).scan, "progressive");
  index.progressiveFrames = 0;
  index.sequence.progressiveSequence = true;
  EXPECT_EQ(indexer::FactsOf(index, {}).scan, "progressive");
  index.fieldOrder = 1;
  EXPECT_EQ(indexer::FactsOf(index, {}).fieldOrder, "bottom");
}

TEST(StreamFacts, LinesReadBackUnchanged) {
  VideoIndex index = Pal(3);
  index.sequence.colourDescription = true;
  index.sequence.colourPrimaries = 1;
  index.sequence.transferCharacteristics = 1;
  index.sequence.matrixCoefficients = 1;
  index.sizeChanges = {{60, 720, 480}, {4000000000ull, 1920, 1080}};
  index.aspectChanges = {{48, 64, 45, 16, 9}};
  index.rateChanges = {{48, 30000, 1001}};
  index.matrixChanges = {7, 9};
  index.framesFfmpegDrops = {47};
  indexer::ClipTiming timing;
  timing.pulldown = indexer::Pulldown::kRegular;
  timing.fields = 1234567;
  const StreamFacts written = indexer::FactsOf(index, timing);
  const std::string text = indexer::FormatFacts(written);

  indexer_test::TempDir dir;
  const std::string project = dir.File("p.vnt");
  indexer_test::WriteText(
      project, "VantuIndexFileNV1\ntool\nvideo.m2v\nsummary\n\nSIZ 720 x 576\r\n" + text +
                   "SEQ 0\nFRM I\nINFO scan ignored-after-gops\n");
  StreamFacts read;
  ASSERT_TRUE(indexer::ReadFacts(project, &read));
  EXPECT_TRUE(read.present);
  EXPECT_EQ(read.scan, written.scan);
  EXPECT_EQ(read.fieldOrder, "top");
  EXPECT_EQ(read.pulldown, "3:2");
  EXPECT_EQ(read.fields, 1234567u);
  EXPECT_EQ(read.codedNumerator, 25);
  EXPECT_EQ(read.sarNumerator, 64);
  EXPECT_EQ(read.darNumerator, 16);
  EXPECT_TRUE(read.colour);
  EXPECT_EQ(read.colourPrimaries, 1);
  ASSERT_EQ(read.sizeChanges.size(), 2u);
  EXPECT_EQ(read.sizeChanges[1].frame, 4000000000ull);
  EXPECT_EQ(read.sizeChanges[1].width, 1920);
  ASSERT_EQ(read.aspectChanges.size(), 1u);
  EXPECT_EQ(read.aspectChanges[0].sarNumerator, 64);
  EXPECT_EQ(read.aspectChanges[0].darDenominator, 9);
  ASSERT_EQ(read.rateChanges.size(), 1u);
  EXPECT_EQ(read.rateChanges[0].fpsNumerator, 30000);
  EXPECT_EQ(read.matrixChanges, (std::vector<uint64_t>{7, 9}));
  EXPECT_EQ(read.framesFfmpegDrops, std::vector<uint64_t>{47});
  EXPECT_EQ(indexer::ColourPrimariesName(1), "bt709");
  EXPECT_EQ(indexer::TransferName(99), "code 99");

  // No line begins with a keyword the plugin's loader matches.
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    for (const char* keyword :
         {"FO", "STREAM", "PKTSIZ", "VPID", "LUMFILT", "CLIP", "SIZ", "FPS", "SEQ ", "FRM"}) {
      EXPECT_NE(line.compare(0, std::string(keyword).size(), keyword), 0) << line;
    }
  }

  StreamFacts none;
  indexer_test::WriteText(project, "VantuIndexFileNV1\n\n\n\n\nSEQ 0\nFRM I\n");
  ASSERT_TRUE(indexer::ReadFacts(project, &none));
  EXPECT_FALSE(none.present);
  EXPECT_FALSE(indexer::ReadFacts(dir.File("missing.vnt"), &none));
}

}  // namespace
