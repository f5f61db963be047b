// Project files that cannot be served end in the plugin's own message, through the host, with a
// non-zero exit of the command-line host.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

// A project naming `video` as a Matroska source (STREAM 2) with one GOP.
std::string MatroskaProject(const std::string& video) {
  std::string project = TempDir() + "/hand.vnt";
  std::ofstream out(project);
  out << "VantuIndexFileNV1\nhand-written\n"
      << video << "\n\n\n"
      << "STREAM 2\nSIZ 720 x 576\nFPS 25 / 1\nFO 0\nCLIP 0 0 0 0\nLUMFILT 0 0\nSEQ 0\nFRM I\n";
  return project;
}

std::string InfoError(const std::string& project) {
  CommandResult r = e2e::Run({BuildDir() + "/mpgsource", "info", project, "--no-server"});
  EXPECT_NE(r.status, 0);
  return r.err;
}

TEST(LoadErrors, MatroskaWithoutMpeg2VideoAndNotMatroska) {
  Server server;
  EXPECT_NE(InfoError(MatroskaProject(MediaPath("mkv_no_mpeg2.mkv")))
                .find("MPGSource: Could not find a MPG track in the Matroska file."),
            std::string::npos);
  EXPECT_NE(InfoError(MatroskaProject(MediaPath("es576i_open.m2v")))
                .find("MPGSource: Could not parse the Matroska file."),
            std::string::npos);
}

TEST(LoadErrors, MissingVideoAndNoServer) {
  {
    Server server;
    std::string project = MatroskaProject(TempDir() + "/no-such-file.mkv");
    EXPECT_NE(InfoError(project).find("MPGSource: Could not open one of the input files."),
              std::string::npos);
  }
  // The server is gone: the clip cannot be made.
  std::string project = IndexVideo(MediaPath("es576i_open.m2v"));
  EXPECT_NE(InfoError(project).find("MPGSource: CUVID Server not running!"), std::string::npos);
}

TEST(LoadErrors, IndexerRefusesWhatItCannotServe) {
  std::string dir = TempDir();
  for (const char* file : {"mkv_no_mpeg2.mkv", "audio.wav"}) {
    CommandResult r =
        e2e::Run({BuildDir() + "/mpgsource", "index", MediaPath(file), "-o", dir + "/x.vnt"});
    EXPECT_NE(r.status, 0) << file;
    EXPECT_FALSE(r.err.empty()) << file;
  }
}

}  // namespace
}  // namespace e2e
