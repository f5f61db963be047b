#include "tools/indexer/stream_facts.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "platform/file.h"
#include "platform/path.h"
#include "reader/mpeg2_sample_ratio.h"

namespace indexer {
namespace {

void Reduce(int64_t num, int64_t den, int* outNum, int* outDen) {
  if (num <= 0 || den <= 0) {
    *outNum = *outDen = 0;
    return;
  }
  const int64_t g = std::gcd(num, den);
  *outNum = static_cast<int>(num / g);
  *outDen = static_cast<int>(den / g);
}

std::string CodeName(int code, std::initializer_list<std::pair<int, const char*>> names) {
  for (const auto& [value, name] : names) {
    if (value == code) return name;
  }
  return "code " + std::to_string(code);
}

}  // namespace

StreamFacts FactsOf(const VideoIndex& index, const ClipTiming& timing) {
  StreamFacts facts;
  facts.present = true;
  const SequenceInfo& seq = index.sequence;
  if (seq.progressiveSequence || index.progressiveFrames == index.pictureCount) {
    facts.scan = "progressive";
  } else if (index.progressiveFrames == 0) {
    facts.scan = "interlaced";
  } else {
    facts.scan = "mixed";
  }
  facts.fieldOrder = index.fieldOrder == 0 ? "top" : "bottom";
  facts.pulldown = timing.pulldown == Pulldown::kRegular       ? "3:2"
                   : timing.pulldown == Pulldown::kFrameRepeat ? "frame-2:3"
                   : timing.pulldown == Pulldown::kMixed       ? "mixed"
                                                               : "none";
  facts.codedNumerator = seq.fpsNumerator;
  facts.codedDenominator = seq.fpsDenominator;
  facts.fields = timing.fields;

  // The sample aspect ratio ffmpeg uses; the display aspect ratio is the picture's size with
  // those samples.
  int64_t sarN = 0, sarD = 0;
  mpeg2::SampleAspectRatio(seq.aspectRatioCode, seq.width, seq.height,
                           seq.displayExtension ? seq.displayWidth : 0,
                           seq.displayExtension ? seq.displayHeight : 0, &sarN, &sarD);
  Reduce(sarN, sarD, &facts.sarNumerator, &facts.sarDenominator);
  Reduce(int64_t{seq.width} * sarN, int64_t{seq.height} * sarD, &facts.darNumerator,
         &facts.darDenominator);
  if (seq.colourDescription) {
    facts.colour = true;
    facts.colourPrimaries = seq.colourPrimaries;
    facts.transferCharacteristics = seq.transferCharacteristics;
    facts.matrixCoefficients = seq.matrixCoefficients;
  }
  facts.sizeChanges = index.sizeChanges;
  facts.aspectChanges = index.aspectChanges;
  facts.rateChanges = index.rateChanges;
  facts.matrixChanges = index.matrixChanges;
  facts.framesFfmpegDrops = index.framesFfmpegDrops;
  facts.damagedGops = index.damagedGops;
  return facts;
}

std::string FormatFacts(const StreamFacts& facts) {
  std::string out;
  char line[160];
  auto add = [&](int length) {
    if (length > 0) out.append(line, static_cast<size_t>(std::min<int>(length, sizeof line - 1)));
  };
  add(std::snprintf(line, sizeof line, "INFO scan %s\n", facts.scan.c_str()));
  add(std::snprintf(line, sizeof line, "INFO fieldorder %s\n", facts.fieldOrder.c_str()));
  add(std::snprintf(line, sizeof line, "INFO pulldown %s\n", facts.pulldown.c_str()));
  add(std::snprintf(line, sizeof line, "INFO codedrate %d / %d\n", facts.codedNumerator,
                    facts.codedDenominator));
  add(std::snprintf(line, sizeof line, "INFO fields %" PRIu64 "\n", facts.fields));
  add(std::snprintf(line, sizeof line, "INFO sar %d / %d\n", facts.sarNumerator,
                    facts.sarDenominator));
  add(std::snprintf(line, sizeof line, "INFO dar %d / %d\n", facts.darNumerator,
                    facts.darDenominator));
  if (facts.colour) {
    add(std::snprintf(line, sizeof line, "INFO colour %d %d %d\n", facts.colourPrimaries,
                      facts.transferCharacteristics, facts.matrixCoefficients));
  }
  for (const SizeChange& change : facts.sizeChanges) {
    add(std::snprintf(line, sizeof line, "INFO sizechange %" PRIu64 " %d x %d\n", change.frame,
                      change.width, change.height));
  }
  for (const AspectChange& change : facts.aspectChanges) {
    add(std::snprintf(line, sizeof line, "INFO aspectchange %" PRIu64 " %d / %d %d / %d\n",
                      change.frame, change.sarNumerator, change.sarDenominator, change.darNumerator,
                      change.darDenominator));
  }
  for (const RateChange& change : facts.rateChanges) {
    add(std::snprintf(line, sizeof line, "INFO ratechange %" PRIu64 " %d / %d\n", change.frame,
                      change.fpsNumerator, change.fpsDenominator));
  }
  for (uint64_t frame : facts.matrixChanges) {
    add(std::snprintf(line, sizeof line, "INFO matrixchange %" PRIu64 "\n", frame));
  }
  for (uint64_t frame : facts.framesFfmpegDrops) {
    add(std::snprintf(line, sizeof line, "INFO ffmpegdrop %" PRIu64 "\n", frame));
  }
  for (const DamagedGop& gop : facts.damagedGops) {
    add(std::snprintf(line, sizeof line, "INFO damagedgop %" PRIu64 " %" PRIu64 " %" PRIu64 "\n",
                      gop.gop, gop.firstFrame, gop.lastFrame));
  }
  return out;
}

bool ParseFactsLine(const std::string& line, StreamFacts* facts) {
  if (line.compare(0, 5, "INFO ") != 0) return false;
  facts->present = true;
  char key[32] = {0};
  char word[32] = {0};
  const char* text = line.c_str() + 5;
  if (std::sscanf(text, "%31s", key) != 1) return true;
  const char* value = text + std::strlen(key);
  if (!std::strcmp(key, "scan") && std::sscanf(value, "%31s", word) == 1) {
    facts->scan = word;
  } else if (!std::strcmp(key, "fieldorder") && std::sscanf(value, "%31s", word) == 1) {
    facts->fieldOrder = word;
  } else if (!std::strcmp(key, "pulldown") && std::sscanf(value, "%31s", word) == 1) {
    facts->pulldown = word;
  } else if (!std::strcmp(key, "codedrate")) {
    std::sscanf(value, "%d / %d", &facts->codedNumerator, &facts->codedDenominator);
  } else if (!std::strcmp(key, "fields")) {
    std::sscanf(value, "%" SCNu64, &facts->fields);
  } else if (!std::strcmp(key, "sar")) {
    std::sscanf(value, "%d / %d", &facts->sarNumerator, &facts->sarDenominator);
  } else if (!std::strcmp(key, "dar")) {
    std::sscanf(value, "%d / %d", &facts->darNumerator, &facts->darDenominator);
  } else if (!std::strcmp(key, "colour")) {
    facts->colour = std::sscanf(value, "%d %d %d", &facts->colourPrimaries,
                                &facts->transferCharacteristics, &facts->matrixCoefficients) == 3;
  } else if (!std::strcmp(key, "sizechange")) {
    SizeChange change;
    if (std::sscanf(value, "%" SCNu64 " %d x %d", &change.frame, &change.width, &change.height) ==
        3) {
      facts->sizeChanges.push_back(change);
    }
  } else if (!std::strcmp(key, "aspectchange")) {
    AspectChange change;
    if (std::sscanf(value, "%" SCNu64 " %d / %d %d / %d", &change.frame, &change.sarNumerator,
                    &change.sarDenominator, &change.darNumerator, &change.darDenominator) == 5) {
      facts->aspectChanges.push_back(change);
    }
  } else if (!std::strcmp(key, "ratechange")) {
    RateChange change;
    if (std::sscanf(value, "%" SCNu64 " %d / %d", &change.frame, &change.fpsNumerator,
                    &change.fpsDenominator) == 3) {
      facts->rateChanges.push_back(change);
    }
  } else if (!std::strcmp(key, "matrixchange")) {
    uint64_t frame = 0;
    if (std::sscanf(value, "%" SCNu64, &frame) == 1) facts->matrixChanges.push_back(frame);
  } else if (!std::strcmp(key, "ffmpegdrop")) {
    uint64_t frame = 0;
    if (std::sscanf(value, "%" SCNu64, &frame) == 1) facts->framesFfmpegDrops.push_back(frame);
  } else if (!std::strcmp(key, "damagedgop")) {
    DamagedGop gop;
    if (std::sscanf(value, "%" SCNu64 " %" SCNu64 " %" SCNu64, &gop.gop, &gop.firstFrame,
                    &gop.lastFrame) == 3) {
      facts->damagedGops.push_back(gop);
    }
  }
  return true;
}

bool ReadFacts(const std::string& projectPath, StreamFacts* facts) {
  *facts = StreamFacts();
  // Opened as the loader opens the project: the name as UTF-8, through the wide calls on Windows.
  char reason[256];
  FILE* in = platform::OpenRegularFile(platform::Utf8Path(projectPath.c_str()).c_str(), nullptr,
                                       reason, sizeof reason);
  if (in == nullptr) return false;
  std::string line;
  while (platform::ReadTextLine(in, &line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 4, "SEQ ") == 0) break;  // the facts come before the GOPs
    ParseFactsLine(line, facts);
  }
  std::fclose(in);
  return true;
}

std::string ColourPrimariesName(int code) {
  return CodeName(code, {{1, "bt709"},
                         {2, "unknown"},
                         {4, "bt470m"},
                         {5, "bt470bg"},
                         {6, "smpte170m"},
                         {7, "smpte240m"}});
}

std::string TransferName(int code) {
  return CodeName(code, {{1, "bt709"},
                         {2, "unknown"},
                         {4, "bt470m"},
                         {5, "bt470bg"},
                         {6, "smpte170m"},
                         {7, "smpte240m"},
                         {8, "linear"}});
}

std::string MatrixName(int code) {
  return CodeName(code, {{1, "bt709"},
                         {2, "unknown"},
                         {4, "fcc"},
                         {5, "bt470bg"},
                         {6, "smpte170m"},
                         {7, "smpte240m"}});
}

}  // namespace indexer
