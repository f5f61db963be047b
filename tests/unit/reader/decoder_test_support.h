// Helpers shared by the decoder tests: media and temporary files, a decoder on the heap, and
// independent reference cutters and demultiplexers to compare the decoder's output against.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "reader/avc_decoder.h"

namespace dectest {

using Bytes = std::vector<unsigned char>;

inline std::string BuildDir() {
  const char* dir = std::getenv("MPG_BUILD_DIR");
  return dir != nullptr ? dir : ".";
}

// A clip made by the test_media target; the test fails when it is missing.
inline std::string MediaPath(const char* name) {
  std::string path = BuildDir() + "/media/" + name;
  EXPECT_TRUE(std::filesystem::exists(path)) << path << " is missing: build the test_media target";
  return path;
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("mpg_decoder_test_" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string Path(const std::string& name = "") const {
    return name.empty() ? path_.string() : (path_ / name).string();
  }

 private:
  std::filesystem::path path_;
};

// The object is 16 MB: never on the stack.
inline std::unique_ptr<CAVCDecoder> NewDecoder() {
  return std::make_unique<CAVCDecoder>();
}

// Prepares a decoder to read `file` (handed over) as Open would, without a project file.
inline void Attach(CAVCDecoder& d, FILE* file, int streamType, int packetSize = 188,
                   int videoPid = 0) {
  d.videoFile = file;
  d.streamType = streamType;
  d.packetSize = packetSize;
  d.videoPid = videoPid;
  d.currentUnit = &d.unit;
  d.resync = 1;
}

// An anonymous file holding `bytes`, positioned at its start.
inline FILE* MemoryFile(const Bytes& bytes) {
  FILE* file = std::tmpfile();
  if (file == nullptr) return nullptr;
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  return file;
}

// Units by plain search: each runs from one 00 00 01 up to the next; bytes before the first are
// not part of any unit.
inline std::vector<Bytes> ReferenceUnits(const Bytes& data, size_t from = 0) {
  std::vector<size_t> starts;
  for (size_t i = from; i + 2 < data.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      starts.push_back(i);
      i += 2;
    }
  }
  std::vector<Bytes> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    const size_t end = k + 1 < starts.size() ? starts[k + 1] : data.size();
    units.emplace_back(data.begin() + long(starts[k]), data.begin() + long(end));
  }
  return units;
}

// Every unit the decoder cuts from its current position on, at most `limit`.
inline std::vector<Bytes> CutUnits(CAVCDecoder& d, size_t limit = SIZE_MAX) {
  std::vector<Bytes> units;
  while (units.size() < limit && d.GetAnnexbNALU() == 1) {
    units.emplace_back(d.unit.data, d.unit.data + d.unit.length);
  }
  return units;
}

// Unit lists compared with a short report: the first unit that differs, not both lists.
inline ::testing::AssertionResult SameUnits(const std::vector<Bytes>& got,
                                            const std::vector<Bytes>& expected) {
  const size_t common = std::min(got.size(), expected.size());
  for (size_t i = 0; i < common; ++i) {
    if (got[i] != expected[i]) {
      size_t at = 0;
      while (at < got[i].size() && at < expected[i].size() && got[i][at] == expected[i][at]) ++at;
      return ::testing::AssertionFailure()
             << "unit " << i << " differs at byte " << at << ": length " << got[i].size()
             << ", expected " << expected[i].size();
    }
  }
  if (got.size() != expected.size()) {
    return ::testing::AssertionFailure() << got.size() << " units, expected " << expected.size()
                                         << " (the first " << common << " agree)";
  }
  return ::testing::AssertionSuccess();
}

// The video payload of a transport stream whose packets lie `packetSize` apart (the 188 bytes
// at the end of each 192-byte packet), with each byte's offset in the file.
struct Payload {
  Bytes bytes;
  std::vector<uint64_t> offsets;
};

inline Payload DemuxVideo(const Bytes& file, int packetSize, int pid) {
  Payload out;
  const size_t skip = packetSize == 192 ? 4 : 0;
  for (size_t p = skip; p + 188 <= file.size(); p += size_t(packetSize)) {
    const unsigned char* k = &file[p];
    // Packets flagged with transport errors count: ffmpeg's demuxer keeps their payload too.
    if (k[0] != 0x47 || (((k[1] << 8) | k[2]) & 0x1FFF) != pid) continue;
    const int control = (k[3] >> 4) & 3;
    if ((control & 1) == 0) continue;
    size_t h = control == 3 ? 5 + k[4] : 4;
    if (k[1] & 0x40) {
      // A PES header that does not fit the packet leaves it without payload.
      if (h + 9 > 188 || h + 9 + k[h + 8] >= 188) continue;
      h += 9 + k[h + 8];
    }
    for (; h < 188; ++h) {
      out.bytes.push_back(k[h]);
      out.offsets.push_back(p + h);
    }
  }
  return out;
}

// Offsets in `data` where 00 00 01 B3 (a sequence header) begins.
inline std::vector<size_t> SequenceHeaders(const Bytes& data) {
  std::vector<size_t> found;
  for (size_t i = 0; i + 3 < data.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xB3) {
      found.push_back(i);
    }
  }
  return found;
}

}  // namespace dectest
