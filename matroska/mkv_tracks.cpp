// The Tracks element: one MkvTrack per accepted TrackEntry, with its limits, video and audio
// settings and content-encoding rules.
#include <cstdint>
#include <cstring>

#include "matroska/mkv_file.h"

namespace mkv {
namespace {

constexpr uint64_t kMaxCodecPrivate = 262144;
constexpr uint64_t kMaxCompSettings = 256;
constexpr uint64_t k32BitLimit = uint64_t{1} << 32;
constexpr int64_t kFixedOne = int64_t{1} << 32;

namespace id {
constexpr uint32_t kTrackEntry = 0xAE;
constexpr uint32_t kTrackNumber = 0xD7;
constexpr uint32_t kTrackType = 0x83;
constexpr uint32_t kTrackOverlay = 0x6FAB;
constexpr uint32_t kTrackUid = 0x73C5;
constexpr uint32_t kMinCache = 0x6DE7;
constexpr uint32_t kMaxCache = 0x6DF8;
constexpr uint32_t kDefaultDuration = 0x23E383;
constexpr uint32_t kTrackTimecodeScale = 0x23314F;
constexpr uint32_t kCodecPrivate = 0x63A2;
constexpr uint32_t kMaxBlockAdditionId = 0x55EE;
constexpr uint32_t kFlagEnabled = 0xB9;
constexpr uint32_t kFlagDefault = 0x88;
constexpr uint32_t kFlagLacing = 0x9C;
constexpr uint32_t kCodecDecodeAll = 0xAA;
constexpr uint32_t kVideo = 0xE0;
constexpr uint32_t kAudio = 0xE1;
constexpr uint32_t kName = 0x536E;
constexpr uint32_t kLanguage = 0x22B59C;
constexpr uint32_t kCodecId = 0x86;
constexpr uint32_t kContentEncodings = 0x6D80;
constexpr uint32_t kContentEncoding = 0x6240;
constexpr uint32_t kContentEncodingOrder = 0x5031;
constexpr uint32_t kContentEncodingScope = 0x5032;
constexpr uint32_t kContentEncodingType = 0x5033;
constexpr uint32_t kContentCompression = 0x5034;
constexpr uint32_t kContentCompAlgo = 0x4254;
constexpr uint32_t kContentCompSettings = 0x4255;
// Video
constexpr uint32_t kStereoMode = 0x53B8;
constexpr uint32_t kDisplayUnit = 0x54B2;
constexpr uint32_t kAspectRatioType = 0x54B3;
constexpr uint32_t kPixelWidth = 0xB0;
constexpr uint32_t kPixelHeight = 0xBA;
constexpr uint32_t kDisplayWidth = 0x54B0;
constexpr uint32_t kDisplayHeight = 0x54BA;
constexpr uint32_t kPixelCropLeft = 0x54CC;
constexpr uint32_t kPixelCropTop = 0x54BB;
constexpr uint32_t kPixelCropRight = 0x54DD;
constexpr uint32_t kPixelCropBottom = 0x54AA;
constexpr uint32_t kColourSpace = 0x2EB524;
constexpr uint32_t kGammaValue = 0x2FB523;
constexpr uint32_t kFlagInterlaced = 0x9A;
// Audio
constexpr uint32_t kSamplingFrequency = 0xB5;
constexpr uint32_t kOutputSamplingFrequency = 0x78B5;
constexpr uint32_t kChannels = 0x9F;
constexpr uint32_t kBitDepth = 0x6264;
}  // namespace id

unsigned low32(uint64_t v) {
  return static_cast<unsigned>(v & 0xFFFFFFFF);
}

uint32_t read32(MatroskaFile* mf, uint64_t size, const char* tooLarge) {
  uint64_t v = readUInt(mf, size);
  if (v >= k32BitLimit) raiseError(mf, tooLarge);
  return static_cast<uint32_t>(v);
}

void parseVideo(MatroskaFile* mf, uint64_t size, MkvTrack& track) {
  MkvVideoSettings& video = track.video;
  bool displayWidthSeen = false;
  bool displayHeightSeen = false;
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    switch (child) {
      case id::kStereoMode: {
        uint64_t v = readUInt(mf, s);
        if (v > 3) raiseError(mf, "Invalid stereo mode");
        video.stereoMode = static_cast<uint8_t>(v);
        return true;
      }
      case id::kDisplayUnit: {
        uint64_t v = readUInt(mf, s);
        if (v > 2) raiseError(mf, "Invalid DisplayUnit: %d", low32(v));
        video.displayUnit = static_cast<uint8_t>(v);
        return true;
      }
      case id::kAspectRatioType: {
        uint64_t v = readUInt(mf, s);
        if (v > 2) raiseError(mf, "Invalid AspectRatioType: %d", low32(v));
        video.aspectRatioType = static_cast<uint8_t>(v);
        return true;
      }
      case id::kPixelWidth:
        video.pixelWidth = read32(mf, s, "PixelWidth is too large");
        if (!displayWidthSeen) video.displayWidth = video.pixelWidth;
        return true;
      case id::kPixelHeight:
        video.pixelHeight = read32(mf, s, "PixelHeight is too large");
        if (!displayHeightSeen) video.displayHeight = video.pixelHeight;
        return true;
      case id::kDisplayWidth:
        video.displayWidth = read32(mf, s, "DisplayWidth is too large");
        displayWidthSeen = true;
        return true;
      case id::kDisplayHeight:
        video.displayHeight = read32(mf, s, "DisplayHeight is too large");
        displayHeightSeen = true;
        return true;
      case id::kPixelCropLeft:
        video.pixelCropLeft = read32(mf, s, "PixelCropLeft is too large");
        return true;
      case id::kPixelCropTop:
        video.pixelCropTop = read32(mf, s, "PixelCropTop is too large");
        return true;
      case id::kPixelCropRight:
        video.pixelCropRight = read32(mf, s, "PixelCropRight is too large");
        return true;
      case id::kPixelCropBottom:
        video.pixelCropBottom = read32(mf, s, "PixelCropBottom is too large");
        return true;
      case id::kColourSpace: {
        // A binary value, normally 4 bytes: keep its first 4 bytes, pass over the rest.
        uint64_t kept = s < 4 ? s : 4;
        video.colourSpace = static_cast<uint32_t>(readUInt(mf, kept));
        skipBytes(mf, s - kept);
        return true;
      }
      case id::kGammaValue:
        video.gammaValue = readFloat(mf, s);
        return true;
      case id::kFlagInterlaced:
        video.interlaced = readUInt(mf, s) != 0;
        return true;
      default:
        return false;
    }
  });
}

