#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "decoder_test_support.h"
#include "reader/avc_decoder.h"

namespace {

using dectest::TempDir;
using dectest::WriteFile;

// A project file: header, the video path on line 3, then keyword lines from line 6 on.
std::string Project(const std::string& video, const std::string& keywords) {
  return "VantuIndexFileNV1\nindexer line\n" + video + "\nline four\nline five\n" + keywords;
}

const char* kOneGop = "SEQ 0\nFRM I\n";

class ProjectLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    video_ = dir_.Path("video.m2v");
    WriteFile(video_, std::string("\0\0\1\xB3", 4));
  }
  // Writes `text` as the project file and loads it.
  int Load(const std::string& text, const std::string& name = "project.vnt") {
    WriteFile(dir_.Path(name), text);
    return d_->Open(dir_.Path(name).c_str());
  }
  int LoadKeywords(const std::string& keywords) { return Load(Project(video_, keywords)); }

  TempDir dir_;
  std::string video_;
  std::unique_ptr<CAVCDecoder> d_ = dectest::NewDecoder();
};

TEST_F(ProjectLoader, LoadCodes) {
  EXPECT_EQ(d_->Open(dir_.Path("absent.vnt").c_str()), kLoadCannotOpen);
  EXPECT_EQ(Load(""), kLoadEmpty);
  EXPECT_EQ(Load("VantuIndexFileNV3\n" + Project(video_, kOneGop).substr(18)),
            kLoadVersionMismatch);
  // The program streams' header with another stream type: a project made by hand or damaged.
  EXPECT_EQ(Load("VantuIndexFileNV2\n" + Project(video_, kOneGop).substr(18)), kLoadBadValue);
  EXPECT_EQ(Load("VantuIndexFileNV1"), kLoadVersionMismatch);  // loses its "1"
  EXPECT_EQ(Load("VantuIndexFileNV1 \n"), kLoadVersionMismatch);
  EXPECT_EQ(Load("Some other text file\n"), kLoadNotProject);
  EXPECT_EQ(Load(Project(video_, "FRM I\nFRM P\n")), kLoadNoGops);
  EXPECT_EQ(Load(Project(dir_.Path("missing.m2v"), kOneGop)), kLoadCannotOpen);
  EXPECT_EQ(Load(Project(video_, kOneGop)), kLoadOk);
  EXPECT_EQ(d_->currentUnit, &d_->unit);
  EXPECT_EQ(d_->resync, 1);
  // Lines ending in CR LF read the same.
  EXPECT_EQ(Load("VantuIndexFileNV1\r\nx\r\n" + video_ + "\r\nx\r\nx\r\nSEQ 5\r\nFRM B\r\n"),
            kLoadOk);
  EXPECT_EQ(d_->gopTable[0]->position, 5u);
  EXPECT_EQ(d_->pictureTable[0].type, 3);
  d_->Close();
  EXPECT_EQ(d_->projectFile, nullptr);
  EXPECT_EQ(d_->videoFile, nullptr);
  EXPECT_EQ(d_->gopTable, nullptr);
  EXPECT_EQ(d_->pictureTable, nullptr);
  d_->Close();  // twice is harmless
}

TEST_F(ProjectLoader, RelativeVideoPathsResolveAgainstTheProjectFolder) {
  std::filesystem::create_directories(dir_.Path("sub/deeper"));
  WriteFile(dir_.Path("sub/project.vnt"), Project("../video.m2v", kOneGop));
  ASSERT_EQ(d_->Open(dir_.Path("sub/project.vnt").c_str()), kLoadOk);
  EXPECT_EQ(std::string(d_->videoPath), video_);

  // As a project written on Windows names it.
  WriteFile(dir_.Path("sub/project.vnt"), Project("..\\video.m2v", kOneGop));
  ASSERT_EQ(d_->Open(dir_.Path("sub/project.vnt").c_str()), kLoadOk);
  EXPECT_EQ(std::string(d_->videoPath), video_);

  WriteFile(dir_.Path("sub/deeper/p.vnt"), Project("./.././../video.m2v", kOneGop));
  ASSERT_EQ(d_->Open(dir_.Path("sub/deeper/p.vnt").c_str()), kLoadOk);
  EXPECT_EQ(std::string(d_->videoPath), video_);

  // An absolute path is used as written.
  const std::string written = dir_.Path("sub/../video.m2v");
  ASSERT_EQ(Load(Project(written, kOneGop)), kLoadOk);
  EXPECT_EQ(std::string(d_->videoPath), written);
}

