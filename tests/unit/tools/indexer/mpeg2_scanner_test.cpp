// The start-code scanner: chunking never changes the result, headers are read correctly, and
// field pictures, stray sequence headers and pictures before the first sequence header are
// indexed as the plugin needs them.
#include "tools/indexer/mpeg2_scanner.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/unit/tools/indexer/indexer_test_support.h"

namespace {

using indexer::Mpeg2Scanner;
using indexer::VideoIndex;
using namespace indexer_test;

// Builds MPEG-2 video headers bit-exactly, with a little slice data after each picture.
class StreamBuilder {
 public:
  std::vector<uint8_t> bytes;

  StreamBuilder& Code(uint8_t code) {
    bytes.insert(bytes.end(), {0x00, 0x00, 0x01, code});
    return *this;
  }
  StreamBuilder& Sequence(int width, int height, int rateCode, bool progressive = false,
                          int rateN = 0, int rateD = 0, bool extension = true) {
    Code(0xB3);
    bytes.push_back(static_cast<uint8_t>(width >> 4));
    bytes.push_back(static_cast<uint8_t>(((width & 0xF) << 4) | ((height >> 8) & 0xF)));
    bytes.push_back(static_cast<uint8_t>(height & 0xFF));
    bytes.push_back(static_cast<uint8_t>(0x20 | rateCode));
    bytes.insert(bytes.end(), {0xFF, 0xFF, 0xE0, 0x00});  // bit rate, marker, VBV, flags
    if (!extension) return *this;
    Code(0xB5);
    // id 1, profile/level 0x48, progressive, 4:2:0, no size extension, bit rate extension 0.
    bytes.push_back(0x14);
    bytes.push_back(static_cast<uint8_t>(0x80 | (progressive ? 0x08 : 0) | (1 << 1)));
    bytes.push_back(0x00);
    bytes.push_back(0x01);  // marker
    bytes.push_back(0x00);  // VBV extension
    bytes.push_back(static_cast<uint8_t>((rateN << 5) | rateD));
    return *this;
  }
  // Sequence display extension: video format, optional colour description, display size.
  StreamBuilder& Display(int format, int primaries, int transfer, int matrix, int width,
                         int height) {
    Code(0xB5);
    const bool colour = primaries > 0;
    bytes.push_back(static_cast<uint8_t>(0x20 | (format << 1) | (colour ? 1 : 0)));
    if (colour) {
      bytes.push_back(static_cast<uint8_t>(primaries));
      bytes.push_back(static_cast<uint8_t>(transfer));
      bytes.push_back(static_cast<uint8_t>(matrix));
    }
    // display_horizontal_size(14) marker(1) display_vertical_size(14), padded to bytes.
    const uint32_t bits = (uint32_t(width) << 18) | (1u << 17) | (uint32_t(height) << 3);
    for (int shift = 24; shift >= 0; shift -= 8)
      bytes.push_back(static_cast<uint8_t>(bits >> shift));
    return *this;
  }
  StreamBuilder& Gop() {
    Code(0xB8);
    bytes.insert(bytes.end(), {0x00, 0x08, 0x00, 0x00});
    return *this;
  }
  // type 1 I, 2 P, 3 B; structure 1 top field, 2 bottom field, 3 frame.
  StreamBuilder& Picture(int type, int structure = 3, bool topFirst = true,
                         bool progressiveFrame = false, bool repeatFirstField = false) {
    Code(0x00);
    bytes.push_back(0x00);
    bytes.push_back(static_cast<uint8_t>(type << 3));
    bytes.insert(bytes.end(), {0xFF, 0xF8});
    Code(0xB5);
    bytes.push_back(0x8F);  // id 8, f_code[0][0] 15
    bytes.push_back(0xFF);
    bytes.push_back(static_cast<uint8_t>(0xF0 | structure));
    bytes.push_back(static_cast<uint8_t>((topFirst ? 0x80 : 0x00) | (repeatFirstField ? 2 : 0)));
    bytes.push_back(static_cast<uint8_t>(progressiveFrame ? 0x80 : 0x00));
    Code(0x01);  // one slice, its data free of start codes
    for (int i = 0; i < 40; ++i) bytes.push_back(static_cast<uint8_t>(0x10 + i));
    return *this;
  }
  StreamBuilder& Frames(const std::string& types) {
    for (char t : types) Picture(t == 'I' ? 1 : t == 'P' ? 2 : 3);
    return *this;
  }
};

VideoIndex Scan(const std::vector<uint8_t>& bytes) {
  Mpeg2Scanner scanner;
  scanner.Feed(bytes.data(), bytes.size(), 0);
  scanner.Finish();
  return scanner.index();
}

std::vector<uint64_t> Positions(const VideoIndex& index) {
  std::vector<uint64_t> positions;
  for (const indexer::GopRecord& gop : index.gops) positions.push_back(gop.position);
  return positions;
}

TEST(Mpeg2Scanner, ChunkSizesNeverChangeTheIndex) {
  const std::vector<uint8_t> file = ReadFile(Media("es576i_open.m2v"));
  const VideoIndex whole = Scan(file);
  ASSERT_EQ(whole.gops.size(), 13u);

  // Tiny chunks put every start code and header across chunk edges somewhere.
  std::mt19937 random(7);
  for (size_t fixed : {1, 2, 3, 5, 184}) {
    Mpeg2Scanner scanner;
    size_t at = 0;
    while (at < file.size()) {
      size_t n = fixed != 5 ? fixed : 1 + random() % 9;
      n = std::min(n, file.size() - at);
      scanner.Feed(file.data() + at, n, at);
      at += n;
    }
    scanner.Finish();
    EXPECT_EQ(CodedTypes(scanner.index()), CodedTypes(whole)) << "chunks of " << fixed;
    EXPECT_EQ(Positions(scanner.index()), Positions(whole)) << "chunks of " << fixed;
    EXPECT_EQ(scanner.index().fieldOrder, whole.fieldOrder);
    EXPECT_EQ(scanner.index().sequence.fpsNumerator, 25);
  }
}

TEST(Mpeg2Scanner, StartCodeSplitAcrossChunksKeepsItsFirstBytePosition) {
  StreamBuilder s;
  s.Sequence(720, 576, 3).Gop().Frames("IBB");
  const size_t second = s.bytes.size() + 1;  // after one stuffing zero
  s.bytes.push_back(0x00);
  s.Sequence(720, 576, 3).Gop().Frames("IBB");
  // Split after the stuffing zero and after each byte of "00 00 01 B3".
  for (size_t cut = second; cut <= second + 4; ++cut) {
    Mpeg2Scanner scanner;
    scanner.Feed(s.bytes.data(), cut, 1000);
    scanner.Feed(s.bytes.data() + cut, s.bytes.size() - cut, 1000 + cut);
    scanner.Finish();
    EXPECT_EQ(Positions(scanner.index()), (std::vector<uint64_t>{1000, 1000 + second}))
        << "cut at " << cut;
  }
}

TEST(Mpeg2Scanner, FramePositionsForFrameSources) {
  // A frame-by-frame source reports every byte of a frame at the frame's time.
  StreamBuilder a, b, c;
  a.Sequence(720, 576, 3).Gop().Frames("I");
  b.Frames("P");
  c.Sequence(720, 576, 3).Gop().Frames("I");
  Mpeg2Scanner scanner;
  scanner.Feed(a.bytes.data(), a.bytes.size(), 0, false);
  scanner.Feed(b.bytes.data(), b.bytes.size(), 40000000, false);
  scanner.Feed(c.bytes.data(), c.bytes.size(), 80000000, false);
  scanner.Finish();
  EXPECT_EQ(Positions(scanner.index()), (std::vector<uint64_t>{0, 80000000}));
  EXPECT_EQ(CodedTypes(scanner.index()), "IPI");
}

TEST(Mpeg2Scanner, SequenceParameters) {
  VideoIndex hd = Scan(StreamBuilder().Sequence(1920, 1080, 4, true).Frames("I").bytes);
  EXPECT_EQ(hd.sequence.width, 1920);
  EXPECT_EQ(hd.sequence.height, 1080);
  EXPECT_EQ(hd.sequence.fpsNumerator, 30000);
  EXPECT_EQ(hd.sequence.fpsDenominator, 1001);
  EXPECT_TRUE(hd.sequence.progressiveSequence);
  EXPECT_TRUE(hd.sequence.mpeg2);
  EXPECT_EQ(hd.sequence.chromaFormat, 1);

  // frame_rate_extension: 25 * (1 + 1) / (0 + 1) = 50.
  VideoIndex doubled = Scan(StreamBuilder().Sequence(720, 576, 3, false, 1, 0).Frames("I").bytes);
  EXPECT_EQ(doubled.sequence.fpsNumerator, 50);
  EXPECT_EQ(doubled.sequence.fpsDenominator, 1);

  VideoIndex mpeg1 =
      Scan(StreamBuilder().Sequence(352, 288, 3, false, 0, 0, false).Frames("I").bytes);
  EXPECT_TRUE(mpeg1.sequenceFound);
  EXPECT_FALSE(mpeg1.sequence.mpeg2);

  int n = 0, d = 0;
  EXPECT_TRUE(indexer::FrameRate(1, 0, 0, &n, &d));
  EXPECT_EQ(n * 1000 / d, 23976);
  EXPECT_TRUE(indexer::FrameRate(8, 0, 0, &n, &d));
  EXPECT_EQ(n, 60);
  EXPECT_FALSE(indexer::FrameRate(0, 0, 0, &n, &d));
  EXPECT_FALSE(indexer::FrameRate(9, 0, 0, &n, &d));
}

TEST(Mpeg2Scanner, FieldOrderFromTheFirstPicture) {
  StreamBuilder bff;
  bff.Sequence(720, 480, 4).Gop().Picture(1, 3, false).Picture(3, 3, true);
  EXPECT_EQ(Scan(bff.bytes).fieldOrder, 1);
  StreamBuilder tff;
  tff.Sequence(720, 480, 4).Gop().Picture(1, 3, true).Picture(3, 3, false);
  EXPECT_EQ(Scan(tff.bytes).fieldOrder, 0);
  StreamBuilder progressiveFrame;
  progressiveFrame.Sequence(720, 480, 4).Gop().Picture(1, 3, false, true);
  EXPECT_EQ(Scan(progressiveFrame.bytes).fieldOrder, 0);
  // Field pictures: the first field's parity decides.
  StreamBuilder bottomFirst;
  bottomFirst.Sequence(720, 480, 4).Gop().Picture(1, 2, false).Picture(2, 1, false);
  EXPECT_EQ(Scan(bottomFirst.bytes).fieldOrder, 1);
}

TEST(Mpeg2Scanner, FieldPairsCountAsOneFrame) {
  StreamBuilder s;
  // I/P field pair, then two B field pairs, then a frame picture P.
  s.Sequence(720, 576, 3).Gop();
  s.Picture(1, 1).Picture(2, 2).Picture(3, 1).Picture(3, 2).Picture(3, 1).Picture(3, 2);
  s.Picture(2, 3);
  VideoIndex index = Scan(s.bytes);
  EXPECT_EQ(CodedTypes(index), "IBBP");
  EXPECT_EQ(index.fieldPairs, 3u);
  EXPECT_EQ(index.unpairedFields, 0u);

  // A lone field (its mate lost) still counts as a frame, and is reported.
  StreamBuilder lone;
  lone.Sequence(720, 576, 3).Gop().Picture(1, 1).Picture(2, 2).Picture(3, 1).Picture(2, 3);
  index = Scan(lone.bytes);
  EXPECT_EQ(CodedTypes(index), "IBP");
  EXPECT_EQ(index.unpairedFields, 1u);
}

TEST(Mpeg2Scanner, PicturesBeforeTheFirstSequenceHeaderAreLeftOut) {
  StreamBuilder s;
  s.Frames("BBP");
  const uint64_t first = s.bytes.size();
  s.Sequence(720, 576, 3).Gop().Frames("IBBP");
  VideoIndex index = Scan(s.bytes);
  EXPECT_EQ(index.picturesBeforeSequence, 3u);
  EXPECT_EQ(Positions(index), std::vector<uint64_t>{first});
  EXPECT_EQ(CodedTypes(index), "IBBP");
}

TEST(Mpeg2Scanner, SequenceHeaderBeforeANonIPictureContinuesTheGop) {
  StreamBuilder s;
  s.Sequence(720, 576, 3).Gop().Frames("IBBP");
  s.Sequence(720, 576, 3).Frames("BBP");  // a repeated header in mid-GOP
  const uint64_t third = s.bytes.size();
  s.Sequence(720, 576, 3).Sequence(720, 576, 3).Gop().Frames("IBB");  // repeated back to back
  VideoIndex index = Scan(s.bytes);
  EXPECT_EQ(Positions(index), (std::vector<uint64_t>{0, third}));
  ASSERT_EQ(index.gops.size(), 2u);
  EXPECT_EQ(index.gops[0].types, "IBBPBBP");
  EXPECT_EQ(index.gops[1].types, "IBB");
  EXPECT_EQ(index.joinedSequences, 1u);

  // The stream's first sequence header starts a GOP even before a P picture: nothing earlier.
  StreamBuilder cut;
  cut.Sequence(720, 576, 3).Frames("PBBI");
  index = Scan(cut.bytes);
  EXPECT_EQ(Positions(index), std::vector<uint64_t>{0});
  EXPECT_EQ(CodedTypes(index), "PBBI");
}

TEST(Mpeg2Scanner, OddInputIsCountedNotTrusted) {
  StreamBuilder s;
  s.Sequence(720, 576, 3).Gop().Picture(1).Picture(4).Picture(0);  // D picture, invalid type 0
  s.Sequence(352, 288, 3).Gop().Picture(1);                        // size change
  VideoIndex index = Scan(s.bytes);
  EXPECT_EQ(CodedTypes(index), "IPPI");
  EXPECT_EQ(index.invalidPictureTypes, 2u);
  EXPECT_EQ(index.sizeChanges.size(), 1u);
  EXPECT_EQ(index.sequence.width, 720);

  // Data that ends inside headers, and data with no start code at all.
  StreamBuilder cutShort;
  cutShort.Sequence(720, 576, 3).Gop().Frames("I");
  cutShort.Code(0xB3).bytes.push_back(0x2D);
  index = Scan(cutShort.bytes);
  EXPECT_EQ(CodedTypes(index), "I");
  std::vector<uint8_t> noise(100000);
  std::mt19937 random(1);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(random() | 0x80);
  index = Scan(noise);
  EXPECT_FALSE(index.sequenceFound);
  EXPECT_EQ(index.pictureCount, 0u);
}

// Soft pulldown: the fields each frame is shown for, in coded order.
TEST(Mpeg2Scanner, DisplayedFieldsFollowTheRepeatFlags) {
  StreamBuilder s;
  s.Sequence(720, 480, 4).Gop();
  s.Picture(1, 3, true, true, true);    // 3 fields (top, bottom, top)
  s.Picture(3, 3, false, true, false);  // 2
  s.Picture(3, 3, false, true, true);   // 3
  s.Picture(2, 1).Picture(2, 2);        // a field pair: one frame of 2 fields
  s.Picture(2, 3, true, false, false);  // an interlaced frame: 2
  VideoIndex index = Scan(s.bytes);
  EXPECT_EQ(index.displayFields, (std::vector<uint8_t>{3, 2, 3, 2, 2}));
  EXPECT_EQ(index.repeatedFields, 2u);
  EXPECT_EQ(index.progressiveFrames, 3u);

  // In a progressive sequence the flags repeat the whole frame: twice with top_field_first.
  StreamBuilder p;
  p.Sequence(1280, 720, 4, true).Gop();
  p.Picture(1, 3, true, true, true).Picture(2, 3, false, true, true).Picture(2, 3, false, true);
  index = Scan(p.bytes);
  EXPECT_EQ(index.displayFields, (std::vector<uint8_t>{6, 4, 2}));
  EXPECT_EQ(index.progressiveFrames, 3u);
}

TEST(Mpeg2Scanner, SizeChangesNameTheirFirstFrame) {
  StreamBuilder s;
  s.Sequence(720, 576, 3).Gop().Frames("IP");
  s.Sequence(720, 480, 3).Gop().Frames("IBP");  // from frame 2
  s.Sequence(720, 480, 3).Gop().Frames("I");    // the same size again: no change
  s.Sequence(720, 576, 3).Gop().Frames("I");    // from frame 6
  VideoIndex index = Scan(s.bytes);
  ASSERT_EQ(index.sizeChanges.size(), 2u);
  EXPECT_EQ(index.sizeChanges[0].frame, 2u);
  EXPECT_EQ(index.sizeChanges[0].width, 720);
  EXPECT_EQ(index.sizeChanges[0].height, 480);
  EXPECT_EQ(index.sizeChanges[1].frame, 6u);
  EXPECT_EQ(index.sizeChanges[1].height, 576);
  EXPECT_EQ(index.sequence.height, 576);
}

// Aspect ratio, frame rate and quantiser matrices are listed where they change; a change of size
// or aspect ratio with no sequence end code before it names the picture ffmpeg's decoder drops.
TEST(Mpeg2Scanner, SequenceChangesNameTheirFirstFrame) {
  StreamBuilder s;
  auto sequence = [&](int aspect, int rateCode, bool nonIntraMatrix) {
    const size_t at = s.bytes.size();
    s.Sequence(720, 576, rateCode);
    s.bytes[at + 7] = static_cast<uint8_t>((aspect << 4) | rateCode);
    if (nonIntraMatrix) {
      s.bytes[at + 11] |= 0x01;  // load_non_intra_quantiser_matrix, then 64 values
      s.bytes.insert(s.bytes.begin() + static_cast<long>(at) + 12, 64, 0x20);
    }
    s.Gop();
  };
  sequence(2, 3, false);
  s.Frames("IBBP");  // frames 0 to 3, SAR 16:15
  sequence(3, 3, false);
  s.Frames("IBB");  // 16:9 from frame 4: ffmpeg drops frame 3
  s.Code(0xB7);     // sequence end: the decoder shows what it holds
  sequence(3, 4, false);
  s.Frames("I");  // 30000/1001 from frame 7
  sequence(3, 4, true);
  s.Frames("I");  // other matrices from frame 8
  sequence(3, 4, true);
  s.Frames("I");  // the same again: no change
  const VideoIndex index = Scan(s.bytes);
  ASSERT_EQ(index.aspectChanges.size(), 1u);
  EXPECT_EQ(index.aspectChanges[0].frame, 4u);
  EXPECT_EQ(index.aspectChanges[0].sarNumerator, 64);
  EXPECT_EQ(index.aspectChanges[0].sarDenominator, 45);
  EXPECT_EQ(index.aspectChanges[0].darNumerator, 16);
  EXPECT_EQ(index.aspectChanges[0].darDenominator, 9);
  ASSERT_EQ(index.rateChanges.size(), 1u);
  EXPECT_EQ(index.rateChanges[0].frame, 7u);
  EXPECT_EQ(index.rateChanges[0].fpsNumerator, 30000);
  EXPECT_EQ(index.rateChanges[0].fpsDenominator, 1001);
  EXPECT_EQ(index.matrixChanges, std::vector<uint64_t>{8});
  EXPECT_EQ(index.framesFfmpegDrops, std::vector<uint64_t>{3});
}

TEST(Mpeg2Scanner, DisplayExtensionOfTheFirstSequenceIsRead) {
  StreamBuilder s;
  s.Sequence(720, 576, 3).Display(1, 5, 5, 5, 704, 576).Gop().Frames("IP");
  s.Sequence(720, 576, 3).Display(2, 6, 6, 6, 720, 480).Gop().Frames("I");
  indexer::SequenceInfo seq = Scan(s.bytes).sequence;
  EXPECT_TRUE(seq.displayExtension);
  EXPECT_EQ(seq.videoFormat, 1);
  EXPECT_TRUE(seq.colourDescription);
  EXPECT_EQ(seq.colourPrimaries, 5);
  EXPECT_EQ(seq.transferCharacteristics, 5);
  EXPECT_EQ(seq.matrixCoefficients, 5);
  EXPECT_EQ(seq.displayWidth, 704);
  EXPECT_EQ(seq.displayHeight, 576);

  StreamBuilder plain;
  plain.Sequence(1920, 1080, 3, true).Display(5, 0, 0, 0, 1920, 1080).Gop().Frames("I");
  seq = Scan(plain.bytes).sequence;
  EXPECT_TRUE(seq.displayExtension);
  EXPECT_FALSE(seq.colourDescription);
  EXPECT_EQ(seq.displayWidth, 1920);
  EXPECT_EQ(seq.displayHeight, 1080);
}

// One sequence header for many GOPs: the GOPs without one cannot start a decode.
TEST(Mpeg2Scanner, GopHeadersWithoutASequenceHeaderAreCounted) {
  StreamBuilder s;
  s.Sequence(720, 576, 3).Gop().Frames("IBBP").Gop().Frames("IBBP").Gop().Frames("IBBP");
  VideoIndex index = Scan(s.bytes);
  EXPECT_EQ(index.gops.size(), 1u);
  EXPECT_EQ(index.groupsWithoutSequence, 2u);
  EXPECT_EQ(index.pictureCount, 12u);
}

}  // namespace
