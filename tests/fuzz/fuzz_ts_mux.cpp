// Fuzz target: the transport-stream demultiplexer against a multiplexer of its own. The input is
// an elementary stream with three option bytes in front; the target packs it into a well-formed
// transport stream (PES packets of varying size and header length, adaptation fields, packets of
// another PID, 188- or 192-byte packets) and checks that the units read back are exactly the
// elementary stream, read from the start and after a reposition inside the video payload.
#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "reader/avc_decoder.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {
namespace {

constexpr int kVideoPid = 0x1E1;
constexpr int kOtherPid = 0x1E2;
constexpr uint64_t kNoSource = ~uint64_t{0};

// A small deterministic generator, so that one input always makes the same stream.
class Choices {
 public:
  explicit Choices(uint32_t seed) : state_(seed * 2654435761u + 1) {}
  uint32_t Next(uint32_t bound) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return bound == 0 ? 0 : state_ % bound;
  }

 private:
  uint32_t state_;
};

class Mux {
 public:
  Mux(bool m2ts, bool otherPackets, bool adaptation, uint32_t seed, size_t esSize)
      : m2ts_(m2ts),
        otherPackets_(otherPackets),
        adaptation_(adaptation),
        choices_(seed),
        offsets_(esSize, kNoSource),
        syncs_(esSize, kNoSource) {}

  // One PES packet carrying es[from, to).
  void Pes(const uint8_t* es, size_t from, size_t to) {
    const int headerData = choices_.Next(4) == 0 ? 0 : int(choices_.Next(20));
    std::string pes = {
        0, 0, 1, char(0xE0), 0, 0, char(0x80), char(headerData >= 5 ? 0x80 : 0), char(headerData)};
    pes.append(size_t(headerData), char(0xFF));
    std::vector<uint64_t> sources(pes.size(), kNoSource);
    for (size_t i = from; i < to; ++i) {
      pes += char(es[i]);
      sources.push_back(i);
    }
    size_t at = 0;
    for (bool first = true; at < pes.size(); first = false) {
      if (otherPackets_ && choices_.Next(3) == 0) OtherPacket();
      // The first packet keeps room for the whole PES header.
      int adaptation = -1;
      if (adaptation_ && choices_.Next(3) == 0) adaptation = int(choices_.Next(first ? 140 : 183));
      size_t room = 184 - (adaptation >= 0 ? size_t(adaptation) + 1 : 0);
      const size_t left = pes.size() - at;
      if (left < room) {
        // The last packet of the PES: stuffing fills what the payload leaves.
        adaptation = int(184 - left - 1);
        room = left;
      }
      Packet(kVideoPid, first, adaptation, pes, sources, at, room);
      at += room;
    }
  }

  void OtherPacket() {
    std::string payload;
    for (int i = 0; i < 184; ++i) payload += char(Filler());
    Packet(kOtherPid, choices_.Next(4) == 0, -1, payload, {}, 0, payload.size());
  }

  // Packets of another PID before the stream.
  void Prefix(size_t packets) {
    for (size_t i = 0; i < packets; ++i) OtherPacket();
  }

  const std::string& file() const { return file_; }
  // The file offset of each elementary-stream byte, and of the sync byte of its packet.
  const std::vector<uint64_t>& offsets() const { return offsets_; }
  const std::vector<uint64_t>& syncs() const { return syncs_; }

 private:
  // A byte that is never a sync byte, for the parts of the file that the packet search scans.
  char Filler() {
    uint8_t b = uint8_t(choices_.Next(256));
    return char(b == 0x47 ? 0x48 : b);
  }

  void Packet(int pid, bool unitStart, int adaptationLength, const std::string& bytes,
              const std::vector<uint64_t>& sources, size_t from, size_t count) {
    if (m2ts_) {
      for (int i = 0; i < 4; ++i) file_ += Filler();
    }
    const uint64_t sync = file_.size();
    file_ += char(0x47);
    file_ += char((unitStart ? 0x40 : 0) | (pid >> 8));
    file_ += char(pid & 0xFF);
    file_ += char((adaptationLength >= 0 ? 0x30 : 0x10) | int(choices_.Next(16)));
    if (adaptationLength >= 0) {
      file_ += char(adaptationLength);
      if (adaptationLength > 0) file_ += char(0);  // no flags
      if (adaptationLength > 1) file_.append(size_t(adaptationLength - 1), char(0xFF));
    }
    for (size_t i = from; i < from + count; ++i) {
      if (i < sources.size() && sources[i] != kNoSource) {
        offsets_[sources[i]] = file_.size();
        syncs_[sources[i]] = sync;
      }
      file_ += bytes[i];
    }
  }

  bool m2ts_;
  bool otherPackets_;
  bool adaptation_;
  Choices choices_;
  std::string file_;
  std::vector<uint64_t> offsets_;
  std::vector<uint64_t> syncs_;
};

// Reads every unit and compares them with the elementary stream from its first start code at or
// after `esFrom`.
void ExpectUnits(CAVCDecoder& d, const uint8_t* es, size_t size, size_t esFrom) {
  std::string units;
  int result = 0;
  for (size_t i = 0; i <= size + 1; ++i) {
    result = d.GetAnnexbNALU();
    if (result < 1) break;
    CheckUnit(d);
    units.append(reinterpret_cast<const char*>(d.unit.data), size_t(d.unit.length));
  }
  Check(result == 0, "the units of a short transport stream did not end with 0");
  std::string expected;
  if (esFrom < size) {
    const void* first = memmem(es + esFrom, size - esFrom, "\0\0\1", 3);
    if (first != nullptr) {
      const uint8_t* from = static_cast<const uint8_t*>(first);
      expected.assign(reinterpret_cast<const char*>(from), size_t(es + size - from));
    }
  }
  Check(units == expected, "the demultiplexed units differ from the elementary stream");
}