TEST_F(ProjectLoader, RelativeProjectPathStartsFromTheCurrentDirectory) {
  const auto saved = std::filesystem::current_path();
  std::filesystem::create_directories(dir_.Path("sub"));
  std::filesystem::current_path(dir_.Path());
  WriteFile(dir_.Path("project.vnt"), Project("video.m2v", kOneGop));
  WriteFile(dir_.Path("sub/project.vnt"), Project("../video.m2v", kOneGop));
  const int bare = d_->Open("project.vnt");
  const std::string bareResolved = d_->videoPath != nullptr ? d_->videoPath : "";
  const int nested = d_->Open("sub/project.vnt");
  const std::string nestedResolved = d_->videoPath != nullptr ? d_->videoPath : "";
  std::filesystem::current_path(saved);
  const std::string expected = std::filesystem::canonical(video_).string();
  EXPECT_EQ(bare, kLoadOk);
  EXPECT_EQ(bareResolved, expected);
  EXPECT_EQ(nested, kLoadOk);
  EXPECT_EQ(nestedResolved, expected);
}

TEST_F(ProjectLoader, PathsBeyondTheWorkingBuffersFailCleanly) {
  EXPECT_EQ(Load(Project(std::string(300, 'a') + ".m2v", kOneGop)), kLoadCannotOpen);
  // A line-3 path longer than videoPath is cut by the line length and fails to open.
  EXPECT_EQ(Load(Project("/" + std::string(5000, 'b'), kOneGop)), kLoadCannotOpen);
}

TEST_F(ProjectLoader, KeywordLines) {
  ASSERT_EQ(LoadKeywords("FO 1\nSTREAM 3\nPKTSIZ 192\nVPID 4113\nCLIP 8 16 4 2\nSIZ 720x576\n"
                         "FPS 25/1\nLUMFILT 0 10\nSEQ 0\nFRM I\n"),
            kLoadOk);
  EXPECT_EQ(d_->fieldOrder, 1);
  EXPECT_EQ(d_->streamType, 3);
  EXPECT_EQ(d_->packetSize, 192);
  EXPECT_EQ(d_->videoPid, 4113);
  EXPECT_EQ(d_->clipLeft, 8);
  EXPECT_EQ(d_->clipRight, 16);
  EXPECT_EQ(d_->clipTop, 4);
  EXPECT_EQ(d_->clipBottom, 2);
  EXPECT_EQ(d_->width, 720);
  EXPECT_EQ(d_->height, 576);
  EXPECT_EQ(d_->fpsNumerator, 25);
  EXPECT_EQ(d_->fpsDenominator, 1);
  EXPECT_EQ(d_->lumFilterOn, 1);
  EXPECT_EQ(d_->lumTable[0], 10);

  // Blanks around the separators, the last occurrence winning, LUMFILT 0 0 switching off.
  ASSERT_EQ(LoadKeywords("SIZ 1 x 2\nSIZ 1920 x 1080\nFPS 30000 / 1001\nFO 0\nFO -1\n"
                         "LUMFILT 3 0\nLUMFILT 0 0\nSEQ 0\n"),
            kLoadOk);
  EXPECT_EQ(d_->width, 1920);
  EXPECT_EQ(d_->height, 1080);
  EXPECT_EQ(d_->fpsNumerator, 30000);
  EXPECT_EQ(d_->fpsDenominator, 1001);
  EXPECT_EQ(d_->fieldOrder, -1);
  EXPECT_EQ(d_->lumFilterOn, 0);
  ASSERT_EQ(LoadKeywords("SIZ704x480\nSEQ 0\n"), kLoadOk);
  EXPECT_EQ(d_->width, 704);
  EXPECT_EQ(d_->height, 480);
}

