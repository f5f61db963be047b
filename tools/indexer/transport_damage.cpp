#include "tools/indexer/transport_damage.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace indexer {
namespace {

constexpr uint8_t kPictureCode = 0x00;
constexpr uint8_t kLastSliceCode = 0xAF;
constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kSequenceEndCode = 0xB7;
constexpr uint8_t kGroupCode = 0xB8;
// libavcodec outputs no picture when the last slice of the picture holds fewer data bytes than
// this after its start code (measured with ffmpeg 5.1: 0 and 1 byte lose the picture, 2 do not).
constexpr uint64_t kShortestLastSlice = 2;

}  // namespace

void TransportDamage::OnVideoPacket(const TsPacket& packet, const ts::Packet& parsed) {
  if (packet.length < 4) return;
  const bool hasPayload = parsed.announcesPayload;
  // discontinuity_indicator: the counter may restart here without anything lost.
  const bool discontinuity = parsed.discontinuity;
  const bool payloadBytes = parsed.HasPayload();
  const uint64_t payloadFrom = packet.offset + parsed.payload;
  const uint64_t payloadTo = packet.offset + packet.length - 1;
  if (parsed.transportError) {
    ++flagged_;
    ranges_.push_back(Range{payloadFrom, payloadTo});
  }
  // The counter steps with each packet that carries payload; a packet without payload repeats it.
  if (!hasPayload) return;
  const int counter = parsed.continuityCounter;
  if (lastCounter_ >= 0 && !discontinuity && counter != ((lastCounter_ + 1) & 0x0F)) {
    // Lost packets (or a repeated one, whose payload a reader takes twice): the bytes on both
    // sides of the break are spliced together.
    ++breaks_;
    ranges_.push_back(Range{lastPayloadKnown_ ? lastPayloadEnd_ : payloadFrom, payloadFrom});
  }
  lastCounter_ = counter;
  if (payloadBytes) {
    lastPayloadEnd_ = payloadTo;
    lastPayloadKnown_ = true;
  }
}

void TransportDamage::PushByte(uint8_t byte, uint64_t offset) {
  window_ = (window_ << 8) | byte;
  windowOffsets_[0] = windowOffsets_[1];
  windowOffsets_[1] = windowOffsets_[2];
  windowOffsets_[2] = windowOffsets_[3];
  windowOffsets_[3] = offset;
  ++esBytes_;
  // 00 00 01 xx: the start code begins three bytes back.
  if ((window_ & 0xFFFFFF00u) == 0x00000100u && esBytes_ >= 4) {
    OnStartCode(static_cast<uint8_t>(window_ & 0xFF), windowOffsets_[0], esBytes_ - 4);
  }
}

void TransportDamage::OnVideoBytes(const uint8_t* data, size_t size, uint64_t offset) {
  // A start code whose last byte is among the first three here may begin in earlier bytes: those
  // go byte by byte.
  const uint64_t esStart = esBytes_;
  const size_t head = std::min<size_t>(size, 3);
  for (size_t i = 0; i < head; ++i) PushByte(data[i], offset + i);
  if (size <= 3) return;
  // Every later one lies wholly in these bytes: found through its 01, the byte after it the code.
  const uint8_t* end = data + size - 1;
  for (const uint8_t* one = data + 2; one < end; ++one) {
    one = static_cast<const uint8_t*>(std::memchr(one, 0x01, static_cast<size_t>(end - one)));
    if (one == nullptr) break;
    if (one[-1] == 0 && one[-2] == 0) {
      const size_t at = static_cast<size_t>(one - data) - 2;
      OnStartCode(one[1], offset + at, esStart + at);
    }
  }
  // The last four bytes, for a start code that the next bytes complete.
  window_ = static_cast<uint32_t>(data[size - 4]) << 24 |
            static_cast<uint32_t>(data[size - 3]) << 16 |
            static_cast<uint32_t>(data[size - 2]) << 8 | data[size - 1];
  for (int k = 0; k < 4; ++k) windowOffsets_[k] = offset + size - 4 + static_cast<uint64_t>(k);
  esBytes_ = esStart + size;
}

void TransportDamage::OnStartCode(uint8_t code, uint64_t offset, uint64_t esOffset) {
  const bool ends = code == kPictureCode || code == kSequenceHeaderCode || code == kGroupCode ||
                    code == kSequenceEndCode;
  if (ends && haveSlice_ && !pictureUndecodable_.empty()) {
    if (esOffset - lastSlice_.esOffset < 4 + kShortestLastSlice) {
      pictureUndecodable_.back() = true;
    }
  }
  if (ends) haveSlice_ = false;
  if (code == kPictureCode) {
    pictures_.push_back(offset);
    // picture_coding_type is read later from the index: keep the place only.
    pictureUndecodable_.push_back(false);
    pictureLastRow_.push_back(0);
  } else if (code >= 0x01 && code <= kLastSliceCode && !pictures_.empty()) {
    lastSlice_ = StartCode{code, offset, esOffset};
    haveSlice_ = true;
    pictureLastRow_.back() = std::max(pictureLastRow_.back(), code);
  } else {
    haveSlice_ = false;
  }
}