void parseAudio(MatroskaFile* mf, uint64_t size, MkvTrack& track) {
  MkvAudioSettings& audio = track.audio;
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    switch (child) {
      case id::kSamplingFrequency:
        audio.samplingFreq = readFloat(mf, s);
        return true;
      case id::kOutputSamplingFrequency:
        audio.outputSamplingFreq = readFloat(mf, s);
        return true;
      case id::kChannels: {
        uint64_t v = readUInt(mf, s);
        if (v < 1 || v > 255) raiseError(mf, "Invalid Channels value");
        audio.channels = static_cast<uint8_t>(v);
        return true;
      }
      case id::kBitDepth:
        audio.bitDepth = static_cast<uint8_t>(readUInt(mf, s));
        return true;
      default:
        return false;
    }
  });
  if (fixedToInt(audio.samplingFreq) == 0) audio.samplingFreq = 8000 * kFixedOne;
  if (fixedToInt(audio.outputSamplingFreq) == 0) audio.outputSamplingFreq = audio.samplingFreq;
  if (audio.channels == 0) audio.channels = 1;
}

// What one TrackEntry holds while it is read; the temporaries go back to the input however the
// entry ends.
struct EntryState {
  explicit EntryState(MkvInput* input)
      : codecId(input), name(input), codecPrivate(input), settings(input) {
    std::memset(static_cast<void*>(&track), 0, sizeof track);
  }
  MkvTrack track;
  InputBlock codecId;
  InputBlock name;
  InputBlock codecPrivate;
  uint32_t codecPrivateSize = 0;
  bool codecPrivateSeen = false;
  InputBlock settings;
  uint32_t settingsSize = 0;
  int encodings = 0;
  uint64_t scope = 1;
  bool leftOut = false;  // an encoding the parser cannot handle: the entry is passed over
};

void parseCompression(MatroskaFile* mf, uint64_t size, EntryState& e) {
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (e.leftOut) return false;
    if (child == id::kContentCompAlgo) {
      e.track.compEnabled = 1;
      uint64_t algo = readUInt(mf, s);
      if (algo == 0 || algo == 3) {
        e.track.compMethod = static_cast<uint32_t>(algo);
      } else {
        e.leftOut = true;
      }
      return true;
    }
    if (child == id::kContentCompSettings) {
      if (s > kMaxCompSettings) {
        e.leftOut = true;
        return false;
      }
      e.settings.reset(nullptr);
      e.settingsSize = 0;
      if (s > 0) {
        e.settings.reset(mf->input->alloc(mf->input, static_cast<size_t>(s)));
        if (e.settings.get() == nullptr) raiseError(mf, "Out of memory");
        readBytes(mf, static_cast<uint32_t>(s), e.settings.get());
        e.settingsSize = static_cast<uint32_t>(s);
      }
      return true;
    }
    return false;
  });
}