TEST_F(ProjectLoader, MissingValuesLeaveFieldsAsTheyWere) {
  ASSERT_EQ(LoadKeywords("FO 2\nFO\nFO \nCLIP 1 2 3 4\nCLIP 9\nSIZ 720x576\nSIZ 100\n"
                         "SIZ\nFPS 25/1\nFPS 50\nVPID x\nLUMFILT 5\nSEQ 0\nFRM I\nSEQ 7\n"),
            kLoadOk);
  EXPECT_EQ(d_->fieldOrder, 2);
  EXPECT_EQ(d_->clipLeft, 9);
  EXPECT_EQ(d_->clipRight, 2);
  EXPECT_EQ(d_->clipTop, 3);
  EXPECT_EQ(d_->clipBottom, 4);
  EXPECT_EQ(d_->width, 100);
  EXPECT_EQ(d_->height, 576);
  EXPECT_EQ(d_->fpsNumerator, 50);
  EXPECT_EQ(d_->fpsDenominator, 1);
  EXPECT_EQ(d_->videoPid, 0);
  EXPECT_EQ(d_->lumFilterOn, 0);
  ASSERT_EQ(d_->gopCount, 2);
  EXPECT_EQ(d_->gopTable[0]->position, 0u);
  EXPECT_EQ(d_->gopTable[1]->position, 7u);
  EXPECT_EQ(d_->pictureCount, 1);
  EXPECT_EQ(d_->pictureTable[0].type, 0);
}

TEST_F(ProjectLoader, PictureTypesLeadingPositionsAndGopStarts) {
  ASSERT_EQ(LoadKeywords("FRM B\nSEQ 10\nFRM I\nFRM B\nFRM B\nFRM P\nFRM B\nFRM B\n"
                         "SEQ 20\nFRM I\nFRM P\nFRM B\nFRM B\nSEQ 30\nSEQ 18446744073709551615\n"
                         "FRM I\nFRM B\nFRM Ix\n"),
            kLoadOk);
  ASSERT_EQ(d_->pictureCount, 13);
  ASSERT_EQ(d_->gopCount, 4);
  const int firsts[] = {0, 6, 10, 10};
  for (int g = 0; g < 4; ++g) EXPECT_EQ(d_->gopTable[g]->firstPicture, firsts[g]);
  EXPECT_EQ(d_->gopTable[3]->position, UINT64_MAX);
  const int types[] = {0, 3, 3, 1, 3, 3, 0, 1, 3, 3, 0, 3, 0};
  const int leading[] = {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0};
  for (int p = 0; p < 13; ++p) {
    EXPECT_EQ(d_->pictureTable[p].type, types[p]) << p;
    EXPECT_EQ(d_->pictureTable[p].leading, leading[p]) << p;
  }
  EXPECT_EQ(d_->leadingBCount, 2);
  ASSERT_EQ(LoadKeywords("SEQ 0\nFRM I\nFRM P\nFRM B\n"), kLoadOk);
  EXPECT_EQ(d_->leadingBCount, 0);
  ASSERT_EQ(LoadKeywords("SEQ 0\nFRM I\nFRM B\nFRM B\nFRM B\n"), kLoadOk);
  EXPECT_EQ(d_->leadingBCount, 3);
}

TEST_F(ProjectLoader, LongIndexesGrowTheTablesInSteps) {
  std::string keywords;
  keywords.reserve(1200000 * 6 + 100000 * 6);
  for (int g = 0; g < 100000; ++g) {
    keywords += "SEQ " + std::to_string(g) + "\n";
    keywords +=
        "FRM I\nFRM B\nFRM B\nFRM P\nFRM B\nFRM B\nFRM P\nFRM B\nFRM B\nFRM P\nFRM B\nFRM B\n";
  }
  ASSERT_EQ(LoadKeywords(keywords), kLoadOk);
  EXPECT_EQ(d_->pictureCount, 1200000);
  EXPECT_EQ(d_->pictureCapacity, 1500000);
  EXPECT_EQ(d_->gopCount, 100000);
  EXPECT_EQ(d_->gopCapacity, 1000000);
  EXPECT_EQ(d_->gopTable[99999]->firstPicture, 1199988);
  EXPECT_EQ(d_->pictureTable[1199999].type, 3);
  EXPECT_EQ(d_->pictureTable[1199988].leading, 1);
  EXPECT_EQ(d_->pictureTable[1199989].type, 3);

  std::string gops;
  for (int g = 0; g < 1000001; ++g) gops += "SEQ 1\n";
  ASSERT_EQ(LoadKeywords(gops), kLoadOk);
  EXPECT_EQ(d_->gopCount, 1000001);
  EXPECT_EQ(d_->gopCapacity, 1500000);
  EXPECT_EQ(d_->gopTable[1000000]->position, 1u);
  EXPECT_EQ(d_->gopTable[1000001], nullptr);
}