bool TransportDamage::Touches(uint64_t from, uint64_t to) const {
  for (const Range& range : ranges_) {
    if (range.from < to && range.to >= from) return true;
  }
  return false;
}

TransportDamageReport TransportDamage::Apply(VideoIndex* index) {
  TransportDamageReport report;
  report.lostPacketBreaks = breaks_;
  report.flaggedPackets = flagged_;
  if (ranges_.empty() || index->gops.empty()) return report;

  // The end of each GOP's I picture: the next picture start code after the GOP's first one.
  auto firstPictureEnd = [&](uint64_t position) -> uint64_t {
    auto first = std::lower_bound(pictures_.begin(), pictures_.end(), position);
    if (first == pictures_.end() || first + 1 == pictures_.end()) return UINT64_MAX;
    return *(first + 1);
  };
  std::vector<GopRecord> kept;
  kept.reserve(index->gops.size());
  for (size_t g = 0; g < index->gops.size(); ++g) {
    GopRecord& gop = index->gops[g];
    if (g > 0 && Touches(gop.position, firstPictureEnd(gop.position))) {
      kept.back().types += gop.types;
      ++report.joinedGops;
      continue;
    }
    kept.push_back(std::move(gop));
  }
  index->gops = std::move(kept);

  uint64_t first = 0;
  for (size_t g = 0; g < index->gops.size(); ++g) {
    const bool last = g + 1 == index->gops.size();
    const uint64_t end = last ? UINT64_MAX : index->gops[g + 1].position;
    const uint64_t size = index->gops[g].types.size();
    if (size > 0 && Touches(index->gops[g].position, end)) {
      // The next GOP's leading B frames refer to this GOP's last pictures.
      uint64_t leading = 0;
      if (!last) {
        const std::string& next = index->gops[g + 1].types;
        while (leading + 1 < next.size() && next[leading + 1] == 'B') ++leading;
      }
      report.gops.push_back(DamagedGop{g, first, first + size - 1 + leading});
    }
    first += size;
  }
  index->damagedGops = report.gops;

  // Frames libavcodec gives no picture for, in display order (B frames at once, an I or P frame
  // when the next one arrives), which is how the plugin numbers frames. Only where the picture
  // headers found here are exactly the frames of the index.
  const auto from = std::lower_bound(pictures_.begin(), pictures_.end(), index->gops[0].position);
  const size_t skipped = static_cast<size_t>(from - pictures_.begin());
  if (index->fieldPairs == 0 && index->unpairedFields == 0 &&
      pictures_.size() - skipped == index->pictureCount) {
    // A slice start code below the picture (damage splices one together from the bytes on both
    // sides of a gap) makes libavcodec refuse the whole picture. Macroblock rows of a frame
    // picture: 16 lines each, counted in pairs of 32 lines in an interlaced sequence.
    const int height = index->sequence.height;
    const int rows =
        index->sequence.progressiveSequence ? (height + 15) / 16 : 2 * ((height + 31) / 32);
    const bool rowsKnown = index->sizeChanges.empty() && height > 0 && height <= 2800;
    for (size_t k = skipped; k < pictures_.size(); ++k) {
      // A picture header with no slice after it (the slices lost, or a start code spliced
      // together in front of the next picture header) starts no picture in libavcodec.
      if (pictureLastRow_[k] == 0) pictureUndecodable_[k] = true;
      if (rowsKnown && pictureLastRow_[k] > rows) pictureUndecodable_[k] = true;
    }
    std::string types;
    for (const GopRecord& gop : index->gops) types += gop.types;
    int64_t display = 0;
    int64_t pendingAnchor = -1;
    bool pendingUndecodable = false;
    for (size_t k = 0; k < types.size(); ++k) {
      const bool undecodable = pictureUndecodable_[skipped + k];
      if (types[k] == 'B') {
        if (undecodable) report.undecodableFrames.push_back(uint64_t(display));
        ++display;
        continue;
      }
      if (pendingAnchor >= 0) {
        if (pendingUndecodable) report.undecodableFrames.push_back(uint64_t(display));
        ++display;
      }
      pendingAnchor = int64_t(k);
      pendingUndecodable = undecodable;
    }
    if (pendingAnchor >= 0 && pendingUndecodable) {
      report.undecodableFrames.push_back(uint64_t(display));
    }
    std::sort(report.undecodableFrames.begin(), report.undecodableFrames.end());
    std::vector<uint64_t>& drops = index->framesFfmpegDrops;
    drops.insert(drops.end(), report.undecodableFrames.begin(), report.undecodableFrames.end());
    std::sort(drops.begin(), drops.end());
    drops.erase(std::unique(drops.begin(), drops.end()), drops.end());
  }
  return report;
}

}  // namespace indexer
