// Real files made by mkvmerge and ffmpeg, compared with mkvinfo's and ffprobe's view of them.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "matroska/mkv_file.h"
#include "tests/unit/matroska/mkv_reference.h"
#include "tests/unit/matroska/mkv_test_support.h"

using namespace mkvtest;

namespace {

const char* const kClips[] = {"mkv576i.mkv",    "mkv576i_ts.mkv",      "mkv576i_nocues.mkv",
                              "ffmpeg576i.mkv", "mkv_audio_first.mkv", "mkv_no_mpeg2.mkv"};

struct Clip {
  std::string path;
  RefFile ref;
  std::unique_ptr<MemoryInput> in;
  FilePtr mf;
};

// Opens a clip from the build's media folder with its mkvinfo description, or skips.
bool openClip(const std::string& name, Clip& clip) {
  clip.path = mediaPath(name);
  if (clip.path.empty() || !haveTool("mkvinfo")) return false;
  clip.ref = describeWithMkvinfo(clip.path);
  clip.in = std::make_unique<MemoryInput>(readFile(clip.path));
  std::string message;
  clip.mf = openFile(*clip.in, 0, &message);
  EXPECT_TRUE(clip.mf) << name << ": " << message;
  return clip.mf != nullptr;
}

#define OPEN_CLIP_OR_SKIP(name, clip)                                     \
  Clip clip;                                                              \
  if (!openClip(name, clip)) {                                            \
    if (HasFailure()) return;                                             \
    GTEST_SKIP() << "media or mkvinfo missing (build target test_media)"; \
  }

class MediaClip : public ::testing::TestWithParam<const char*> {};

TEST_P(MediaClip, TracksAndSegmentInfoMatchMkvinfo) {
  OPEN_CLIP_OR_SKIP(GetParam(), clip);
  MatroskaFile* mf = clip.mf.get();
  const MkvSegmentInfo* info = mkv_SegmentInfo(mf);
  EXPECT_EQ(info->timecodeScale, clip.ref.timestampScale);
  EXPECT_EQ(info->muxingApp ? info->muxingApp : "", clip.ref.muxingApp);
  EXPECT_EQ(info->writingApp ? info->writingApp : "", clip.ref.writingApp);
  ASSERT_EQ(mkv_TrackCount(mf), clip.ref.tracks.size());
  EXPECT_EQ(mkv_TrackEntry(mf, mkv_TrackCount(mf)), nullptr);
  for (uint32_t i = 0; i < mkv_TrackCount(mf); ++i) {
    const MkvTrack* t = mkv_TrackEntry(mf, i);
    const RefTrack& r = clip.ref.tracks[i];
    SCOPED_TRACE("track " + std::to_string(i));
    EXPECT_EQ(t->trackNumber, r.number);
    EXPECT_EQ(t->trackType, r.type == "video" ? 1 : r.type == "audio" ? 2 : 0);
    EXPECT_STREQ(t->codecID, r.codec.c_str());
    EXPECT_EQ(t->trackUID, r.uid);
    EXPECT_EQ(t->defaultDuration, r.defaultDuration);
    EXPECT_EQ(t->trackTimecodeScale, int64_t{1} << 32);
    EXPECT_STREQ(t->language, r.language.empty() ? "eng" : r.language.c_str());
    if (t->trackType == 1) {
      EXPECT_EQ(t->video.pixelWidth, r.pixelWidth);
      EXPECT_EQ(t->video.pixelHeight, r.pixelHeight);
      EXPECT_EQ(t->video.displayWidth, r.displayWidth ? r.displayWidth : r.pixelWidth);
      EXPECT_EQ(t->video.displayHeight, r.displayHeight ? r.displayHeight : r.pixelHeight);
      EXPECT_EQ(t->video.interlaced, r.interlaced ? 1u : 0u);
      EXPECT_EQ(t->codecPrivateSize, 22u);  // the sequence header
      ASSERT_NE(t->codecPrivate, nullptr);
      EXPECT_EQ(static_cast<const uint8_t*>(t->codecPrivate)[3], 0xB3);
    } else if (t->trackType == 2) {
      EXPECT_EQ(mkv::fixedToInt(t->audio.samplingFreq), static_cast<int32_t>(r.samplingFrequency));
      EXPECT_EQ(t->audio.channels, r.channels ? r.channels : 1u);
    }
  }
  EXPECT_EQ(mkv_LastError(mf), nullptr);
}

// Every frame of every track, in file order per track: track, data position, size, start time,
// key and discardable flags, against mkvinfo.
TEST_P(MediaClip, EveryFrameMatchesMkvinfo) {
  OPEN_CLIP_OR_SKIP(GetParam(), clip);
  MatroskaFile* mf = clip.mf.get();
  ASSERT_FALSE(clip.ref.frames.empty());
  ASSERT_FALSE(clip.ref.hasBlockGroups);
  std::map<int, uint32_t> indexOf;
  std::map<int, uint64_t> defaultDuration;
  for (uint32_t i = 0; i < mkv_TrackCount(mf); ++i) {
    indexOf[mkv_TrackEntry(mf, i)->trackNumber] = i;
    defaultDuration[mkv_TrackEntry(mf, i)->trackNumber] = mkv_TrackEntry(mf, i)->defaultDuration;
  }
  std::vector<Frame> frames = readAll(mf);
  ASSERT_EQ(frames.size(), clip.ref.frames.size());
  std::map<uint32_t, std::vector<Frame>> byTrack;
  for (const Frame& f : frames) byTrack[f.track].push_back(f);
  std::map<uint32_t, size_t> next;
  const uint64_t origin = clip.ref.origin();
  for (const RefFrame& r : clip.ref.frames) {
    uint32_t index = indexOf.at(r.track);
    ASSERT_LT(next[index], byTrack[index].size());
    const Frame& f = byTrack[index][next[index]++];
    SCOPED_TRACE("frame at " + std::to_string(r.pos));
    EXPECT_EQ(f.pos, r.pos);
    EXPECT_EQ(f.size, r.size);
    const uint64_t d = defaultDuration[r.track];
    EXPECT_EQ(f.start, r.timestamp - origin + r.lace * d);
    EXPECT_EQ(f.end, f.start + d);
    EXPECT_EQ((f.flags & MKV_FRAME_KEY) != 0, r.key);
    EXPECT_EQ((f.flags & MKV_FRAME_DISCARDABLE) != 0, r.discardable);
    EXPECT_EQ(f.flags & (MKV_FRAME_START_INEXACT | MKV_FRAME_END_INEXACT), 0u);
  }
  // The earliest head is delivered first: each frame starts no later than the next one of any
  // other track that was already queued; simplest check: the audio interleaves with the video.
  EXPECT_EQ(mkv_NextFrame(mf, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
}

TEST_P(MediaClip, DurationIsTheEndOfTheLastVideoFrame) {
  OPEN_CLIP_OR_SKIP(GetParam(), clip);
  MatroskaFile* mf = clip.mf.get();
  int videoNumber = -1;
  uint64_t d = 0;
  for (const RefTrack& t : clip.ref.tracks) {
    if (t.type == "video" && videoNumber < 0) {
      videoNumber = t.number;
      d = t.defaultDuration;
    }
  }
  uint64_t expected = static_cast<uint64_t>(clip.ref.duration);  // the stored Duration
  if (videoNumber >= 0) {
    expected = 0;
    for (const RefFrame& r : clip.ref.frames) {
      if (r.track == videoNumber)
        expected = std::max(expected, r.timestamp - clip.ref.origin() + d);
    }
  }
  EXPECT_EQ(mkv_SegmentInfo(mf)->duration, expected);
  // Without seeking, the stored Duration is kept.
  std::string message;
  FilePtr plain = openFile(*clip.in, MKV_OPEN_NO_SEEK, &message);
  ASSERT_TRUE(plain) << message;
  EXPECT_EQ(mkv_SegmentInfo(plain.get())->duration, clip.ref.duration);
}

TEST_P(MediaClip, CueTableMatchesMkvinfo) {
  OPEN_CLIP_OR_SKIP(GetParam(), clip);
  MatroskaFile* mf = clip.mf.get();
  std::vector<std::pair<uint64_t, uint64_t>> expected;
  const uint64_t firstCluster = clip.ref.clusterPositions.at(0) - mf->segmentDataPos;
  for (auto cue : clip.ref.cues) {
    if (expected.empty() && cue.second != firstCluster) expected.emplace_back(0, firstCluster);
    expected.emplace_back(cue.first - clip.ref.origin(), cue.second);
  }
  std::vector<std::pair<uint64_t, uint64_t>> actual;
  for (uint32_t i = 0; i < mf->cueCount; ++i) {
    actual.emplace_back(mf->cues[i].time, mf->cues[i].clusterPos);
  }
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(mf->firstClusterPos, clip.ref.clusterPositions.at(0));
}

INSTANTIATE_TEST_SUITE_P(Clips, MediaClip, ::testing::ValuesIn(kClips),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

TEST(MediaFrames, TimesSizesAndKeysMatchFfprobe) {
  OPEN_CLIP_OR_SKIP("mkv576i_ts.mkv", clip);
  if (!haveTool("ffprobe")) GTEST_SKIP() << "ffprobe missing";
  std::vector<ProbePacket> packets = probePackets(clip.path);
  std::vector<Frame> frames = readAll(clip.mf.get());
  ASSERT_EQ(frames.size(), packets.size());
  // ffprobe numbers streams like the track table; lists each stream's packets in file order.
  std::map<int, std::vector<ProbePacket>> probe;
  std::map<uint32_t, std::vector<Frame>> ours;
  for (const ProbePacket& p : packets) probe[p.stream].push_back(p);
  for (const Frame& f : frames) ours[f.track].push_back(f);
  const int64_t originMs = static_cast<int64_t>(clip.ref.origin() / 1000000);
  for (auto& [stream, list] : probe) {
    ASSERT_EQ(ours[static_cast<uint32_t>(stream)].size(), list.size());
    for (size_t i = 0; i < list.size(); ++i) {
      const Frame& f = ours[static_cast<uint32_t>(stream)][i];
      EXPECT_EQ(static_cast<int64_t>(f.start), (list[i].pts - originMs) * 1000000) << i;
      EXPECT_EQ(f.size, list[i].size);
      EXPECT_EQ((f.flags & MKV_FRAME_KEY) != 0, list[i].key);
    }
  }
}

TEST(MediaFrames, VideoFramesReproduceTheElementaryStream) {
  OPEN_CLIP_OR_SKIP("mkv576i.mkv", clip);
  Bytes es = readFile(mediaPath("es576i_open.m2v"));
  ASSERT_FALSE(es.empty());
  MatroskaFile* mf = clip.mf.get();
  ASSERT_EQ(mkv_TrackEntry(mf, 0)->trackType, 1);
  mkv_SelectTracks(mf, ~1u);
  Bytes joined;
  for (const Frame& f : readAll(mf)) {
    ASSERT_EQ(f.track, 0u);
    ASSERT_LE(f.pos + f.size, clip.in->data.size());
    joined.insert(joined.end(), clip.in->data.begin() + static_cast<long>(f.pos),
                  clip.in->data.begin() + static_cast<long>(f.pos + f.size));
  }
  EXPECT_TRUE(joined == es) << "joined " << joined.size() << " bytes, stream " << es.size();
}

TEST(MediaFrames, SelectedTracksOnlyAndMasksPerCall) {
  OPEN_CLIP_OR_SKIP("mkv576i_ts.mkv", clip);
  MatroskaFile* mf = clip.mf.get();
  std::vector<Frame> all = readAll(mf);
  size_t video = 0;
  for (const Frame& f : all) video += f.track == 0;
  mkv_Seek(mf, 0, 0, 0);
  // Masking track 1 per call leaves its frames queued; they come out later.
  std::vector<Frame> first = readAll(mf, 2u, 20);
  for (const Frame& f : first) EXPECT_EQ(f.track, 0u);
  mkv_Seek(mf, 0, 0, 0);
  mkv_SelectTracks(mf, 2u);
  std::vector<Frame> onlyVideo = readAll(mf);
  EXPECT_EQ(onlyVideo.size(), video);
  // Every track masked: reads to the end, nothing delivered.
  mkv_Seek(mf, 0, 0, 0);
  mkv_SelectTracks(mf, ~0u);
  EXPECT_TRUE(readAll(mf).empty());
  EXPECT_TRUE(clip.in->touches > 0);  // frame data was announced to the input
}

}  // namespace
