#include <gtest/gtest.h>

#include <string>

#include "decoder_test_support.h"
#include "matroska/matroska.h"
#include "reader/avc_decoder.h"

namespace {

using dectest::Bytes;

class MatroskaAccess : public ::testing::Test {
 protected:
  // Loads a Matroska project over `video` (a path) with one GOP at time 0.
  int Load(const std::string& video) {
    dectest::WriteFile(dir_.Path("p.vnt"),
                       "VantuIndexFileNV1\nx\n" + video + "\nx\nx\nSTREAM 2\nSEQ 0\nFRM I\n");
    return d_->Open(dir_.Path("p.vnt").c_str());
  }

  dectest::TempDir dir_;
  std::unique_ptr<CAVCDecoder> d_ = dectest::NewDecoder();
};

TEST_F(MatroskaAccess, LoadCodesAndTrackChoice) {
  EXPECT_EQ(Load(dectest::MediaPath("es576i_open.m2v")), kLoadMatroskaParse);
  EXPECT_EQ(d_->videoFile, nullptr);
  EXPECT_EQ(d_->mkvFile, nullptr);
  EXPECT_EQ(Load(dectest::MediaPath("mkv_no_mpeg2.mkv")), kLoadNoMpegTrack);
  EXPECT_EQ(d_->videoFile, nullptr);
  EXPECT_EQ(d_->mkvFile, nullptr);
  ASSERT_EQ(Load(dectest::MediaPath("mkv_audio_first.mkv")), kLoadOk);
  EXPECT_EQ(d_->mkvTrack, 1);
  ASSERT_EQ(Load(dectest::MediaPath("mkv576i.mkv")), kLoadOk);
  EXPECT_EQ(d_->mkvTrack, 0);
  // 150 pictures at 25 per second, in nanoseconds.
  EXPECT_GT(d_->GetMKVDuration(), 5000000000u);
  EXPECT_LE(d_->GetMKVDuration(), 6000000000u);
}

TEST_F(MatroskaAccess, ParserReadsThroughTheFileInputOverTheVideoFile) {
  ASSERT_EQ(Load(dectest::MediaPath("mkv576i.mkv")), kLoadOk);
  EXPECT_EQ(d_->mkvInput.inputFile, d_->videoFile);
  EXPECT_EQ(d_->mkvInput.ops.cacheSize(&d_->mkvInput.ops), 65536u);
  // The decoder's input reports no file size.
  EXPECT_EQ(d_->mkvInput.ops.fileSize, nullptr);
}

TEST_F(MatroskaAccess, UnitsFromEveryKeyFrameMatchTheElementaryStream) {
  const Bytes es = dectest::ReadFile(dectest::MediaPath("es576i_open.m2v"));
  const std::vector<size_t> gops = dectest::SequenceHeaders(es);
  ASSERT_EQ(Load(dectest::MediaPath("mkv576i.mkv")), kLoadOk);

  ASSERT_EQ(d_->AlignStream(0), 0);
  EXPECT_TRUE(dectest::SameUnits(dectest::CutUnits(*d_), dectest::ReferenceUnits(es)));
  EXPECT_EQ(d_->GetAnnexbNALU(), 0);
  unsigned char byte;
  EXPECT_EQ(d_->GetRawByte(&byte), -1);

  // The key frames' times, as the parser reports them, are the GOP positions of a project.
  std::vector<uint64_t> keyTimes;
  mkv_Seek(d_->mkvFile, 0, 0, uint32_t(d_->mkvTrack));
  for (;;) {
    uint32_t track, size, flags;
    uint64_t start, end, pos;
    if (mkv_NextFrame(d_->mkvFile, 0, &track, &start, &end, &pos, &size, &flags) != 0) break;
    if (flags & MKV_FRAME_KEY) keyTimes.push_back(start);
  }
  ASSERT_EQ(keyTimes.size(), gops.size());
  for (size_t k = gops.size(); k-- > 0;) {
    ASSERT_EQ(d_->AlignStream(keyTimes[k]), 0);
    std::vector<Bytes> expected = dectest::ReferenceUnits(es, gops[k]);
    expected.resize(std::min<size_t>(expected.size(), 60));
    EXPECT_TRUE(dectest::SameUnits(dectest::CutUnits(*d_, 60), expected)) << "key frame " << k;
  }
}

}  // namespace
