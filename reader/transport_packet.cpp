#include "reader/transport_packet.h"

#include <algorithm>
#include <cstring>

namespace ts {
namespace {

// The PES header's fixed bytes; the last of them is the length of the optional fields.
constexpr size_t kPesFixedBytes = 9;
// Where no sync byte lies one packet before a candidate, this many must follow it at the spacing:
// a search then goes on one packet later, so a stray 0x47 taken for a packet start would make
// it pass over the real one.
constexpr size_t kStartConfirmations = 2;

}  // namespace

Packet ParsePacket(const uint8_t* p, size_t length) {
  Packet packet;
  packet.end = std::min(length, kPacketLength);
  if (packet.end < 4) {
    packet.payload = packet.stream = packet.end;
    return packet;
  }
  packet.transportError = (p[1] & 0x80) != 0;
  packet.unitStart = (p[1] & 0x40) != 0;
  packet.pid = ((p[1] & 0x1F) << 8) | p[2];
  packet.continuityCounter = p[3] & 0x0F;
  const int control = (p[3] >> 4) & 3;
  packet.announcesPayload = (control & 1) != 0;
  size_t header = 4;
  if (control & 2) {
    // The adaptation field: its length byte, then that many bytes. A length that claims more
    // than the packet holds leaves no payload.
    header = packet.end > 4 ? 5 + size_t(p[4]) : kPacketLength;
    if (packet.end > 5 && p[4] > 0) packet.discontinuity = (p[5] & 0x80) != 0;
  }
  // Control 0 is reserved and 2 announces no payload: such packets carry none, whatever follows
  // their adaptation field.
  if ((control & 1) == 0 || header >= packet.end) {
    packet.payload = packet.stream = packet.end;
    return packet;
  }
  packet.payload = header;
  packet.stream = header;
  if (packet.unitStart) {
    const size_t optional =
        header + kPesFixedBytes <= packet.end ? p[header + kPesFixedBytes - 1] : kPacketLength;
    packet.stream = std::min(header + kPesFixedBytes + optional, packet.end);
  }
  return packet;
}

namespace {

// Whether the sync bytes one and two packets after data[at] are there, as far as the data goes.
bool FollowedBySyncBytes(const uint8_t* data, size_t size, size_t at, size_t packetSize) {
  for (size_t next = at + packetSize; next < size && next <= at + kStartConfirmations * packetSize;
       next += packetSize) {
    if (data[next] != kSyncByte) return false;
  }
  return true;
}

}  // namespace

bool StartsPacket(const uint8_t* data, size_t size, size_t at, size_t packetSize) {
  if (at >= size || data[at] != kSyncByte) return false;
  if (at >= packetSize) return data[at - packetSize] == kSyncByte;
  return FollowedBySyncBytes(data, size, at, packetSize);
}

Search FindStreamPacket(const uint8_t* data, size_t size, size_t from, size_t packetSize, int pid,
                        bool dataEnds) {
  Search search;
  if (packetSize < kPacketLength || pid < 0 || pid > 0x1FFF) return search;
  size_t at = from;
  for (;;) {
    const void* sync = at < size ? std::memchr(data + at, kSyncByte, size - at) : nullptr;
    if (sync == nullptr) {
      if (dataEnds) return search;
      search.result = Search::kNeedMore;
      search.resume = std::max(at, size);
      return search;
    }
    at = static_cast<size_t>(static_cast<const uint8_t*>(sync) - data);
    // Deciding needs the whole packet, and at the start of a read the sync bytes that follow.
    const size_t room = packetSize - kPacketLength;
    const size_t needed =
        at < packetSize ? at + room + kStartConfirmations * packetSize + 1 : at + kPacketLength;
    if (needed > size && !dataEnds) {
      search.result = Search::kNeedMore;
      search.resume = at;
      return search;
    }
    if (!StartsPacket(data, size, at, packetSize)) {
      ++at;
      continue;
    }
    if (at < packetSize) {
      // The bytes in front of each packet of a wider spacing (an arrival time stamp) may hold a
      // steady 0x47 as well: of the sync bytes that hold within that room, the last starts the
      // packet, when the data shows a sync byte one packet after it (where the data ends before,
      // nothing tells them apart, and the first stays). Further on, the sync byte one packet
      // back has already told which one it is.
      // Only a candidate with a sync byte's place one packet after it inside the data can be
      // confirmed (and none lies past the data's end).
      const size_t last = size > packetSize ? std::min(at + room, size - packetSize - 1) : at;
      for (size_t later = last; later > at; --later) {
        if (data[later] == kSyncByte && FollowedBySyncBytes(data, size, later, packetSize)) {
          at = later;
          break;
        }
      }
    }
    const Packet packet = ParsePacket(data + at, size - at);
    if (packet.pid == pid && packet.HasStream()) {
      search.result = Search::kFound;
      search.sync = at;
      search.packet = packet;
      return search;
    }
    at += packetSize;
  }
}

}  // namespace ts
