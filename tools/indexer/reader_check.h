// A check of transport stream GOP positions against the way the plugin's reader positions itself:
// it seeks to position - packetSize, takes the first packet of the video PID that its packet
// search finds from there, and skips forward to the position inside that packet's payload.
#pragma once

#include <cstdint>

#include "tools/indexer/byte_source.h"

namespace indexer {

// True when the reader, positioned at `position`, delivers the byte at `position` first. It can
// fail where the search is misled by 0x47 bytes in front of the packet (the bytes after a false
// sync are consumed with it, which can swallow the real sync byte), or where damage breaks the
// packet spacing.
bool ReaderReachesPosition(ByteSource* source, int packetSize, int pid, uint64_t position);

}  // namespace indexer
