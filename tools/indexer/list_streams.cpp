#include "tools/indexer/list_streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "matroska/matroska.h"
#include "platform/file.h"
#include "reader/mkv_file_input.h"
#include "reader/mkv_track_choice.h"
#include "tools/indexer/byte_source.h"
#include "tools/indexer/indexer.h"
#include "tools/indexer/program_stream.h"
#include "tools/indexer/project_format.h"
#include "tools/indexer/psi_tables.h"
#include "tools/indexer/transport_stream.h"

namespace indexer {
namespace {

constexpr size_t kProbeSize = 1 << 20;
constexpr int kMpeg2VideoStreamType = 0x02;

const char* TrackTypeName(int type) {
  switch (type) {
    case 1:
      return "video";
    case 2:
      return "audio";
    case 17:
      return "subtitles";
    default:
      return "other";
  }
}

std::string Hex(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

// The video stream as indexing sees it: the summary line of its project.
int Summary(const std::string& videoPath, int track, std::string* summary, std::string* error) {
  IndexOptions options;
  options.videoPath = videoPath;
  options.track = track;
  options.progress = false;
  options.warn = [](const std::string&) {};
  VideoIndex index;
  StreamLayout layout;
  const int result = IndexVideo(options, &index, &layout, error);
  if (result == kIndexOk) *summary = StreamSummary(index, layout);
  return result;
}

// Every track of a Matroska file, and for each MPEG-2 video track what indexing it with --track
// gives.
int ListMatroska(const std::string& videoPath, FILE* out, std::string* error) {
  char reason[512];
  std::unique_ptr<FILE, int (*)(FILE*)> stream(
      platform::OpenRegularFile(videoPath.c_str(), nullptr, reason, sizeof reason), std::fclose);
  if (stream == nullptr) {
    *error = "cannot open \"" + videoPath + "\": " + reason;
    return kIndexCannotRead;
  }
  MkvFileInput input;
  InitMkvFileInput(&input, stream.get());
  char message[256] = "";
  std::unique_ptr<MatroskaFile, void (*)(MatroskaFile*)> file(
      mkv_OpenFile(&input.ops, 0, 0, message, sizeof message), mkv_CloseFile);
  if (file == nullptr) {
    *error = "\"" + videoPath + "\" cannot be read as Matroska: " + message;
    return kIndexNotMpeg2;
  }
  std::fprintf(out, "\"%s\": Matroska\n", videoPath.c_str());
  bool picked = false;
  for (uint32_t i = 0; i < mkv_TrackCount(file.get()); ++i) {
    const MkvTrack* track = mkv_TrackEntry(file.get(), i);
    if (track == nullptr) continue;
    std::fprintf(out, "  track %u: %s (%s)", i, track->codecID != nullptr ? track->codecID : "?",
                 TrackTypeName(track->trackType));
    if (!IsMpeg2Track(track)) {
      std::fprintf(out, "\n");
      continue;
    }
    std::string summary, why;
    if (Summary(videoPath, int(i), &summary, &why) == kIndexOk) {
      std::fprintf(out, "%s\n    %s\n", picked ? "" : "  <- indexed by default", summary.c_str());
    } else {
      std::fprintf(out, "\n    cannot be indexed: %s\n", why.c_str());
    }
    picked = true;
  }
  if (!picked) std::fprintf(out, "  no MPEG-2 video track: nothing to index\n");
  return kIndexOk;
}

}  // namespace

std::string StreamTypeName(int type) {
  switch (type) {
    case 0x01:
      return "MPEG-1 video";
    case 0x02:
      return "MPEG-2 video";
    case 0x10:
      return "MPEG-4 video";
    case 0x1B:
      return "H.264 video";
    case 0x24:
      return "HEVC video";
    case 0x03:
    case 0x04:
      return "MPEG audio";
    case 0x0F:
      return "AAC audio";
    case 0x11:
      return "AAC (LATM) audio";
    case 0x81:
      return "AC-3 audio";
    case 0x87:
      return "E-AC-3 audio";
    case 0x06:
      return "private data (subtitles, teletext or audio)";
    default:
      return "stream type " + Hex(type);
  }
}

int ListStreams(const std::string& videoPath, FILE* out, std::string* error) {
  FileSource source;
  if (!source.Open(videoPath, error)) return kIndexCannotRead;
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(source.Size(), kProbeSize)));
  const int64_t got = source.ReadAt(0, head.data(), head.size());
  if (got < 0) {
    *error = "read error in \"" + videoPath + "\"";
    return kIndexCannotRead;
  }
  head.resize(static_cast<size_t>(got));
  size_t firstSync = 0;
  const int spacing = DetectPacketSize(head.data(), head.size(), &firstSync);
  const bool matroska =
      head.size() >= 4 && head[0] == 0x1A && head[1] == 0x45 && head[2] == 0xDF && head[3] == 0xA3;
  if (matroska) return ListMatroska(videoPath, out, error);
  ProgramStreamMatch programStream;
  if (FindProgramStream(head.data(), head.size(), source.Size(), &programStream)) {
    return ListProgramStream(videoPath, out, error);
  }
  if (spacing != 188 && spacing != 192) {
    // Not a transport stream: the one video stream, as indexing sees it.
    IndexOptions options;
    options.videoPath = videoPath;
    options.progress = false;
    options.warn = [](const std::string&) {};
    VideoIndex index;
    StreamLayout layout;
    const int result = IndexVideo(options, &index, &layout, error);
    if (result != kIndexOk) return result;
    std::fprintf(out, "%s\n", StreamSummary(index, layout).c_str());
    return kIndexOk;
  }

  TsPacketReader reader(&source, spacing, firstSync);
  PsiCollector psi;
  if (!CollectPsi(&reader, &psi)) {
    *error = "read error in \"" + videoPath + "\"";
    return kIndexCannotRead;
  }
  std::fprintf(out, "\"%s\": transport stream, %d-byte packets\n", videoPath.c_str(), spacing);
  if (!psi.HavePat()) {
    std::fprintf(out, "  no program association table (PAT) found; index with --pid N\n");
    return kIndexOk;
  }
  bool picked = false;
  for (const Program& program : psi.programs()) {
    std::fprintf(out, "  program %d (PMT PID %d, %s)%s\n", program.number, program.pmtPid,
                 Hex(program.pmtPid).c_str(),
                 program.mapped ? "" : ": program map table not found");
    for (const PmtStream& stream : program.streams) {
      const bool pick = !picked && stream.streamType == kMpeg2VideoStreamType;
      picked = picked || pick;
      std::fprintf(out, "    PID %d (%s): %s (stream type %s)%s\n", stream.pid,
                   Hex(stream.pid).c_str(), StreamTypeName(stream.streamType).c_str(),
                   Hex(stream.streamType).c_str(), pick ? "  <- indexed by default" : "");
    }
  }
  if (!picked) std::fprintf(out, "  no MPEG-2 video stream: nothing to index\n");
  return kIndexOk;
}

}  // namespace indexer
