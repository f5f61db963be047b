#include "tools/indexer/transport_stream.h"

#include <algorithm>
#include <cstring>

namespace indexer {
namespace {

constexpr size_t kBlockSize = 8 << 20;
constexpr size_t kSearchRange = 64 << 10;  // junk tolerated before the first sync byte

bool SpacingHolds(const uint8_t* data, size_t size, size_t first, size_t spacing, int minPackets) {
  int confirmed = 0;
  for (size_t at = first + spacing; at < size && confirmed < minPackets - 1; at += spacing) {
    if (data[at] != ts::kSyncByte) return false;
    ++confirmed;
  }
  return confirmed >= 1;
}

}  // namespace

int DetectPacketSize(const uint8_t* data, size_t size, size_t* firstSync, int minPackets) {
  static const int kSpacings[] = {188, 192, 204, 208};
  size_t limit = std::min(size, kSearchRange);
  for (size_t first = 0; first < limit; ++first) {
    const void* hit = memchr(data + first, ts::kSyncByte, limit - first);
    if (hit == nullptr) break;
    first = static_cast<const uint8_t*>(hit) - data;
    for (int spacing : kSpacings) {
      if (!SpacingHolds(data, size, first, spacing, minPackets)) continue;
      *firstSync = first;
      if (spacing == 192) {
        // The 4 bytes in front of each packet (an arrival time stamp) may hold a steady 0x47
        // too. The sync byte is the last of a run of such candidates; files start with the
        // 4 bytes, so a candidate 4 bytes into a 192-byte period is preferred.
        for (size_t later = first + 1; later <= first + 4 && later < size; ++later) {
          if (data[later] == ts::kSyncByte &&
              SpacingHolds(data, size, later, spacing, minPackets)) {
            *firstSync = later;
            if (later % 192 == 4) break;
          }
        }
        if (first % 192 == 4) *firstSync = first;
      }
      return spacing;
    }
  }
  return 0;
}

TsPacketReader::TsPacketReader(ByteSource* source, int packetSize, uint64_t firstSync)
    : source_(source),
      packetSize_(static_cast<size_t>(packetSize)),
      buffer_(static_cast<size_t>(std::min<uint64_t>(kBlockSize, source->Size())) +
              3 * static_cast<size_t>(packetSize)),
      base_(firstSync) {}

void TsPacketReader::Fill(size_t want) {
  if (end_ - begin_ >= want || atEnd_) return;
  // One packet's spacing of bytes stays in front of begin_, for the sync byte's confirmation.
  const size_t drop = begin_ > packetSize_ ? begin_ - packetSize_ : 0;
  memmove(buffer_.data(), buffer_.data() + drop, end_ - drop);
  base_ += drop;
  end_ -= drop;
  begin_ -= drop;
  while (end_ < want && !atEnd_) {
    int64_t got = source_->ReadAt(base_ + end_, buffer_.data() + end_, buffer_.size() - end_);
    if (got < 0) readError_ = true;
    if (got <= 0) {
      atEnd_ = true;
      break;
    }
    end_ += static_cast<size_t>(got);
    // Read whole blocks: take as much as fits once a read has started.
    if (end_ < buffer_.size() && end_ >= want) break;
  }
}

bool TsPacketReader::Next(TsPacket* packet) {
  Fill(2 * packetSize_ + 1);
  auto confirmed = [this] { return ts::StartsPacket(buffer_.data(), end_, begin_, packetSize_); };
  if (begin_ >= end_) return false;
  if (!confirmed()) {
    ++resyncs_;
    size_t from = begin_ + 1;
    for (;;) {
      const void* hit = from < end_ ? memchr(&buffer_[from], ts::kSyncByte, end_ - from) : nullptr;
      begin_ = hit != nullptr ? static_cast<const uint8_t*>(hit) - buffer_.data() : end_;
      Fill(packetSize_ + 1);
      if (begin_ >= end_) return false;
      if (confirmed()) break;
      from = begin_ + 1;
    }
  }
  size_t available = end_ - begin_;
  packet->bytes = &buffer_[begin_];
  packet->length = std::min(available, ts::kPacketLength);
  packet->offset = base_ + begin_;
  begin_ += std::min(available, packetSize_);
  return true;
}

}  // namespace indexer
