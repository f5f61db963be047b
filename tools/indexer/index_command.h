// The indexing command as both front ends take it (`mpgsource index` and `mpgsource-index`): one
// set of flags with one help text, and one run that lists or indexes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace indexer {

struct IndexArgs {
  std::string video;
  std::string project;     // empty: the video's name with the extension .vnt
  std::string timestamps;  // --timestamps FILE
  bool list = false;       // --list: list the streams, write nothing
  bool force = false;      // a read-only project or timestamps file is replaced too
  bool quiet = false;      // no progress display and no closing line (warnings still show)
  int pid = -1;
  std::vector<std::string> next;  // --next FILE: further files of a program stream
  int track = -1;
  int crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
  int lumfilt[2] = {0, 0};     // gamma, offset
};

// Takes args[*i] (with its value, advancing *i) when it is an indexing flag and returns true.
// Returns false when it is none (`error` left empty) or when it is malformed (`error` says why).
bool TakeIndexFlag(const std::vector<std::string>& args, size_t* i, IndexArgs* out,
                   std::string* error);

// The flags' help lines.
extern const char* const kIndexFlagsHelp;

// Lists the streams or writes the project (and timestamps); messages and warnings go to stderr
// as "<program>: ...". Returns the exit status.
int RunIndexCommand(const IndexArgs& args, const char* program);

// The video's path with its extension replaced by ".vnt" (a dot in a folder's name is no
// extension; the folder separators are the platform's: '\\' and '/' on Windows).
std::string DefaultProjectPath(const std::string& video);

}  // namespace indexer
