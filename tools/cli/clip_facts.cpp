#include "tools/cli/clip_facts.h"

#include <cinttypes>
#include <cstdio>

namespace cli {
namespace {

std::string Ratio(int numerator, int denominator) {
  if (numerator <= 0 || denominator <= 0) return "unknown";
  return std::to_string(numerator) + ":" + std::to_string(denominator);
}

const char* PulldownNote(const std::string& pulldown) {
  if (pulldown == "3:2") return "film, 3:2 pulldown removed";
  if (pulldown == "frame-2:3") return "film, 2:3 frame repetition removed";
  if (pulldown == "mixed") return "mixed pulldown: average rate (mpgsource index --timestamps)";
  return "none";
}

}  // namespace

std::string FactsJson(const indexer::StreamFacts& facts) {
  if (!facts.present) return "";
  std::string out;
  auto text = [&](const char* key, const std::string& value) {
    out += std::string(", \"") + key + "\": \"" + value + "\"";
  };
  text("scan", facts.scan);
  text("field_order", facts.fieldOrder);
  text("pulldown", facts.pulldown);
  text("pulldown_note", PulldownNote(facts.pulldown));
  text("coded_fps",
       std::to_string(facts.codedNumerator) + "/" + std::to_string(facts.codedDenominator));
  out += ", \"fields\": " + std::to_string(facts.fields);
  text("sample_aspect_ratio", Ratio(facts.sarNumerator, facts.sarDenominator));
  text("display_aspect_ratio", Ratio(facts.darNumerator, facts.darDenominator));
  if (facts.colour) {
    text("color_primaries", indexer::ColourPrimariesName(facts.colourPrimaries));
    text("color_transfer", indexer::TransferName(facts.transferCharacteristics));
    text("color_space", indexer::MatrixName(facts.matrixCoefficients));
  }
  out += ", \"size_changes\": [";
  for (size_t i = 0; i < facts.sizeChanges.size(); ++i) {
    const indexer::SizeChange& change = facts.sizeChanges[i];
    char item[96];
    std::snprintf(item, sizeof item, "%s{\"frame\": %" PRIu64 ", \"width\": %d, \"height\": %d}",
                  i ? ", " : "", change.frame, change.width, change.height);
    out += item;
  }
  out += "], \"aspect_changes\": [";
  for (size_t i = 0; i < facts.aspectChanges.size(); ++i) {
    const indexer::AspectChange& change = facts.aspectChanges[i];
    out += std::string(i ? ", " : "") + "{\"frame\": " + std::to_string(change.frame) +
           ", \"sample_aspect_ratio\": \"" + Ratio(change.sarNumerator, change.sarDenominator) +
           "\", \"display_aspect_ratio\": \"" + Ratio(change.darNumerator, change.darDenominator) +
           "\"}";
  }
  out += "], \"rate_changes\": [";
  for (size_t i = 0; i < facts.rateChanges.size(); ++i) {
    const indexer::RateChange& change = facts.rateChanges[i];
    out += std::string(i ? ", " : "") + "{\"frame\": " + std::to_string(change.frame) +
           ", \"coded_fps\": \"" + std::to_string(change.fpsNumerator) + "/" +
           std::to_string(change.fpsDenominator) + "\"}";
  }
  out += "], \"matrix_changes\": [";
  for (size_t i = 0; i < facts.matrixChanges.size(); ++i) {
    out += std::string(i ? ", " : "") + std::to_string(facts.matrixChanges[i]);
  }
  out += "], \"frames_ffmpeg_drops\": [";
  for (size_t i = 0; i < facts.framesFfmpegDrops.size(); ++i) {
    out += std::string(i ? ", " : "") + std::to_string(facts.framesFfmpegDrops[i]);
  }
  out += "], \"damaged_gops\": [";
  for (size_t i = 0; i < facts.damagedGops.size(); ++i) {
    const indexer::DamagedGop& gop = facts.damagedGops[i];
    out += std::string(i ? ", " : "") + "{\"gop\": " + std::to_string(gop.gop) +
           ", \"first_frame\": " + std::to_string(gop.firstFrame) +
           ", \"last_frame\": " + std::to_string(gop.lastFrame) + "}";
  }
  out += "]";
  return out;
}

std::string FactsText(const indexer::StreamFacts& facts) {
  if (!facts.present) return "";
  std::string out;
  out += "scan:       " + facts.scan +
         (facts.scan == "progressive" ? "" : ", " + facts.fieldOrder + " field first") + "\n";
  out += std::string("pulldown:   ") + PulldownNote(facts.pulldown) + "\n";
  out += "coded fps:  " + std::to_string(facts.codedNumerator) + "/" +
         std::to_string(facts.codedDenominator) + "\n";
  out += "aspect:     SAR " + Ratio(facts.sarNumerator, facts.sarDenominator) + ", DAR " +
         Ratio(facts.darNumerator, facts.darDenominator) + "\n";
  if (facts.colour) {
    out += "colour:     primaries " + indexer::ColourPrimariesName(facts.colourPrimaries) +
           ", transfer " + indexer::TransferName(facts.transferCharacteristics) + ", matrix " +
           indexer::MatrixName(facts.matrixCoefficients) + "\n";
  }
  for (const indexer::SizeChange& change : facts.sizeChanges) {
    out += "size change: from frame " + std::to_string(change.frame) + " " +
           std::to_string(change.width) + "x" + std::to_string(change.height) +
           " (scaled to the clip's size)\n";
  }
  for (const indexer::AspectChange& change : facts.aspectChanges) {
    out += "aspect change: from frame " + std::to_string(change.frame) + " SAR " +
           Ratio(change.sarNumerator, change.sarDenominator) + ", DAR " +
           Ratio(change.darNumerator, change.darDenominator) + "\n";
  }
  for (const indexer::RateChange& change : facts.rateChanges) {
    out += "rate change: from frame " + std::to_string(change.frame) + " coded at " +
           std::to_string(change.fpsNumerator) + "/" + std::to_string(change.fpsDenominator) +
           " (mpgsource index --timestamps)\n";
  }
  if (!facts.matrixChanges.empty()) {
    out += "matrices:   other quantiser matrices from frame";
    for (size_t i = 0; i < facts.matrixChanges.size(); ++i) {
      out += (i ? ", " : " ") + std::to_string(facts.matrixChanges[i]);
    }
    out += "\n";
  }
  if (!facts.framesFfmpegDrops.empty()) {
    out += "ffmpeg:     its decode of the whole file leaves out frame";
    for (size_t i = 0; i < facts.framesFfmpegDrops.size(); ++i) {
      out += (i ? ", " : " ") + std::to_string(facts.framesFfmpegDrops[i]);
    }
    out += " (held back at a change of size or aspect ratio, or damaged to nothing)\n";
  }
  for (const indexer::DamagedGop& gop : facts.damagedGops) {
    out += "damaged:    GOP " + std::to_string(gop.gop) + ", frames " +
           std::to_string(gop.firstFrame) + "-" + std::to_string(gop.lastFrame) +
           " (transport packets lost or flagged; errors concealed)\n";
  }
  return out;
}

char Y4mInterlacing(const indexer::StreamFacts& facts, int deinterlace, bool topFieldFirst) {
  if (deinterlace > 0) return 'p';
  if (facts.present && facts.scan == "progressive") return 'p';
  return topFieldFirst ? 't' : 'b';
}

}  // namespace cli
