// IndexVideo: recognises how the video is carried, picks the transport stream's video PID and
// feeds the video bytes, with their file offsets, to the MPEG-2 scanner.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/indexer/byte_source.h"
#include "tools/indexer/indexer.h"
#include "tools/indexer/list_streams.h"
#include "tools/indexer/matroska_source.h"
#include "tools/indexer/mpeg2_scanner.h"
#include "tools/indexer/program_stream.h"
#include "tools/indexer/progress.h"
#include "tools/indexer/psi_tables.h"
#include "tools/indexer/reader_check.h"
#include "tools/indexer/transport_damage.h"
#include "tools/indexer/transport_stream.h"

namespace indexer {

void Warn(const IndexOptions& options, const std::string& text) {
  if (options.warn) {
    options.warn(text);
  } else {
    fprintf(stderr, "%s: warning: %s\n", kToolName, text.c_str());
  }
}

namespace {

constexpr size_t kBlockSize = 8 << 20;
constexpr size_t kProbeSize = 16 << 20;  // bytes looked at to recognise the carriage
constexpr int kMpeg2VideoStreamType = 0x02;
constexpr int kMaxPid = 0x1FFF;

std::string Hex(int value) {
  char text[16];
  snprintf(text, sizeof text, "0x%X", value);
  return text;
}

bool StartsWith(const std::vector<uint8_t>& head, std::initializer_list<uint8_t> bytes) {
  if (head.size() < bytes.size()) return false;
  return std::equal(bytes.begin(), bytes.end(), head.begin());
}

// True when the data opens with a sequence header, possibly after zero bytes.
bool OpensWithSequenceHeader(const std::vector<uint8_t>& head) {
  size_t zeros = 0;
  while (zeros < head.size() && head[zeros] == 0) ++zeros;
  return zeros >= 2 && zeros + 2 < head.size() && head[zeros] == 1 && head[zeros + 1] == 0xB3;
}

bool ContainsSequenceHeader(const std::vector<uint8_t>& head) {
  static const uint8_t kCode[4] = {0, 0, 1, 0xB3};
  return std::search(head.begin(), head.end(), kCode, kCode + 4) != head.end();
}

int ScanElementary(ByteSource* source, const IndexOptions& options, Mpeg2Scanner* scanner,
                   std::string* error) {
  std::vector<uint8_t> block(static_cast<size_t>(std::min<uint64_t>(kBlockSize, source->Size())));
  ProgressMeter progress(source->Size(), options.progress);
  uint64_t position = 0;
  for (;;) {
    int64_t got = source->ReadAt(position, block.data(), block.size());
    if (got < 0) {
      *error = "read error in \"" + options.videoPath + "\" at byte " + std::to_string(position);
      return kIndexCannotRead;
    }
    if (got == 0) break;
    scanner->Feed(block.data(), static_cast<size_t>(got), position);
    position += static_cast<uint64_t>(got);
    progress.Update(position);
  }
  scanner->Finish();
  return kIndexOk;
}

// Reads the PAT and the PMTs near the start and returns the first MPEG-2 video PID in program
// order; -1 with a message when there is none, -2 on a read error.
int FindVideoPid(ByteSource* source, const StreamLayout& layout, uint64_t firstSync,
                 const std::string& path, std::string* error) {
  TsPacketReader reader(source, layout.packetSize, firstSync);
  PsiCollector psi;
  if (!CollectPsi(&reader, &psi)) {
    *error = "read error in \"" + path + "\"";
    return -2;
  }
  if (!psi.HavePat()) {
    *error = "\"" + path + "\" has no program association table (PAT); give the video PID";
    return -1;
  }
  std::string others;
  for (const Program& program : psi.programs()) {
    for (const PmtStream& stream : program.streams) {
      if (stream.streamType == kMpeg2VideoStreamType) return stream.pid;
      if (!others.empty()) others += ", ";
      others += StreamTypeName(stream.streamType) + " on PID " + std::to_string(stream.pid);
    }
  }
  *error = "\"" + path + "\" holds no MPEG-2 video stream";
  *error += others.empty() ? std::string(" (no program map table lists any stream)")
                           : " (found " + others + ")";
  return -1;
}

void WarnAboutDamage(const IndexOptions& options, const TransportDamageReport& report) {
  if (report.lostPacketBreaks == 0 && report.flaggedPackets == 0) return;
  std::string gops;
  for (const DamagedGop& gop : report.gops) {
    if (!gops.empty()) gops += ", ";
    gops += std::to_string(gop.gop) + " (frames " + std::to_string(gop.firstFrame) + "-" +
            std::to_string(gop.lastFrame) + ")";
  }
  const uint64_t joined = report.joinedGops;
  std::string text = "damaged video packets: " + std::to_string(report.lostPacketBreaks) +
                     " break(s) in the continuity counter (packets lost), " +
                     std::to_string(report.flaggedPackets) +
                     " packet(s) flagged with transport errors; damaged GOP(s) " + gops +
                     " decode with concealed errors (where the concealment leaves parts of a "
                     "picture unwritten, ffmpeg shows bytes of an earlier picture and the plugin "
                     "black)";
  if (joined > 0) {
    text += "; " + std::to_string(joined) +
            " GOP(s) whose I picture is damaged joined the GOP before them, so that every "
            "decode through them starts where a sequential read does";
  }
  Warn(options, text);
}

int ScanTransport(ByteSource* source, const IndexOptions& options, const StreamLayout& layout,
                  uint64_t firstSync, Mpeg2Scanner* scanner, std::string* error) {
  TsPacketReader reader(source, layout.packetSize, firstSync);
  ProgressMeter progress(source->Size(), options.progress);
  TsPacket packet;
  uint64_t videoPackets = 0;
  TransportDamage damage;
  while (reader.Next(&packet)) {
    const ts::Packet parsed = ParsePacket(packet);
    if (parsed.pid != layout.pid) continue;
    damage.OnVideoPacket(packet, parsed);
    if (!parsed.HasPayload()) continue;
    // The plugin's reader, as ffmpeg's demuxer, keeps the payload of packets flagged with
    // transport errors; the index sees the elementary-stream bytes that it reads.
    ++videoPackets;
    const uint8_t* data = packet.bytes + parsed.stream;
    const size_t size = parsed.end - parsed.stream;
    const uint64_t offset = packet.offset + parsed.stream;
    scanner->Feed(data, size, offset);
    damage.OnVideoBytes(data, size, offset);
    progress.Update(reader.position());
  }
  if (reader.readError()) {
    *error = "read error in \"" + options.videoPath + "\" near byte " +
             std::to_string(reader.position());
    return kIndexCannotRead;
  }
  scanner->Finish();
  if (reader.resyncs() > 0) {
    Warn(options, "lost transport packet sync " + std::to_string(reader.resyncs()) +
                      " time(s); damaged parts of the stream may decode badly");
  }
  // A GOP that the plugin's reader cannot reach joins the GOP before it, whose decode runs
  // through it; a wrong start would deliver wrong pictures.
  VideoIndex& index = scanner->index();
  uint64_t unreachable = 0;
  std::vector<GopRecord> kept;
  kept.reserve(index.gops.size());
  for (size_t i = 0; i < index.gops.size(); ++i) {
    if (i == 0 ||
        ReaderReachesPosition(source, layout.packetSize, layout.pid, index.gops[i].position)) {
      kept.push_back(std::move(index.gops[i]));
    } else {
      kept.back().types += index.gops[i].types;
      ++unreachable;
    }
  }
  index.gops = std::move(kept);
  WarnAboutDamage(options, damage.Apply(&index));
  if (unreachable > 0) {
    Warn(options, std::to_string(unreachable) +
                      " GOP(s) cannot be reached by the plugin's packet search and join the GOP "
                      "before them");
  }
  if (!index.gops.empty() &&
      !ReaderReachesPosition(source, layout.packetSize, layout.pid, index.gops[0].position)) {
    Warn(options, "the first GOP cannot be reached by the plugin's packet search");
  }
  if (videoPackets == 0) {
    *error = "\"" + options.videoPath + "\" has no packets on PID " + std::to_string(layout.pid) +
             " (" + Hex(layout.pid) + ")";
    return kIndexNotMpeg2;
  }
  return kIndexOk;
}

int CheckIndex(const VideoIndex& index, const StreamLayout& layout, const IndexOptions& options,
               std::string* error) {
  std::string where = "\"" + options.videoPath + "\"";
  if (layout.carriage == Carriage::kTransport) {
    where += " (PID " + std::to_string(layout.pid) + ", " + Hex(layout.pid) + ")";
  } else if (layout.carriage == Carriage::kProgram) {
    where += " (stream " + Hex(layout.pid) + ")";
  }
  if (!index.sequenceFound) {
    *error = where + " holds no MPEG-2 video: no sequence header found";
    return kIndexNotMpeg2;
  }
  const SequenceInfo& seq = index.sequence;
  if (!seq.mpeg2) {
    *error = where + " holds MPEG-1 video (no sequence extension); only MPEG-2 is supported";
    return kIndexNotMpeg2;
  }
  if (seq.fpsNumerator <= 0 || seq.fpsDenominator <= 0) {
    *error = where + ": invalid frame rate code " + std::to_string(seq.frameRateCode) +
             " in the sequence header";
    return kIndexNotMpeg2;
  }
  if (seq.width <= 0 || seq.height <= 0) {
    *error = where + ": the sequence header gives a picture size of 0";
    return kIndexNotMpeg2;
  }
  if (index.pictureCount == 0) {
    *error = where + " has no picture after its first sequence header";
    return kIndexNotMpeg2;
  }
  if (index.pictureCount > INT32_MAX - 2) {
    *error = where + " has more pictures than a project can hold";
    return kIndexUnsupported;
  }
  return kIndexOk;
}

void WarnAbout(const VideoIndex& index, const IndexOptions& options) {
  if (index.picturesBeforeSequence > 0) {
    Warn(options, std::to_string(index.picturesBeforeSequence) +
                      " picture(s) before the first sequence header cannot be decoded and are "
                      "left out of the index");
  }
  if (index.joinedSequences > 0) {
    Warn(options, std::to_string(index.joinedSequences) +
                      " sequence header(s) not followed by an I picture start no GOP");
  }
  if (!index.sizeChanges.empty()) {
    std::string changes;
    for (const SizeChange& change : index.sizeChanges) {
      if (!changes.empty()) changes += ", ";
      changes += "frame " + std::to_string(change.frame) + " " + std::to_string(change.width) +
                 "x" + std::to_string(change.height);
    }
    Warn(options, "the picture size changes (" + changes + "); the clip is " +
                      std::to_string(index.sequence.width) + "x" +
                      std::to_string(index.sequence.height) +
                      " and the decoding server scales pictures of another size to it");
  }
  if (!index.aspectChanges.empty()) {
    std::string changes;
    for (const AspectChange& change : index.aspectChanges) {
      if (!changes.empty()) changes += ", ";
      changes += "frame " + std::to_string(change.frame) + " SAR " +
                 std::to_string(change.sarNumerator) + ":" + std::to_string(change.sarDenominator) +
                 " DAR " + std::to_string(change.darNumerator) + ":" +
                 std::to_string(change.darDenominator);
    }
    Warn(options, "the aspect ratio changes (" + changes +
                      "); the clip's pictures keep their samples, so a player or encoder must "
                      "be told (mpgsource info lists the changes)");
  }
  if (!index.rateChanges.empty()) {
    std::string changes;
    for (const RateChange& change : index.rateChanges) {
      if (!changes.empty()) changes += ", ";
      changes += "frame " + std::to_string(change.frame) + " " +
                 std::to_string(change.fpsNumerator) + "/" + std::to_string(change.fpsDenominator);
    }
    Warn(options, "the frame rate changes (" + changes + "); the clip runs at the first rate, " +
                      std::to_string(index.sequence.fpsNumerator) + "/" +
                      std::to_string(index.sequence.fpsDenominator) +
                      " (--timestamps writes every frame's own time)");
  }
  if (!index.framesFfmpegDrops.empty()) {
    std::string frames;
    for (uint64_t frame : index.framesFfmpegDrops) {
      frames += (frames.empty() ? "" : ", ") + std::to_string(frame);
    }
    Warn(options, "ffmpeg's decode of the whole file leaves out frame(s) " + frames +
                      " (the picture it holds back when the picture size or aspect ratio "
                      "changes, or a damaged picture that decodes to nothing); they are served, "
                      "so ffmpeg numbers the frames after each one lower");
  }
  if (index.groupsWithoutSequence > 0) {
    size_t longest = 0;
    for (const GopRecord& gop : index.gops) longest = std::max(longest, gop.types.size());
    Warn(options, std::to_string(index.groupsWithoutSequence) +
                      " GOP(s) have no sequence header of their own, so a decode cannot start "
                      "there and they join the GOP before them: random access decodes from the "
                      "last sequence header, up to " +
                      std::to_string(longest) + " pictures per request (" +
                      std::to_string(index.gops.size()) + " GOP(s) indexed)");
  }
  if (index.invalidPictureTypes > 0) {
    Warn(options, std::to_string(index.invalidPictureTypes) +
                      " picture(s) with an invalid coding type were written as P pictures");
  }
  if (index.unpairedFields > 0) {
    Warn(options, std::to_string(index.unpairedFields) +
                      " field picture(s) lack their second field; each counts as a frame");
  }
  if (index.sequence.chromaFormat > 2) {
    Warn(options,
         "the video is 4:4:4; it is served as 4:2:0 (as ffmpeg -vf scale=interl=-1 "
         "-pix_fmt yuv420p converts it)");
  }
}

}  // namespace

int IndexVideo(const IndexOptions& options, VideoIndex* index, StreamLayout* layout,
               std::string* error) {
  *index = VideoIndex();
  *layout = StreamLayout();
  if (options.pid > kMaxPid) {
    *error = "PID " + std::to_string(options.pid) + " is outside 0 to 8191";
    return kIndexBadOptions;
  }
  FileSource source;
  if (!source.Open(options.videoPath, error)) return kIndexCannotRead;
  layout->fileSize = source.Size();
  const std::string quoted = "\"" + options.videoPath + "\"";
  if (source.Size() == 0) {
    *error = quoted + " is empty";
    return kIndexNotMpeg2;
  }

  std::vector<uint8_t> head(std::min<uint64_t>(source.Size(), kProbeSize));
  int64_t got = source.ReadAt(0, head.data(), head.size());
  if (got < 0) {
    *error = "read error in " + quoted;
    return kIndexCannotRead;
  }
  head.resize(static_cast<size_t>(got));

  size_t firstSync = 0;
  int spacing = 0;
  ProgramStreamMatch programStream;
  if (StartsWith(head, {0x1A, 0x45, 0xDF, 0xA3})) {
    layout->carriage = Carriage::kMatroska;
  } else if (FindProgramStream(head.data(), head.size(), source.Size(), &programStream)) {
    // Before the elementary stream test: a program stream cut just before a sequence header in
    // a video packet opens like one, and its packet headers would be read as picture data.
    layout->carriage = Carriage::kProgram;
  } else if (OpensWithSequenceHeader(head)) {
    layout->carriage = Carriage::kElementary;
  } else if ((spacing = DetectPacketSize(head.data(), head.size(), &firstSync)) != 0) {
    if (spacing != 188 && spacing != 192) {
      *error = quoted + " is a transport stream with " + std::to_string(spacing) +
               "-byte packets; only 188- and 192-byte packets are supported";
      return kIndexUnsupported;
    }
    layout->carriage = Carriage::kTransport;
    layout->packetSize = spacing;
  } else if (ContainsSequenceHeader(head)) {
    layout->carriage = Carriage::kElementary;
  } else {
    *error = quoted + " is neither an MPEG-2 video elementary stream nor a transport stream";
    return kIndexNotMpeg2;
  }

  Mpeg2Scanner scanner;
  int result;
  if (layout->carriage != Carriage::kTransport && layout->carriage != Carriage::kProgram &&
      options.pid >= 0) {
    Warn(options, "a PID applies to transport and program streams only; ignored");
  }
  if (layout->carriage != Carriage::kMatroska && options.track >= 0) {
    Warn(options, "a track applies to Matroska files only; ignored");
  }
  if (layout->carriage != Carriage::kProgram && !options.nextVideoPaths.empty()) {
    *error = quoted + " is no program stream: only a program stream's files are read as one";
    return kIndexBadOptions;
  }
  if (layout->carriage == Carriage::kProgram) {
    result = ScanProgramStream(options, layout, &scanner, error);
  } else if (layout->carriage == Carriage::kElementary) {
    result = ScanElementary(&source, options, &scanner, error);
  } else if (layout->carriage == Carriage::kMatroska) {
    result = ScanMatroska(&source, options, layout, &scanner, error);
  } else {
    layout->pid = options.pid;
    if (layout->pid < 0) {
      layout->pid = FindVideoPid(&source, *layout, firstSync, options.videoPath, error);
      if (layout->pid < 0) return layout->pid == -2 ? kIndexCannotRead : kIndexNotMpeg2;
    }
    result = ScanTransport(&source, options, *layout, firstSync, &scanner, error);
  }
  if (result != kIndexOk) return result;
  *index = std::move(scanner.index());
  result = CheckIndex(*index, *layout, options, error);
  if (result == kIndexOk) WarnAbout(*index, options);
  return result;
}

}  // namespace indexer
