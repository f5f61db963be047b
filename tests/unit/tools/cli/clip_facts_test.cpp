// The stream facts as `info` shows them, the Y4M interlacing letter, and the index options that
// produce them.
#include "tools/cli/clip_facts.h"

#include <gtest/gtest.h>

#include "tools/cli/options.h"

namespace cli {
namespace {

indexer::StreamFacts Facts(const std::string& scan) {
  indexer::StreamFacts facts;
  facts.present = true;
  facts.scan = scan;
  facts.fieldOrder = "bottom";
  facts.pulldown = "3:2";
  facts.codedNumerator = 30000;
  facts.codedDenominator = 1001;
  facts.fields = 300;
  facts.sarNumerator = 8;
  facts.sarDenominator = 9;
  facts.darNumerator = 4;
  facts.darDenominator = 3;
  return facts;
}

TEST(ClipFacts, Y4mSaysProgressiveOnlyForProgressiveFrames) {
  EXPECT_EQ(Y4mInterlacing(Facts("progressive"), 0, true), 'p');
  EXPECT_EQ(Y4mInterlacing(Facts("interlaced"), 0, true), 't');
  EXPECT_EQ(Y4mInterlacing(Facts("interlaced"), 0, false), 'b');
  EXPECT_EQ(Y4mInterlacing(Facts("mixed"), 0, true), 't');
  EXPECT_EQ(Y4mInterlacing(Facts("interlaced"), 1, true), 'p') << "deinterlaced";
  // A project without facts (an older indexer): as interlaced, by the parity.
  EXPECT_EQ(Y4mInterlacing(indexer::StreamFacts(), 0, false), 'b');
}

TEST(ClipFacts, JsonMembersAndText) {
  indexer::StreamFacts facts = Facts("progressive");
  facts.colour = true;
  facts.colourPrimaries = facts.transferCharacteristics = facts.matrixCoefficients = 1;
  facts.sizeChanges = {{60, 720, 480}};
  facts.aspectChanges = {{48, 64, 45, 16, 9}};
  facts.rateChanges = {{48, 30000, 1001}};
  facts.matrixChanges = {48, 96};
  facts.framesFfmpegDrops = {47};
  facts.damagedGops = {{3, 36, 50}};
  EXPECT_EQ(FactsJson(facts),
            ", \"scan\": \"progressive\", \"field_order\": \"bottom\", \"pulldown\": \"3:2\", "
            "\"pulldown_note\": \"film, 3:2 pulldown removed\", \"coded_fps\": \"30000/1001\", "
            "\"fields\": 300, \"sample_aspect_ratio\": \"8:9\", \"display_aspect_ratio\": "
            "\"4:3\", \"color_primaries\": \"bt709\", \"color_transfer\": \"bt709\", "
            "\"color_space\": \"bt709\", \"size_changes\": [{\"frame\": 60, \"width\": 720, "
            "\"height\": 480}], \"aspect_changes\": [{\"frame\": 48, \"sample_aspect_ratio\": "
            "\"64:45\", \"display_aspect_ratio\": \"16:9\"}], \"rate_changes\": [{\"frame\": "
            "48, \"coded_fps\": \"30000/1001\"}], \"matrix_changes\": [48, 96], "
            "\"frames_ffmpeg_drops\": [47], \"damaged_gops\": [{\"gop\": 3, \"first_frame\": "
            "36, \"last_frame\": 50}]");
  const std::string text = FactsText(facts);
  EXPECT_NE(text.find("pulldown:   film, 3:2 pulldown removed\n"), std::string::npos) << text;
  EXPECT_NE(text.find("size change: from frame 60 720x480"), std::string::npos) << text;
  EXPECT_EQ(FactsJson(indexer::StreamFacts()), "");
  EXPECT_EQ(FactsText(indexer::StreamFacts()), "");
}

TEST(ClipFacts, IndexOptionsForTimestampsAndListing) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"index", "v.ts", "--timestamps", "t.txt", "--list"}, &o, &error))
      << error;
  EXPECT_EQ(o.index.timestamps, "t.txt");
  EXPECT_TRUE(o.index.list);
  EXPECT_FALSE(ParseOptions({"index", "v.ts", "--timestamps"}, &o, &error));
  EXPECT_FALSE(ParseOptions({"hash", "p.vnt", "--list"}, &o, &error));
}

}  // namespace
}  // namespace cli
