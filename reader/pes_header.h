// The PES header at the start of a transport packet's payload (payload-unit-start bit set): 9
// fixed bytes, the 9th of which is the header-data length D, then D bytes of optional fields
// (timestamps and the rest), then the elementary stream. The plugin's reader and the indexer's
// model of it both pass over the header with these functions.
#pragma once

#include <cstdint>

namespace pes {

constexpr int32_t kFixedBytes = 9;

// The optional-field bytes that follow the fixed bytes: D, whatever the flags say. D counts every
// optional byte, so flags that promise more fields than D holds (PTS and DTS with D < 10) cannot
// make a reader take elementary-stream bytes for header bytes.
inline int32_t OptionalFieldBytes(const unsigned char fixed[kFixedBytes]) {
  return fixed[8];
}

}  // namespace pes
