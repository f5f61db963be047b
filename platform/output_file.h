// The one rule by which our programs write a file (a project, a YUV4MPEG2 stream, timestamps):
// - the name "-" is standard output where the caller allows it; an empty name is an error;
// - never onto a file this run reads, decided by identity (device and inode on POSIX, volume and
//   file index on Windows), so that another spelling, a symbolic link or a hard link to it is
//   refused too;
// - never onto a symbolic link, folder, FIFO, device or socket, only a new name or a regular file;
// - a read-only regular file is replaced only when forced;
// - the bytes go to a temporary file in the target's folder, renamed onto the target only when
//   complete, so that a run that fails or is killed leaves no half-made output. On Linux the
//   temporary file has no name until it is complete (O_TMPFILE), so even SIGKILL leaves nothing;
//   elsewhere it is named after the target with ".tmp<pid>-<n>" appended.
//
//   platform::OutputRule rule;
//   rule.what = "the project";
//   rule.inputs = {{videoPath, "the video being indexed"}};
//   platform::OutputFile out;
//   if (!out.Open(path, rule, &error)) ... error says why ...
//   fputs(text, out.stream());
//   if (!out.Finish(&error) || !out.Commit(&error)) ... (the target is unchanged) ...
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A file this run reads, which no output may replace. `what` names it in messages ("the video
// being indexed").
struct ReadFile {
  std::string path;
  std::string what;
};

struct OutputRule {
  std::string what = "the output";  // the output's name in messages ("the project")
  std::vector<ReadFile> inputs;
  bool force = false;           // a read-only regular file is replaced too
  bool standardOutput = false;  // the name "-" means standard output
};

class OutputFile {
 public:
  OutputFile();
  ~OutputFile();  // an output not committed is discarded
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Checks `path` against the rule without creating anything: false with a message that names
  // the path and says why ("will not write the project "p.vnt": it is a FIFO").
  static bool Check(const std::string& path, const OutputRule& rule, std::string* error);

  // Checks `path` and opens the temporary file beside it (or takes standard output).
  bool Open(const std::string& path, const OutputRule& rule, std::string* error);

  // Where the bytes go; null before Open.
  FILE* stream() const { return stream_; }
  bool toStandardOutput() const { return standardOutput_; }

  // Flushes the bytes written; false with the system's reason when writing failed.
  bool Finish(std::string* error);

  // Checks the target again (it may have changed meanwhile) and renames the finished file onto
  // it. For standard output there is nothing to rename. False with a message when it cannot.
  bool Commit(std::string* error);

  // Removes the temporary file; the target stays as it was.
  void Discard();

 private:
  // Opens the system's temporary file for path_ (the rule checked already).
  bool OpenTemporary(std::string* error);

  struct Temporary;  // the system's temporary file
  std::string path_;
  OutputRule rule_;
  std::unique_ptr<Temporary> temporary_;
  FILE* stream_ = nullptr;
  bool standardOutput_ = false;
};

}  // namespace platform
