#include "tools/indexer/progress.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define MPG_ISATTY(fd) _isatty(fd)
#define MPG_FILENO(f) _fileno(f)
#else
#include <unistd.h>
#define MPG_ISATTY(fd) isatty(fd)
#define MPG_FILENO(f) fileno(f)
#endif

namespace indexer {

ProgressMeter::ProgressMeter(uint64_t total, bool wanted)
    : enabled_(wanted && total > 0 && MPG_ISATTY(MPG_FILENO(stderr)) != 0),
      total_(total),
      start_(Clock::now()),
      lastShown_(start_) {}

ProgressMeter::~ProgressMeter() {
  if (shown_) fprintf(stderr, "\rindexing: 100%%\n");
}

void ProgressMeter::Update(uint64_t done) {
  if (!enabled_ || (++calls_ & 63) != 0) return;
  Clock::time_point now = Clock::now();
  if (now - start_ < std::chrono::seconds(1) || now - lastShown_ < std::chrono::milliseconds(250)) {
    return;
  }
  int percent = static_cast<int>(done * 100 / total_);
  if (percent > 99) percent = 99;
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  lastShown_ = now;
  shown_ = true;
  fprintf(stderr, "\rindexing: %d%%", percent);
  fflush(stderr);
}

}  // namespace indexer
