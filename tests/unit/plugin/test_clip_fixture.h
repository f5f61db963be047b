// A clip made from crafted media against a scripted server process, inside the minimal host.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "avs/avisynth.h"
#include "avs/host/script_environment.h"
#include "plugin/mpgsource.h"
#include "reader/avc_decoder.h"
#include "server-link/link.h"
#include "server-link/section_layout.h"
#include "tests/unit/server-link/scripted_server.h"

class ClipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace_ = scripted::UseFreshNamespace();
    ASSERT_FALSE(dir_.path().empty());
  }

  void TearDown() override {
    clip_ = nullptr;
    server_.Stop(SIGTERM);
    scripted::RemoveNamespaceObjects(namespace_);
  }

  // Writes the media and starts the server with `options`.
  void StartServer(const std::string& options = "") {
    media_ = scripted::WriteMedia(dir_.path(), spec_);
    ASSERT_TRUE(server_.Start(options, dir_.File("server" + std::to_string(starts_++) + ".log")));
  }

  // Makes the clip; returns the host's error message, or "" when the clip was made.
  std::string TryMake(const std::string& project, int deinterlace, bool i420 = false,
                      bool useTopField = true) {
    try {
      clip_ = new MPGSource(project.c_str(), i420, deinterlace, useTopField, &env_);
    } catch (const AvisynthError& e) {
      return e.what();
    }
    return "";
  }

  // Starts the server and makes the clip over the media.
  void Make(int deinterlace, const std::string& options = "", bool i420 = false) {
    StartServer(options);
    ASSERT_EQ(TryMake(media_.project, deinterlace, i420), "");
  }

  MPGSource& Source() { return *static_cast<MPGSource*>(clip_.get()); }

  // Asks for frame n; returns what the server logged meanwhile.
  std::vector<std::string> Fetch(int n, PVideoFrame* frame = nullptr) {
    const size_t mark = server_.Log().size();
    PVideoFrame f = clip_->GetFrame(n, &env_);
    if (frame) *frame = f;
    return server_.LogSince(mark);
  }

  // Whether the frame holds the server's picture for frame f, field s, with `table` applied to
  // luma.
  ::testing::AssertionResult Holds(const PVideoFrame& frame, int f, int s,
                                   const unsigned char* table = nullptr) {
    const int width = frame->GetRowSize(), height = frame->GetHeight();
    for (int y = 0; y < height; ++y) {
      const BYTE* row = frame->GetReadPtr() + y * frame->GetPitch();
      for (int x = 0; x < width; ++x) {
        unsigned char want = scripted::LumaAt(f, s, x, y);
        if (table) want = table[want];
        if (row[x] != want) {
          return ::testing::AssertionFailure()
                 << "luma (" << x << "," << y << ") is " << int(row[x]) << ", picture " << f << "/"
                 << s << " has " << int(want);
        }
      }
    }
    for (int y = 0; y < frame->GetHeight(PLANAR_U); ++y) {
      const BYTE* u = frame->GetReadPtr(PLANAR_U) + y * frame->GetPitch(PLANAR_U);
      const BYTE* v = frame->GetReadPtr(PLANAR_V) + y * frame->GetPitch(PLANAR_V);
      for (int i = 0; i < frame->GetRowSize(PLANAR_U); ++i) {
        if (u[i] != scripted::UAt(f, s, i, y) || v[i] != scripted::VAt(f, s, i, y)) {
          return ::testing::AssertionFailure()
                 << "chroma (" << i << "," << y << ") is " << int(u[i]) << "/" << int(v[i])
                 << ", picture " << f << "/" << s << " has " << int(scripted::UAt(f, s, i, y))
                 << "/" << int(scripted::VAt(f, s, i, y));
        }
      }
    }
    return ::testing::AssertionSuccess();
  }

  static int OpenDescriptors() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
      while (readdir(dir)) ++n;
      closedir(dir);
    }
    return n;
  }

  std::string namespace_;
  int starts_ = 0;
  scripted::TempDir dir_;
  scripted::ServerProcess server_;
  scripted::MediaSpec spec_;
  scripted::Media media_;
  avs_host::ScriptEnvironment env_;  // outlives the clip
  PClip clip_;
};