void parseContentEncodings(MatroskaFile* mf, uint64_t size, EntryState& e) {
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (e.leftOut || child != id::kContentEncoding) return false;
    if (e.encodings > 0) {  // only one encoding is supported
      e.leftOut = true;
      return false;
    }
    e.track.compEnabled = 1;
    e.track.compMethod = 0;
    e.scope = 1;
    ++e.encodings;
    forEachChild(mf, s, [&](uint32_t inner, uint64_t innerSize) {
      if (e.leftOut) return false;
      switch (inner) {
        case id::kContentEncodingOrder:
          readUInt(mf, innerSize);
          return true;
        case id::kContentEncodingScope:
          e.scope = readUInt(mf, innerSize);
          return true;
        case id::kContentEncodingType:
          if (readUInt(mf, innerSize) != 0) e.leftOut = true;  // encryption
          return true;
        case id::kContentCompression:
          parseCompression(mf, innerSize, e);
          return true;
        default:
          return false;
      }
    });
    return true;
  });
}

bool sameUidPresent(const MatroskaFile* mf, uint64_t uid) {
  for (uint32_t i = 0; i < mf->trackCount; ++i) {
    if (mf->tracks[i]->trackUID == uid) return true;
  }
  return false;
}

// The number and flag elements of a track entry, straight into the track. False for any other
// element.
bool readTrackNumber(MatroskaFile* mf, uint32_t child, uint64_t s, MkvTrack& t) {
  switch (child) {
    case id::kTrackNumber: {
      uint64_t v = readUInt(mf, s);
      if (v > 255) raiseError(mf, "Track number is >255 (%d)", low32(v));
      t.trackNumber = static_cast<uint8_t>(v);
      return true;
    }
    case id::kTrackType: {
      uint64_t v = readUInt(mf, s);
      if (v < 1 || v > 254) raiseError(mf, "Invalid track type: %d", low32(v));
      t.trackType = static_cast<uint8_t>(v);
      return true;
    }
    case id::kTrackOverlay: {
      uint64_t v = readUInt(mf, s);
      if (v > 255) raiseError(mf, "Track number in TrackOverlay is too large: %d", low32(v));
      t.trackOverlay = static_cast<uint8_t>(v);
      return true;
    }
    case id::kTrackUid:
      t.trackUID = readUInt(mf, s);
      return true;
    case id::kMinCache:
      t.minCache = read32(mf, s, "MinCache is too large");
      return true;
    case id::kMaxCache:
      t.maxCache = read32(mf, s, "MaxCache is too large");
      return true;
    case id::kDefaultDuration:
      t.defaultDuration = readUInt(mf, s);
      return true;
    case id::kTrackTimecodeScale:
      t.trackTimecodeScale = readFloat(mf, s);
      return true;
    case id::kMaxBlockAdditionId:
      t.maxBlockAdditionID = static_cast<uint32_t>(readUInt(mf, s));
      return true;
    case id::kFlagEnabled:
      t.enabled = readUInt(mf, s) != 0;
      return true;
    case id::kFlagDefault:
      t.defaultTrack = readUInt(mf, s) != 0;
      return true;
    case id::kFlagLacing:
      t.lacing = readUInt(mf, s) != 0;
      return true;
    case id::kCodecDecodeAll:
      t.decodeAll = readUInt(mf, s) != 0;
      return true;
    default:
      return false;
  }
}

