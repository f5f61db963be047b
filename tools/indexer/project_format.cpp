#include "tools/indexer/project_format.h"

#include <cstdio>

#include "tools/indexer/frame_timing.h"
#include "tools/indexer/stream_facts.h"

namespace indexer {

std::string StreamSummary(const VideoIndex& index, const StreamLayout& layout) {
  char text[512];
  std::string carriage;
  if (layout.carriage == Carriage::kTransport) {
    snprintf(text, sizeof text,
             "MPEG-2 video in a transport stream (%d-byte packets), PID %d (0x%X)",
             layout.packetSize, layout.pid, layout.pid);
    carriage = text;
  } else if (layout.carriage == Carriage::kMatroska) {
    snprintf(text, sizeof text, "MPEG-2 video in Matroska, track %d", layout.track);
    carriage = text;
  } else if (layout.carriage == Carriage::kProgram) {
    snprintf(text, sizeof text, "MPEG-2 video in a program stream%s, stream 0x%X",
             layout.files.size() > 1 ? " of several files" : "", layout.pid);
    carriage = text;
  } else {
    carriage = "MPEG-2 elementary stream";
  }
  const SequenceInfo& seq = index.sequence;
  const ClipTiming timing = ComputeTiming(index);
  const StreamFacts facts = FactsOf(index, timing);
  const std::string scan = facts.scan == "progressive"
                               ? std::string("progressive")
                               : facts.scan + ", " + facts.fieldOrder + " field first";
  snprintf(text, sizeof text, ": %dx%d, %d/%d fps, %s, %llu pictures in %zu GOPs", seq.width,
           seq.height, timing.fpsNumerator, timing.fpsDenominator, scan.c_str(),
           static_cast<unsigned long long>(index.pictureCount), index.gops.size());
  std::string summary = carriage + text;
  if (timing.pulldown != Pulldown::kNone)
    summary += std::string(", ") + PulldownText(timing.pulldown);
  return summary;
}

std::string FormatProject(const VideoIndex& index, const StreamLayout& layout,
                          const IndexOptions& options, const std::string& videoLine,
                          const VideoIdentity& video, const std::vector<VideoIdentity>& nextFiles) {
  const bool transport = layout.carriage == Carriage::kTransport;
  const bool program = layout.carriage == Carriage::kProgram;
  std::string out;
  out.reserve(256 + index.gops.size() * 24 + index.pictureCount * 6);
  out += program ? "VantuIndexFileNV2\n" : "VantuIndexFileNV1\n";
  out += std::string(kToolName) + " " + kToolVersion + "\n";
  out += videoLine + "\n";
  out += StreamSummary(index, layout) + "\n";
  out += "\n";

  char line[128];
  auto add = [&](int length) { out.append(line, static_cast<size_t>(length)); };
  const int streamType = transport                                ? 1
                         : layout.carriage == Carriage::kMatroska ? 2
                         : program                                ? 3
                                                                  : 0;
  add(snprintf(line, sizeof line, "STREAM %d\n", streamType));
  add(snprintf(line, sizeof line, "PKTSIZ %d\n", transport ? layout.packetSize : 0));
  add(snprintf(line, sizeof line, "VPID %d\n", transport || program ? layout.pid : 0));
  // The Matroska track by its place in the track table; a project without the line (written
  // before there was a choice) means the first MPEG-2 video track.
  if (layout.carriage == Carriage::kMatroska) {
    add(snprintf(line, sizeof line, "TRACK %d\n", layout.track));
  }
  add(snprintf(line, sizeof line, "SIZ %d x %d\n", index.sequence.width, index.sequence.height));
  // 4:2:2 video is served in 4:2:2 (YUY2) unless the script asks for 4:2:0; without the line the
  // plugin serves 4:2:0, as a plugin that does not know the line does.
  if (index.sequence.chromaFormat == 2) add(snprintf(line, sizeof line, "CHROMA 422\n"));
  // The rate that keeps the stream's duration: soft pulldown stays one frame per coded frame.
  const ClipTiming timing = ComputeTiming(index);
  add(snprintf(line, sizeof line, "FPS %d / %d\n", timing.fpsNumerator, timing.fpsDenominator));
  add(snprintf(line, sizeof line, "FO %d\n", index.fieldOrder));
  add(snprintf(line, sizeof line, "CLIP %d %d %d %d\n", options.clipLeft, options.clipRight,
               options.clipTop, options.clipBottom));
  add(snprintf(line, sizeof line, "LUMFILT %d %d\n", options.lumGamma, options.lumOffset));
  add(snprintf(line, sizeof line, "VIDEOFILE %llu %016llx\n",
               static_cast<unsigned long long>(video.size),
               static_cast<unsigned long long>(video.fingerprint)));
  for (const VideoIdentity& next : nextFiles) {
    add(snprintf(line, sizeof line, "NEXTFILE %llu %016llx ",
                 static_cast<unsigned long long>(next.size),
                 static_cast<unsigned long long>(next.fingerprint)));
    out += next.line + "\n";
  }
  uint64_t listed = 0;
  for (const GopRecord& gop : index.gops) listed += gop.types.size();
  add(snprintf(line, sizeof line, "PICTURES %llu\n", static_cast<unsigned long long>(listed)));
  out += FormatFacts(FactsOf(index, timing));
  size_t frame = 0;
  for (const GopRecord& gop : index.gops) {
    add(snprintf(line, sizeof line, "SEQ %llu\n", static_cast<unsigned long long>(gop.position)));
    for (char type : gop.types) {
      out += "FRM ";
      out += type;
      // The rest of the word, which loaders that read only the coding letter skip: the fields
      // the frame is shown for, the field shown first (t or b) and p or i for a progressive or
      // interlaced frame.
      if (frame < index.displayFields.size() && frame < index.frameScan.size()) {
        const uint8_t scan = index.frameScan[frame];
        out += static_cast<char>('0' + index.displayFields[frame]);
        out += (scan & kScanTopFirst) ? 't' : 'b';
        out += (scan & kScanProgressive) ? 'p' : 'i';
      }
      ++frame;
      out += '\n';
    }
  }
  return out;
}

}  // namespace indexer
