// The VapourSynth plugin in the real VapourSynth core, driven through its C API: frames compared
// with ffmpeg's decode in every order, from several threads and with two clips in one core; frame
// properties compared with ffprobe's facts of each frame.
#include <VapourSynth4.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <numeric>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tools/cli/frame_hash.h"

namespace e2e {
namespace {

// A core with our plugin loaded.
class Core {
 public:
  Core() : api_(getVapourSynthAPI(VAPOURSYNTH_API_VERSION)) {
    core_ = api_->createCore(0);
    VSMap* args = api_->createMap();
    const std::string path = BuildDir() + "/libmpgsource_vs.so";
    api_->mapSetData(args, "path", path.c_str(), -1, dtUtf8, maReplace);
    VSMap* result =
        api_->invoke(api_->getPluginByID("com.vapoursynth.std", core_), "LoadPlugin", args);
    if (const char* error = api_->mapGetError(result)) ADD_FAILURE() << error;
    api_->freeMap(result);
    api_->freeMap(args);
  }
  ~Core() {
    for (VSNode* node : nodes_) api_->freeNode(node);
    api_->freeCore(core_);
  }
  const VSAPI* api() const { return api_; }

  // mpgsource.Source(project, ...): the clip, or null with the script's error in `*error`.
  VSNode* Source(const std::string& project, const std::map<std::string, int>& options = {},
                 std::string* error = nullptr) {
    VSMap* args = api_->createMap();
    api_->mapSetData(args, "project", project.c_str(), -1, dtUtf8, maReplace);
    for (const auto& [key, value] : options) api_->mapSetInt(args, key.c_str(), value, maReplace);
    VSMap* result = api_->invoke(api_->getPluginByNamespace("mpgsource", core_), "Source", args);
    VSNode* node = nullptr;
    if (const char* text = api_->mapGetError(result)) {
      if (error) *error = text;
    } else {
      node = api_->mapGetNode(result, "clip", 0, nullptr);
      nodes_.push_back(node);
    }
    api_->freeMap(result);
    api_->freeMap(args);
    return node;
  }

  // Frame n's MD5 over its planes (as ffmpeg's framemd5), or the error.
  std::string Md5(VSNode* node, int n) const {
    char error[512] = "";
    const VSFrame* frame = api_->getFrame(n, node, error, sizeof error);
    if (!frame) return std::string("error: ") + error;
    std::string bytes;
    const VSVideoFormat* format = api_->getVideoFrameFormat(frame);
    for (int p = 0; p < format->numPlanes; ++p) {
      const uint8_t* row = api_->getReadPtr(frame, p);
      for (int y = 0; y < api_->getFrameHeight(frame, p); ++y) {
        bytes.append(reinterpret_cast<const char*>(row), api_->getFrameWidth(frame, p));
        row += api_->getStride(frame, p);
      }
    }
    api_->freeFrame(frame);
    const int size = static_cast<int>(bytes.size());
    return cli::PackedMd5(reinterpret_cast<const unsigned char*>(bytes.data()), size, size, 1);
  }

  // Frame n's properties as text ("_FieldBased" -> "2", "_PictType" -> "I", ...).
  std::map<std::string, std::string> Props(VSNode* node, int n) const {
    std::map<std::string, std::string> props;
    const VSFrame* frame = api_->getFrame(n, node, nullptr, 0);
    if (!frame) return props;
    const VSMap* map = api_->getFramePropertiesRO(frame);
    for (int i = 0; i < api_->mapNumKeys(map); ++i) {
      const char* key = api_->mapGetKey(map, i);
      switch (api_->mapGetType(map, key)) {
        case ptInt:
          props[key] = std::to_string(api_->mapGetInt(map, key, 0, nullptr));
          break;
        case ptFloat: {
          char text[64];
          std::snprintf(text, sizeof text, "%.9f", api_->mapGetFloat(map, key, 0, nullptr));
          props[key] = text;
          break;
        }
        case ptData:
          props[key] = api_->mapGetData(map, key, 0, nullptr);
          break;
        default:
          break;
      }
    }
    api_->freeFrame(frame);
    return props;
  }

