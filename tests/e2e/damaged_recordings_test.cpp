// Damaged recordings served end to end through the command-line host, the plugin and the decoding
// server: a transport stream with dropped packets, a stream with garbage in the middle, files cut
// off inside a picture, a project that lists more pictures than its file holds, and a Matroska
// file with bytes overwritten in clusters. Every request must give a frame; frames whose GOP and
// the GOP before it are intact must equal ffmpeg's decode of the intact original; no process may
// crash or hang (each runs under a time limit, so a hang fails the test instead of blocking).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

// Generous: a healthy run over these clips takes a few seconds.
constexpr const char* kProcessTimeLimit = "120";

CommandResult RunBounded(const std::vector<std::string>& argv) {
  std::vector<std::string> bounded = {"timeout", "-k", "10", kProcessTimeLimit};
  bounded.insert(bounded.end(), argv.begin(), argv.end());
  CommandResult r = Run(bounded);
  EXPECT_NE(r.status, 124) << "timed out: " << argv[0] << " " << argv[1];
  return r;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

std::string Index(const std::string& video, const std::string& project) {
  CommandResult r = RunBounded({BuildDir() + "/mpgsource", "index", video, "-o", project});
  EXPECT_EQ(r.status, 0) << r.err;
  return project;
}

int FrameCount(const std::string& project) {
  CommandResult r =
      RunBounded({BuildDir() + "/mpgsource", "info", project, "--json", "--no-server"});
  EXPECT_EQ(r.status, 0) << r.err;
  const size_t at = r.out.find("\"frames\":");
  return at == std::string::npos ? -1 : std::atoi(r.out.c_str() + at + 9);
}

// Serves the frames in the order given; every request must come back, in order.
std::vector<std::string> ServeFrames(const std::string& project, const std::vector<int>& frames) {
  std::string list;
  for (int n : frames) list += (list.empty() ? "" : ",") + std::to_string(n);
  CommandResult r =
      RunBounded({BuildDir() + "/mpgsource", "hash", project, "--no-server", "--frames", list});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> md5s;
  std::istringstream lines(r.out);
  int n = 0;
  std::string md5;
  while (lines >> n >> md5) {
    if (md5s.size() < frames.size()) {
      EXPECT_EQ(n, frames[md5s.size()]);
    }
    md5s.push_back(md5);
  }
  EXPECT_EQ(md5s.size(), frames.size()) << "requests that gave no frame";
  return md5s;
}

// The GOPs of a project file: the key of each (byte position, or Matroska time), its first
// picture and the coding types of its pictures.
struct Gop {
  uint64_t key = 0;
  int first = 0;
  std::string types;
};

std::vector<Gop> ReadGops(const std::string& project) {
  std::vector<Gop> gops;
  std::istringstream lines(ReadBytes(project));
  std::string line;
  int pictures = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("SEQ ", 0) == 0) {
      gops.push_back(Gop{std::stoull(line.substr(4)), pictures, ""});
    } else if (line.rfind("FRM ", 0) == 0 && !gops.empty()) {
      gops.back().types += line[4];
      ++pictures;
    }
  }
  return gops;
}

// One change to a file: `removed` bytes at `offset` (of the original) replaced by `inserted`
// bytes. Edits are kept in file order and do not overlap.
struct Edit {
  uint64_t offset;
  uint64_t removed;
  uint64_t inserted;
};

// The original position of a byte of the damaged file; -1 for a byte an edit put there.
int64_t OriginalPosition(uint64_t position, const std::vector<Edit>& edits) {
  int64_t delta = 0;  // damaged minus original, before the edit in hand
  for (const Edit& e : edits) {
    const int64_t start = int64_t(e.offset) + delta;
    if (int64_t(position) < start) break;
    if (int64_t(position) < start + int64_t(e.inserted)) return -1;
    delta += int64_t(e.inserted) - int64_t(e.removed);
  }
  return int64_t(position) - delta;
}

// Whether the original bytes [begin, end) (widened by `margin` on each side) touch an edit.
bool Touched(uint64_t begin, uint64_t end, uint64_t margin, const std::vector<Edit>& edits) {
  const uint64_t from = begin > margin ? begin - margin : 0;
  const uint64_t to = end + margin;
  for (const Edit& e : edits) {
    const uint64_t editEnd = e.offset + std::max<uint64_t>(e.removed, 1);
    if (e.offset < to && editEnd > from) return true;
  }
  return false;
}

