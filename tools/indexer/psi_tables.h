// Program-specific information of an MPEG transport stream: the program association table (PID 0)
// and the program map tables it names, assembled from packet payloads and checked by their CRC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "tools/indexer/transport_stream.h"

namespace indexer {

// One elementary stream of a program map table.
struct PmtStream {
  int streamType = 0;
  int pid = 0;
};

struct Program {
  int number = 0;
  int pmtPid = 0;
  bool mapped = false;  // its program map table has been read
  std::vector<PmtStream> streams;
};

// The CRC-32 of MPEG-2 sections (polynomial 0x04C11DB7, initial value all ones, no reflection).
uint32_t SectionCrc(const uint8_t* data, size_t size);

// Collects PAT and PMT sections from the packets of their PIDs.
class PsiCollector {
 public:
  // Passes one packet's payload; `unitStart` is its payload_unit_start_indicator.
  void AddPayload(int pid, bool unitStart, const uint8_t* payload, size_t size);

  // Whether `pid` carries a table this collector waits for (PID 0, or a PMT PID once the PAT is
  // known).
  bool Wants(int pid) const;

  // The PAT has been read and the PMT of each of its programs too.
  bool Complete() const;
  bool HavePat() const { return havePat_; }
  const std::vector<Program>& programs() const { return programs_; }

 private:
  struct Assembly {
    std::vector<uint8_t> bytes;
    bool active = false;
  };
  void OnSection(int pid, const uint8_t* section, size_t size);

  bool havePat_ = false;
  std::vector<Program> programs_;
  std::map<int, Assembly> assemblies_;
};

// Reads packets from `reader` until `psi` holds the PAT and every program's PMT, or 64 MiB of the
// stream have gone by without them. False on a read error.
bool CollectPsi(TsPacketReader* reader, PsiCollector* psi);

}  // namespace indexer
