// Transport streams as reception dropouts leave them: packets deleted at random, or flagged with
// the transport error indicator while their payload stays intact, made from the test media by a
// seeded routine at several rates. Served end to end (indexer, command-line host, plugin, decoding
// server) and compared with ffmpeg's sequential decode of the same damaged file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

struct DamageCase {
  const char* media;
  int packetSize;
  unsigned seed;
  double rate;    // share of packets damaged
  bool flagOnly;  // packets are flagged with the error bit instead of deleted
};

std::string CaseName(const ::testing::TestParamInfo<DamageCase>& info) {
  const DamageCase& c = info.param;
  char name[96];
  std::snprintf(name, sizeof name, "%s_%s_seed%u_per_mille%d", c.packetSize == 192 ? "m2ts" : "ts",
                c.flagOnly ? "flagged" : "lost", c.seed, int(c.rate * 1000 + 0.5));
  return name;
}

// Each packet is, with probability `rate`, deleted, or kept with its transport error bit set.
std::string Damage(const std::string& bytes, const DamageCase& c) {
  std::mt19937 random(c.seed);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  const size_t P = size_t(c.packetSize);
  const size_t sync = P == 192 ? 4 : 0;
  std::string out;
  for (size_t at = 0; at + P <= bytes.size(); at += P) {
    std::string packet = bytes.substr(at, P);
    if (chance(random) < c.rate) {
      if (!c.flagOnly) continue;
      packet[sync + 1] = char(packet[sync + 1] | 0x80);
    }
    out += packet;
  }
  return out;
}

// ffmpeg's sequential decode, every frame it delivers (no frame dropped or repeated for timing).
std::vector<std::string> FfmpegFrames(const std::string& file) {
  CommandResult r =
      Run({"ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-i", file, "-map", "0:v:0",
           "-fps_mode", "passthrough", "-f", "framemd5", "-pix_fmt", "yuv420p", "-"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> md5s;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] != '#') md5s.push_back(line.substr(line.rfind(' ') + 1));
  }
  return md5s;
}

// The numbers after `key` in a JSON array text, in order.
std::vector<int> NumbersAfter(const std::string& text, const std::string& key) {
  std::vector<int> numbers;
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    numbers.push_back(std::atoi(text.c_str() + at + key.size()));
  }
  return numbers;
}

struct Served {
  std::string project;
  int frames = 0;
  std::vector<std::string> inOrder;          // our frames, 0 to frames - 1
  std::vector<std::string> ffmpeg;           // ffmpeg's decode of the damaged file
  std::vector<std::string> original;         // ffmpeg's decode of the intact file
  std::set<int> dropped;                     // frames ffmpeg leaves out, as the indexer names them
  std::vector<std::pair<int, int>> damaged;  // frame ranges of the damaged GOPs
  std::string warnings;
};

class DamagedTransport : public ::testing::TestWithParam<DamageCase> {
 protected:
  // Each case is damaged, indexed and decoded once for all the laws.
  const Served& Prepare() {
    static std::map<std::string, Served> cache;
    const std::string name = CaseName(::testing::TestParamInfo<DamageCase>(GetParam(), 0));
    auto found = cache.find(name);
    if (found != cache.end()) return found->second;
    const DamageCase& c = GetParam();
    Served s;
    const std::string video =
        TempDir() + "/damaged-" + name + (c.packetSize == 192 ? ".m2ts" : ".ts");
    WriteText(video, Damage(ReadText(MediaPath(c.media)), c));
    s.project = video + ".vnt";
    CommandResult r = e2e::Run({Mpgsource(), "index", video, "-o", s.project});
    EXPECT_EQ(r.status, 0) << r.err;
    s.warnings = r.err;
    const std::map<std::string, std::string> info = Info(s.project);
    s.frames = info.count("frames") ? std::atoi(info.at("frames").c_str()) : 0;
    if (info.count("frames_ffmpeg_drops")) {
      const std::string& drops = info.at("frames_ffmpeg_drops");
      for (size_t at = drops.find_first_of("0123456789"); at != std::string::npos;
           at = drops.find_first_of("0123456789", drops.find_first_not_of("0123456789", at))) {
        s.dropped.insert(std::atoi(drops.c_str() + at));
      }
    }
    if (info.count("damaged_gops")) {
      const std::vector<int> first = NumbersAfter(info.at("damaged_gops"), "\"first_frame\": ");
      const std::vector<int> last = NumbersAfter(info.at("damaged_gops"), "\"last_frame\": ");
      for (size_t i = 0; i < first.size() && i < last.size(); ++i) {
        s.damaged.emplace_back(first[i], last[i]);
      }
    }
    std::vector<int> all(size_t(std::max(s.frames, 0)));
    for (int n = 0; n < s.frames; ++n) all[size_t(n)] = n;
    for (const auto& [n, md5] : HashFrames(s.project, all)) s.inOrder.push_back(md5);
    s.ffmpeg = FfmpegFrames(video);
    s.original = FfmpegFrames(MediaPath(c.media));
    return cache.emplace(name, std::move(s)).first->second;
  }