// Frame n of the damaged project -> the original frame it must equal, or -1 where it only has to
// exist. A GOP of the damaged project is checked when it is an original GOP (found by `toOriginal`
// on its key) with the same pictures, neither it nor the GOP before it touched by the damage, and
// the GOP before it in the damaged project being that same original GOP before it (decoding may
// start there).
template <typename ToOriginal>
std::vector<int> ExpectedFrames(const std::vector<Gop>& original, const std::vector<bool>& touched,
                                const std::vector<Gop>& damaged, int damagedFrames,
                                ToOriginal toOriginal) {
  std::vector<int> expected(damagedFrames, -1);
  auto originalIndex = [&](const Gop& g) -> int {
    int64_t key = toOriginal(g.key);
    for (size_t i = 0; i < original.size(); ++i) {
      if (key >= 0 && original[i].key == uint64_t(key)) return int(i);
    }
    return -1;
  };
  for (size_t g = 0; g < damaged.size(); ++g) {
    const int G = originalIndex(damaged[g]);
    if (G < 0 || touched[G] || damaged[g].types != original[G].types) continue;
    if (G > 0) {
      if (touched[G - 1] || g == 0 || originalIndex(damaged[g - 1]) != G - 1) continue;
      if (damaged[g - 1].types != original[G - 1].types) continue;
    } else if (g != 0) {
      continue;
    }
    for (size_t i = 0; i < damaged[g].types.size(); ++i) {
      const int n = damaged[g].first + int(i);
      if (n < damagedFrames) expected[n] = original[G].first + int(i);
    }
  }
  return expected;
}

// Serves every request order over the damaged project and checks each frame; returns how many
// frames were compared with the reference.
int ServeAndCompare(const std::string& project, const std::vector<std::string>& reference,
                    const std::vector<int>& expected) {
  int compared = 0;
  // In order (runs that go on through the damage), shuffled and around the continue-or-restart
  // window (runs that start next to it); backwards adds nothing that shuffled does not.
  std::map<std::string, std::vector<int>> orders = RequestOrders(int(expected.size()), 40);
  orders.erase("reverse");
  for (const auto& [orderName, frames] : orders) {
    std::vector<std::string> md5s = ServeFrames(project, frames);
    int wrong = 0;
    for (size_t i = 0; i < frames.size() && i < md5s.size(); ++i) {
      const int n = expected[frames[i]];
      if (n < 0) continue;
      ++compared;
      if (n >= int(reference.size()) || md5s[i] != reference[n]) {
        if (++wrong <= 5) {
          ADD_FAILURE() << orderName << ": frame " << frames[i] << " differs from original frame "
                        << n;
        }
      }
    }
    EXPECT_EQ(wrong, 0) << orderName;
  }
  return compared;
}