TEST_F(ProjectLoader, HostileFilesEndInALoadCode) {
  std::string garbage;
  for (uint32_t i = 0; i < 300000; ++i) garbage += char((i * 7919u) >> 3);
  EXPECT_EQ(Load(garbage), kLoadNotProject);
  EXPECT_EQ(Load(Project(video_, garbage)), kLoadNoGops);
  EXPECT_EQ(Load(Project(video_, garbage + "\nSEQ 0\n" + garbage)), kLoadOk);

  // Lines far beyond the line length are split, never overrun.
  const std::string wide(60000, 'S');
  EXPECT_EQ(Load("VantuIndexFileNV1\n" + wide + "\n" + wide + "\n" + wide + "\n" + wide + "\n" +
                 "SEQ 1\n"),
            kLoadCannotOpen);  // the video path is a cut-off run of S
  EXPECT_EQ(Load(Project(video_, std::string(49998, 'x') + "SEQ 9\n")), kLoadOk);
  EXPECT_EQ(d_->gopTable[0]->position, 9u);  // the remainder of the long line is a line
  EXPECT_EQ(Load(Project(video_, "SIZ 2147483647 x -576\nSEQ 0\n")), kLoadOk);
  EXPECT_EQ(d_->width, INT32_MAX);
  EXPECT_EQ(d_->height, -576);

  std::string orphans;
  for (int i = 0; i < 1000000; ++i) orphans += "FRM P\n";
  EXPECT_EQ(Load(Project(video_, orphans)), kLoadNoGops);
  EXPECT_EQ(Load(Project(video_, orphans + "SEQ 0\nFRM I\n")), kLoadOk);
  EXPECT_EQ(d_->pictureCount, 1);

  EXPECT_EQ(Load(Project(video_, "PKTSIZ -188\nVPID -5\nSEQ 3\nFRM I\n")), kLoadOk);
  EXPECT_EQ(d_->packetSize, -188);
  // Values at the ends of their ranges load.
  ASSERT_EQ(LoadKeywords("FPS 2147483647/1\nCLIP -2147483648 0 0 0\nLUMFILT 2048 255\n"
                         "SEQ 0\nFRM I\nFRM Bx\nSEQ 18446744073709551615\nFRM P 1\n"),
            kLoadOk);
  EXPECT_EQ(d_->fpsNumerator, INT32_MAX);
  EXPECT_EQ(d_->clipLeft, INT32_MIN);
  EXPECT_EQ(d_->lumFilterOn, 1);
  EXPECT_EQ(d_->gopTable[1]->position, UINT64_MAX);
  EXPECT_EQ(d_->pictureTable[1].type, 3);
  EXPECT_EQ(d_->pictureTable[2].type, 1);
  ASSERT_EQ(LoadKeywords("LUMFILT -2048 -255\nSEQ 0\n"), kLoadOk);
  EXPECT_EQ(d_->lumTable[255], 0);
  // FRM lines before the first GOP are no pictures and stay unchecked.
  EXPECT_EQ(LoadKeywords("FRM X\nSEQ 0\nFRM I\n"), kLoadOk);
  // A project that ends within its first lines.
  EXPECT_EQ(Load("VantuIndexFileNV1\n"), kLoadNoGops);
  EXPECT_EQ(Load(std::string("VantuIndexFileNV1\n\0\0\0\n", 22)), kLoadNoGops);
}

// --- What the loader refuses: a video that is not the indexed one, a project cut short, files
// that are no regular files, and values that cannot be right; every failure names its file. ---

