// Runs of real ffmpeg-made streams, started at every GOP, against ffmpeg's own sequential decode.
#include "decode-server/run_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/unit/decode-server/media_helpers.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace decode_server {
namespace {

using decode_server_test::FfmpegFrameMd5;
using decode_server_test::FindGops;
using decode_server_test::GopStart;
using decode_server_test::Md5OfFrame;
using decode_server_test::MediaPath;
using decode_server_test::ReadFile;
using decode_server_test::SplitUnits;
using decode_server_test::Unit;

constexpr const char* kBwdif = "bwdif=mode=send_field:parity=auto:deint=all";

struct Delivered {
  std::string md5;
  bool placeholder;
  int64_t displayIndex;
};

struct Stream : decode_server_test::TestStream {
  using TestStream::TestStream;

  // Decodes from GOP `gop` to the end of the data, as one run.
  std::vector<Delivered> Run(size_t gop, int deinterlace, bool useTopField,
                             RunStats* stats = nullptr, int width = 0, int height = 0,
                             int64_t unseenFrames = 0) const {
    RunDecoder decoder(deinterlace, useTopField, width, height);
    EXPECT_TRUE(decoder.ok());
    decoder.SkipUnseenFrames(unseenFrames);
    std::vector<Delivered> out;
    auto sink = [&](RunPicture picture) {
      EXPECT_EQ(picture.outputIndex, static_cast<int64_t>(out.size()));
      out.push_back(
          Delivered{Md5OfFrame(picture.frame), picture.placeholder, picture.displayIndex});
      av_frame_free(&picture.frame);
    };
    for (size_t k = gops[gop].unit; k < units.size(); ++k) {
      decoder.PushUnit(bytes.data() + units[k].offset, units[k].size, sink);
    }
    decoder.Finish(sink);
    if (stats) *stats = decoder.stats();
    return out;
  }
};

class SequentialRuns : public ::testing::TestWithParam<const char*> {};

// Every picture of a run started at any GOP is ffmpeg's picture of the same display number, and
// the run delivers exactly one picture per display place; only the leading B frames of an open
// GOP at the start of the run are filled in (with a copy of the GOP's I frame).
TEST_P(SequentialRuns, EveryGopStartMatchesFfmpegAndCountsExactly) {
  const Stream stream(GetParam());
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
  ASSERT_EQ(static_cast<int>(reference.size()), stream.frames);
  ASSERT_GT(stream.gops.size(), 2u);
  for (size_t g = 0; g < stream.gops.size(); ++g) {
    SCOPED_TRACE("run from GOP " + std::to_string(g));
    const int first = stream.gops[g].firstPicture;
    const int leading = stream.LeadingBs(g);
    RunStats stats;
    const std::vector<Delivered> pictures = stream.Run(g, 0, true, &stats);
    ASSERT_EQ(static_cast<int>(pictures.size()), stream.frames - first);
    EXPECT_EQ(stats.placeholders, leading);
    for (size_t k = 0; k < pictures.size(); ++k) {
      EXPECT_EQ(pictures[k].displayIndex, static_cast<int64_t>(k));
      if (static_cast<int>(k) < leading) {
        EXPECT_TRUE(pictures[k].placeholder);
        EXPECT_EQ(pictures[k].md5, reference[first + leading]) << "a copy of the I frame";
        continue;
      }
      ASSERT_FALSE(pictures[k].placeholder) << k;
      ASSERT_EQ(pictures[k].md5, reference[first + k]) << "display picture " << first + k;
    }
  }
}

// sizechange.m2v: 60 frames of 720x576, then 78 of 720x480. Runs from every GOP deliver every
// picture at the clip's 720x576: the first part as ffmpeg decodes it, the second as ffmpeg's
// scale filter with the server's settings makes it; and the last 720x576 picture, which
// libavcodec drops when the size changes, is there.
TEST(SequentialRuns, SizeChangeIsScaledToTheClipAndLosesNoPicture) {
  const Stream stream("sizechange.m2v");
  std::vector<std::string> reference = FfmpegFrameMd5(MediaPath("sizechange_a.m2v"), "");
  ASSERT_EQ(reference.size(), 60u);
  for (const std::string& md5 :
       FfmpegFrameMd5(MediaPath("sizechange_b.m2v"), "scale=720:576:flags=bicubic:interl=-1")) {
    reference.push_back(md5);
  }
  ASSERT_EQ(static_cast<int>(reference.size()), stream.frames);
  for (size_t g = 0; g < stream.gops.size(); ++g) {
    SCOPED_TRACE("run from GOP " + std::to_string(g));
    const int first = stream.gops[g].firstPicture;
    RunStats stats;
    const std::vector<Delivered> pictures = stream.Run(g, 0, true, &stats, 720, 576);
    ASSERT_EQ(static_cast<int>(pictures.size()), stream.frames - first);
    EXPECT_EQ(stats.placeholders, stream.LeadingBs(g));
    for (size_t k = stream.LeadingBs(g); k < pictures.size(); ++k) {
      ASSERT_FALSE(pictures[k].placeholder) << k;
      ASSERT_EQ(pictures[k].md5, reference[first + k]) << "display picture " << first + k;
    }
  }
}

// A run whose first frames the client discards unseen skips decoding the B frames among them;
// every place is still delivered, and every picture from the first seen one on is ffmpeg's.
TEST_P(SequentialRuns, UnseenBFramesAreSkippedAndTheRestIsExact) {
  const Stream stream(GetParam());
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
  int64_t skippedInAll = 0;
  for (size_t g = 0; g < stream.gops.size(); ++g) {
    const int first = stream.gops[g].firstPicture;
    for (int unseen : {1, 5, 14}) {
      if (first + unseen >= stream.frames) continue;
      SCOPED_TRACE("run from GOP " + std::to_string(g) + ", " + std::to_string(unseen) + " unseen");
      RunStats stats;
      const std::vector<Delivered> pictures = stream.Run(g, 0, true, &stats, 0, 0, unseen);
      ASSERT_EQ(static_cast<int>(pictures.size()), stream.frames - first);
      skippedInAll += stats.skippedFrames;
      // An open GOP's leading B frames are filled in at the start of a run in any case.
      for (size_t k = std::max(unseen, stream.LeadingBs(g)); k < pictures.size(); ++k) {
        EXPECT_EQ(pictures[k].displayIndex, static_cast<int64_t>(k));
        ASSERT_EQ(pictures[k].md5, reference[first + k]) << "display picture " << first + k;
      }
    }
  }
  EXPECT_GT(skippedInAll, 0) << "no B frame was skipped";
}

// A target that is an anchor comes out as soon as the next anchor's picture header arrives,
// without waiting for that anchor's decode; the run then goes on exactly (the decoder decodes
// the run again up to the target first).
TEST(SequentialRuns, AnchorTargetComesOutWithoutTheNextAnchorsDecode) {
  const Stream stream("es576i_open.m2v");
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
  const size_t g = 1;
  const int64_t target = stream.LeadingBs(g);  // the GOP's I frame
  ASSERT_GT(target, 0);
  RunDecoder decoder(0, true);
  decoder.SkipUnseenFrames(target);
  std::vector<Delivered> out;
  int headers = 0, anchors = 0, headersAtSecondAnchor = -1, headersAtTarget = -1;
  auto sink = [&](RunPicture picture) {
    if (picture.displayIndex == target && headersAtTarget < 0) headersAtTarget = headers;
    out.push_back(Delivered{Md5OfFrame(picture.frame), picture.placeholder, picture.displayIndex});
    av_frame_free(&picture.frame);
  };
  for (size_t k = stream.gops[g].unit; k < stream.units.size(); ++k) {
    const uint8_t* unit = stream.bytes.data() + stream.units[k].offset;
    if (stream.units[k].code == 0x00 && stream.units[k].size > 5) {
      ++headers;
      const int codingType = (unit[5] >> 3) & 7;  // after the 10-bit temporal_reference
      if (codingType != 3 && ++anchors == 2) headersAtSecondAnchor = headers;
    }
    decoder.PushUnit(unit, stream.units[k].size, sink);
  }
  decoder.Finish(sink);
  ASSERT_GT(headersAtSecondAnchor, 0);
  EXPECT_EQ(headersAtTarget, headersAtSecondAnchor);
  const int first = stream.gops[g].firstPicture;
  ASSERT_EQ(static_cast<int>(out.size()), stream.frames - first);
  for (size_t k = static_cast<size_t>(target); k < out.size(); ++k) {
    ASSERT_EQ(out[k].md5, reference[first + k]) << "display picture " << first + k;
  }
}

// With deinterlacing every frame is decoded: the filter needs each frame's neighbours.
TEST(DeinterlacedRuns, UnseenFramesAreStillDecoded) {
  const Stream stream("es576i_open.m2v");
  RunStats stats;
  stream.Run(1, 2, true, &stats, 0, 0, 10);
  EXPECT_EQ(stats.skippedFrames, 0);
}

INSTANTIATE_TEST_SUITE_P(Media, SequentialRuns,
                         ::testing::Values("es576i_open.m2v", "es1080p_closed.m2v",
                                           "es480i_bff.m2v"));

// A stream that begins with an open GOP: ffmpeg itself drops the two leading B frames; the run
// fills their places and the rest is ffmpeg's decode.
TEST(SequentialRuns, StreamStartingWithOpenGop) {
  const Stream stream("cut_open.m2v");
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, "");
  const std::vector<Delivered> pictures = stream.Run(0, 0, true);
  ASSERT_EQ(static_cast<int>(pictures.size()), stream.frames);
  ASSERT_EQ(reference.size() + 2, pictures.size());
  EXPECT_TRUE(pictures[0].placeholder);
  EXPECT_TRUE(pictures[1].placeholder);
  for (size_t k = 2; k < pictures.size(); ++k) {
    EXPECT_FALSE(pictures[k].placeholder);
    EXPECT_EQ(pictures[k].md5, reference[k - 2]) << k;
  }
}