 private:
  const VSAPI* api_;
  VSCore* core_ = nullptr;
  std::vector<VSNode*> nodes_;
};

// One file: its project, ffmpeg's frames and how ours map onto them.
struct Source {
  std::string video, project;
  std::vector<std::string> reference;
  int frames = 0;
  int shift = 0;  // our frame n is ffmpeg's n - shift (leading pictures ffmpeg drops)
  const std::string& Expected(int n) const { return reference[std::max(n, shift) - shift]; }
};

Source Prepare(const std::string& file, const std::string& pixFmt = "yuv420p",
               const std::vector<std::string>& index = {}, const std::string& vf = "") {
  Source s;
  s.video = MediaPath(file);
  s.project = TempDir() + "/" + file + ".vnt";
  EXPECT_EQ(std::rename(IndexVideo(s.video, index).c_str(), s.project.c_str()), 0);
  s.reference = FfmpegMd5(s.video, vf, pixFmt);
  s.frames = std::stoi(Info(s.project)["frames"]);
  s.shift = s.frames - static_cast<int>(s.reference.size());
  return s;
}

struct FramesCase {
  const char* name;
  const char* file;
  const char* pixFmt;
  std::vector<std::string> index = {};  // options of the indexer: the project's crop and luma
  std::string vf = "";                  // ffmpeg's filters for the same
};

// The project's crop (left 8, right 16, top 4, bottom 2) and luma offset +10, as ffmpeg does them.
const std::vector<std::string> kCropLuma = {"--crop", "8,16,4,2", "--lumfilt", "0,10"};
const char* const kCropLumaVf = "crop=696:570:8:4,lutyuv=y=clip(val+10\\,0\\,255):u=val:v=val";

void PrintTo(const FramesCase& c, std::ostream* os) {
  *os << c.file;
}

class VsFrames : public ::testing::TestWithParam<FramesCase> {};

// Law: every frame served through the core is ffmpeg's, in every order and from several threads
// at once.
TEST_P(VsFrames, EveryOrderAndThreadsGiveFfmpegsFrames) {
  Server server;
  const FramesCase& c = GetParam();
  const Source s = Prepare(c.file, c.pixFmt, c.index, c.vf);
  Core core;
  std::string error;
  VSNode* clip = core.Source(s.project, {}, &error);
  ASSERT_TRUE(clip) << error;
  const VSVideoInfo* vi = core.api()->getVideoInfo(clip);
  EXPECT_EQ(vi->numFrames, s.frames);
  for (const auto& [name, order] : RequestOrders(s.frames)) {
    int wrong = 0;
    for (int n : order) {
      if (core.Md5(clip, n) != s.Expected(n) && ++wrong <= 3) {
        ADD_FAILURE() << name << ": frame " << n << " differs from ffmpeg's";
      }
    }
  }
  // Four threads take frames of one shuffled list in turn.
  const std::vector<int> shuffled = RequestOrders(s.frames)["shuffled"];
  std::atomic<size_t> next{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (size_t i; (i = next++) < shuffled.size();) {
        if (core.Md5(clip, shuffled[i]) != s.Expected(shuffled[i])) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0) << "frames from several threads differ from ffmpeg's";
}

INSTANTIATE_TEST_SUITE_P(Files, VsFrames,
                         ::testing::Values(FramesCase{"es576i_open", "es576i_open.m2v", "yuv420p"},
                                           FramesCase{"ts576i", "ts576i.ts", "yuv420p"},
                                           FramesCase{"mkv576i", "mkv576i.mkv", "yuv420p"},
                                           FramesCase{"es422i", "es422i.m2v", "yuv422p"},
                                           FramesCase{"es576i_crop_luma", "es576i_open.m2v",
                                                      "yuv420p", kCropLuma, kCropLumaVf},
                                           FramesCase{"es422i_crop_luma", "es422i.m2v", "yuv422p",
                                                      kCropLuma, kCropLumaVf}),
                         [](const ::testing::TestParamInfo<FramesCase>& info) {
                           return info.param.name;
                         });

// Law: two clips in one core each serve their own file's frames, asked in turn.
TEST(VsSeveralClips, TwoClipsInOneCoreServeTheirOwnFrames) {
  Server server({"--clients", "2"});
  const Source a = Prepare("es480i_bff.m2v");
  const Source b = Prepare("ts576i.ts");
  Core core;
  std::string error;
  VSNode* clipA = core.Source(a.project, {}, &error);
  ASSERT_TRUE(clipA) << error;
  VSNode* clipB = core.Source(b.project, {}, &error);
  ASSERT_TRUE(clipB) << error;
  int wrong = 0;
  const std::vector<int> shuffled = RequestOrders(std::min(a.frames, b.frames))["shuffled"];
  for (int n : shuffled) {
    if (core.Md5(clipA, n) != a.Expected(n)) ++wrong;
    if (core.Md5(clipB, n) != b.Expected(n)) ++wrong;
  }
  for (int n = 0; n < std::min(a.frames, b.frames); ++n) {
    if (core.Md5(clipA, n) != a.Expected(n)) ++wrong;
    if (core.Md5(clipB, n) != b.Expected(n)) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
}

// ffprobe's facts of each frame of a file, and of its stream.
struct ProbeFrame {
  std::map<std::string, std::string> keys;
};

std::vector<ProbeFrame> ProbeFrames(const std::string& video, std::string* timeBase) {
  const CommandResult stream =
      Run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=time_base",
           "-of", "default=nw=1:nk=1", video});
  *timeBase = stream.out.substr(0, stream.out.find('\n'));
  const CommandResult r =
      Run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
           "frame=pict_type,interlaced_frame,top_field_first,pkt_duration,sample_aspect_ratio,"
           "color_primaries,color_transfer,color_space,chroma_location,color_range",
           "-of", "compact", video});
  std::vector<ProbeFrame> frames;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("frame|", 0) != 0) continue;
    ProbeFrame f;
    std::istringstream fields(line.substr(6));
    for (std::string field; std::getline(fields, field, '|');) {
      const size_t eq = field.find('=');
      if (eq != std::string::npos) f.keys[field.substr(0, eq)] = field.substr(eq + 1);
    }
    frames.push_back(f);
  }
  return frames;
}

