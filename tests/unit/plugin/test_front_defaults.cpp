// Settings of one use of MPGSource: built-in defaults, the defaults file in the current directory,
// the script's arguments.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <string>

#include "plugin/defaults_file.h"
#include "plugin/plugin_entry.h"
#include "tests/unit/plugin/front_test_dir.h"

namespace {

// The host's argument array for "[vnt]s[i420]b[deinterlace]i[use_top_field]b[yv12]b": void where
// left out.
struct ScriptArgs {
  AVSValue values[5];
  AVSValue Array() const { return AVSValue(values, 5); }
};

using DefaultsFileTest = FrontTestDir;

MPGSourceSettings Read(const ScriptArgs& args = ScriptArgs()) {
  return ReadSettings(args.Array(), kDefaultsFileName);
}

TEST_F(DefaultsFileTest, WithoutAFileTheBuiltInDefaultsApply) {
  ScriptArgs args;
  args.values[0] = "clip.vnt";
  const MPGSourceSettings s = Read(args);
  EXPECT_EQ(s.path, "clip.vnt");
  EXPECT_FALSE(s.i420);
  EXPECT_EQ(s.deinterlace, 0);
  EXPECT_TRUE(s.use_top_field);
  EXPECT_EQ(s.serverTimeoutSeconds, 30);
  EXPECT_EQ(Read().path, "");
}

TEST_F(DefaultsFileTest, ServerTimeoutTakesTheLeadingInteger) {
  for (const auto& c : {std::pair<const char*, int>{"60", 60}, {"0", 0}, {" 5s", 5}, {"-1", -1}}) {
    WriteDefaults(std::string("deinterlace=1\nserver_timeout=") + c.first + "\n");
    EXPECT_EQ(Read().serverTimeoutSeconds, c.second) << c.first;
    EXPECT_EQ(Read().deinterlace, 1);
  }
}

TEST_F(DefaultsFileTest, ProjectPathMustBeQuoted) {
  WriteDefaults("vnt=\"/media/clip one.vnt\"\n");
  EXPECT_EQ(Read().path, "/media/clip one.vnt");
  ScriptArgs args;
  args.values[0] = "script.vnt";
  EXPECT_EQ(Read(args).path, "script.vnt");
  args.values[0] = "";  // given by the script, even empty, it wins
  EXPECT_EQ(Read(args).path, "");

  WriteDefaults("vnt=/media/clip.vnt\n");
  EXPECT_EQ(Read().path, "");
  WriteDefaults("vnt=\"\"\n");
  EXPECT_EQ(Read().path, "");
  // The last line naming a path wins, even when it names none.
  WriteDefaults("vnt=\"a.vnt\"\nvnt=\"b.vnt\" trailing\n");
  EXPECT_EQ(Read().path, "b.vnt");
  WriteDefaults("vnt=\"a.vnt\"\nvnt=b.vnt\n");
  EXPECT_EQ(Read().path, "");
}

TEST_F(DefaultsFileTest, AnUnclosedQuoteTakesTheRestOfThePiece) {
  WriteDefaults("vnt=\"/media/open.vnt\ni420=true\n");
  MPGSourceSettings s = Read();
  EXPECT_EQ(s.path, "/media/open.vnt");
  EXPECT_TRUE(s.i420);
  WriteDefaults("vnt=\"/media/no-newline.vnt");
  EXPECT_EQ(Read().path, "/media/no-newline.vnt");
  // The quote is not looked for beyond the 79 characters of the piece.
  const std::string longPath(90, 'p');
  WriteDefaults("vnt=\"" + longPath + "\"\n");
  EXPECT_EQ(Read().path, std::string(74, 'p'));
}

TEST_F(DefaultsFileTest, FlagsAreTrueOnlyForALowerCaseT) {
  WriteDefaults("i420=true\nuse_top_field=true\n");
  EXPECT_TRUE(Read().i420);
  EXPECT_TRUE(Read().use_top_field);
  for (const char* value : {"TRUE", "True", "1", "yes", "false", ""}) {
    WriteDefaults(std::string("i420=") + value + "\nuse_top_field=" + value + "\n");
    const MPGSourceSettings s = Read();
    EXPECT_FALSE(s.i420) << value;
    EXPECT_FALSE(s.use_top_field) << value;
  }
  WriteDefaults("i420=t\n");
  EXPECT_TRUE(Read().i420);
}

TEST_F(DefaultsFileTest, KeysCountOnlyInTheFirstColumnAndExactly) {
  WriteDefaults(" i420=true\n\tdeinterlace=2\nI420=true\nuse_top_field =false\nVNT=\"x\"\n");
  const MPGSourceSettings s = Read();
  EXPECT_FALSE(s.i420);
  EXPECT_EQ(s.deinterlace, 0);
  EXPECT_TRUE(s.use_top_field);
  EXPECT_EQ(s.path, "");
}

TEST_F(DefaultsFileTest, DeinterlaceTakesTheLeadingInteger) {
  const struct {
    const char* value;
    int expected;
  } cases[] = {{"2", 2},
               {"  1", 1},
               {"-3x", -3},
               {"+4", 4},
               {"abc", 0},
               {"", 0},
               {"7 8", 7},
               {"99999999999", INT_MAX},
               {"-99999999999", INT_MIN},
               {"-2147483648", INT_MIN}};
  for (const auto& c : cases) {
    WriteDefaults(std::string("deinterlace=") + c.value + "\n");
    EXPECT_EQ(Read().deinterlace, c.expected) << c.value;
  }
}

TEST_F(DefaultsFileTest, ScriptArgumentsWinOverTheFile) {
  WriteDefaults("vnt=\"file.vnt\"\ni420=true\ndeinterlace=2\nuse_top_field=false\nyv12=true\n");
  MPGSourceSettings s = Read();
  EXPECT_EQ(s.path, "file.vnt");
  EXPECT_TRUE(s.i420);
  EXPECT_EQ(s.deinterlace, 2);
  EXPECT_FALSE(s.use_top_field);
  EXPECT_TRUE(s.yv12);

  ScriptArgs args;
  args.values[1] = false;
  args.values[2] = 0;
  args.values[3] = true;
  args.values[4] = false;
  s = Read(args);
  EXPECT_EQ(s.path, "file.vnt");
  EXPECT_FALSE(s.i420);
  EXPECT_EQ(s.deinterlace, 0);
  EXPECT_TRUE(s.use_top_field);
  EXPECT_FALSE(s.yv12);
}

TEST_F(DefaultsFileTest, ALongLineIsExaminedAsPiecesOf79Characters) {
  // The second piece of a 100-character line begins with its 80th character.
  std::string line(79, 'x');
  line += "i420=true";
  line += std::string(100 - line.size(), 'y');
  ASSERT_EQ(line.size(), 100u);
  WriteDefaults(line + "\n");
  EXPECT_TRUE(Read().i420);

  // One character earlier, the key straddles the pieces and is not seen.
  line = std::string(78, 'x') + "i420=true" + std::string(13, 'y');
  WriteDefaults(line + "\n");
  EXPECT_FALSE(Read().i420);

  // A key that starts the first piece is read from that piece alone.
  line = "deinterlace=" + std::string(67, ' ') + "12";  // the digits fall into the next piece
  WriteDefaults(line + "\n");
  EXPECT_EQ(Read().deinterlace, 0);
}

TEST_F(DefaultsFileTest, TheFileIsReadAfreshEachTime) {
  WriteDefaults("deinterlace=1\n");
  EXPECT_EQ(Read().deinterlace, 1);
  WriteDefaults("deinterlace=2\n");
  EXPECT_EQ(Read().deinterlace, 2);
  ASSERT_EQ(std::remove("VantuDecodeNV.def"), 0);
  EXPECT_EQ(Read().deinterlace, 0);
}

TEST_F(DefaultsFileTest, AnUnreadableFileChangesNothing) {
  MPGSourceSettings s;
  s.deinterlace = 5;
  EXPECT_FALSE(ReadDefaultsFile("no-such-file.def", &s));
  EXPECT_EQ(s.deinterlace, 5);
  ASSERT_EQ(mkdir("VantuDecodeNV.def", 0700), 0);  // a directory: opens, reads nothing
  EXPECT_EQ(Read().deinterlace, 0);
  rmdir("VantuDecodeNV.def");
}

}  // namespace