// Deinterlaced runs against ffmpeg's bwdif with the same settings over the whole file. A picture
// depends on its frame and both neighbours, so it must match whenever those three are decoded
// pictures and the frame is not the first of a run that began later than the file: in particular
// every picture from the second GOP of a run on, which is what the plugin, stepping one GOP back
// when it deinterlaces, ever shows.
// `topFirst`: the stream's field order (every frame of these clips has the same).
void CheckDeinterlacedRuns(const Stream& stream, bool topFirst, int deinterlace, bool useTopField,
                           const std::vector<size_t>& gopStarts) {
  const std::vector<std::string>& reference = FfmpegFrameMd5(stream.path, kBwdif);
  ASSERT_EQ(static_cast<int>(reference.size()), 2 * stream.frames);
  for (size_t g : gopStarts) {
    SCOPED_TRACE("run from GOP " + std::to_string(g));
    const int first = stream.gops[g].firstPicture;
    const int leading = stream.LeadingBs(g);
    const std::vector<Delivered> pictures = stream.Run(g, deinterlace, useTopField);
    const int perFrame = deinterlace == 2 ? 2 : 1;
    ASSERT_EQ(static_cast<int>(pictures.size()), perFrame * (stream.frames - first));
    int compared = 0;
    for (size_t k = 0; k < pictures.size(); ++k) {
      const int64_t place = static_cast<int64_t>(k) / perFrame;
      ASSERT_EQ(pictures[k].displayIndex, place);
      ASSERT_EQ(pictures[k].placeholder, place < leading);
      const bool neighboursDecoded = place > leading || (g == 0 && leading == 0);
      if (!neighboursDecoded) continue;
      int half = static_cast<int>(k % 2);
      if (deinterlace == 1) half = useTopField == topFirst ? 0 : 1;
      ASSERT_EQ(pictures[k].md5, reference[2 * (first + place) + half])
          << "frame " << first + place << " field picture " << half;
      ++compared;
    }
    EXPECT_GE(compared, static_cast<int>(pictures.size()) - perFrame * (leading + 1));
  }
}