// The code of a colour description name as ffprobe prints it (2: unspecified).
int ColourCode(const std::string& name) {
  static const std::map<std::string, int> codes = {
      {"bt709", 1},     {"unknown", 2},   {"bt470m", 4},   {"fcc", 4},      {"bt470bg", 5},
      {"smpte170m", 6}, {"smpte240m", 7}, {"linear", 8},   {"gamma22", 4},  {"gamma28", 5},
      {"film", 8},      {"bt2020", 9},    {"bt2020nc", 9}, {"bt2020c", 10}, {"gbr", 0}};
  const auto it = codes.find(name);
  return it == codes.end() ? -1 : it->second;
}

// a / b in lowest terms, as "a/b".
std::string Ratio(int64_t a, int64_t b) {
  const int64_t g = std::gcd(a, b);
  return g ? std::to_string(a / g) + "/" + std::to_string(b / g) : "0/0";
}

struct PropsCase {
  const char* file;
  int deinterlace;
  // The files joined into `file`, probed one by one: ffmpeg's decode of the joined file leaves out
  // the picture it holds back at the aspect change.
  std::vector<const char*> parts = {};
};

void PrintTo(const PropsCase& c, std::ostream* os) {
  *os << c.file << " deinterlace=" << c.deinterlace;
}

class VsProperties : public ::testing::TestWithParam<PropsCase> {};

