// Every fuzz target over its checked-in corpus and over the seeds cut from the test media: what
// the fuzzers once found, and the real files they start from, keep passing in every build.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"

namespace {

using Target = int (*)(const uint8_t*, size_t);

std::string Env(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> files;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return files;
  while (dirent* e = readdir(d)) {
    std::string path = dir + "/" + e->d_name;
    struct stat st;
    if (e->d_name[0] != '.' && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      files.push_back(path);
    }
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the target over every file of its corpus folders; returns how many files ran.
size_t Replay(const std::string& name, Target target) {
  const std::string checkedIn = std::string(MPG_FUZZ_CORPUS_DIR) + "/" + name;
  const std::string fromMedia = Env("MPG_BUILD_DIR", ".") + "/fuzz-seeds/" + name;
  std::vector<std::string> files = FilesIn(checkedIn);
  EXPECT_FALSE(files.empty()) << "no checked-in corpus in " << checkedIn;
  for (const std::string& f : FilesIn(fromMedia)) files.push_back(f);
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const std::string bytes = ReadAll(file);
    EXPECT_EQ(target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
  }
  return files.size();
}

TEST(FuzzReplay, ProjectLoader) {
  Replay("project_loader", fuzz::ProjectLoader);
}

TEST(FuzzReplay, DefaultsFile) {
  Replay("defaults_file", fuzz::DefaultsFile);
}

TEST(FuzzReplay, ElementaryStreamUnits) {
  Replay("es_units", fuzz::EsUnits);
}

TEST(FuzzReplay, ElementaryStreamAcrossARefill) {
  Replay("es_refill", fuzz::EsRefill);
}

TEST(FuzzReplay, TransportStreamUnits) {
  Replay("ts_units", fuzz::TsUnits);
}

TEST(FuzzReplay, ProgramStreamUnits) {
  Replay("ps_units", fuzz::PsUnits);
}

TEST(FuzzReplay, TransportStreamMultiplex) {
  Replay("ts_mux", fuzz::TsMux);
}

TEST(FuzzReplay, TransportStreamMultiplexAcrossARefill) {
  Replay("ts_refill", fuzz::TsRefill);
}

TEST(FuzzReplay, Matroska) {
  Replay("matroska", fuzz::Matroska);
}

#if MPG_FUZZ_HAVE_SERVER
TEST(FuzzReplay, ServerRequests) {
  Replay("server_requests", fuzz::ServerRequests);
}
#endif

// The seeds from the media must be there: without them the replay covers only crafted inputs.
TEST(FuzzReplay, MediaSeedsWereMade) {
  const std::string seeds = Env("MPG_BUILD_DIR", ".") + "/fuzz-seeds";
  for (const char* name : {"es_units", "ts_units", "ps_units", "matroska"}) {
    EXPECT_FALSE(FilesIn(seeds + "/" + name).empty()) << name;
  }
}

}  // namespace