  bool InDamagedGop(const Served& s, int n) const {
    for (const auto& [first, last] : s.damaged) {
      if (n >= first && n <= last) return true;
    }
    return false;
  }

  Server server_;
};

// Frame n is the same bytes whatever was asked before it: in order, shuffled (three seeds), and
// around the continue-or-restart window.
TEST_P(DamagedTransport, EveryFrameIsTheSameInEveryRequestOrder) {
  const Served& s = Prepare();
  ASSERT_GT(s.frames, 100);
  ASSERT_EQ(int(s.inOrder.size()), s.frames);
  std::map<std::string, std::vector<int>> orders = RequestOrders(s.frames);
  for (unsigned seed : {7u, 11u}) {
    std::vector<int> shuffled(size_t(s.frames));
    for (int n = 0; n < s.frames; ++n) shuffled[size_t(n)] = n;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(seed));
    shuffled.resize(60);
    orders["shuffled, seed " + std::to_string(seed)] = shuffled;
  }
  for (const auto& [orderName, frames] : orders) {
    const std::vector<std::pair<int, std::string>> got = HashFrames(s.project, frames);
    ASSERT_EQ(got.size(), frames.size()) << orderName;
    int differing = 0;
    for (const auto& [n, md5] : got) {
      if (md5 != s.inOrder[size_t(n)] && ++differing <= 5) {
        ADD_FAILURE() << orderName << ": frame " << n << " differs from the in-order read";
      }
    }
    EXPECT_EQ(differing, 0) << orderName;
  }
}

// The frame count is ffmpeg's, apart from the frames that the indexer names as left out by
// ffmpeg (a damaged picture that libavcodec decodes to nothing), and the indexer says the file
// is damaged.
TEST_P(DamagedTransport, FrameCountIsFfmpegsApartFromTheNamedFrames) {
  const Served& s = Prepare();
  EXPECT_EQ(s.frames - int(s.dropped.size()), int(s.ffmpeg.size()));
  EXPECT_NE(s.warnings.find("damaged video packets"), std::string::npos) << s.warnings;
  EXPECT_FALSE(s.damaged.empty());
}

// Every frame outside the named damaged GOPs equals ffmpeg's frame (numbered past the frames it
// leaves out); packets flagged with errors but intact give every frame of the intact file.
TEST_P(DamagedTransport, FramesAreFfmpegsOutsideTheNamedDamage) {
  const Served& s = Prepare();
  if (GetParam().flagOnly) {
    EXPECT_TRUE(s.dropped.empty());
    EXPECT_EQ(s.inOrder, s.original) << "flagged payload is used as ffmpeg uses it";
    return;
  }
  int k = 0;  // ffmpeg's number for our frame n
  int compared = 0, differing = 0;
  for (int n = 0; n < s.frames && k < int(s.ffmpeg.size()); ++n) {
    if (s.dropped.count(n)) continue;
    const bool same = s.inOrder[size_t(n)] == s.ffmpeg[size_t(k)];
    if (!InDamagedGop(s, n)) {
      ++compared;
      EXPECT_TRUE(same) << "frame " << n << " (ffmpeg's " << k << ") outside the damage";
    }
    if (!same) ++differing;
    ++k;
  }
  // Most frames, damaged GOPs included, equal ffmpeg's: concealment runs alike in both.
  EXPECT_LE(differing * 5, s.frames) << differing << " of " << s.frames << " differ";
  RecordProperty("compared_outside_damage", compared);
}

INSTANTIATE_TEST_SUITE_P(Recordings, DamagedTransport,
                         ::testing::Values(DamageCase{"ts576i.ts", 188, 1, 0.01, false},
                                           DamageCase{"ts576i.ts", 188, 2, 0.01, false},
                                           DamageCase{"ts576i.ts", 188, 4, 0.003, false},
                                           DamageCase{"m2ts576i.m2ts", 192, 1, 0.01, false},
                                           DamageCase{"m2ts576i.m2ts", 192, 4, 0.01, false},
                                           DamageCase{"ts576i.ts", 188, 3, 0.01, true},
                                           DamageCase{"m2ts576i.m2ts", 192, 5, 0.01, true}),
                         CaseName);

}  // namespace
}  // namespace e2e
