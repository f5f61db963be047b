// Track entries: limits and messages, left-out entries, video and audio settings.
#include <gtest/gtest.h>

#include <string>

#include "matroska/mkv_file.h"
#include "tests/unit/matroska/mkv_test_support.h"

using namespace mkvtest;

namespace {

constexpr int64_t kOne = int64_t{1} << 32;

// Opens a file whose Tracks element (read through the SeekHead-free scan) holds `entries`.
struct TrackFile {
  MemoryInput in;
  FilePtr mf;
  std::string message;
  explicit TrackFile(const Bytes& tracks)
      : in(cat(
            {ebmlHeader(), segment(cat({infoElement(), tracks,
                                        cluster(0, {simpleBlock(1, 0, 0x80, payload(4, 1))})}))})) {
    mf = openFile(in, MKV_OPEN_NO_SEEK, &message);
  }
  ~TrackFile() { mf.reset(); }
  uint32_t count() { return mkv_TrackCount(mf.get()); }
  MkvTrack* at(uint32_t i) { return mkv_TrackEntry(mf.get(), i); }
  std::string error() { return mkv_LastError(mf.get()) ? mkv_LastError(mf.get()) : ""; }
};

Bytes contentEncoding(std::initializer_list<Bytes> children) {
  return master(0x6D80, {element(0x6240, cat(children))});
}

TEST(Tracks, LimitsAndTheirMessages) {
  struct Case {
    Bytes extra;
    const char* message;
  } cases[] = {
      {uintElement(0x83, 0), "Invalid track type: 0"},
      {uintElement(0x83, 255), "Invalid track type: 255"},
      {uintElement(0xD7, 256), "Track number is >255 (256)"},
      {uintElement(0x6FAB, 300), "Track number in TrackOverlay is too large: 300"},
      {uintElement(0x6DE7, uint64_t{1} << 32), "MinCache is too large"},
      {uintElement(0x6DF8, uint64_t{1} << 32), "MaxCache is too large"},
      {stringElement(0x86, "again"), "Duplicate CodecID"},
      {cat({stringElement(0x536E, "a"), stringElement(0x536E, "b")}), "Duplicate Track Name"},
      {cat({element(0x63A2, payload(1, 0)), element(0x63A2, payload(1, 0))}),
       "Duplicate CodecPrivate"},
      {element(0x63A2, payload(262145, 0)), "CodecPrivate is too large: 262145"},
      {master(0xE0, {uintElement(0x53B8, 4)}), "Invalid stereo mode"},
      {master(0xE0, {uintElement(0x54B2, 3)}), "Invalid DisplayUnit: 3"},
      {master(0xE0, {uintElement(0x54B3, 3)}), "Invalid AspectRatioType: 3"},
      {master(0xE0, {uintElement(0xB0, uint64_t{1} << 32)}), "PixelWidth is too large"},
      {master(0xE0, {uintElement(0x54AA, uint64_t{1} << 32)}), "PixelCropBottom is too large"},
      {master(0xE1, {uintElement(0x9F, 0)}), "Invalid Channels value"},
  };
  for (const Case& c : cases) {
    // The failing entry comes second: the first stays, the failure ends the Tracks element.
    TrackFile f(tracksElement({trackEntry(1, 1, "V_MPEG2"), trackEntry(2, 2, "A_AC3", {c.extra})}));
    ASSERT_TRUE(f.mf) << f.message;
    EXPECT_EQ(f.count(), 1u) << c.message;
    EXPECT_EQ(f.error(), c.message);
  }
  TrackFile noCodec(
      tracksElement({element(0xAE, cat({uintElement(0xD7, 1), uintElement(0x83, 1)}))}));
  EXPECT_EQ(noCodec.error(), "Track has no Codec ID");
  EXPECT_EQ(noCodec.count(), 0u);

  TrackFile edges(tracksElement({trackEntry(0, 254, "X", {element(0x63A2, payload(262144, 3))})}));
  ASSERT_EQ(edges.count(), 1u);
  EXPECT_EQ(edges.at(0)->trackNumber, 0);
  EXPECT_EQ(edges.at(0)->trackType, 254);
  EXPECT_EQ(edges.at(0)->codecPrivateSize, 262144u);
}

TEST(Tracks, AtMostThirtyTwoAndLeftOutEntriesDoNotCount) {
  Bytes entries;
  // An encrypted entry first: left out, takes no index.
  entries = cat({entries, trackEntry(40, 1, "ENC", {contentEncoding({uintElement(0x5033, 1)})})});
  for (uint64_t n = 1; n <= 33; ++n)
    entries = cat({entries, trackEntry(n, 2, "A_" + std::to_string(n))});
  TrackFile f(element(0x1654AE6B, entries));
  ASSERT_TRUE(f.mf);
  EXPECT_EQ(f.count(), 32u);
  EXPECT_EQ(f.error(), "Too many tracks.");
  EXPECT_STREQ(f.at(0)->codecID, "A_1");
}

TEST(Tracks, ContentEncodingsThatCannotBeHandledLeaveTheEntryOut) {
  const Bytes leftOut[] = {
      contentEncoding({uintElement(0x5033, 1)}),
      element(0x6D80, cat({element(0x6240, {}), element(0x6240, {})})),
      contentEncoding({master(0x5034, {uintElement(0x4254, 1)})}),
      contentEncoding({master(0x5034, {uintElement(0x4254, 2)})}),
      contentEncoding({master(0x5034, {uintElement(0x4254, 3), element(0x4255, payload(300, 0))})}),
  };
  for (const Bytes& encoding : leftOut) {
    TrackFile f(tracksElement({trackEntry(1, 1, "A", {encoding}),
                               trackEntry(2, 1, "B", {stringElement(0x536E, "kept")})}));
    ASSERT_EQ(f.count(), 1u);
    EXPECT_STREQ(f.at(0)->codecID, "B");
    EXPECT_STREQ(f.at(0)->name, "kept");
    EXPECT_EQ(f.error(), "");
  }
  TrackFile strip(tracksElement({trackEntry(
      1, 1, "V",
      {contentEncoding(
          {master(0x5034, {uintElement(0x4254, 3), element(0x4255, Bytes{0, 0, 1, 0xB3})})})})}));
  ASSERT_EQ(strip.count(), 1u);
  EXPECT_EQ(strip.at(0)->compEnabled, 1u);
  EXPECT_EQ(strip.at(0)->compMethod, 3u);
  ASSERT_EQ(strip.at(0)->compMethodPrivateSize, 4u);
  EXPECT_EQ(static_cast<uint8_t*>(strip.at(0)->compMethodPrivate)[3], 0xB3);
  TrackFile scope(tracksElement({trackEntry(
      1, 1, "V",
      {contentEncoding(
          {uintElement(0x5032, 2),
           master(0x5034, {uintElement(0x4254, 3), element(0x4255, payload(4, 1))})})})}));
  ASSERT_EQ(scope.count(), 1u);
  EXPECT_EQ(scope.at(0)->compEnabled, 0u);
  EXPECT_EQ(scope.at(0)->compMethodPrivate, nullptr);
  TrackFile zlib(tracksElement({trackEntry(1, 1, "V", {element(0x6D80, element(0x6240, {}))})}));
  EXPECT_EQ(zlib.at(0)->compEnabled, 1u);
  EXPECT_EQ(zlib.at(0)->compMethod, 0u);
}

TEST(Tracks, RepeatedUidsAndStrings) {
  TrackFile f(
      tracksElement({trackEntry(1, 1, "A", {uintElement(0x73C5, 77)}),
                     trackEntry(2, 1, "B", {uintElement(0x73C5, 77)}), trackEntry(3, 1, "C"),
                     trackEntry(4, 1, std::string(2000, 'c'),
                                {stringElement(0x536E, std::string(2000, 'n')),
                                 stringElement(0x22B59C, "fre"), element(0x63A2, payload(5, 9))}),
                     trackEntry(5, 1, "V_MPEG2X", {stringElement(0x22B59C, "deu-CH")}),
                     trackEntry(6, 1, "E", {stringElement(0x22B59C, "")})}));
  ASSERT_EQ(f.count(), 5u);
  EXPECT_STREQ(f.at(0)->codecID, "A");
  EXPECT_STREQ(f.at(1)->codecID, "C");
  EXPECT_EQ(std::string(f.at(2)->codecID), std::string(1023, 'c'));
  EXPECT_EQ(std::string(f.at(2)->name), std::string(1023, 'n'));
  EXPECT_STREQ(f.at(2)->language, "fre");
  EXPECT_EQ(static_cast<uint8_t*>(f.at(2)->codecPrivate)[4], 9);
  EXPECT_STREQ(f.at(1)->language, "eng");
  EXPECT_STREQ(f.at(3)->language, "deu");
  EXPECT_STREQ(f.at(4)->language, "eng");
  EXPECT_NE(std::string(f.at(3)->codecID), "V_MPEG2");  // the whole string counts
  EXPECT_EQ(f.at(1)->name, nullptr);
  EXPECT_EQ(f.at(1)->enabled, 1u);
  EXPECT_EQ(f.at(1)->lacing, 1u);
  EXPECT_EQ(f.at(1)->trackTimecodeScale, kOne);
}

TEST(Tracks, VideoSettings) {
  TrackFile f(tracksElement(
      {trackEntry(1, 1, "V",
                  {master(0xE0, {uintElement(0xB0, 720), uintElement(0xBA, 576),
                                 uintElement(0x9A, 1), float32Element(0x2FB523, 2.2f)})}),
       trackEntry(2, 1, "V",
                  {master(0xE0, {uintElement(0x54B0, 1024), uintElement(0xB0, 720),
                                 uintElement(0xBA, 576)})}),
       trackEntry(3, 1, "V",
                  {master(0xE0, {uintElement(0xB0, 720), uintElement(0x54B0, 1024),
                                 element(0x2EB524, Bytes{'Y', 'V', '1', '2', 'x', 'x'}),
                                 uintElement(0x54CC, 8)})}),
       trackEntry(4, 1, "V",
                  {master(0xE0, {element(0x2EB524, Bytes{1, 2}), uintElement(0xBA, 480)})})}));
  ASSERT_EQ(f.count(), 4u);
  EXPECT_EQ(f.at(0)->video.displayWidth, 720u);
  EXPECT_EQ(f.at(0)->video.displayHeight, 576u);
  EXPECT_EQ(f.at(0)->video.interlaced, 1u);
  EXPECT_EQ(mkv::fixedToInt(f.at(0)->video.gammaValue), 2);
  EXPECT_EQ(f.at(1)->video.displayWidth, 1024u);
  EXPECT_EQ(f.at(1)->video.displayHeight, 576u);
  EXPECT_EQ(f.at(2)->video.displayWidth, 1024u);
  // ColourSpace is read by its own size: a 6-byte one keeps its first four bytes and what
  // follows it is still read in place.
  EXPECT_EQ(f.at(2)->video.colourSpace, 0x59563132u);
  EXPECT_EQ(f.at(2)->video.pixelCropLeft, 8u);
  EXPECT_EQ(f.at(3)->video.colourSpace, 0x0102u);
  EXPECT_EQ(f.at(3)->video.pixelHeight, 480u);
}

TEST(Tracks, AudioSettingsAndDefaults) {
  TrackFile f(tracksElement(
      {trackEntry(1, 2, "A", {element(0xE1, {})}),
       trackEntry(2, 2, "A", {master(0xE1, {floatElement(0xB5, 0.5)})}),
       trackEntry(3, 2, "A",
                  {master(0xE1, {floatElement(0xB5, 44100.0), floatElement(0x78B5, 88200.0),
                                 uintElement(0x9F, 6), uintElement(0x6264, 0x118)})}),
       trackEntry(4, 2, "A", {master(0xE1, {float32Element(0xB5, 48000.0f)})})}));
  ASSERT_EQ(f.count(), 4u);
  EXPECT_EQ(f.at(0)->audio.samplingFreq, 8000 * kOne);
  EXPECT_EQ(f.at(0)->audio.outputSamplingFreq, 8000 * kOne);
  EXPECT_EQ(f.at(0)->audio.channels, 1);
  EXPECT_EQ(f.at(1)->audio.samplingFreq, 8000 * kOne);
  EXPECT_EQ(f.at(2)->audio.samplingFreq, 44100 * kOne);
  EXPECT_EQ(f.at(2)->audio.outputSamplingFreq, 88200 * kOne);
  EXPECT_EQ(f.at(2)->audio.channels, 6);
  EXPECT_EQ(f.at(2)->audio.bitDepth, 0x18);
  EXPECT_EQ(f.at(3)->audio.outputSamplingFreq, 48000 * kOne);
}

TEST(Tracks, ErrorThroughTheSeekHeadFailsTheOpen) {
  // Tracks after the first cluster, named by a SeekHead: its error fails the open.
  Bytes tracks = tracksElement({trackEntry(1, 0, "V")});
  Bytes clusterBytes = cluster(0, {simpleBlock(1, 0, 0x80, payload(4, 1))});
  Bytes head =
      master(0x114D9B74,
             {master(0x4DBB, {element(0x53AB, idBytes(0x1654AE6B)), uintElement(0x53AC, 0, 2)})});
  Bytes info = infoElement();
  // Fix the position: SeekHead, Info, Cluster, then Tracks.
  uint64_t tracksAt = head.size() + info.size() + clusterBytes.size();
  head = master(
      0x114D9B74,
      {master(0x4DBB, {element(0x53AB, idBytes(0x1654AE6B)), uintElement(0x53AC, tracksAt, 2)})});
  MemoryInput in(cat({ebmlHeader(), segment(cat({head, info, clusterBytes, tracks}))}));
  std::string message;
  FilePtr mf = openFile(in, 0, &message);
  EXPECT_FALSE(mf);
  EXPECT_EQ(message, "Invalid track type: 0");
}

}  // namespace