// FNV-1a over the first MiB of the first `size` bytes, then over their last MiB: the fingerprint
// the indexer records, computed here independently.
std::string VideoFileLine(const std::string& bytes) {
  const size_t span = std::min<size_t>(bytes.size(), 1 << 20);
  uint64_t h = 14695981039346656037ull;
  for (size_t start : {size_t{0}, bytes.size() - span}) {
    for (size_t i = start; i < start + span; ++i) {
      h = (h ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    }
  }
  char line[80];
  std::snprintf(line, sizeof line, "VIDEOFILE %zu %016llx\n", bytes.size(),
                static_cast<unsigned long long>(h));
  return line;
}

std::string PseudoRandomBytes(size_t n, uint32_t seed) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(seed >> 24);
  }
  return bytes;
}

TEST_F(ProjectLoader, AVideoChangedSinceIndexingIsRefused) {
  const std::string indexed = PseudoRandomBytes(3 << 20, 1);  // more than both stretches
  WriteFile(video_, indexed);
  const std::string project = Project(video_, VideoFileLine(indexed) + kOneGop);
  EXPECT_EQ(Load(project), kLoadOk);
  EXPECT_STREQ(d_->loadDetail, "");

  // Shorter, another content of the same length at either end, another small file.
  WriteFile(video_, indexed.substr(0, indexed.size() - 1));
  EXPECT_EQ(Load(project), kLoadVideoChanged);
  EXPECT_EQ(std::string(d_->loadDetail),
            video_ + ": 3145727 bytes, but 3145728 when it was indexed");
  for (size_t at : {size_t{10}, indexed.size() - 10}) {
    std::string changed = indexed;
    changed[at] ^= 1;
    WriteFile(video_, changed);
    EXPECT_EQ(Load(project), kLoadVideoChanged) << at;
    EXPECT_EQ(std::string(d_->loadDetail),
              video_ + ": its content is not the content that was indexed");
  }
  // A recording that has grown since still holds the indexed bytes.
  WriteFile(video_, indexed + "more bytes");
  EXPECT_EQ(Load(project), kLoadOk);

  // A file under 2 MiB: the two stretches overlap.
  const std::string small = PseudoRandomBytes(5000, 2);
  WriteFile(video_, small);
  EXPECT_EQ(Load(Project(video_, VideoFileLine(small) + kOneGop)), kLoadOk);
  WriteFile(video_, PseudoRandomBytes(5000, 3));
  EXPECT_EQ(Load(Project(video_, VideoFileLine(small) + kOneGop)), kLoadVideoChanged);

  // Without the line the video is taken as it is; a damaged line is an error.
  EXPECT_EQ(Load(Project(video_, kOneGop)), kLoadOk);
  for (std::string damaged : {"VIDEOFILE 5000", "VIDEOFILE 5000 xyz", "VIDEOFILE -1 00",
                              "VIDEOFILE 5000 00000000000000000"}) {
    EXPECT_EQ(Load(Project(video_, damaged + "\n" + kOneGop)), kLoadBadValue) << damaged;
    EXPECT_EQ(std::string(d_->loadDetail), dir_.Path("project.vnt") + ": line 6 \"" + damaged +
                                               "\": not a video size and fingerprint");
  }
}

TEST_F(ProjectLoader, AProjectCutShortIsRefusedByItsPictureCount) {
  const std::string full = "PICTURES 5\nSEQ 0\nFRM I\nFRM B\nFRM P\nSEQ 0\nFRM I\nFRM B\n";
  ASSERT_EQ(LoadKeywords(full), kLoadOk);
  EXPECT_EQ(d_->pictureCount, 5);
  // Cut after any line, inside a line, or lengthened by a line: never a silently shorter clip.
  const std::string text = Project(video_, full);
  for (size_t cut = text.find("SEQ"); cut < text.size(); ++cut) {
    EXPECT_EQ(Load(text.substr(0, cut)), kLoadProjectCutShort) << cut;
  }
  EXPECT_EQ(Load(Project(video_, full.substr(0, full.size() - 3))), kLoadProjectCutShort);
  EXPECT_EQ(std::string(d_->loadDetail),
            dir_.Path("project.vnt") + ": it ends inside a line; 5 of 5 pictures listed");
  EXPECT_EQ(Load(Project(video_, full + "FRM B\n")), kLoadProjectCutShort);
  EXPECT_EQ(std::string(d_->loadDetail), dir_.Path("project.vnt") + ": 6 of 5 pictures listed");
  EXPECT_EQ(LoadKeywords("PICTURES 0\n"), kLoadNoGops);
  EXPECT_EQ(LoadKeywords("PICTURES x\n" + full), kLoadBadValue);
  // Without the line a shorter list loads as it always did.
  ASSERT_EQ(LoadKeywords("SEQ 0\nFRM I\nFRM B\n"), kLoadOk);
  EXPECT_EQ(d_->pictureCount, 2);
}

