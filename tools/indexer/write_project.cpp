// WriteProject: index the video, then write the project file (and the timestamps) by the output
// rule of platform/output_file.h.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/output_file.h"
#include "reader/avc_decoder.h"
#include "reader/video_fingerprint.h"
#include "tools/indexer/byte_source.h"
#include "tools/indexer/frame_timing.h"
#include "tools/indexer/indexer.h"
#include "tools/indexer/program_stream.h"
#include "tools/indexer/project_format.h"
#include "tools/indexer/video_path.h"

namespace indexer {
namespace {

// The length and fingerprint of the `size` bytes of the video that were indexed.
bool IdentifyVideo(const std::string& videoPath, uint64_t size, VideoIdentity* video,
                   std::string* error) {
  FileSource source;
  if (!source.Open(videoPath, error)) return false;
  video->size = size;
  const bool read = fingerprint::Compute(
      size,
      [&source](uint64_t offset, unsigned char* buffer, size_t length) {
        return source.ReadAt(offset, buffer, length) == static_cast<int64_t>(length);
      },
      &video->fingerprint);
  if (!read) *error = "read error in \"" + videoPath + "\" (did it shrink while being indexed?)";
  return read;
}

// The rule for the files that indexing writes: none of them may replace the video.
platform::OutputRule RuleFor(const IndexOptions& options, const char* what) {
  platform::OutputRule rule;
  rule.what = what;
  rule.inputs = {{options.videoPath, "the video being indexed"}};
  // The further files of a program stream too, named or found beside a DVD title's first VOB.
  const std::vector<std::string> files =
      options.nextVideoPaths.empty() ? VobSetFiles(options.videoPath) : options.nextVideoPaths;
  for (const std::string& file : files) {
    if (file != options.videoPath) rule.inputs.push_back({file, "a video file being indexed"});
  }
  rule.force = options.force;
  return rule;
}

}  // namespace

int WriteProject(const IndexOptions& options, std::string* error) {
  if (options.projectPath.empty()) {
    *error = "no project file named";
    return kIndexBadOptions;
  }
  // A correction the plugin's loader would refuse is never written.
  if (options.lumGamma < -kLumGammaLimit || options.lumGamma > kLumGammaLimit ||
      options.lumOffset < -kLumOffsetLimit || options.lumOffset > kLumOffsetLimit) {
    *error = "the luminance correction " + std::to_string(options.lumGamma) + "," +
             std::to_string(options.lumOffset) + " is out of range (gamma -" +
             std::to_string(kLumGammaLimit) + " to " + std::to_string(kLumGammaLimit) +
             ", offset -" + std::to_string(kLumOffsetLimit) + " to " +
             std::to_string(kLumOffsetLimit) + ")";
    return kIndexBadOptions;
  }
  const platform::OutputRule projectRule = RuleFor(options, "the project");
  platform::OutputRule timestampsRule = RuleFor(options, "the timestamps");
  timestampsRule.inputs.push_back({options.projectPath, "the project being written"});
  const bool timestamps = !options.timestampsPath.empty();
  if (timestamps && options.timestampsPath == options.projectPath) {
    *error = "the project and the timestamps cannot both go to \"" + options.projectPath + "\"";
    return kIndexBadOptions;
  }
  // Checked before the video is read, so that a run that cannot write ends at once.
  if (!platform::OutputFile::Check(options.projectPath, projectRule, error) ||
      (timestamps && !platform::OutputFile::Check(options.timestampsPath, timestampsRule, error))) {
    return kIndexCannotWrite;
  }
  VideoIndex index;
  StreamLayout layout;
  int result = IndexVideo(options, &index, &layout, error);
  if (result != kIndexOk) return result;
  std::string videoLine;
  if (!ProjectVideoPath(options.videoPath, options.projectPath, &videoLine, error)) {
    return kIndexCannotWrite;
  }
  VideoIdentity video;
  if (!IdentifyVideo(options.videoPath, layout.fileSize, &video, error)) return kIndexCannotRead;
  std::vector<VideoIdentity> nextFiles;
  for (size_t i = 1; i < layout.files.size(); ++i) {
    nextFiles.emplace_back();
    if (!ProjectVideoPath(layout.files[i], options.projectPath, &nextFiles.back().line, error)) {
      return kIndexCannotWrite;
    }
    if (!IdentifyVideo(layout.files[i], layout.fileSizes[i], &nextFiles.back(), error)) {
      return kIndexCannotRead;
    }
  }
  // Both files are written in full before either is renamed into place, so that a run that
  // fails leaves neither a new project nor new timestamps.
  platform::OutputFile project, times;
  const std::string projectText =
      FormatProject(index, layout, options, videoLine, video, nextFiles);
  auto write = [error](platform::OutputFile* out, const std::string& path,
                       const platform::OutputRule& rule, const std::string& text) {
    if (!out->Open(path, rule, error)) return false;
    std::fwrite(text.data(), 1, text.size(), out->stream());
    return out->Finish(error);
  };
  if (!write(&project, options.projectPath, projectRule, projectText) ||
      (timestamps &&
       !write(&times, options.timestampsPath, timestampsRule, FormatTimestampsV2(index)))) {
    return kIndexCannotWrite;
  }
  if (timestamps && !times.Commit(error)) return kIndexCannotWrite;
  if (!project.Commit(error)) return kIndexCannotWrite;
  return kIndexOk;
}

}  // namespace indexer
