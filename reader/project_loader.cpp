// Loading the project file: header, video path, keyword lines, the GOP and picture tables, and
// opening the video file.
#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "matroska/matroska.h"
#include "platform/file.h"
#include "platform/path.h"
#include "reader/avc_decoder.h"
#include "reader/leading_number.h"
#include "reader/program_stream_reader.h"
#include "reader/video_fingerprint.h"

namespace {

// Line lengths, in characters read with the newline included.
constexpr int kHeaderLineChars = 78;
constexpr int kLine2Chars = 4998;
constexpr int kPathLineChars = 1998;
constexpr int kLongLineChars = 49998;

// Reads a text file line by line with a maximum line length. A CR directly before an LF is
// dropped, so lines ending in CR LF read like lines ending in LF on every platform. A line longer
// than the maximum is split there; its remainder is the next line.
class LineReader {
 public:
  explicit LineReader(FILE* file) : file_(file), buffer_(new unsigned char[kChunk]) {}

  // Reads up to `maxChars` characters (the newline included) into `out`, which must hold
  // maxChars + 1 bytes, and terminates them. Returns the number read, or -1 at the end of file.
  int Read(char* out, int maxChars) {
    if (lastEndedInNewline_) ++lineNumber_;
    int n = 0;
    while (n < maxChars) {
      int c = Next();
      if (c < 0) break;
      if (c == '\r' && Peek() == '\n') c = Next();
      out[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    out[n] = '\0';
    if (n > 0) lastEndedInNewline_ = out[n - 1] == '\n';
    return n == 0 ? -1 : n;
  }

  // Whether the last line read ended in a newline: a file cut short ends without one.
  bool LastEndedInNewline() const { return lastEndedInNewline_; }

  // The number of the file's line that the last read came from (a split line keeps its number).
  int LineNumber() const { return lineNumber_; }

 private:
  static constexpr size_t kChunk = 65536;

  bool Fill() {
    if (pos_ < length_) return true;
    length_ = std::fread(buffer_.get(), 1, kChunk, file_);
    pos_ = 0;
    return length_ > 0;
  }
  int Next() { return Fill() ? buffer_[pos_++] : -1; }
  int Peek() { return Fill() ? buffer_[pos_] : -1; }

  FILE* file_;
  std::unique_ptr<unsigned char[]> buffer_;  // left unfilled: only what fread wrote is read
  size_t pos_ = 0;
  size_t length_ = 0;
  bool lastEndedInNewline_ = true;
  int lineNumber_ = 0;
};

// Drops the last character of a line read (taken to be its newline, whatever it is).
void DropLastCharacter(char* line) {
  size_t length = std::strlen(line);
  if (length > 0) line[length - 1] = '\0';
}

// Where the first value of a keyword line begins: right after its first blank; null when the
// line has no blank.
const char* FirstValue(const char* line) {
  const char* blank = std::strchr(line, ' ');
  return blank == nullptr ? nullptr : blank + 1;
}

// How a frame is shown, from the rest of its FRM word ("B3tp": three fields, top first,
// progressive). A word without it, or with anything else there, leaves the entry unknown.
void ReadShown(const char* word, PictureEntry* entry) {
  entry->fields = 0;
  entry->shown = 0;
  if (word == nullptr || word[0] == '\0') return;
  const char fields = word[1];
  if (fields != '2' && fields != '3' && fields != '4' && fields != '6') return;
  const char first = word[2];
  const char scan = first == '\0' ? '\0' : word[3];
  if ((first != 't' && first != 'b') || (scan != 'p' && scan != 'i')) return;
  entry->fields = fields - '0';
  entry->shown = (first == 't' ? kShownTopFirst : 0) | (scan == 'p' ? kShownProgressive : 0);
}

// Where the value after `value` begins: right after the next blank that follows its start.
const char* NextValue(const char* value) {
  if (value == nullptr || *value == '\0') return nullptr;
  const char* blank = std::strchr(value + 1, ' ');
  return blank == nullptr ? nullptr : blank + 1;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A signed decimal integer after optional white space. Returns false, leaving `out` untouched,
// when there is no number, and also when the number does not fit 32 bits: then `outOfRange` is
// set. `end` receives the first character after the number.
bool ParseInt(const char* text, int32_t* out, bool* outOfRange, const char** end = nullptr) {
  const number::Read read = number::Leading(text, out, end);
  if (read == number::Read::kOutOfRange) *outOfRange = true;
  return read == number::Read::kOk;
}

// The same for an unsigned 64-bit number.
bool ParseU64(const char* text, uint64_t* out, bool* outOfRange, const char** end = nullptr) {
  const number::Read read = number::Leading(text, out, end);
  if (read == number::Read::kOutOfRange) *outOfRange = true;
  return read == number::Read::kOk;
}

// Whether only white space follows.
bool OnlySpaceFrom(const char* text) {
  while (IsSpace(*text)) ++text;
  return *text == '\0';
}

// Reads "<int> <separator> <int>", white space allowed around the separator; like a scanf
// format, the first value is stored even when the rest does not match.
void ParsePair(const char* text, char separator, int32_t* first, int32_t* second,
               bool* outOfRange) {
  const char* rest = nullptr;
  if (!ParseInt(text, first, outOfRange, &rest)) return;
  while (IsSpace(*rest)) ++rest;
  if (*rest != separator) return;
  ParseInt(rest + 1, second, outOfRange);
}

// The first value of the project that cannot be right: the line it is on and why.
class BadValue {
 public:
  bool Found() const { return line_ > 0; }

  // Keeps the first one only: later lines may be damaged only because of it.
  void Note(int line, const char* text, const char* why) {
    if (Found()) return;
    line_ = line;
    // The line as a message can show it: its first characters, without the newline and with
    // control characters replaced.
    constexpr size_t kShown = 60;
    text_.clear();
    for (size_t i = 0; text[i] != '\0' && text[i] != '\n'; ++i) {
      if (i == kShown) {
        text_ += "...";
        break;
      }
      const unsigned char c = static_cast<unsigned char>(text[i]);
      text_ += c < 0x20 || c == 0x7F ? '?' : char(c);
    }
    why_ = why;
  }

  int Line() const { return line_; }
  const char* Text() const { return text_.c_str(); }
  const char* Why() const { return why_.c_str(); }

 private:
  int line_ = 0;
  std::string text_;
  std::string why_;
};

bool Matches(const char* line, const char* keyword) {
  return std::strncmp(line, keyword, std::strlen(keyword)) == 0;
}

bool Append(char* out, size_t outSize, size_t* length, const char* text) {
  size_t add = std::strlen(text);
  if (*length + add >= outSize) return false;
  std::memcpy(out + *length, text, add + 1);
  *length += add;
  return true;
}

// Working buffers of the path resolution hold the platform's longest path and its terminator.
size_t WorkPathSize() {
  return platform::MaxPathLength() + 1;
}

// Resolves a relative video path against the folder of the project file into `videoPath`
// (of `videoPathSize` bytes). Fails when the project path has no folder part or when a path
// does not fit the working buffers.
bool ResolveVideoPath(const char* projectPath, char* videoPath, size_t videoPathSize) {
  std::vector<char> work(WorkPathSize());
  char* base = work.data();
  const size_t baseSize = work.size();
  size_t length = 0;
  base[0] = '\0';
  if (platform::PathIsRelative(projectPath)) {
    length = platform::GetCurrentDirectory(base, baseSize);
    if (length == 0 || length >= baseSize) return false;
    if (!platform::IsPathSeparator(base[length - 1])) {
      const char separator[2] = {platform::PreferredSeparator(), '\0'};
      if (!Append(base, baseSize, &length, separator)) return false;
    }
  }
  if (!Append(base, baseSize, &length, projectPath)) return false;

  // Cut the text after the folder's last separator. A separator at the very start is the root
  // folder, which is as good a folder as any other.
  size_t cut = length;
  while (cut > 0 && !platform::IsPathSeparator(base[cut - 1])) --cut;
  if (cut == 0) return false;
  base[cut] = '\0';
  length = cut;
  if (!Append(base, baseSize, &length, videoPath)) return false;

  std::vector<char> canonicalWork(WorkPathSize());
  char* canonical = canonicalWork.data();
  if (!platform::PathCanonicalize(canonical, canonicalWork.size(), base)) return false;
  size_t canonicalLength = std::strlen(canonical);
  if (canonicalLength >= videoPathSize) return false;
  std::memcpy(videoPath, canonical, canonicalLength + 1);
  return true;
}

// Reads "<hex digits>" as an unsigned 64-bit number; false when there are none or too many.
bool ParseHex64(const char* text, uint64_t* out) {
  if (text == nullptr) return false;
  uint64_t value = 0;
  int digits = 0;
  for (;; ++text, ++digits) {
    const char c = *text;
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    if (digits == 16) return false;
    value = value << 4 | unsigned(digit);
  }
  if (digits == 0) return false;
  *out = value;
  return true;
}

// The fingerprint of the first `size` bytes of `file`; false when they cannot be read.
bool FileFingerprint(FILE* file, uint64_t size, uint64_t* hash) {
  return fingerprint::Compute(
      size,
      [file](uint64_t offset, unsigned char* buffer, size_t length) {
        return platform::SeekFile(file, offset) == 0 &&
               std::fread(buffer, 1, length, file) == length;
      },
      hash);
}

// A further file of a program stream: "NEXTFILE <bytes> <fingerprint> <path>".
struct NextFile {
  uint64_t size = 0;
  uint64_t fingerprint = 0;
  std::string path;
};

// The project header of the program streams' projects. Loaders that know only the first header
// refuse such a project as one of another version, rather than reading its packs as video.
constexpr const char* kHeader = "VantuIndexFileNV1";
constexpr const char* kProgramStreamHeader = "VantuIndexFileNV2";
constexpr int32_t kProgramStream = 3;

// Joins the project's video file and its further files into d.programFiles. Offsets run on from
// one file into the next, so every file but the last must still have the length it was indexed
// with; every file must still hold the bytes indexed.
int OpenProgramStream(CAVCDecoder& d, const char* projectPath, int64_t firstSize,
                      const std::vector<NextFile>& nextFiles) {
  std::unique_ptr<ProgramStreamFiles> files(new ProgramStreamFiles);
  char reason[256];
  uint64_t size = 0;
  FILE* file = platform::OpenRegularFile(d.videoPath, &size, reason, sizeof reason);
  if (file == nullptr) {
    d.SetLoadDetail(d.videoPath, "%s", reason);
    return kLoadCannotOpen;
  }
  if (!nextFiles.empty() && firstSize >= 0 && size != uint64_t(firstSize)) {
    std::fclose(file);
    d.SetLoadDetail(d.videoPath, "%" PRIu64 " bytes, but %" PRId64 " when it was indexed", size,
                    firstSize);
    return kLoadVideoChanged;
  }
  files->Add(file, size);
  std::vector<char> work(std::max<size_t>(CAVCDecoder::kVideoPathSize, WorkPathSize()));
  for (size_t i = 0; i < nextFiles.size(); ++i) {
    const NextFile& next = nextFiles[i];
    if (next.path.size() >= work.size()) {
      d.SetLoadDetail(projectPath, "the path of further file %u is too long",
                      static_cast<unsigned>(i + 1));
      return kLoadCannotOpen;
    }
    std::memcpy(work.data(), next.path.c_str(), next.path.size() + 1);
    if (platform::PathIsRelative(work.data()) &&
        !ResolveVideoPath(projectPath, work.data(), work.size())) {
      d.SetLoadDetail(projectPath,
                      "the path \"%s\" cannot be resolved against the project's folder",
                      next.path.c_str());
      return kLoadCannotOpen;
    }
    const char* name = work.data();
    file = platform::OpenRegularFile(name, &size, reason, sizeof reason);
    if (file == nullptr) {
      d.SetLoadDetail(name, "%s", reason);
      return kLoadCannotOpen;
    }
    const bool last = i + 1 == nextFiles.size();
    uint64_t hash = 0;
    if (size < next.size || (!last && size != next.size)) {
      std::fclose(file);
      d.SetLoadDetail(name, "%" PRIu64 " bytes, but %" PRIu64 " when it was indexed", size,
                      next.size);
      return kLoadVideoChanged;
    }
    const bool read = FileFingerprint(file, next.size, &hash);
    files->Add(file, size);
    if (!read) {
      d.SetLoadDetail(name, "it cannot be read");
      return kLoadCannotOpen;
    }
    if (hash != next.fingerprint) {
      d.SetLoadDetail(name, "its content is not the content that was indexed");
      return kLoadVideoChanged;
    }
  }
  d.videoSize = files->Size();
  d.programFiles = files.release();
  return kLoadOk;
}

// What the keyword lines say beyond the decoder's own fields.
struct ProjectLines {
  int32_t growth = 4;  // table entries added at a time
  int32_t pictures = 0;
  int32_t gops = 0;
  // Our indexer's own lines, which other loaders skip: the video's length and fingerprint, the
  // number of pictures listed (-1: the line is absent) and a program stream's further files.
  int64_t indexedVideoSize = -1;
  uint64_t indexedFingerprint = 0;
  int32_t listedPictures = -1;
  std::vector<NextFile> nextFiles;
  BadValue bad;
};

// Reads line 3, the video's path, into videoPath: UTF-8, local separators, resolved against the
// project's folder when relative.
int ReadVideoPathLine(CAVCDecoder& d, const char* path, LineReader& reader) {
  // Room for line 3 and for the longest path it can resolve to.
  const size_t videoPathSize = std::max<size_t>(CAVCDecoder::kVideoPathSize, WorkPathSize());
  d.videoPath = static_cast<char*>(std::calloc(videoPathSize, 1));
  if (d.videoPath == nullptr) return kLoadCannotOpen;
  char* videoPath = d.videoPath;
  const int pathChars = reader.Read(videoPath, kPathLineChars);
  // A NUL byte would end the path early (and cut the wrong character off it): no file has one.
  if (pathChars > 0 && std::memchr(videoPath, '\0', static_cast<size_t>(pathChars)) != nullptr) {
    d.SetLoadDetail(path, "line 3: the video path holds a NUL byte");
    return kLoadCannotOpen;
  }
  DropLastCharacter(videoPath);
  // Our indexer writes UTF-8; a project that holds the ANSI code page's bytes is read as such.
  const std::string videoName = platform::Utf8Path(videoPath);
  if (videoName.size() >= videoPathSize) {
    d.SetLoadDetail(path, "line 3: the video path is too long");
    return kLoadCannotOpen;
  }
  std::memcpy(videoPath, videoName.c_str(), videoName.size() + 1);
  // A relative path written on the other system names the same file here.
  if (platform::PathIsRelative(videoPath)) platform::UseLocalSeparators(videoPath);
  if (platform::PathIsRelative(videoPath) && !ResolveVideoPath(path, videoPath, videoPathSize)) {
    d.SetLoadDetail(path, "the video path \"%s\" cannot be resolved against the project's folder",
                    videoPath);
    return kLoadCannotOpen;
  }

  return kLoadOk;
}

// One keyword line of the project into the decoder's fields and `lines`. False when a table
// cannot grow.
bool ReadKeywordLine(CAVCDecoder& d, const char* line, int number, ProjectLines* lines) {
  int32_t value = 0;
  // Set by any number of the line that does not fit its type; a number that is absent leaves
  // its field as it was.
  bool outOfRange = false;
  if (Matches(line, "FO")) {
    ParseInt(FirstValue(line), &d.fieldOrder, &outOfRange);
  } else if (Matches(line, "STREAM")) {
    ParseInt(FirstValue(line), &d.streamType, &outOfRange);
  } else if (Matches(line, "PKTSIZ")) {
    ParseInt(FirstValue(line), &d.packetSize, &outOfRange);
  } else if (Matches(line, "VPID")) {
    ParseInt(FirstValue(line), &d.videoPid, &outOfRange);
  } else if (Matches(line, "TRACK")) {
    ParseInt(FirstValue(line), &d.mkvTrack, &outOfRange);
  } else if (Matches(line, "CHROMA")) {
    if (ParseInt(FirstValue(line), &value, &outOfRange)) {
      if (value == 420 || value == 422) {
        d.chromaFormat = value;
      } else {
        lines->bad.Note(number, line, "the chroma format is not 420 or 422");
      }
    }
  } else if (Matches(line, "LUMFILT")) {
    const char* first = FirstValue(line);
    int32_t gamma = 0;
    int32_t offset = 0;
    // A line without both values changes nothing.
    if (ParseInt(first, &gamma, &outOfRange) && ParseInt(NextValue(first), &offset, &outOfRange)) {
      if (gamma < -kLumGammaLimit || gamma > kLumGammaLimit) {
        lines->bad.Note(number, line, "the gamma is not from -2048 to 2048");
      } else if (offset < -kLumOffsetLimit || offset > kLumOffsetLimit) {
        lines->bad.Note(number, line, "the offset is not from -255 to 255");
      } else if (gamma != 0 || offset != 0) {
        d.lumFilterOn = 1;
        d.InitializeLuminanceFilter(gamma, offset);
      } else {
        d.lumFilterOn = 0;
      }
    }
  } else if (Matches(line, "CLIP")) {
    const char* v = FirstValue(line);
    if (ParseInt(v, &value, &outOfRange)) d.clipLeft = value;
    v = NextValue(v);
    if (ParseInt(v, &value, &outOfRange)) d.clipRight = value;
    v = NextValue(v);
    if (ParseInt(v, &value, &outOfRange)) d.clipTop = value;
    v = NextValue(v);
    if (ParseInt(v, &value, &outOfRange)) d.clipBottom = value;
  } else if (Matches(line, "SIZ")) {
    ParsePair(line + 3, 'x', &d.width, &d.height, &outOfRange);
  } else if (Matches(line, "FPS")) {
    ParsePair(line + 3, '/', &d.fpsNumerator, &d.fpsDenominator, &outOfRange);
  } else if (Matches(line, "SEQ ")) {
    if (lines->gops == d.gopCapacity) {
      if (d.gopCapacity > INT32_MAX - lines->growth) return false;
      GopEntry** grown = static_cast<GopEntry**>(
          std::realloc(d.gopTable, (size_t(d.gopCapacity) + lines->growth) * sizeof(GopEntry*)));
      if (grown == nullptr) return false;
      std::memset(grown + d.gopCapacity, 0, size_t(lines->growth) * sizeof(GopEntry*));
      d.gopTable = grown;
      d.gopCapacity += lines->growth;
    }
    GopEntry* gop = static_cast<GopEntry*>(std::calloc(1, sizeof(GopEntry)));
    if (gop == nullptr) return false;
    d.gopTable[lines->gops] = gop;
    gop->firstPicture = lines->pictures;
    gop->line = number;
    // A position is where a run starts reading: one that is missing, negative or followed by
    // more text would start runs at the wrong GOP.
    const char* end = nullptr;
    if (!ParseU64(FirstValue(line), &gop->position, &outOfRange, &end) && !outOfRange) {
      lines->bad.Note(number, line, "no GOP position (a number from 0 up)");
    } else if (end != nullptr && !outOfRange && !OnlySpaceFrom(end)) {
      lines->bad.Note(number, line, "the GOP position is followed by other text");
    }
    ++lines->gops;
  } else if (Matches(line, "FRM")) {
    if (lines->gops > 0) {
      // The word's first letter is the picture's coding type; the rest of the line is free.
      const char* word = FirstValue(line);
      int32_t type = 0;
      if (word != nullptr && *word == 'P') {
        type = 1;
      } else if (word != nullptr && *word == 'B') {
        type = 3;
      } else if (word == nullptr || *word != 'I') {
        lines->bad.Note(number, line, "not a picture coding type (I, P or B)");
      }
      d.pictureTable[lines->pictures].type = type;
      ReadShown(word, &d.pictureTable[lines->pictures]);
      // The table keeps at least one free entry beyond the last picture.
      if (lines->pictures + 2 >= d.pictureCapacity) {
        if (d.pictureCapacity > INT32_MAX - lines->growth) return false;
        PictureEntry* grown = static_cast<PictureEntry*>(std::realloc(
            d.pictureTable, (size_t(d.pictureCapacity) + lines->growth) * sizeof(PictureEntry)));
        if (grown == nullptr) return false;
        std::memset(grown + d.pictureCapacity, 0, size_t(lines->growth) * sizeof(PictureEntry));
        d.pictureTable = grown;
        d.pictureCapacity += lines->growth;
      }
      ++lines->pictures;
    }
  } else if (Matches(line, "VIDEOFILE ")) {
    const char* first = FirstValue(line);
    uint64_t size = 0;
    if (ParseU64(first, &size, &outOfRange) && size <= uint64_t(INT64_MAX) &&
        ParseHex64(NextValue(first), &lines->indexedFingerprint)) {
      lines->indexedVideoSize = int64_t(size);
    } else if (!outOfRange) {
      lines->bad.Note(number, line, "not a video size and fingerprint");
    }
  } else if (Matches(line, "NEXTFILE ")) {
    const char* first = FirstValue(line);
    const char* second = NextValue(first);
    const char* third = NextValue(second);
    NextFile next;
    if (ParseU64(first, &next.size, &outOfRange) && next.size <= uint64_t(INT64_MAX) &&
        ParseHex64(second, &next.fingerprint) && third != nullptr && *third != '\n' &&
        *third != '\0') {
      next.path = third;
      if (!next.path.empty() && next.path.back() == '\n') next.path.pop_back();
      lines->nextFiles.push_back(next);
    } else if (!outOfRange) {
      lines->bad.Note(number, line, "not a file's size, fingerprint and path");
    }
  } else if (Matches(line, "PICTURES ")) {
    if (!ParseInt(FirstValue(line), &lines->listedPictures, &outOfRange) ||
        lines->listedPictures < 0) {
      lines->listedPictures = -1;
      if (!outOfRange) lines->bad.Note(number, line, "not a picture count");
    }
  }
  if (outOfRange) lines->bad.Note(number, line, "a number out of range");
  return true;
}

// A GOP's leading B pictures (those right after its first picture in coded order) take the
// display positions from the GOP's first picture on: marks those positions.
void MarkLeadingPictures(CAVCDecoder& d, int32_t pictures, int32_t gops) {
  for (int32_t p = 0; p < pictures; ++p) d.pictureTable[p].leading = 0;
  for (int32_t g = 0; g < gops; ++g) {
    const int32_t first = d.gopTable[g]->firstPicture;
    int32_t k = 0;
    while (first + 1 + k < pictures && d.pictureTable[first + 1 + k].type == 3) ++k;
    for (int32_t p = first; p < first + k; ++p) d.pictureTable[p].leading = 1;
  }
}

// Opens the video and, where the project names its length and fingerprint, checks that it is the
// video that was indexed.
int OpenIndexedVideo(CAVCDecoder& d, const ProjectLines& lines) {
  char reason[512];
  const char* videoPath = d.videoPath;
  d.videoFile = platform::OpenRegularFile(videoPath, &d.videoSize, reason, sizeof reason);
  if (d.videoFile == nullptr) {
    d.SetLoadDetail(videoPath, "%s", reason);
    return kLoadCannotOpen;
  }
  d.SetLoadDetail(videoPath, nullptr);

  if (lines.indexedVideoSize >= 0) {
    // A video that has grown since (a recording still being written) still holds the indexed
    // bytes unchanged; one that shrank or whose indexed bytes differ is another video.
    uint64_t hash = 0;
    if (d.videoSize < uint64_t(lines.indexedVideoSize)) {
      d.SetLoadDetail(videoPath, "%" PRIu64 " bytes, but %" PRId64 " when it was indexed",
                      d.videoSize, lines.indexedVideoSize);
      return kLoadVideoChanged;
    }
    // A stream of its own, so that d.videoFile sees no reads before the Matroska parser sets
    // its buffering.
    FILE* check = platform::OpenRegularFile(videoPath, nullptr, reason, sizeof reason);
    const bool read =
        check != nullptr && FileFingerprint(check, uint64_t(lines.indexedVideoSize), &hash);
    if (check != nullptr) std::fclose(check);
    if (!read) {
      d.SetLoadDetail(videoPath, "it cannot be read");
      return kLoadCannotOpen;
    }
    if (hash != lines.indexedFingerprint) {
      d.SetLoadDetail(videoPath, "its content is not the content that was indexed");
      return kLoadVideoChanged;
    }
  }
  return kLoadOk;
}

}  // namespace

void CAVCDecoder::SetLoadDetail(const char* file, const char* format, ...) {
  int n = std::snprintf(loadDetail, sizeof loadDetail, "%s", file != nullptr ? file : "");
  if (format == nullptr || n < 0 || size_t(n) + 2 >= sizeof loadDetail) return;
  std::snprintf(loadDetail + n, sizeof loadDetail - size_t(n), ": ");
  n += 2;
  va_list args;
  va_start(args, format);
  std::vsnprintf(loadDetail + n, sizeof loadDetail - size_t(n), format, args);
  va_end(args);
}

int CAVCDecoder::Open(const char* path) {
  // Open is meant to run once; anything a previous load left behind is released first.
  Close();
  loadDetail[0] = '\0';
  videoSize = 0;
  mkvTrack = -1;       // no TRACK line: the first MPEG-2 video track
  chromaFormat = 420;  // no CHROMA line: 4:2:0
  if (path == nullptr) return kLoadCannotOpen;
  // Every name is UTF-8 from here on: a host may pass the ANSI code page's bytes (Windows).
  const std::string projectPath = platform::Utf8Path(path);
  path = projectPath.c_str();
  char reason[512];
  // Only a regular file is read: a FIFO would block the host, a folder or a device is no project.
  projectFile = platform::OpenRegularFile(path, nullptr, reason, sizeof reason);
  if (projectFile == nullptr) {
    SetLoadDetail(path, "%s", reason);
    return kLoadCannotOpen;
  }
  SetLoadDetail(path, nullptr);  // the project is named by the failures up to the video
  LineReader reader(projectFile);

  char header[kHeaderLineChars + 1];
  if (reader.Read(header, kHeaderLineChars) < 0) return kLoadEmpty;
  DropLastCharacter(header);
  if (std::strstr(header, "VantuIndexFileNV") == nullptr) return kLoadNotProject;
  const bool programStreamProject = std::strcmp(header, kProgramStreamHeader) == 0;
  if (std::strcmp(header, kHeader) != 0 && !programStreamProject) return kLoadVersionMismatch;

  reader.Read(lineBuffer, kLine2Chars);

  const int pathResult = ReadVideoPathLine(*this, path, reader);
  if (pathResult != kLoadOk) return pathResult;

  reader.Read(lineBuffer, kPathLineChars);
  reader.Read(lineBuffer, kLongLineChars);

  // At least a few entries either way, so that the picture table keeps its free entry.
  const int32_t startSize = std::max<int32_t>(tableStartSize, 4);
  ProjectLines lines;
  lines.growth = std::max<int32_t>(tableGrowthSize, 4);
  pictureTable = static_cast<PictureEntry*>(std::calloc(size_t(startSize), sizeof(PictureEntry)));
  gopTable = static_cast<GopEntry**>(std::calloc(size_t(startSize), sizeof(GopEntry*)));
  if (pictureTable == nullptr || gopTable == nullptr) return kLoadCannotOpen;
  pictureCapacity = startSize;
  gopCapacity = startSize;
  while (reader.Read(lineBuffer, kLongLineChars) >= 0) {
    if (!ReadKeywordLine(*this, lineBuffer, reader.LineNumber(), &lines)) return kLoadCannotOpen;
  }

  if (lines.listedPictures >= 0 &&
      (lines.listedPictures != lines.pictures || !reader.LastEndedInNewline())) {
    if (!reader.LastEndedInNewline()) {
      SetLoadDetail(path, "it ends inside a line; %d of %d pictures listed", lines.pictures,
                    lines.listedPictures);
    } else {
      SetLoadDetail(path, "%d of %d pictures listed", lines.pictures, lines.listedPictures);
    }
    return kLoadProjectCutShort;
  }
  // Only the program streams' projects name several files or read the stream type 3 as a
  // program stream; in other projects 3 is an elementary stream, as it always was.
  if (programStreamProject && streamType != kProgramStream) {
    lines.bad.Note(1, header, "this header is for program streams (STREAM 3) only");
  }
  if (!programStreamProject && !lines.nextFiles.empty()) {
    lines.bad.Note(1, header, "only a program stream's project names further files");
  }
  if (lines.bad.Found()) {
    SetLoadDetail(path, "line %d \"%s\": %s", lines.bad.Line(), lines.bad.Text(), lines.bad.Why());
    return kLoadBadValue;
  }
  if (gopTable[0] == nullptr) return kLoadNoGops;

  MarkLeadingPictures(*this, lines.pictures, lines.gops);
  pictureCount = lines.pictures;
  gopCount = lines.gops;
  leadingBCount = 0;
  while (1 + leadingBCount < pictureCount && pictureTable[1 + leadingBCount].type == 3) {
    ++leadingBCount;
  }

  const int videoResult = OpenIndexedVideo(*this, lines);
  if (videoResult != kLoadOk) return videoResult;

  if (programStreamProject) {
    const int result = OpenProgramStream(*this, path, lines.indexedVideoSize, lines.nextFiles);
    if (result != kLoadOk) return result;
  }

  if (streamType == 2) {
    const int result = InitMatroska();
    if (result != 0) {
      // No parser handle may outlive the file it reads.
      mkv_CloseFile(mkvFile);
      mkvFile = nullptr;
      std::fclose(videoFile);
      videoFile = nullptr;
      return result == 1   ? kLoadMatroskaParse
             : result == 2 ? kLoadNoMpegTrack
                           : kLoadUnsupportedTrack;
    }
  }

  readPtr = readBuffer;
  readCount = 0;
  tsRemaining = 0;
  endOfData = 0;
  currentUnit = &unit;
  unit.data = unitBuffer;
  unit.length = 0;
  resync = 1;
  loadDetail[0] = '\0';
  return kLoadOk;
}

void CAVCDecoder::Close() {
  if (projectFile != nullptr) {
    std::fclose(projectFile);
    projectFile = nullptr;
  }
  std::free(videoPath);
  videoPath = nullptr;
  if (gopTable != nullptr) {
    // GOP entries fill the table from slot 0 without gaps: the first empty slot ends them, and
    // the rest of the table (a million slots or more) is never touched.
    for (int32_t i = 0; i < gopCapacity && gopTable[i] != nullptr; ++i) std::free(gopTable[i]);
    std::free(gopTable);
    gopTable = nullptr;
  }
  gopCapacity = 0;
  std::free(pictureTable);
  pictureTable = nullptr;
  pictureCapacity = 0;
  if (mkvFile != nullptr) {
    mkv_CloseFile(mkvFile);
    mkvFile = nullptr;
  }
  if (videoFile != nullptr) {
    std::fclose(videoFile);
    videoFile = nullptr;
  }
  delete programFiles;
  programFiles = nullptr;
}