TEST_F(ProjectLoader, OnlyRegularFilesAreOpenedAndNeverBlock) {
  const std::string fifo = dir_.Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directories(dir_.Path("folder"));
  const struct {
    std::string video;
    const char* why;
  } cases[] = {{fifo, "a FIFO, not a regular file"},
               {dir_.Path("folder"), "a folder, not a regular file"},
               {"/dev/null", "a device, not a regular file"},
               {dir_.Path("missing.m2v"), "No such file or directory"}};
  for (const auto& c : cases) {
    EXPECT_EQ(Load(Project(c.video, kOneGop)), kLoadCannotOpen) << c.video;
    EXPECT_EQ(std::string(d_->loadDetail), c.video + ": " + c.why);
  }
  // The project file itself.
  EXPECT_EQ(d_->Open(fifo.c_str()), kLoadCannotOpen);
  EXPECT_EQ(std::string(d_->loadDetail), fifo + ": a FIFO, not a regular file");
  EXPECT_EQ(d_->Open(dir_.Path("folder").c_str()), kLoadCannotOpen);
  EXPECT_EQ(d_->projectFile, nullptr);
  if (geteuid() != 0) {  // permissions do not bind the superuser
    WriteFile(dir_.Path("locked.m2v"), "x");
    std::filesystem::permissions(dir_.Path("locked.m2v"), std::filesystem::perms::none);
    EXPECT_EQ(Load(Project(dir_.Path("locked.m2v"), kOneGop)), kLoadCannotOpen);
    EXPECT_EQ(std::string(d_->loadDetail), dir_.Path("locked.m2v") + ": Permission denied");
  }
}

TEST_F(ProjectLoader, EveryFailureNamesItsFile) {
  const std::string project = dir_.Path("project.vnt");
  EXPECT_EQ(Load(""), kLoadEmpty);
  EXPECT_EQ(std::string(d_->loadDetail), project);
  EXPECT_EQ(Load("VantuIndexFileNV3\n"), kLoadVersionMismatch);
  EXPECT_EQ(std::string(d_->loadDetail), project);
  EXPECT_EQ(Load("text\n"), kLoadNotProject);
  EXPECT_EQ(std::string(d_->loadDetail), project);
  EXPECT_EQ(Load(Project(video_, "FRM I\n")), kLoadNoGops);
  EXPECT_EQ(std::string(d_->loadDetail), project);
  EXPECT_EQ(Load(Project(video_, "STREAM 2\n" + std::string(kOneGop))), kLoadMatroskaParse);
  EXPECT_EQ(std::string(d_->loadDetail), video_);
  // A NUL byte inside the video path is named as such, not as a path cut short.
  const std::string withNul = video_.substr(0, 4) + std::string(1, '\0') + video_.substr(4);
  EXPECT_EQ(Load(Project(withNul, kOneGop)), kLoadCannotOpen);
  EXPECT_EQ(std::string(d_->loadDetail), project + ": line 3: the video path holds a NUL byte");
  d_ = dectest::NewDecoder();
  WriteFile(dir_.Path("p.vnt"), Project("video.m2v", kOneGop));
  EXPECT_EQ(Load(Project("video.m2v", kOneGop), "p.vnt"), kLoadOk);
  EXPECT_STREQ(d_->loadDetail, "");
}

