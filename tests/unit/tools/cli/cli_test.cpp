#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/cli/frame_hash.h"
#include "tools/cli/frame_list.h"
#include "tools/cli/options.h"
#include "tools/cli/y4m_writer.h"

namespace cli {
namespace {

TEST(FrameList, NumbersAndRangesInTheOrderGiven) {
  std::vector<int> frames;
  std::string error;
  ASSERT_TRUE(ParseFrameList("5,0-2,9-7,3", 10, &frames, &error)) << error;
  EXPECT_EQ(frames, (std::vector<int>{5, 0, 1, 2, 9, 8, 7, 3}));
}

TEST(FrameList, RejectsBadItemsAndFramesBeyondTheClip) {
  std::vector<int> frames;
  std::string error;
  for (const char* bad : {"", "1,,2", "a", "1-", "-3", "2-x", "10", "0-10", "99999999999"}) {
    EXPECT_FALSE(ParseFrameList(bad, 10, &frames, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(Options, ClipOptionsAndDefaults) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"hash", "x.vnt", "--frames", "1-3", "--deinterlace", "2", "--i420",
                            "--bottom-field", "--no-server"},
                           &o, &error))
      << error;
  EXPECT_EQ(o.command, "hash");
  EXPECT_EQ(o.input, "x.vnt");
  EXPECT_EQ(o.frames, "1-3");
  EXPECT_EQ(o.clip.deinterlace, 2);
  EXPECT_TRUE(o.clip.i420);
  EXPECT_TRUE(o.clip.bottomField);
  EXPECT_TRUE(o.noServer);

  ASSERT_TRUE(ParseOptions({"info", "x.vnt"}, &o, &error));
  EXPECT_EQ(o.clip.deinterlace, -1) << "an option not given leaves the defaults file in charge";
  EXPECT_FALSE(o.clip.i420);
}

TEST(Options, IndexOptions) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"index", "v.ts", "-o", "p.vnt", "--pid", "0x1e1", "--crop", "8,16,4,2",
                            "--lumfilt", "-10,5"},
                           &o, &error))
      << error;
  EXPECT_EQ(o.index.pid, 0x1E1);
  EXPECT_EQ(o.index.project, "p.vnt");
  EXPECT_EQ(o.index.video, "v.ts");
  EXPECT_EQ(std::vector<int>(o.index.crop, o.index.crop + 4), (std::vector<int>{8, 16, 4, 2}));
  EXPECT_EQ(o.index.lumfilt[0], -10);
  EXPECT_EQ(o.index.lumfilt[1], 5);
  EXPECT_FALSE(o.index.force);
  ASSERT_TRUE(
      ParseOptions({"index", "v.ts", "--quiet", "--force", "--clip", "1,2,3,4"}, &o, &error))
      << error;
  EXPECT_TRUE(o.index.quiet);
  EXPECT_TRUE(o.index.force);
  EXPECT_EQ(o.index.crop[3], 4) << "--clip, the indexer program's older name of --crop";
  ASSERT_TRUE(ParseOptions({"pipe", "p.vnt", "-o", "-", "--force"}, &o, &error)) << error;
  EXPECT_TRUE(o.force);
  EXPECT_EQ(o.output, "-");
}

// An empty file name names no file: it is an error, not the default name or standard output.
TEST(Options, EmptyFileNamesAreErrors) {
  Options o;
  std::string error;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"index", "v.ts", "-o", ""},
        std::vector<std::string>{"index", "v.ts", "--timestamps", ""},
        std::vector<std::string>{"pipe", "p.vnt", "-o", ""}}) {
    EXPECT_FALSE(ParseOptions(args, &o, &error)) << args[2];
    EXPECT_EQ(error, args[2] + " needs a file name, not an empty one");
  }
  EXPECT_FALSE(ParseOptions({"hash", "p.vnt", "--force"}, &o, &error)) << "hash writes no file";
}

// Every program's conventions: --version anywhere, the server's own flags through `server`.
TEST(Options, VersionAndServerFlags) {
  Options o;
  std::string error;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"}, std::vector<std::string>{"hash", "--version"},
        std::vector<std::string>{"index", "v", "--version"}}) {
    ASSERT_TRUE(ParseOptions(args, &o, &error)) << error;
    EXPECT_TRUE(o.version);
  }
  ASSERT_TRUE(ParseOptions({"server", "--verbose", "--queue", "3", "--clients", "16"}, &o, &error))
      << error;
  EXPECT_EQ(o.serverArgs,
            (std::vector<std::string>{"--verbose", "--queue", "3", "--clients", "16"}));
  EXPECT_FALSE(ParseOptions({"server", "--clients", "17"}, &o, &error));
  EXPECT_FALSE(ParseOptions({"server", "--queue", "0"}, &o, &error));
  EXPECT_FALSE(ParseOptions({"server", "--pid", "1"}, &o, &error)) << "index flags are index's";
}