// The elements of a track entry that hold text, bytes or further elements. False for any other
// element.
bool readTrackBlock(MatroskaFile* mf, uint32_t child, uint64_t s, EntryState& e) {
  MkvTrack& t = e.track;
  switch (child) {
    case id::kCodecPrivate:
      if (e.codecPrivateSeen) raiseError(mf, "Duplicate CodecPrivate");
      if (s > kMaxCodecPrivate) {
        raiseError(mf, "CodecPrivate is too large: %d", static_cast<int>(low32(s)));
      }
      e.codecPrivateSeen = true;
      if (s > 0) {
        e.codecPrivate.reset(mf->input->alloc(mf->input, static_cast<size_t>(s)));
        if (e.codecPrivate.get() == nullptr) raiseError(mf, "Out of memory");
        readBytes(mf, static_cast<uint32_t>(s), e.codecPrivate.get());
        e.codecPrivateSize = static_cast<uint32_t>(s);
      }
      return true;
    case id::kVideo:
      parseVideo(mf, s, t);
      return true;
    case id::kAudio:
      parseAudio(mf, s, t);
      return true;
    case id::kName:
      if (e.name.get() != nullptr) raiseError(mf, "Duplicate Track Name");
      e.name.reset(readStringBlock(mf, s));
      return true;
    case id::kLanguage:
      readLanguage(mf, s, t.language);
      return true;
    case id::kCodecId:
      if (e.codecId.get() != nullptr) raiseError(mf, "Duplicate CodecID");
      e.codecId.reset(readStringBlock(mf, s));
      return true;
    case id::kContentEncodings:
      parseContentEncodings(mf, s, e);
      return true;
    default:
      return false;
  }
}

// Stores the entry's track in one block: the record, then its codec private data, compression
// settings, name and codec ID.
void storeTrack(MatroskaFile* mf, EntryState& e) {
  const MkvTrack& t = e.track;
  const size_t nameSize = e.name.get() != nullptr ? std::strlen(e.name.text()) + 1 : 0;
  const size_t codecIdSize = std::strlen(e.codecId.text()) + 1;
  InputBlock block(mf->input,
                   mf->input->alloc(mf->input, sizeof(MkvTrack) + e.codecPrivateSize +
                                                   e.settingsSize + nameSize + codecIdSize));
  if (block.get() == nullptr) raiseError(mf, "Out of memory");
  MkvTrack* record = static_cast<MkvTrack*>(block.get());
  std::memcpy(static_cast<void*>(record), &t, sizeof t);
  char* freeSpace = reinterpret_cast<char*>(record + 1);
  record->codecPrivate = nullptr;
  record->codecPrivateSize = 0;
  if (e.codecPrivateSize != 0) {
    std::memcpy(freeSpace, e.codecPrivate.get(), e.codecPrivateSize);
    record->codecPrivate = freeSpace;
    record->codecPrivateSize = e.codecPrivateSize;
    freeSpace += e.codecPrivateSize;
  }
  record->compMethodPrivate = nullptr;
  record->compMethodPrivateSize = 0;
  if (e.settingsSize != 0) {
    std::memcpy(freeSpace, e.settings.get(), e.settingsSize);
    record->compMethodPrivate = freeSpace;
    record->compMethodPrivateSize = e.settingsSize;
    freeSpace += e.settingsSize;
  }
  record->name = e.name.text();
  packString(&record->name, &freeSpace);
  record->codecID = e.codecId.text();
  packString(&record->codecID, &freeSpace);
  if (record->language[0] == 0) std::memcpy(record->language, "eng", 4);
  MkvTrack** slot = arrayAppend(mf, mf->trackCount, mf->trackCapacity, mf->tracks);
  *slot = static_cast<MkvTrack*>(block.release());
}

void parseTrackEntry(MatroskaFile* mf, uint64_t size) {
  if (mf->trackCount >= kMaxTracks) raiseError(mf, "Too many tracks.");
  EntryState e(mf->input);
  MkvTrack& t = e.track;
  t.enabled = 1;
  t.defaultTrack = 1;
  t.lacing = 1;
  t.decodeAll = 1;
  t.trackTimecodeScale = kFixedOne;
  const uint64_t entryEnd = endOf(mf, size);
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (e.leftOut) return false;
    return readTrackNumber(mf, child, s, t) || readTrackBlock(mf, child, s, e);
  });
  if (e.leftOut) {
    seekTo(mf, entryEnd);
    return;
  }
  if (e.codecId.get() == nullptr) raiseError(mf, "Track has no Codec ID");
  if (t.trackUID != 0 && sameUidPresent(mf, t.trackUID)) return;
  if (t.compEnabled && (e.scope & 1) == 0) {
    t.compEnabled = 0;
    e.settingsSize = 0;
  }
  storeTrack(mf, e);
}

}  // namespace

void parseTracks(MatroskaFile* mf, uint64_t size) {
  mf->sectionsParsed |= kParsedTracks;
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (child != id::kTrackEntry) return false;
    parseTrackEntry(mf, s);
    return true;
  });
}

}  // namespace mkv

const char* mkv_CompressionName(uint32_t method, char* buffer, uint32_t bufferSize) {
  if (method == 0) return "zlib";
  if (method == 3) return "header stripping";
  mkv::formatText(buffer, bufferSize, "method %u", method);
  return buffer;
}
