// Progress of a long indexing run on stderr: shown only when stderr is a terminal and the run has
// taken more than a second, so short inputs and redirected output stay quiet.
#pragma once

#include <chrono>
#include <cstdint>

namespace indexer {

class ProgressMeter {
 public:
  ProgressMeter(uint64_t total, bool wanted);
  ~ProgressMeter();
  // Cheap to call often: looks at the clock only every few calls.
  void Update(uint64_t done);

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool shown_ = false;
  uint64_t total_;
  uint32_t calls_ = 0;
  int lastPercent_ = -1;
  Clock::time_point start_;
  Clock::time_point lastShown_;
};

}  // namespace indexer
