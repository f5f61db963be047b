// Damage in the video packets of a transport stream: packets lost (a break in the continuity
// counter) and packets flagged with the transport error indicator. The plugin's reader, like
// ffmpeg's demuxer, passes the payload of every packet it finds on, flagged or not, and has no
// way to put back what was lost, so the damaged bytes are what both decoders see. What the index
// must do about them:
//
// - A GOP whose I picture is damaged decodes differently after the GOP before it (libavcodec
//   conceals the lost parts from the picture decoded last) than at the start of a run. Such a GOP
//   joins the GOP before it, so that every run through it starts at an intact I picture, exactly
//   as a sequential read does, and every frame is the same in any request order.
// - A picture whose last slice lost its data comes out of libavcodec as no picture at all (ffmpeg
//   drops it; the decoding server fills its place with the next picture). Those frames are named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/indexer/transport_stream.h"
#include "tools/indexer/video_index.h"

namespace indexer {

struct TransportDamageReport {
  uint64_t lostPacketBreaks = 0;  // continuity counter breaks on the video PID
  uint64_t flaggedPackets = 0;    // video packets with the transport error indicator
  uint64_t joinedGops = 0;        // GOPs with a damaged I picture, joined to the GOP before them
  std::vector<DamagedGop> gops;   // as in the index
  // Frames (display order) that libavcodec gives no picture for: ffmpeg leaves them out, the
  // plugin serves a copy of the next frame. They go to the index's framesFfmpegDrops too.
  std::vector<uint64_t> undecodableFrames;
};

class TransportDamage {
 public:
  // Every packet of the video PID, in file order.
  void OnVideoPacket(const TsPacket& packet, const ts::Packet& parsed);
  // The elementary-stream bytes of the video PID as the plugin's reader delivers them, in order,
  // with the file offset of data[0] (consecutive bytes of one call are consecutive in the file).
  void OnVideoBytes(const uint8_t* data, size_t size, uint64_t offset);

  bool damaged() const { return !ranges_.empty(); }

  // Joins every GOP whose I picture is damaged into the GOP before it, lists the damaged GOPs and
  // the frames that decode to nothing in the index, and reports the damage.
  TransportDamageReport Apply(VideoIndex* index);

 private:
  // Feeds one byte to the start-code window.
  void PushByte(uint8_t byte, uint64_t offset);
  struct Range {
    uint64_t from = 0;  // file offsets, both included
    uint64_t to = 0;
  };
  struct StartCode {
    uint8_t code = 0;
    uint64_t offset = 0;    // file offset of the first 00
    uint64_t esOffset = 0;  // the same place counted in elementary-stream bytes
  };

  void OnStartCode(uint8_t code, uint64_t offset, uint64_t esOffset);
  bool Touches(uint64_t from, uint64_t to) const;

  std::vector<Range> ranges_;  // damaged file ranges, in file order
  int lastCounter_ = -1;
  uint64_t lastPayloadEnd_ = 0;  // file offset of the last payload byte of the previous packet
  bool lastPayloadKnown_ = false;
  uint64_t breaks_ = 0;
  uint64_t flagged_ = 0;

  // Start-code watch over the elementary stream.
  uint32_t window_ = 0xFFFFFFFFu;
  uint64_t esBytes_ = 0;
  uint64_t windowOffsets_[4] = {};  // file offsets of the last four bytes fed
  std::vector<uint64_t> pictures_;  // file offset of every picture start code
  std::vector<bool> pictureIsB_;
  std::vector<bool> pictureUndecodable_;
  std::vector<uint8_t> pictureLastRow_;  // the largest slice start code of each picture
  StartCode lastSlice_;                  // the latest slice start code of the current picture
  bool haveSlice_ = false;               // the current picture has a slice after its header
};

}  // namespace indexer
