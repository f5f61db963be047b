#include "tools/indexer/reader_check.h"

#include <algorithm>
#include <vector>

#include "reader/avc_decoder.h"
#include "reader/transport_packet.h"

namespace indexer {

bool ReaderReachesPosition(ByteSource* source, int packetSize, int pid, uint64_t position) {
  if (packetSize <= 0) return false;
  const uint64_t p = static_cast<uint64_t>(packetSize);
  const uint64_t seek = position < p ? 0 : position - p;
  // The reader's first fill from `seek`: the search decides within it (the packet holding the
  // position, the sync bytes that confirm it, a few stray sync bytes), or the data ends.
  const uint64_t fill =
      std::min<uint64_t>(source->Size() - std::min(source->Size(), seek), CAVCDecoder::kFillSize);
  std::vector<uint8_t> window(static_cast<size_t>(std::min<uint64_t>(4 * p + 16, fill)));
  if (window.empty()) return false;
  const int64_t got = source->ReadAt(seek, window.data(), window.size());
  if (got <= 0) return false;
  window.resize(static_cast<size_t>(got));
  const bool dataEnds = seek + window.size() >= source->Size();
  const ts::Search found = ts::FindStreamPacket(window.data(), window.size(), 0, p, pid, dataEnds);
  if (found.result != ts::Search::kFound) return false;
  // The reader delivers the packet's stream bytes from the position on; the position must lie
  // among them.
  const uint64_t from = seek + found.sync + found.packet.stream;
  const uint64_t to = seek + found.sync + found.packet.end;
  return position >= from && position < to;
}

}  // namespace indexer