// Whether the decoding server process is still running (a zombie counts as dead).
bool Alive(pid_t pid) {
  std::string stat = ReadBytes("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

std::string RandomBytes(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = char(random() & 0xFF);
  return bytes;
}

// Applies edits (in file order) to the original bytes; `fill` gives the inserted bytes of each.
std::string ApplyEdits(const std::string& original, const std::vector<Edit>& edits,
                       const std::vector<std::string>& fill) {
  std::string out;
  uint64_t at = 0;
  for (size_t i = 0; i < edits.size(); ++i) {
    out.append(original, at, edits[i].offset - at);
    out += fill[i].substr(0, edits[i].inserted);
    at = std::min<uint64_t>(edits[i].offset + edits[i].removed, original.size());
  }
  out.append(original, at, std::string::npos);
  return out;
}

class DamagedRecording : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(Alive(server_.pid())) << "the decoding server died"; }

  // Byte ranges of the original's GOPs from its project: [key_g, key_g+1), the last to the end.
  std::vector<bool> TouchedByteGops(const std::vector<Gop>& gops, uint64_t fileSize,
                                    uint64_t margin, const std::vector<Edit>& edits) {
    std::vector<bool> touched;
    for (size_t g = 0; g < gops.size(); ++g) {
      uint64_t end = g + 1 < gops.size() ? gops[g + 1].key : fileSize;
      touched.push_back(Touched(gops[g].key, end, margin, edits));
    }
    return touched;
  }

  // The whole check for a byte-positioned stream damaged by `edits`: index the damaged file,
  // serve it, compare the intact GOPs.
  void CheckDamagedByteStream(const std::string& originalFile, const std::string& damagedName,
                              const std::vector<Edit>& edits, const std::vector<std::string>& fill,
                              uint64_t margin, int minimumCompared) {
    const std::string dir = TempDir();
    const std::string bytes = ReadBytes(MediaPath(originalFile));
    const std::string damagedFile = dir + "/" + damagedName;
    WriteBytes(damagedFile, ApplyEdits(bytes, edits, fill));
    const std::vector<std::string> reference = FfmpegMd5(MediaPath(originalFile));
    const std::vector<Gop> original = ReadGops(Index(MediaPath(originalFile), dir + "/orig.vnt"));
    const std::string project = Index(damagedFile, dir + "/damaged.vnt");
    const int frames = FrameCount(project);
    ASSERT_GT(frames, 0);
    const std::vector<bool> touched = TouchedByteGops(original, bytes.size(), margin, edits);
    const std::vector<int> expected =
        ExpectedFrames(original, touched, ReadGops(project), frames,
                       [&](uint64_t key) { return OriginalPosition(key, edits); });
    EXPECT_GE(ServeAndCompare(project, reference, expected), minimumCompared);
  }

  Server server_;
};

constexpr int kPacket = 188;

TEST_F(DamagedRecording, TransportStreamWithDroppedPackets) {
  const std::string bytes = ReadBytes(MediaPath("ts576i.ts"));
  const std::vector<Gop> gops = ReadGops(Index(MediaPath("ts576i.ts"), TempDir() + "/o.vnt"));
  ASSERT_GE(gops.size(), 10u);
  // 25 packets in a row from the middle of GOP 4, then three single video packets in GOP 8.
  std::vector<Edit> edits;
  const uint64_t middle4 = (gops[4].key + gops[5].key) / 2 / kPacket * kPacket;
  edits.push_back({middle4, 25 * kPacket, 0});
  int dropped = 0;
  for (uint64_t p = (gops[8].key / kPacket + 3) * kPacket; dropped < 3 && p < gops[9].key;
       p += kPacket) {
    const unsigned pid = ((unsigned(uint8_t(bytes[p + 1])) << 8) | uint8_t(bytes[p + 2])) & 0x1FFF;
    if (pid == 0x1E1 && (p / kPacket) % 20 == 0) {
      edits.push_back({p, kPacket, 0});
      ++dropped;
    }
  }
  ASSERT_EQ(dropped, 3);
  CheckDamagedByteStream("ts576i.ts", "dropped.ts", edits, std::vector<std::string>(4), kPacket,
                         100);
}

TEST_F(DamagedRecording, ElementaryStreamWithGarbageInTheMiddle) {
  const std::vector<Gop> gops = ReadGops(Index(MediaPath("es576i_open.m2v"), TempDir() + "/o.vnt"));
  ASSERT_GE(gops.size(), 10u);
  // 16 KiB overwritten inside GOP 5, with a picture start code and a sequence header of nonsense
  // among the noise; 3000 bytes of noise put in inside GOP 9.
  std::string noise = RandomBytes(16384, 5);
  const char fakePicture[] = "\x00\x00\x01\x00\x12\x34\x56\x78";
  const char fakeSequence[] = "\x00\x00\x01\xB3\xFF\xFF\xFF\x1F\xFF\xFF\xE0\x00";
  noise.replace(4000, sizeof fakePicture - 1, fakePicture, sizeof fakePicture - 1);
  noise.replace(9000, sizeof fakeSequence - 1, fakeSequence, sizeof fakeSequence - 1);
  std::vector<Edit> edits = {{gops[5].key + 20000, 16384, 16384}, {gops[9].key + 10000, 0, 3000}};
  CheckDamagedByteStream("es576i_open.m2v", "garbage.m2v", edits, {noise, RandomBytes(3000, 9)}, 0,
                         100);
}