TEST(DeinterlacedRuns, TwoPicturesPerFrameMatchBwdif) {
  const Stream open("es576i_open.m2v");
  CheckDeinterlacedRuns(open, true, 2, true, {0, 1, 6, open.gops.size() - 2});
  const Stream bff("es480i_bff.m2v");
  CheckDeinterlacedRuns(bff, false, 2, false, {0, 2});
}

TEST(DeinterlacedRuns, OnePicturePerFrameFromTheChosenField) {
  const Stream open("es576i_open.m2v");
  CheckDeinterlacedRuns(open, true, 1, true, {0, 4});
  CheckDeinterlacedRuns(open, true, 1, false, {3});
  const Stream bff("es480i_bff.m2v");
  CheckDeinterlacedRuns(bff, false, 1, true, {1});
  CheckDeinterlacedRuns(bff, false, 1, false, {0});
}

// The same comparison with ffmpeg asked directly for one picture per frame from the top field of
// a top-field-first stream: the first picture of each pair.
TEST(DeinterlacedRuns, TopFieldPicturesAreFfmpegsEvenFieldPictures) {
  const Stream stream("es576i_open.m2v");
  const std::vector<std::string>& reference =
      FfmpegFrameMd5(stream.path, std::string(kBwdif) + ",select=not(mod(n\\,2))");
  ASSERT_EQ(static_cast<int>(reference.size()), stream.frames);
  const std::vector<Delivered> pictures = stream.Run(0, 1, true);
  ASSERT_EQ(pictures.size(), reference.size());
  for (size_t k = 0; k < pictures.size(); ++k) EXPECT_EQ(pictures[k].md5, reference[k]) << k;
}