TEST_F(ProjectLoader, RelativeVideoPathsInFoldersUpToTheLongestPath) {
  // Folder names of 200 characters, 3000 characters in all: far beyond 260.
  std::string folder = dir_.Path();
  while (folder.size() < 3000) folder += "/" + std::string(200, 'd');
  std::filesystem::create_directories(folder);
  WriteFile(folder + "/video.m2v", std::string("\0\0\1\xB3", 4));
  WriteFile(folder + "/project.vnt", Project("video.m2v", kOneGop));
  ASSERT_EQ(d_->Open((folder + "/project.vnt").c_str()), kLoadOk) << d_->loadDetail;
  EXPECT_EQ(std::string(d_->videoPath), folder + "/video.m2v");
  WriteFile(folder + "/up.vnt", Project("../" + std::string(200, 'd') + "/video.m2v", kOneGop));
  ASSERT_EQ(d_->Open((folder + "/up.vnt").c_str()), kLoadOk) << d_->loadDetail;
  EXPECT_EQ(std::string(d_->videoPath), folder + "/video.m2v");
}

// Values that cannot be right (numbers that do not fit, GOP positions that are no position,
// LUMFILT and FRM values outside their range) are refused at load with the line they are on.
struct BadValueCase {
  std::string keywords;  // from line 6 of the project on
  std::string detail;    // after "<project>: "
};

void PrintTo(const BadValueCase& c, std::ostream* os) {
  *os << c.detail;
}

class ProjectLoaderBadValue : public ProjectLoader,
                              public ::testing::WithParamInterface<BadValueCase> {};

TEST_P(ProjectLoaderBadValue, IsRefusedNamingItsLine) {
  EXPECT_EQ(LoadKeywords(GetParam().keywords), kLoadBadValue);
  EXPECT_EQ(std::string(d_->loadDetail), dir_.Path("project.vnt") + ": " + GetParam().detail);
  EXPECT_EQ(d_->videoFile, nullptr);
}

const std::string kTooLong(70, 'Q');

INSTANTIATE_TEST_SUITE_P(
    Values, ProjectLoaderBadValue,
    ::testing::Values(
        // Numbers beyond their type, which were clamped to its ends.
        BadValueCase{"FPS 4294967297/1\nSEQ 0\nFRM I\n",
                     "line 6 \"FPS 4294967297/1\": a number out of range"},
        BadValueCase{"FPS 25 / -2147483649\nSEQ 0\n",
                     "line 6 \"FPS 25 / -2147483649\": a number out of range"},
        BadValueCase{"SIZ 720 x 99999999999\nSEQ 0\n",
                     "line 6 \"SIZ 720 x 99999999999\": a number out of range"},
        BadValueCase{"CLIP 0 0 0 4294967296\nSEQ 0\n",
                     "line 6 \"CLIP 0 0 0 4294967296\": a number out of range"},
        BadValueCase{"SEQ 0\nFO 2147483648\n", "line 7 \"FO 2147483648\": a number out of range"},
        BadValueCase{"PICTURES 4294967297\nSEQ 0\nFRM I\n",
                     "line 6 \"PICTURES 4294967297\": a number out of range"},
        BadValueCase{"SEQ 0\nSEQ 18446744073709551616\n",
                     "line 7 \"SEQ 18446744073709551616\": a number out of range"},
        // GOP positions: a later one negative, missing or followed by more.
        BadValueCase{"SEQ 0\nFRM I\nFRM P\nSEQ -5\nFRM I\n",
                     "line 9 \"SEQ -5\": no GOP position (a number from 0 up)"},
        BadValueCase{"SEQ \nFRM I\n", "line 6 \"SEQ \": no GOP position (a number from 0 up)"},
        BadValueCase{"SEQ 0\nSEQ 12x4\n",
                     "line 7 \"SEQ 12x4\": the GOP position is followed by other text"},
        // The luminance correction outside the values that make a table of their own.
        BadValueCase{"LUMFILT 2049 0\nSEQ 0\n",
                     "line 6 \"LUMFILT 2049 0\": the gamma is not from "
                     "-2048 to 2048"},
        BadValueCase{"LUMFILT -2049 0\nSEQ 0\n",
                     "line 6 \"LUMFILT -2049 0\": the gamma is not from -2048 to 2048"},
        BadValueCase{"LUMFILT 0 256\nSEQ 0\n",
                     "line 6 \"LUMFILT 0 256\": the offset is not from -255 to 255"},
        BadValueCase{"LUMFILT 0 -256\nSEQ 0\n",
                     "line 6 \"LUMFILT 0 -256\": the offset is not from -255 to 255"},
        // Picture coding types: only I, P and B.
        BadValueCase{"SEQ 0\nFRM I\nFRM X\n",
                     "line 8 \"FRM X\": not a picture coding type (I, P or B)"},
        BadValueCase{"SEQ 0\nFRM i\n", "line 7 \"FRM i\": not a picture coding type (I, P or B)"},
        BadValueCase{"SEQ 0\nFRM\n", "line 7 \"FRM\": not a picture coding type (I, P or B)"},
        // The first of several is named; a line split by the line length keeps its number, CR
        // LF ends a line like LF, and a long line is shown cut.
        BadValueCase{"SEQ 0\nFRM D\nLUMFILT 9999 0\n",
                     "line 7 \"FRM D\": not a picture coding type (I, P or B)"},
        BadValueCase{std::string(60000, 'x') + "\nSEQ 0\r\nFRM I\r\nFRM *\r\n",
                     "line 9 \"FRM *\": not a picture coding type (I, P or B)"},
        BadValueCase{"SEQ 0\nFRM " + kTooLong + "\n",
                     "line 7 \"FRM " + kTooLong.substr(0, 56) +
                         "...\": not a picture coding type (I, P or B)"}));

