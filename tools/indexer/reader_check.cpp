#include "tools/indexer/reader_check.h"

#include <algorithm>
#include <vector>

#include "reader/avc_decoder.h"
#include "reader/pes_header.h"

namespace indexer {
namespace {

constexpr uint64_t kReaderBuffer = CAVCDecoder::kFillSize;  // the reader's fill size

}  // namespace

bool ReaderReachesPosition(ByteSource* source, int packetSize, int pid, uint64_t position) {
  const uint64_t p = static_cast<uint64_t>(packetSize);
  // The part of a packet, from its sync byte on, that holds header and payload: 192-byte packets
  // are 188-byte packets with four further bytes.
  const uint64_t L = packetSize == 192 ? 188 : p;
  if (L < 5 || pid < 0 || pid > 0x1FFF) return false;
  const uint64_t seek = position < p ? 0 : position - p;
  // The search ends within the packet that holds the position; its confirmation looks at most
  // one packet further.
  const uint64_t bufferEnd = std::min(source->Size(), seek + kReaderBuffer);
  std::vector<uint8_t> window(
      static_cast<size_t>(std::min<uint64_t>(4 * p + 16, bufferEnd - seek)));
  if (window.empty()) return false;
  int64_t got = source->ReadAt(seek, window.data(), window.size());
  if (got <= 0) return false;
  window.resize(static_cast<size_t>(got));
  const uint64_t windowEnd = seek + window.size();
  auto at = [&](uint64_t offset) { return window[static_cast<size_t>(offset - seek)]; };

  uint64_t i = seek;
  for (;;) {
    if (i >= windowEnd || i > position) return false;
    if (at(i++) != 0x47) continue;
    const uint64_t sync = i - 1;
    const uint64_t taken = sync - seek + 1;
    if (taken > p) {
      if (at(sync - p) != 0x47) continue;
    } else if (bufferEnd - i > p - 1) {
      if (sync + p >= windowEnd || at(sync + p) != 0x47) continue;
    }
    if (i + 2 > windowEnd) return false;
    const uint8_t b1 = at(i), b2 = at(i + 1);
    i += 2;
    if ((((b1 << 8) | b2) & 0x1FFF) != pid) continue;
    if (i >= windowEnd) return false;
    const int control = (at(i++) >> 4) & 3;
    uint64_t h = 4;
    if (control == 0) continue;
    if (control & 2) {
      if (i >= windowEnd) return false;
      const uint64_t length = at(i++);
      // A length that claims more than the packet holds is not followed past the packet's end.
      i += std::min<uint64_t>(length, L - 5);
      h = 5 + length;
    }
    if (h >= L) continue;
    if (b1 & 0x40) {
      // A PES header that does not fit the rest of the packet drops the packet.
      if (h + pes::kFixedBytes > L) {
        i = sync + L;
        continue;
      }
      if (i + pes::kFixedBytes > windowEnd) return false;
      const uint64_t optional = static_cast<uint64_t>(pes::OptionalFieldBytes(&window[i - seek]));
      i += pes::kFixedBytes + optional;
      h += pes::kFixedBytes + optional;
      if (h >= L) {
        i = sync + L;
        continue;
      }
    }
    // The payload left in this packet starts at i; the position must lie inside it.
    return position >= i && position - i < L - h;
  }
}

}  // namespace indexer