TEST_F(DamagedRecording, FilesCutOffInsideAPicture) {
  for (const char* name : {"es576i_open.m2v", "ts576i.ts"}) {
    SCOPED_TRACE(name);
    const std::string bytes = ReadBytes(MediaPath(name));
    const std::vector<Gop> gops = ReadGops(Index(MediaPath(name), TempDir() + "/o.vnt"));
    ASSERT_GE(gops.size(), 11u);
    // 20,001 bytes into GOP 10: inside its first picture, and not on a packet boundary.
    const uint64_t cut = gops[10].key + 20001;
    CheckDamagedByteStream(name, std::string("cut-") + name, {{cut, bytes.size() - cut, 0}}, {""},
                           kPacket, 80);
  }
}

TEST_F(DamagedRecording, ProjectListsMorePicturesThanTheFileHolds) {
  const std::string dir = TempDir();
  const std::string bytes = ReadBytes(MediaPath("es576i_open.m2v"));
  const std::string project = Index(MediaPath("es576i_open.m2v"), dir + "/full.vnt");
  const std::vector<Gop> gops = ReadGops(project);
  ASSERT_GE(gops.size(), 10u);
  // The video is cut inside a GOP under the project's feet, and the project gains pictures in
  // its last GOP (and, in the first case, GOPs beyond the end of the file).
  auto edit = [&](uint64_t cut, bool gopsBeyond, const std::string& name) {
    WriteBytes(dir + "/short.m2v", bytes.substr(0, cut));
    std::string text = ReadBytes(project);
    const size_t pathStart = text.find('\n', text.find('\n') + 1) + 1;  // line 3
    const size_t pathEnd = text.find('\n', pathStart);
    text.replace(pathStart, pathEnd - pathStart, dir + "/short.m2v");
    // As an older indexer wrote it: without the length, fingerprint and picture count.
    for (const char* ours : {"\nVIDEOFILE ", "\nPICTURES "}) {
      const size_t at = text.find(ours);
      text.erase(at, text.find('\n', at + 1) - at);
    }
    while (!text.empty() && text.back() == '\n') text.pop_back();
    text += "\nFRM B\nFRM B\nFRM P\n";
    for (uint64_t position : {uint64_t(bytes.size()) + 1000, uint64_t(1) << 40}) {
      if (!gopsBeyond) break;
      text += "SEQ " + std::to_string(position) + "\nFRM I\n";
      for (int i = 0; i < 6; ++i) text += "FRM B\nFRM B\nFRM P\n";
    }
    WriteBytes(dir + "/" + name, text);
    return dir + "/" + name;
  };
  // GOPs that start past the end of the video cannot be served: a clear error at load.
  CommandResult r = RunBounded({BuildDir() + "/mpgsource", "info",
                                edit(gops[9].key + 30000, true, "beyond.vnt"), "--no-server"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find(dir + "/beyond.vnt: line "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": GOP 10 starts at byte"), std::string::npos) << r.err;

  // Pictures listed past the data of the last GOP are served without a hang.
  const uint64_t cut = gops.back().key + 30000;
  const std::string edited = edit(cut, false, "edited.vnt");
  const int frames = FrameCount(edited);
  ASSERT_EQ(frames, gops.back().first + int(gops.back().types.size()) + 3);
  const std::vector<Edit> edits = {{cut, bytes.size() - cut, 0}};
  const std::vector<bool> touched = TouchedByteGops(gops, bytes.size(), 0, edits);
  const std::vector<int> expected = ExpectedFrames(gops, touched, ReadGops(edited), frames,
                                                   [](uint64_t key) { return int64_t(key); });
  EXPECT_GE(ServeAndCompare(edited, FfmpegMd5(MediaPath("es576i_open.m2v")), expected), 80);
  // The pictures past the data, in both directions, straight from a fresh start.
  const std::vector<int> tail = {frames - 1, frames - 5, frames - 14, frames - 1, 0, frames - 2};
  EXPECT_EQ(ServeFrames(edited, tail).size(), tail.size());
}

TEST_F(DamagedRecording, MatroskaWithBytesOverwrittenInClusters) {
  const std::string dir = TempDir();
  const std::string name = "mkv576i.mkv";
  const std::string bytes = ReadBytes(MediaPath(name));
  const std::string originalProject = Index(MediaPath(name), dir + "/orig.vnt");
  const std::vector<Gop> gops = ReadGops(originalProject);
  // mkvmerge writes one cluster per GOP, starting at its I picture.
  std::vector<uint64_t> clusters;
  for (size_t at = bytes.find("\x1F\x43\xB6\x75"); at != std::string::npos;
       at = bytes.find("\x1F\x43\xB6\x75", at + 1)) {
    clusters.push_back(at);
  }
  ASSERT_EQ(clusters.size(), gops.size());
  ASSERT_GE(gops.size(), 10u);
  // Noise over 2000 bytes of picture data in cluster 5, and over the head of cluster 9 (its ID,
  // size, timecode and first block header).
  std::vector<Edit> edits = {{clusters[5] + 3000, 2000, 2000}, {clusters[9], 48, 48}};
  const std::string damagedFile = dir + "/overwritten.mkv";
  WriteBytes(damagedFile, ApplyEdits(bytes, edits, {RandomBytes(2000, 55), RandomBytes(48, 99)}));
  std::vector<bool> touched;
  for (size_t g = 0; g < clusters.size(); ++g) {
    const uint64_t end = g + 1 < clusters.size() ? clusters[g + 1] : bytes.size();
    touched.push_back(Touched(clusters[g], end, 0, edits));
  }
  const std::vector<std::string> reference = FfmpegMd5(MediaPath(name));

  // Indexed after the damage, and with the index of the intact file (which still lists the GOP
  // of the broken cluster).
  const std::string reindexed = Index(damagedFile, dir + "/damaged.vnt");
  std::string text = ReadBytes(originalProject);
  const size_t pathStart = text.find('\n') + 1;
  text.replace(pathStart, text.find('\n', pathStart) - pathStart, damagedFile);
  const std::string stale = dir + "/stale.vnt";
  WriteBytes(stale, text);
  for (const std::string& project : {reindexed, stale}) {
    SCOPED_TRACE(project);
    const int frames = FrameCount(project);
    ASSERT_GT(frames, 0);
    const std::vector<int> expected = ExpectedFrames(gops, touched, ReadGops(project), frames,
                                                     [](uint64_t key) { return int64_t(key); });
    EXPECT_GE(ServeAndCompare(project, reference, expected), 100);
  }
}

// Overwriting the head of one cluster (its ID and size) with bytes that read as another element
// whose size runs past the end of the segment: the parser takes such an element for damage and
// searches for the next cluster, so the indexer and the plugin lose only the damaged cluster's GOP,
// not every GOP after it.
TEST(DamagedMatroska, ClusterHeadOverwrittenLosesOnlyItsOwnCluster) {
  const std::string dir = TempDir();
  std::string bytes = ReadBytes(MediaPath("mkv576i.mkv"));
  const std::vector<Gop> gops = ReadGops(Index(MediaPath("mkv576i.mkv"), dir + "/orig.vnt"));
  std::vector<size_t> clusters;
  for (size_t at = bytes.find("\x1F\x43\xB6\x75"); at != std::string::npos;
       at = bytes.find("\x1F\x43\xB6\x75", at + 1)) {
    clusters.push_back(at);
  }
  ASSERT_EQ(clusters.size(), gops.size());
  ASSERT_GE(gops.size(), 11u);
  // Element 0x81 with a 3-byte size of 0x03B9A8 (244,136 bytes): past the end from cluster 9.
  ASSERT_GT(clusters[9] + 4 + 0x03B9A8, bytes.size());
  bytes.replace(clusters[9], 4, "\x81\x23\xB9\xA8", 4);
  WriteBytes(dir + "/damaged.mkv", bytes);
  const std::vector<Gop> damaged = ReadGops(Index(dir + "/damaged.mkv", dir + "/damaged.vnt"));
  // Every GOP but the one whose cluster head is gone.
  EXPECT_EQ(damaged.size(), gops.size() - 1);
  ASSERT_FALSE(damaged.empty());
  EXPECT_EQ(damaged.back().key, gops.back().key);
}

}  // namespace
}  // namespace e2e
