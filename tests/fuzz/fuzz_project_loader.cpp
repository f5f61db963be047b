// Fuzz target: the project loader. The input is written as a project file into a folder that
// also holds small video files it can name ("v.m2v", "v.ts", "v.mkv"); Open must load it or fail
// with a load code, the tables (made small, to grow often) must hold together, a few units must
// read from the first and last GOP, and Close must leave the decoder empty for the next run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "reader/avc_decoder.h"
#include "tests/fuzz/fuzz_support.h"

#ifndef MPG_FUZZ_CORPUS_DIR
#error "MPG_FUZZ_CORPUS_DIR must name the checked-in corpus folder"
#endif

namespace fuzz {
namespace {

std::string ReadCorpusFile(const std::string& name) {
  std::ifstream in(std::string(MPG_FUZZ_CORPUS_DIR) + "/" + name, std::ios::binary);
  Check(in.good(), "a video file for the project loader is missing from the corpus");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The folder of the project file, with the video files the seeds name.
const std::string& ProjectDir() {
  static const std::string dir = [] {
    std::string d = ScratchDir() + "/project";
    mkdir(d.c_str(), 0700);
    const char* const videos[][2] = {{"es_units/tiny-es.bin", "v.m2v"},
                                     {"ts_units/tiny-ts.bin", "v.ts"},
                                     {"matroska/tiny.mkv", "v.mkv"}};
    for (const auto& v : videos) {
      std::string bytes = ReadCorpusFile(v[0]);
      // The stream targets' inputs begin with their option bytes.
      size_t skip = std::strncmp(v[0], "es_", 3) == 0   ? 2
                    : std::strncmp(v[0], "ts_", 3) == 0 ? 5
                                                        : 0;
      Check(bytes.size() > skip, "a video file for the project loader is empty");
      WriteFile(d + "/" + v[1], reinterpret_cast<const uint8_t*>(bytes.data()) + skip,
                bytes.size() - skip);
    }
    return d;
  }();
  return dir;
}

bool Contains(const uint8_t* data, size_t size, const char* text) {
  return memmem(data, size, text, std::strlen(text)) != nullptr;
}

void CheckTables(const CAVCDecoder& d) {
  Check(d.gopCount >= 1 && d.gopCount <= d.gopCapacity, "GOP count out of range");
  Check(d.pictureCount >= 0 && d.pictureCount < d.pictureCapacity, "picture count out of range");
  int32_t previous = 0;
  for (int32_t g = 0; g < d.gopCount; ++g) {
    const GopEntry* gop = d.gopTable[g];
    Check(gop != nullptr, "a GOP slot below the count is empty");
    Check(gop->firstPicture >= previous && gop->firstPicture <= d.pictureCount,
          "GOP first pictures out of order");
    previous = gop->firstPicture;
  }
  Check(d.gopTable[0]->firstPicture == 0, "the first GOP does not start at picture 0");
  for (int32_t p = 0; p < d.pictureCount; ++p) {
    const PictureEntry& e = d.pictureTable[p];
    Check(e.type == 0 || e.type == 1 || e.type == 3, "a picture type out of range");
    Check(e.leading == 0 || e.leading == 1, "a leading flag out of range");
  }
  Check(d.leadingBCount >= 0 && d.leadingBCount < d.pictureCount + 1, "leading B count");
  Check(d.videoFile != nullptr, "a loaded project without its video file");
  Check(d.streamType != 2 || d.mkvFile != nullptr, "a Matroska project without a parser");
  Check(d.currentUnit == &d.unit && d.resync == 1, "the unit reader is not reset");
}

// A few units from the GOP, as the decode thread starts a request.
void ReadSomeUnits(CAVCDecoder& d, uint64_t position) {
  if (d.AlignStream(position) != 0) return;
  for (int i = 0; i < 64; ++i) {
    int result = d.GetAnnexbNALU();
    if (result < 1) break;
    CheckUnit(d);
  }
}

}  // namespace

int ProjectLoader(const uint8_t* data, size_t size) {
  // Paths into the system's special folders can name files that never end or block on read (a
  // terminal, a pipe); the loader opens whatever the project names, and such runs test nothing.
  if (Contains(data, size, "/dev") || Contains(data, size, "/proc") ||
      Contains(data, size, "/sys")) {
    return 0;
  }
  // The project file is rewritten in place: one descriptor kept open, cut and written anew, which
  // costs less than making the file again for each input.
  const std::string path = ProjectDir() + "/p.vnt";
  static const int project = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  Check(project >= 0 && ftruncate(project, 0) == 0, "cannot rewrite the project file");
  Check(size == 0 || pwrite(project, data, size, 0) == ssize_t(size),
        "short write of the project file");
  CAVCDecoder& d = SharedDecoder();
  // Tables of a million entries would make each load cost tens of milliseconds under ASan (the
  // shadow of 24 MB is poisoned at every allocation and release); small ones keep the loads cheap
  // and bring the growth of both tables within reach of short inputs.
  d.tableStartSize = 4;
  d.tableGrowthSize = 4;
  // Odd sizes open the project by a relative path, from its folder; the fuzzer's own folder is
  // the current one again right after (it reads and writes its corpus by relative paths).
  int code = 0;
  if (size % 2 == 1) {
    static const int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Check(home >= 0 && chdir(ProjectDir().c_str()) == 0, "cannot enter the project folder");
    code = d.Open("p.vnt");
    Check(fchdir(home) == 0, "cannot return to the starting folder");
  } else {
    code = d.Open(path.c_str());
  }
  Check(code == kLoadOk || code == kLoadEmpty || code == kLoadVersionMismatch ||
            code == kLoadCannotOpen || code == kLoadNotProject || code == kLoadNoGops ||
            code == kLoadMatroskaParse || code == kLoadNoMpegTrack || code == kLoadVideoChanged ||
            code == kLoadProjectCutShort || code == kLoadBadValue || code == kLoadUnsupportedTrack,
        "Open returned an unknown code");
  Check((code == kLoadOk) == (d.loadDetail[0] == '\0'), "a failure that names no file");
  if (code == kLoadOk) {
    CheckTables(d);
    const int checked = d.CheckProject(path.c_str());
    Check(checked == kLoadOk || checked == kLoadBadValue, "CheckProject returned an unknown code");
    Check((checked == kLoadOk) == (d.loadDetail[0] == '\0'), "a bad value that names no file");
    Check(d.currentUnit == &d.unit && d.resync == 1, "CheckProject left the unit reader moved");
    ReadSomeUnits(d, d.gopTable[0]->position);
    ReadSomeUnits(d, d.gopTable[d.gopCount - 1]->position);
  } else {
    Check(d.mkvFile == nullptr, "a failed load left a parser open");
  }
  d.Close();
  Check(d.projectFile == nullptr && d.videoFile == nullptr && d.videoPath == nullptr &&
            d.gopTable == nullptr && d.pictureTable == nullptr && d.mkvFile == nullptr &&
            d.gopCapacity == 0,
        "Close left something loaded");
  return 0;
}

}  // namespace fuzz