// CheckProject on real media: what the loader read is compared with the video's first sequence
// header and its length.
TEST_F(ProjectLoader, CheckProjectComparesTheValuesWithTheVideo) {
  const std::string es = dectest::MediaPath("es576i_open.m2v");
  const std::string hd = dectest::MediaPath("es1080p_closed.m2v");
  const std::string mkv = dectest::MediaPath("mkv576i.mkv");
  const std::string project = dir_.Path("project.vnt");
  auto check = [&](const std::string& video, const std::string& keywords) {
    d_ = dectest::NewDecoder();  // values of an earlier load (STREAM 2) stay in a decoder
    int code = Load(Project(video, keywords));
    return code != kLoadOk ? code : d_->CheckProject(project.c_str());
  };
  EXPECT_EQ(check(es, "SIZ 720 x 576\nFPS 25 / 1\nSEQ 0\nFRM I\n"), kLoadOk);
  EXPECT_EQ(check(hd, "SIZ 1920 x 1080\nFPS 25 / 1\nSEQ 0\nFRM I\n"), kLoadOk);
  EXPECT_EQ(check(mkv, "STREAM 2\nSIZ 720 x 576\nFPS 25 / 1\nSEQ 0\nFRM I\n"), kLoadOk);
  // The reading state is as Open left it: the decode thread starts from scratch.
  EXPECT_EQ(d_->resync, 1);
  EXPECT_EQ(d_->readCount, 0);

  EXPECT_EQ(check(hd, "SIZ 1920 x 1088\nFPS 25 / 1\nSEQ 0\nFRM I\n"), kLoadBadValue);
  EXPECT_EQ(std::string(d_->loadDetail),
            project + ": SIZ 1920x1088 is not the picture size of " + hd + " (1920x1080)");
  EXPECT_EQ(check(mkv, "STREAM 2\nSIZ 704 x 576\nFPS 25 / 1\nSEQ 0\nFRM I\n"), kLoadBadValue);
  EXPECT_EQ(check(es, "SIZ 720 x 576\nSEQ 0\nFRM I\n"), kLoadBadValue);  // no FPS line: 0/0
  EXPECT_EQ(std::string(d_->loadDetail), project + ": FPS 0/0 is not a frame rate");
  EXPECT_EQ(check(es, "SIZ 720 x -576\nFPS 25 / 1\nSEQ 0\nFRM I\n"), kLoadBadValue);
  const std::string size = std::to_string(std::filesystem::file_size(es));
  EXPECT_EQ(check(es, "SIZ 720 x 576\nFPS 25 / 1\nSEQ 0\nFRM I\nSEQ " + size + "\nFRM I\n"),
            kLoadBadValue);
  EXPECT_EQ(std::string(d_->loadDetail), project + ": line 10: GOP 1 starts at byte " + size +
                                             ", past the end of " + es + " (" + size + " bytes)");
  // A position inside a picture: the first start code found is no sequence header.
  EXPECT_EQ(check(es, "SIZ 720 x 576\nFPS 25 / 1\nSEQ 100\nFRM I\n"), kLoadBadValue);
}

}  // namespace