// Law: the properties of every frame are ffprobe's facts of the picture it shows: coding type,
// field order (progressive once deinterlaced), sample aspect ratio, colour description, range,
// chroma position and duration (half at double rate), and each frame starts where the frames
// before it end.
TEST_P(VsProperties, EveryFrameCarriesFfprobesFacts) {
  Server server;
  const PropsCase& c = GetParam();
  const Source s = Prepare(c.file);
  std::string timeBase;
  std::vector<ProbeFrame> probe;
  if (c.parts.empty()) probe = ProbeFrames(s.video, &timeBase);
  for (const char* part : c.parts) {
    const std::vector<ProbeFrame> frames = ProbeFrames(MediaPath(part), &timeBase);
    probe.insert(probe.end(), frames.begin(), frames.end());
  }
  const int shift = s.frames - static_cast<int>(probe.size());
  ASSERT_GE(shift, 0);
  const size_t slash = timeBase.find('/');
  ASSERT_NE(slash, std::string::npos) << timeBase;
  const int64_t tbNum = std::stoll(timeBase.substr(0, slash));
  const int64_t tbDen = std::stoll(timeBase.substr(slash + 1));
  Core core;
  std::string error;
  VSNode* clip = core.Source(s.project, {{"deinterlace", c.deinterlace}}, &error);
  ASSERT_TRUE(clip) << error;
  const int rate = c.deinterlace == 2 ? 2 : 1;
  double expectedStart = 0;
  double firstStart = 0;
  int wrong = 0;
  for (int n = shift * rate; n < s.frames * rate; ++n) {
    const ProbeFrame& f = probe[static_cast<size_t>(n / rate - shift)];
    std::map<std::string, std::string> p = core.Props(clip, n);
    std::map<std::string, std::string> want;
    want["_PictType"] = f.keys.at("pict_type");
    want["_FieldBased"] = c.deinterlace > 0 || f.keys.at("interlaced_frame") == "0" ? "0"
                          : f.keys.at("top_field_first") == "1"                     ? "2"
                                                                                    : "1";
    const std::string sar = f.keys.at("sample_aspect_ratio");
    want["_SAR"] = sar.substr(0, sar.find(':')) + "/" + sar.substr(sar.find(':') + 1);
    want["_Primaries"] = std::to_string(ColourCode(f.keys.at("color_primaries")));
    want["_Transfer"] = std::to_string(ColourCode(f.keys.at("color_transfer")));
    want["_Matrix"] = std::to_string(ColourCode(f.keys.at("color_space")));
    want["_ColorRange"] = f.keys.at("color_range") == "tv" ? "1" : "0";
    want["_ChromaLocation"] = f.keys.at("chroma_location") == "left" ? "0" : "?";
    const int64_t duration = std::stoll(f.keys.at("pkt_duration"));
    want["_Duration"] = Ratio(duration * tbNum, tbDen * rate);
    std::map<std::string, std::string> got = p;
    got["_SAR"] = p["_SARNum"] + "/" + p["_SARDen"];
    got["_Duration"] = p["_DurationNum"] + "/" + p["_DurationDen"];
    // Deinterlaced, the first coded frame is shown by the second one's picture (nothing before
    // it to deinterlace with): from there on the picture's own facts apply.
    const bool ownPicture = c.deinterlace == 0 || n / rate > shift;
    for (const auto& [key, value] : want) {
      if (!ownPicture && key != "_Duration") continue;
      if (got[key] != value && ++wrong <= 5) {
        ADD_FAILURE() << c.file << " frame " << n << " " << key << ": " << got[key] << ", ffprobe "
                      << value;
      }
    }
    // The start of each frame, from the first that ffprobe knows.
    const double start = std::stod(p["_AbsoluteTime"]);
    if (n == shift * rate) firstStart = start;
    if (std::fabs(start - firstStart - expectedStart) > 1e-6 && ++wrong <= 5) {
      ADD_FAILURE() << c.file << " frame " << n << " starts at " << start - firstStart
                    << ", the durations before it add up to " << expectedStart;
    }
    expectedStart += static_cast<double>(duration * tbNum) / static_cast<double>(tbDen * rate);
  }
  EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Media, VsProperties,
    ::testing::Values(PropsCase{"es576i_open.m2v", 0}, PropsCase{"es480i_bff.m2v", 0},
                      PropsCase{"aspectchange.m2v", 0, {"format_a.m2v", "format_wide.m2v"}},
                      PropsCase{"pulldown32.m2v", 0}, PropsCase{"pulldown_mixed.m2v", 0},
                      PropsCase{"colour.m2v", 0}, PropsCase{"es480i_bff.m2v", 2},
                      PropsCase{"pulldown32.m2v", 1}),
    [](const ::testing::TestParamInfo<PropsCase>& info) {
      std::string name = info.param.file;
      name.erase(name.find('.'));
      return name + "_deinterlace" + std::to_string(info.param.deinterlace);
    });

// Law: a failure reaches the script through the API with the plugin's message.
TEST(VsErrors, FailuresReachTheScriptWithTheirMessage) {
  Server server;
  const Source s = Prepare("es576i_open.m2v");
  Core core;
  std::string error;
  EXPECT_FALSE(core.Source(s.project, {{"deinterlace", 5}}, &error));
  EXPECT_EQ(error, "MPGSource: deinterlace must be 0, 1 or 2, not 5 (the script's argument).");
  EXPECT_FALSE(core.Source(TempDir() + "/missing.vnt", {}, &error));
  EXPECT_EQ(error.rfind("MPGSource: ", 0), 0u) << error;
  WriteText(TempDir() + "/empty.vnt", "");
  EXPECT_FALSE(core.Source(TempDir() + "/empty.vnt", {}, &error));
  EXPECT_EQ(error.rfind("MPGSource: Invalid VNT file, it's empty!", 0), 0u) << error;
}

}  // namespace
}  // namespace e2e