// Whether a byte that the packet search meets before the sync byte of the packet holding
// `position` could pass for a sync byte: the search starts one packet early and, that close to
// the start of what it has read, confirms a sync byte only by the byte one packet ahead.
bool MimicsSync(const std::string& file, uint64_t position, uint64_t sync, int packetSize) {
  const uint64_t from = position > uint64_t(packetSize) ? position - packetSize : 0;
  const uint64_t size = file.size();
  // At the start of a read a 0x47 counts when the sync bytes one and two packets later follow,
  // as far as the file goes.
  const auto startsPacket = [&](uint64_t j) {
    if (uint8_t(file[j]) != 0x47) return false;
    for (uint64_t k = j + packetSize; k < size && k <= j + 2 * uint64_t(packetSize);
         k += packetSize) {
      if (uint8_t(file[k]) != 0x47) return false;
    }
    return true;
  };
  for (uint64_t j = from; j < sync; ++j) {
    if (startsPacket(j)) return true;
  }
  // In front of each 192-byte packet there is room for 4 bytes: a sync byte that holds just
  // after the real one (with a sync byte one packet after it) is taken instead.
  for (uint64_t j = sync + 1; j <= sync + uint64_t(packetSize - 188) && j < size; ++j) {
    if (j + packetSize < size && startsPacket(j)) return true;
  }
  return false;
}

// Options: bit 0 192-byte packets, bit 1 packets of another PID, bit 2 adaptation fields, bit 3
// short PES packets. With `acrossRefill` the stream begins a few packets before the end of the
// first fill of the read buffer.
int MuxAndRead(const uint8_t* data, size_t size, bool acrossRefill) {
  if (size < 4) return 0;
  const uint8_t options = data[0];
  const uint32_t seed = (uint32_t(data[1]) << 8) | data[2];
  const uint8_t alignChoice = data[3];
  const uint8_t* es = data + 4;
  const size_t n = size - 4;
  const int packetSize = (options & 1) != 0 ? 192 : 188;
  Mux mux((options & 1) != 0, (options & 2) != 0, (options & 4) != 0, seed, n);
  if (acrossRefill) mux.Prefix(alignChoice % 4);
  Choices split(seed ^ 0x5A5A);
  for (size_t at = 0; at < n;) {
    const size_t length = 1 + split.Next((options & 8) != 0 ? 400 : 4000);
    const size_t to = std::min(n, at + length);
    mux.Pes(es, at, to);
    at = to;
  }
  if ((options & 2) != 0) mux.OtherPacket();
  // Across a refill: a few bytes that are no packet, then packets of another PID (payload 0xFF)
  // up to a few packets before the end of the read buffer's first fill, then the stream. Junk
  // only at the very start: a sync byte after junk inside a stream is rightly not trusted.
  const std::string* whole = &mux.file();
  FILE* f = nullptr;
  if (acrossRefill) {
    const size_t junk = size_t(alignChoice / 4 % 8) * 23;
    f = PrefixedMemoryFile(
        packetSize * 8 + int(junk / 23),
        [packetSize, junk] {
          std::string packet(size_t(packetSize - 188), '\0');
          packet += std::string("\x47\x01\xE2\x10", 4) + std::string(184, char(0xFF));
          std::string prefix(junk, '\x11');
          for (int i = 0; i < CAVCDecoder::kFillSize / packetSize - 6; ++i) prefix += packet;
          return prefix;
        },
        reinterpret_cast<const uint8_t*>(mux.file().data()), mux.file().size(), &whole);
  } else {
    f = MemoryFile(reinterpret_cast<const uint8_t*>(mux.file().data()), mux.file().size());
  }
  if (f == nullptr) return 0;
  const uint64_t base = whole->size() - mux.file().size();
  CAVCDecoder& d = SharedDecoder();
  AttachStream(d, f, 1, packetSize, kVideoPid);
  d.InitializeBuffer();
  d.resync = 1;
  ExpectUnits(d, es, n, 0);
  if (n > 0) {
    // A reposition at the file offset of an elementary-stream byte lands on that byte, unless
    // the bytes around the packet's sync byte mimic one (the search starts one packet early and
    // confirms a sync byte there by the sync bytes one and two packets ahead).
    const size_t esFrom = size_t(alignChoice) * n / 256;
    const uint64_t position = base + mux.offsets()[esFrom];
    if (!MimicsSync(*whole, position, base + mux.syncs()[esFrom], packetSize)) {
      Check(d.AlignStream(position) == 0, "repositioning at a payload byte failed");
      ExpectUnits(d, es, n, esFrom);
    }
  }
  DetachStream(d);
  return 0;
}

}  // namespace

int TsMux(const uint8_t* data, size_t size) {
  return MuxAndRead(data, size, false);
}

int TsRefill(const uint8_t* data, size_t size) {
  return MuxAndRead(data, size, true);
}

}  // namespace fuzz
