// Transport stream packets: where a packet starts, what its header says and where its
// elementary-stream bytes lie. One set of rules for every reader of transport streams: the
// plugin's reader, the indexer's packet walker and the indexer's check of the positions it
// writes, so that what the indexer sees is what the plugin reads.
//
// A packet is 188 bytes from its sync byte (0x47) on; 192-byte packets carry 4 further bytes (an
// arrival time stamp) in front of each. Packets of any other spacing are read as 188 bytes at that
// spacing, the bytes in between never taken for payload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ts {

constexpr uint8_t kSyncByte = 0x47;
constexpr size_t kPacketLength = 188;  // sync byte, header and payload

// What a packet's header says and where its parts lie, as offsets from the sync byte.
struct Packet {
  int pid = -1;
  bool transportError = false;
  bool unitStart = false;         // the payload starts a PES packet (or a table section)
  bool announcesPayload = false;  // adaptation field control 1 or 3: the continuity counter
                                  // steps with this packet, even where no payload byte fits
  int continuityCounter = 0;
  bool discontinuity = false;      // the adaptation field's discontinuity indicator
  size_t payload = kPacketLength;  // the payload, after header and adaptation field
  size_t stream = kPacketLength;   // the elementary stream: after the PES header too, when the
                                   // payload starts a PES packet
  size_t end = kPacketLength;      // the end of the packet's bytes (fewer at the end of data)

  bool HasPayload() const { return payload < end; }
  bool HasStream() const { return stream < end; }
};

// Parses the packet whose sync byte is p[0], of which `length` bytes are present (a packet cut
// short by the end of the data has fewer than 188). A packet without payload (adaptation field
// control 0 or 2, or an adaptation field that fills it) has payload == stream == end. The PES
// header rule: a payload that starts a PES packet holds 9 fixed bytes, the last of them the length
// D of the optional fields (timestamps and the rest) that follow; the elementary stream starts
// after those D bytes, whatever the flags promise. A header that does not fit the packet leaves it
// no stream bytes.
Packet ParsePacket(const uint8_t* p, size_t length);

// Whether the sync byte at data[at] starts a packet of `packetSize`-byte spacing: the byte one
// packet before it is a sync byte too; where the data holds no byte that far back (the start of a
// read), the bytes one and two packets after it are, as far as the data goes.
bool StartsPacket(const uint8_t* data, size_t size, size_t at, size_t packetSize);

// The outcome of a search for the next packet of one PID that carries elementary-stream bytes.
struct Search {
  enum Result { kFound, kNeedMore, kEnd } result = kEnd;
  size_t sync = 0;    // kFound: the packet's sync byte
  Packet packet;      // kFound: the packet
  size_t resume = 0;  // kNeedMore: the offset to search on from once more bytes follow
};

// Searches data[from, size) for the next packet of `pid` with elementary-stream bytes. Every
// packet is read at the sync byte that starts it; the search goes on one packet later after a
// packet (of another PID, or without stream bytes), and one byte later after a false sync byte.
// kNeedMore: the data ends before the search could decide; supply the bytes from `resume` on
// (and, for the confirmation, the packetSize bytes before it) and search again from there. With
// `dataEnds` the search never asks for more: a packet cut short by the end is read as far as
// it goes. kEnd: no such packet (with `dataEnds` only).
Search FindStreamPacket(const uint8_t* data, size_t size, size_t from, size_t packetSize, int pid,
                        bool dataEnds);

}  // namespace ts
