// MPEG transport streams: packet size detection from the sync byte spacing, and a packet walker
// that keeps each packet's file offset and regains sync after damage (packet rules:
// reader/transport_packet.h, shared with the plugin's reader).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reader/transport_packet.h"
#include "tools/indexer/byte_source.h"

namespace indexer {

// The spacing of sync bytes near the start of `data`: 188 or 192 (188-byte packets each preceded
// by 4 further bytes), or another spacing seen (204, 208) so that the caller can name it, or 0
// when the data is no transport stream. `firstSync` receives the offset of the first sync byte.
// A spacing counts when `minPackets` consecutive sync bytes (fewer if the data ends) confirm it.
int DetectPacketSize(const uint8_t* data, size_t size, size_t* firstSync, int minPackets = 8);

// One packet: its 188 bytes from the sync byte on (fewer when the file ends inside it).
struct TsPacket {
  const uint8_t* bytes = nullptr;
  size_t length = 0;
  uint64_t offset = 0;  // file offset of the sync byte
};

// The packet's header and the offsets of its parts (ts::ParsePacket).
inline ts::Packet ParsePacket(const TsPacket& packet) {
  return ts::ParsePacket(packet.bytes, packet.length);
}

// Walks the packets of a source in large blocks. A sync byte counts as the plugin's reader counts
// it (ts::StartsPacket): the walker keeps one packet's spacing of bytes behind each packet.
class TsPacketReader {
 public:
  TsPacketReader(ByteSource* source, int packetSize, uint64_t firstSync);

  // The next packet; false at the end of the data or on a read error (see readError()).
  bool Next(TsPacket* packet);

  bool readError() const { return readError_; }
  uint64_t resyncs() const { return resyncs_; }  // times sync was lost and found again
  uint64_t position() const { return base_ + begin_; }

 private:
  // Makes at least `want` bytes available from begin_ unless the source ends first.
  void Fill(size_t want);

  ByteSource* source_;
  size_t packetSize_;
  std::vector<uint8_t> buffer_;
  uint64_t base_;       // file offset of buffer_[0]
  size_t begin_ = 0;    // next packet's sync byte
  size_t end_ = 0;      // valid bytes in buffer_
  bool atEnd_ = false;  // the source has no more bytes after buffer_[end_ - 1]
  bool readError_ = false;
  uint64_t resyncs_ = 0;
};

}  // namespace indexer
