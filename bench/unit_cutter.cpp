// Start-code unit cutting speed: units and megabytes per second that CAVCDecoder cuts from an
// elementary stream and from the same stream in a transport stream, next to a plain memchr scan
// of the ES bytes in memory (the ceiling) and a byte-at-a-time cutter over the decoder's own
// byte reader (the straightforward way).
//
// Usage: unit_cutter [es.m2v [ts.ts video-pid]]
// Without arguments it makes a 1080p MPEG-2 ES of 500 noisy pictures at 25 Mbit/s and its TS with
// ffmpeg in the temporary folder ($TMPDIR, else /tmp).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "reader/avc_decoder.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

bool Exists(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

std::vector<unsigned char> ReadAll(const std::string& path) {
  std::vector<unsigned char> data;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return data;
  unsigned char chunk[1 << 16];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    data.insert(data.end(), chunk, chunk + got);
  std::fclose(f);
  return data;
}

struct Result {
  long units = 0;
  double bytes = 0;
  double seconds = 1e9;
};

void Report(const char* name, const Result& r) {
  std::printf("%-44s %8ld units %8.1f MB  %10.0f units/s  %8.1f MB/s\n", name, r.units,
              r.bytes / 1e6, r.units / r.seconds, r.bytes / 1e6 / r.seconds);
}

std::unique_ptr<CAVCDecoder> Reader(const std::string& path, int streamType, int pid) {
  auto d = std::make_unique<CAVCDecoder>();
  d->videoFile = std::fopen(path.c_str(), "rb");
  d->streamType = streamType;
  d->packetSize = 188;
  d->videoPid = pid;
  d->currentUnit = &d->unit;
  d->resync = 1;
  return d;
}

// The decoder's cutter, from the start of the stream (the best of `runs`).
Result CutWithDecoder(const std::string& path, int streamType, int pid, uint64_t start, int runs) {
  Result best;
  auto d = Reader(path, streamType, pid);
  for (int run = 0; run < runs; ++run) {
    Result r;
    const auto t0 = Clock::now();
    d->AlignStream(start);
    while (d->GetAnnexbNALU() == 1) {
      ++r.units;
      r.bytes += d->unit.length;
    }
    r.seconds = Seconds(t0);
    if (r.seconds < best.seconds) best = r;
  }
  return best;
}

// Byte at a time through GetByte, ending a unit whenever the last three bytes are 00 00 01.
Result CutByteAtATime(const std::string& path, int streamType, int pid, uint64_t start, int runs) {
  Result best;
  auto d = Reader(path, streamType, pid);
  std::vector<unsigned char> unit(CAVCDecoder::kBufferSize);
  for (int run = 0; run < runs; ++run) {
    Result r;
    const auto t0 = Clock::now();
    d->AlignStream(start);
    unsigned char byte;
    uint32_t window = 0xFFFFFF;
    long length = -1;  // no unit until the first start code
    while (d->GetByte(&byte) == 0) {
      window = ((window << 8) | byte) & 0xFFFFFF;
      if (length >= 0 && length < long(unit.size())) unit[size_t(length)] = byte;
      if (length >= 0) ++length;
      if (window == 1) {
        if (length > 3) {
          ++r.units;
          r.bytes += double(length - 3);
        }
        length = 3;
      }
    }
    if (length >= 3) {
      ++r.units;
      r.bytes += double(length);
    }
    r.seconds = Seconds(t0);
    if (r.seconds < best.seconds) best = r;
  }
  return best;
}

// memchr for the 01 of each start code over bytes already in memory; nothing is copied.
Result ScanInMemory(const std::vector<unsigned char>& data, int runs) {
  Result best;
  for (int run = 0; run < runs; ++run) {
    Result r;
    const auto t0 = Clock::now();
    const unsigned char* begin = data.data();
    const unsigned char* end = begin + data.size();
    const unsigned char* p = begin + std::min<size_t>(2, data.size());
    while (p < end && (p = static_cast<const unsigned char*>(std::memchr(p, 1, size_t(end - p))))) {
      if (p[-1] == 0 && p[-2] == 0) ++r.units;
      ++p;
    }
    r.bytes = double(data.size());
    r.seconds = Seconds(t0);
    if (r.seconds < best.seconds) best = r;
  }
  return best;
}

// The file offset of the first payload byte of the first video packet that starts a PES packet.
uint64_t FirstVideoPayload(const std::vector<unsigned char>& ts, int pid) {
  for (size_t p = 0; p + 188 <= ts.size(); p += 188) {
    const unsigned char* k = &ts[p];
    if (k[0] != 0x47 || (((k[1] << 8) | k[2]) & 0x1FFF) != pid || !(k[1] & 0x40)) continue;
    size_t h = ((k[3] >> 4) & 3) == 3 ? 5 + k[4] : 4;
    return p + h + 9 + k[h + 8];
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path tmp = std::filesystem::temp_directory_path();
  std::string es = (tmp / "mpg_unit_cutter_1080p.m2v").string();
  std::string ts = (tmp / "mpg_unit_cutter_1080p.ts").string();
  int pid = 0x1E1;
  if (argc >= 2) es = argv[1];
  if (argc >= 4) {
    ts = argv[2];
    pid = int(std::strtol(argv[3], nullptr, 0));
  }
  if (argc < 2 && !Exists(es)) {
    const std::string make =
        "ffmpeg -nostdin -hide_banner -v error -y -f lavfi -i "
        "testsrc=size=1920x1080:rate=25,noise=alls=12:allf=t -frames:v 500 -c:v mpeg2video -g 15 "
        "-bf 2 -b:v 25M -minrate 25M -maxrate 25M -bufsize 9781k " +
        es;
    if (std::system(make.c_str()) != 0) return 1;
  }
  if (argc < 4 && !Exists(ts)) {
    const std::string make = "ffmpeg -nostdin -hide_banner -v error -y -fflags +genpts -r 25 -i " +
                             es + " -c:v copy -streamid 0:0x1E1 -f mpegts " + ts;
    if (std::system(make.c_str()) != 0) return 1;
  }
  const std::vector<unsigned char> esBytes = ReadAll(es);
  const std::vector<unsigned char> tsBytes = ReadAll(ts);
  std::printf("ES %s: %.1f MB; TS %s: %.1f MB\n", es.c_str(), esBytes.size() / 1e6, ts.c_str(),
              tsBytes.size() / 1e6);
  const int runs = 5;
  const uint64_t tsStart = FirstVideoPayload(tsBytes, pid);
  Report("memchr scan of the ES in memory", ScanInMemory(esBytes, runs));
  Report("CAVCDecoder ES (file, copy into unit)", CutWithDecoder(es, 0, pid, 0, runs));
  Report("byte at a time over GetByte, ES", CutByteAtATime(es, 0, pid, 0, runs));
  Report("CAVCDecoder TS (file, demux, copy)", CutWithDecoder(ts, 1, pid, tsStart, runs));
  Report("byte at a time over GetByte, TS", CutByteAtATime(ts, 1, pid, tsStart, runs));
  return 0;
}