TEST(Options, ClearErrors) {
  Options o;
  std::string error;
  EXPECT_FALSE(ParseOptions({}, &o, &error));
  EXPECT_FALSE(ParseOptions({"frobnicate"}, &o, &error));
  EXPECT_NE(error.find("frobnicate"), std::string::npos);
  EXPECT_FALSE(ParseOptions({"hash"}, &o, &error));
  EXPECT_NE(error.find("PROJECT"), std::string::npos);
  EXPECT_FALSE(ParseOptions({"hash", "x", "--deinterlace", "3"}, &o, &error));
  EXPECT_FALSE(ParseOptions({"hash", "x", "--deinterlace"}, &o, &error));
  EXPECT_FALSE(ParseOptions({"index", "v", "--crop", "1,2,3"}, &o, &error));
  EXPECT_FALSE(ParseOptions({"index", "v", "--pid", "9000"}, &o, &error));
  for (const char* track : {"32", "-1", "0x1", "one", ""}) {
    EXPECT_FALSE(ParseOptions({"index", "v", "--track", track}, &o, &error)) << track;
    EXPECT_NE(error.find("--track"), std::string::npos) << track;
  }
  EXPECT_FALSE(ParseOptions({"hash", "x", "--track", "1"}, &o, &error)) << "only index takes one";
  ASSERT_TRUE(ParseOptions({"index", "v", "--track", "31"}, &o, &error)) << error;
  EXPECT_EQ(o.index.track, 31);
  EXPECT_FALSE(ParseOptions({"info", "x", "--frames", "1"}, &o, &error)) << "info takes no list";
}

TEST(Options, NumbersAreDecimalAndPidsMayBeHex) {
  Options o;
  std::string error;
  // A leading 0 is no octal prefix.
  ASSERT_TRUE(ParseOptions({"index", "v", "--pid", "0741", "--crop", "010,0,08,0"}, &o, &error))
      << error;
  EXPECT_EQ(o.index.pid, 741);
  EXPECT_EQ(std::vector<int>(o.index.crop, o.index.crop + 4), (std::vector<int>{10, 0, 8, 0}));
  for (const char* pid : {"0x1E1", "0X1e1", "481"}) {
    ASSERT_TRUE(ParseOptions({"index", "v", "--pid", pid}, &o, &error)) << pid;
    EXPECT_EQ(o.index.pid, 481) << pid;
  }
  for (const char* pid : {"0x", "0x-1", "-0x1", "1e1", " 5", "5 ", "+5", "0b101", "", "0x2000"}) {
    EXPECT_FALSE(ParseOptions({"index", "v", "--pid", pid}, &o, &error)) << pid;
    EXPECT_NE(error.find("--pid"), std::string::npos);
  }
  // Hexadecimal only where a PID is read.
  for (const char* mode : {"0x2", "02x", " 1", "1.0", "+1", "-0"}) {
    const bool taken = ParseOptions({"hash", "x", "--deinterlace", mode}, &o, &error);
    if (std::string(mode) == "-0") {
      EXPECT_TRUE(taken && o.clip.deinterlace == 0);
    } else {
      EXPECT_FALSE(taken) << mode;
    }
  }
  EXPECT_FALSE(ParseOptions({"index", "v", "--crop", "0x8,0,0,0"}, &o, &error));
  EXPECT_FALSE(ParseOptions({"index", "v", "--lumfilt", "0x10,5"}, &o, &error));
  EXPECT_NE(HelpText("index").find("0x"), std::string::npos);
  EXPECT_NE(HelpText("").find("decimal"), std::string::npos);
}

TEST(Options, HelpForEveryCommand) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"pipe", "--help"}, &o, &error));
  EXPECT_TRUE(o.help);
  for (const char* cmd : {"", "index", "server", "info", "pipe", "hash"}) {
    EXPECT_NE(HelpText(cmd).find("usage: mpgsource"), std::string::npos) << cmd;
  }
}

TEST(Y4m, HeaderAndPackedPlanes) {
  Y4mFormat f;
  f.width = 4;
  f.height = 2;
  f.fpsNumerator = 30000;
  f.fpsDenominator = 1001;
  f.interlacing = 'b';
  EXPECT_EQ(Y4mHeader(f), "YUV4MPEG2 W4 H2 F30000:1001 Ib A0:0 C420mpeg2\n");
  f.sarNumerator = 64;
  f.sarDenominator = 45;
  EXPECT_EQ(Y4mHeader(f), "YUV4MPEG2 W4 H2 F30000:1001 Ib A64:45 C420mpeg2\n");
  f.sarDenominator = 0;  // unknown
  EXPECT_EQ(Y4mHeader(f), "YUV4MPEG2 W4 H2 F30000:1001 Ib A0:0 C420mpeg2\n");

  // Planes with padding beyond the visible width: only the visible bytes are written.
  const unsigned char y[] = {1, 2, 3, 4, 99, 99, 5, 6, 7, 8, 99, 99};
  const unsigned char u[] = {9, 10, 99};
  const unsigned char v[] = {11, 12, 99};
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_TRUE(WriteY4mFrame(out, y, 6, u, v, 3, 4, 2));
  std::rewind(out);
  char buffer[64] = {};
  size_t n = std::fread(buffer, 1, sizeof buffer, out);
  std::fclose(out);
  EXPECT_EQ(std::string(buffer, n),
            std::string("FRAME\n\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c", 18));
}

TEST(FrameHash, Md5OverVisiblePlanesOnly) {
  // MD5 of the 6 bytes "abcdef" (Y "abcd", U "e", V "f"), whatever the padding.
  const unsigned char y[] = {'a', 'b', '#', 'c', 'd', '#'};
  const unsigned char u[] = {'e', '#'};
  const unsigned char v[] = {'f', '#'};
  EXPECT_EQ(PlanesMd5(y, 3, u, v, 2, 2, 2), "e80b5017098950fc58aad83c8c14978e");
}

}  // namespace
}  // namespace cli
