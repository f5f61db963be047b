#include "tools/indexer/psi_tables.h"

#include <algorithm>

namespace indexer {
namespace {

constexpr int kPatPid = 0;
constexpr int kPatTableId = 0x00;
constexpr int kPmtTableId = 0x02;
constexpr size_t kSectionHeader = 3;      // table_id and the 12-bit section_length
constexpr size_t kMaxSectionSize = 1024;  // section_length is at most 1021 for PAT and PMT

}  // namespace

uint32_t SectionCrc(const uint8_t* data, size_t size) {
  static const auto table = [] {
    struct Table {
      uint32_t v[256];
    } t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t.v[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = (crc << 8) ^ table.v[(crc >> 24) ^ data[i]];
  return crc;
}

bool PsiCollector::Wants(int pid) const {
  if (pid == kPatPid) return !havePat_;
  for (const Program& p : programs_) {
    if (p.pmtPid == pid && !p.mapped) return true;
  }
  return false;
}

bool PsiCollector::Complete() const {
  if (!havePat_) return false;
  return std::all_of(programs_.begin(), programs_.end(), [](const Program& p) { return p.mapped; });
}

void PsiCollector::AddPayload(int pid, bool unitStart, const uint8_t* payload, size_t size) {
  if (!Wants(pid)) return;
  Assembly& a = assemblies_[pid];
  size_t i = 0;
  if (unitStart) {
    if (size == 0) return;
    size_t pointer = payload[0];
    i = 1;
    // The bytes before the pointed-to section end the section in progress.
    if (a.active) {
      a.bytes.insert(a.bytes.end(), payload + i, payload + std::min(size, i + pointer));
    }
    i += pointer;
    if (a.active && a.bytes.size() >= kSectionHeader) {
      size_t total = kSectionHeader + (((a.bytes[1] & 0x0F) << 8) | a.bytes[2]);
      if (a.bytes.size() >= total) OnSection(pid, a.bytes.data(), total);
    }
    a.bytes.clear();
    a.active = false;
    // Sections that start in this payload, one after the other, until stuffing (0xFF).
    while (i < size && payload[i] != 0xFF && Wants(pid)) {
      a.active = true;
      a.bytes.assign(payload + i, payload + size);
      if (a.bytes.size() < kSectionHeader) return;
      size_t total = kSectionHeader + (((a.bytes[1] & 0x0F) << 8) | a.bytes[2]);
      if (total > kMaxSectionSize) {
        a.bytes.clear();
        a.active = false;
        return;
      }
      if (a.bytes.size() < total) return;  // continues in the next packet
      OnSection(pid, a.bytes.data(), total);
      a.bytes.clear();
      a.active = false;
      i += total;
    }
    return;
  }
  if (!a.active) return;
  a.bytes.insert(a.bytes.end(), payload, payload + size);
  if (a.bytes.size() < kSectionHeader) return;
  size_t total = kSectionHeader + (((a.bytes[1] & 0x0F) << 8) | a.bytes[2]);
  if (total > kMaxSectionSize) {
    a.bytes.clear();
    a.active = false;
  } else if (a.bytes.size() >= total) {
    OnSection(pid, a.bytes.data(), total);
    a.bytes.clear();
    a.active = false;
  }
}

void PsiCollector::OnSection(int pid, const uint8_t* s, size_t size) {
  // table_id .. last_section_number (8 bytes) and the CRC (4 bytes) at least.
  if (size < 12 || SectionCrc(s, size) != 0) return;
  bool currentNext = (s[5] & 0x01) != 0;
  if (!currentNext) return;
  const uint8_t* end = s + size - 4;  // before the CRC
  if (pid == kPatPid && s[0] == kPatTableId && !havePat_) {
    // A PAT in several sections is rare; the first section's programs are taken.
    for (const uint8_t* p = s + 8; p + 4 <= end; p += 4) {
      int number = (p[0] << 8) | p[1];
      int mapPid = ((p[2] & 0x1F) << 8) | p[3];
      if (number == 0) continue;  // the network information PID
      Program program;
      program.number = number;
      program.pmtPid = mapPid;
      programs_.push_back(program);
    }
    havePat_ = true;
    return;
  }
  if (s[0] != kPmtTableId) return;
  int number = (s[3] << 8) | s[4];
  for (Program& program : programs_) {
    if (program.pmtPid != pid || program.number != number || program.mapped) continue;
    if (s + 12 > end) return;
    size_t infoLength = ((s[10] & 0x0F) << 8) | s[11];
    const uint8_t* p = s + 12 + infoLength;
    while (p + 5 <= end) {
      PmtStream stream;
      stream.streamType = p[0];
      stream.pid = ((p[1] & 0x1F) << 8) | p[2];
      size_t esInfo = ((p[3] & 0x0F) << 8) | p[4];
      program.streams.push_back(stream);
      p += 5 + esInfo;
    }
    program.mapped = true;
    return;
  }
}

bool CollectPsi(TsPacketReader* reader, PsiCollector* psi) {
  constexpr uint64_t kPsiSearchLimit = 64 << 20;
  TsPacket packet;
  while (!psi->Complete() && reader->position() < kPsiSearchLimit && reader->Next(&packet)) {
    const ts::Packet parsed = ParsePacket(packet);
    if (!parsed.HasPayload() || parsed.transportError) continue;
    if (psi->Wants(parsed.pid)) {
      psi->AddPayload(parsed.pid, parsed.unitStart, packet.bytes + parsed.payload,
                      parsed.end - parsed.payload);
    }
  }
  return !reader->readError();
}

}  // namespace indexer