// Damaged data: stray bytes, a start code with nothing after it, truncated headers and slices,
// missing slices. The run goes on and still delivers one picture per coded frame.
TEST(DamagedRuns, GarbageAndTruncatedUnitsKeepTheCount) {
  av_log_set_level(AV_LOG_QUIET);  // the decoder reports every damaged slice
  const Stream stream("es576i_open.m2v");
  const size_t start = stream.gops[2].unit;
  RunDecoder decoder(0, true);
  int64_t delivered = 0;
  auto sink = [&](RunPicture picture) {
    ++delivered;
    av_frame_free(&picture.frame);
  };
  const uint8_t garbage[] = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x00, 0x00, 0x12};
  const uint8_t bareStartCode[] = {0x00, 0x00, 0x01};
  const uint8_t junkSlice[] = {0x00, 0x00, 0x01, 0x05, 0xff, 0xff, 0xff, 0xff, 0x00, 0x13};
  int pictures = 0;
  int n = 0;
  for (size_t k = start; k < stream.units.size(); ++k, ++n) {
    const Unit& unit = stream.units[k];
    const uint8_t* data = stream.bytes.data() + unit.offset;
    pictures += unit.code == 0x00;
    if (n % 97 == 5) decoder.PushUnit(garbage, sizeof garbage, sink);
    if (n % 89 == 7) decoder.PushUnit(bareStartCode, sizeof bareStartCode, sink);
    if (n % 83 == 11) decoder.PushUnit(junkSlice, sizeof junkSlice, sink);
    if (unit.code >= 0x01 && unit.code <= 0xAF && n % 7 == 3) continue;  // a lost slice
    size_t size = unit.size;
    if (unit.code >= 0x01 && unit.code <= 0xAF && n % 11 == 4) size = size / 3;  // truncated
    if (unit.code == 0x00 && n % 5 == 1) size = 4;  // a picture header cut short
    decoder.PushUnit(data, size, sink);
  }
  decoder.Finish(sink);
  EXPECT_EQ(delivered, pictures);
  EXPECT_EQ(decoder.stats().codedFrames, pictures);
}

TEST(DamagedRuns, NothingDecodableStillAnswersWithBlack) {
  RunDecoder decoder(2, true);
  std::vector<RunPicture> out;
  auto sink = [&](RunPicture picture) { out.push_back(picture); };
  // A sequence header for 352x288, then two picture headers without any slice.
  const uint8_t sequence[] = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x01,
                              0x20, 0x13, 0xff, 0xff, 0xe0, 0x18};
  const uint8_t picture[] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x0f, 0xff, 0xf8};
  decoder.PushUnit(sequence, sizeof sequence, sink);
  decoder.PushUnit(picture, sizeof picture, sink);
  decoder.PushUnit(picture, sizeof picture, sink);
  decoder.Finish(sink);
  ASSERT_EQ(out.size(), 4u);  // two frames, two pictures each
  for (RunPicture& p : out) {
    EXPECT_TRUE(p.placeholder);
    EXPECT_EQ(p.frame->width, 352);
    EXPECT_EQ(p.frame->height, 288);
    EXPECT_EQ(p.frame->data[0][0], 16);
    av_frame_free(&p.frame);
  }
}

}  // namespace
}  // namespace decode_server
