#include <cstdlib>
#include <string>
#include <vector>

#include "avs/host_win32/script_environment.h"
#include "platform/handle.h"
#include "platform/section.h"
#include "server-link/section_layout.h"
#include "tests/win32/support/check.h"
#include "tests/win32/tools/tools_fixture.h"
#include "tools/cli/frame_hash.h"

using avs_host_win32::HostError;
using avs_host_win32::ScriptEnvironment;
using tools_e2e::FrameList;
using tools_e2e::MixedOrder;
using tools_e2e::ParseHashes;
using tools_e2e::Reference;
using tools_e2e::Run;

namespace {

// An open-GOP interlaced elementary stream, the same in a transport stream with audio, and a
// progressive closed-GOP 1080p stream (tests/win32/make-media.sh).
const char* const kClips[] = {"es576i_open.m2v", "ts576i.ts", "es1080p_closed.m2v"};
const char* const kInterlaced = "es576i_open.m2v";

// Indexes `clip` of the media folder with mpgsource.exe; returns the project's path.
std::string Index(const std::string& clip) {
  const std::string video = tools_e2e::MediaFolder() + clip;
  const std::string project = video + ".vnt";
  const tools_e2e::RunResult r = Run("mpgsource.exe", {"index", video, "-o", project});
  if (r.exitCode != 0) std::fprintf(stderr, "index %s: %s\n", clip.c_str(), r.err.c_str());
  return r.exitCode == 0 ? project : std::string();
}

// Hashes `frames` of `project` with mpgsource.exe and counts the frames whose MD5 is not the
// reference's; a missing or extra line counts too. Requests below `lowest` are served the first
// picture that can be shown, `lowest` (1 when deinterlacing: the field pictures of frame 0 need
// the frame before it).
int WrongFrames(const std::string& project, const std::vector<std::string>& reference,
                const std::vector<int>& frames, std::vector<std::string> extra, int lowest = 0) {
  std::vector<std::string> args = {"hash", project};
  if (!frames.empty()) {
    args.push_back("--frames");
    args.push_back(FrameList(frames));
  }
  args.insert(args.end(), extra.begin(), extra.end());
  const tools_e2e::RunResult r = Run("mpgsource.exe", args);
  if (r.exitCode != 0) std::fprintf(stderr, "hash: %s\n", r.err.c_str());
  const auto hashes = ParseHashes(r.out);
  std::vector<int> wanted = frames;
  if (wanted.empty()) {
    for (size_t n = 0; n < reference.size(); ++n) wanted.push_back(static_cast<int>(n));
  }
  int wrong = hashes.size() == wanted.size() ? 0 : 1;
  for (size_t i = 0; i < hashes.size() && i < wanted.size(); ++i) {
    const int n = wanted[i] < lowest ? lowest : wanted[i];
    if (hashes[i].first != wanted[i] || static_cast<size_t>(n) >= reference.size() ||
        hashes[i].second != reference[n]) {
      std::fprintf(stderr, "frame %d (request %zu) differs from ffmpeg's\n", n, i);
      ++wrong;
    }
  }
  return wrong;
}

// The first 40 requests of a shuffled order and its last 20 (the window jumps and the reverse
// stretch).
std::vector<int> Sample(const std::vector<int>& order) {
  if (order.size() <= 60) return order;
  std::vector<int> sample(order.begin(), order.begin() + 40);
  sample.insert(sample.end(), order.end() - 20, order.end());
  return sample;
}

// Reads the "N md5" lines of a running `mpgsource hash` and counts those that differ from the
// reference (or are missing) for `frames`.
int WrongLines(tools_e2e::RunningProgram* program, const std::vector<std::string>& reference,
               const std::vector<int>& frames, size_t* read) {
  int wrong = 0;
  std::string line;
  for (int n : frames) {
    if (!program->ReadLine(&line)) return wrong + 1;
    ++*read;
    const auto parsed = ParseHashes(line + "\n");
    if (parsed.size() != 1 || parsed[0].first != n || parsed[0].second != reference[n]) {
      std::fprintf(stderr, "frame %d differs from ffmpeg's\n", n);
      ++wrong;
    }
  }
  return wrong;
}

bool Load(ScriptEnvironment* env) {
  std::string error;
  const bool loaded = env->LoadPlugin(tools_e2e::ProgramFolder() + "VantuDecodeNV.dll", &error);
  if (!loaded) std::fprintf(stderr, "%s\n", error.c_str());
  return loaded;
}

AVSValue MakeSource(ScriptEnvironment* env, const std::string& project) {
  const AVSValue args[4] = {AVSValue(project.c_str()), AVSValue(), AVSValue(), AVSValue()};
  return env->Call("MPGSource", AVSValue(args, 4));
}

std::string Md5(const PVideoFrame& f, const VideoInfo& vi) {
  return cli::PlanesMd5(f->GetReadPtr(PLANAR_Y), f->GetPitch(PLANAR_Y), f->GetReadPtr(PLANAR_U),
                        f->GetReadPtr(PLANAR_V), f->GetPitch(PLANAR_U), vi.width, vi.height);
}

// Frames fetched through the plugin DLL in this process that differ from the reference.
int WrongFramesInProcess(ScriptEnvironment* env, const PClip& clip,
                         const std::vector<std::string>& reference, const std::vector<int>& order) {
  const VideoInfo& vi = clip->HostGetVideoInfo();
  int wrong = 0;
  for (int n : order) {
    if (Md5(ScriptEnvironment::FrameOf(clip, n, env), vi) != reference[n]) {
      std::fprintf(stderr, "frame %d differs from ffmpeg's\n", n);
      ++wrong;
    }
  }
  return wrong;
}

// The frames of a 720x576 YUV4MPEG2 stream that differ from the reference for `frames` (a stream
// of another length counts too): "YUV4MPEG2 ...\n", then per frame "FRAME\n" and the Y, U and V
// planes.
int WrongPipedFrames(const std::string& y4m, const std::vector<std::string>& reference,
                     const std::vector<int>& frames) {
  const size_t header = y4m.find('\n');
  const size_t frameBytes = 720 * 576 * 3 / 2;
  if (header == std::string::npos || y4m.compare(0, 20, "YUV4MPEG2 W720 H576 ") != 0 ||
      header + 1 + frames.size() * (6 + frameBytes) != y4m.size()) {
    std::fprintf(stderr, "not the stream of %zu frames of 720x576\n", frames.size());
    return 1;
  }
  int wrong = 0;
  size_t at = header + 1;
  for (int n : frames) {
    const auto* y = reinterpret_cast<const unsigned char*>(y4m.data() + at + 6);
    const unsigned char* u = y + 720 * 576;
    const unsigned char* v = u + 360 * 288;
    if (y4m.compare(at, 6, "FRAME\n") != 0 ||
        reference[n] != cli::PlanesMd5(y, 720, u, v, 360, 720, 576)) {
      std::fprintf(stderr, "piped frame %d differs from ffmpeg's\n", n);
      ++wrong;
    }
    at += 6 + frameBytes;
  }
  return wrong;
}

// A whole file, through the wide functions (any name, any length).
std::string ReadFileW(const std::wstring& path) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::string bytes;
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

bool WriteFileW(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  const bool written =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
      put == bytes.size();
  CloseHandle(file);
  return written;
}

// The "\\?\" form of an absolute path, which the wide functions take at any length.
std::wstring Long(const std::string& path) {
  return L"\\\\?\\" + tools_e2e::Utf16(path);
}

// Line 3 of a project, the video's path, without its line end.
std::string VideoLine(const std::string& project) {
  const std::string text = ReadFileW(Long(project));
  size_t start = 0;
  for (int line = 0; line < 2 && start != std::string::npos; ++line) {
    start = text.find('\n', start);
    if (start != std::string::npos) ++start;
  }
  if (start == std::string::npos) return std::string();
  std::string line = text.substr(start, text.find('\n', start) - start);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// `clip` of the media folder copied to `folder` (made, with its parents below the media folder)
// under `name`; returns the copy's path, empty when it cannot be made.
std::string CopyClip(const std::string& clip, const std::string& folder, const std::string& name) {
  std::string path = tools_e2e::MediaFolder();
  for (size_t at = 0; at < folder.size();) {
    const size_t end = folder.find('\\', at);
    path += folder.substr(at, end - at) + "\\";
    CreateDirectoryW(Long(path).c_str(), nullptr);
    at = end == std::string::npos ? folder.size() : end + 1;
  }
  path += name;
  const bool copied =
      CopyFileW(Long(tools_e2e::MediaFolder() + clip).c_str(), Long(path).c_str(), FALSE) != 0;
  return copied ? path : std::string();
}

template <typename F>
std::string ErrorOf(F make) {
  try {
    make();
  } catch (const HostError& e) {
    return e.what();
  }
  return std::string();
}

}  // namespace

WIN_TEST(EveryClipIsIndexedAndServedExactlyInOrder) {
  REQUIRE(!tools_e2e::MediaFolder().empty());
  for (const char* clip : kClips) {
    const std::vector<std::string> reference = Reference(std::string(clip) + ".md5");
    REQUIRE(!reference.empty());
    const std::string project = Index(clip);
    REQUIRE(!project.empty());
    // The whole clip: exactly as many frames as ffmpeg decodes, each equal to its picture.
    CHECK_EQ(0, WrongFrames(project, reference, {}, {}));
  }
}

WIN_TEST(EveryClipIsServedExactlyInShuffledOrder) {
  for (const char* clip : kClips) {
    const std::vector<std::string> reference = Reference(std::string(clip) + ".md5");
    const std::string project = Index(clip);
    REQUIRE(!project.empty() && !reference.empty());
    const int frames = static_cast<int>(reference.size());
    CHECK_EQ(0, WrongFrames(project, reference, MixedOrder(frames, 20), {}));
  }
}

WIN_TEST(DeinterlacedClipsMatchFfmpegsBwdif) {
  const std::vector<std::string> both = Reference(std::string(kInterlaced) + ".bwdif.md5");
  const std::string project = Index(kInterlaced);
  REQUIRE(!project.empty() && !both.empty());
  // Double rate: one picture per field, in time order. Random access restarts a run for nearly
  // every request, so a shuffled sample of 60 requests stands for the whole order.
  CHECK_EQ(0, WrongFrames(project, both, Sample(MixedOrder(static_cast<int>(both.size()), 21)),
                          {"--deinterlace", "2"}, 1));
  // Single rate from the top field (first of each pair in a top-field-first clip) and from the
  // bottom field.
  for (int field = 0; field < 2; ++field) {
    std::vector<std::string> reference;
    for (size_t i = field; i < both.size(); i += 2) reference.push_back(both[i]);
    std::vector<std::string> options = {"--deinterlace", "1"};
    if (field == 1) options.push_back("--bottom-field");
    CHECK_EQ(0,
             WrongFrames(project, reference,
                         Sample(MixedOrder(static_cast<int>(reference.size()), 22)), options, 1));
  }
}

WIN_TEST(AKilledServerGivesTheClearError) {
  const std::vector<std::string> reference = Reference(std::string(kInterlaced) + ".md5");
  const std::string project = Index(kInterlaced);
  REQUIRE(!project.empty() && !reference.empty());
  tools_e2e::ServerProcess server;
  REQUIRE(server.Start());
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  {
    const AVSValue value = MakeSource(&env, project);
    REQUIRE(value.IsClip());
    const PClip clip = value.AsClip();
    CHECK_EQ(0, WrongFramesInProcess(&env, clip, reference, {0, 1, 40, 39}));
    server.Kill();
    // A request that continues the run and one that restarts it both fail clearly.
    for (int n : {41, 120}) {
      CHECK_EQ(std::string("MPGSource: CUVID Server is no longer running!"),
               ErrorOf([&] { ScriptEnvironment::FrameOf(clip, n, &env); }));
    }
  }
  // No server now: a new clip is refused.
  CHECK_EQ(std::string("MPGSource: CUVID Server not running!"),
           ErrorOf([&] { MakeSource(&env, project); }));
}

WIN_TEST(AStaleSectionIsReplacedAndALiveServerIsKept) {
  const std::vector<std::string> reference = Reference(std::string(kInterlaced) + ".md5");
  const std::string project = Index(kInterlaced);
  REQUIRE(!project.empty() && !reference.empty());
  tools_e2e::ServerProcess first;
  REQUIRE(first.Start());
  // A second server is refused while the first lives, and says why.
  const tools_e2e::RunResult second = Run("mpgsource-server.exe", {});
  CHECK_EQ(1, second.exitCode);
  CHECK(second.err.find("already owns") != std::string::npos);
  // A client's handle keeps the section of a server that dies alive: the next server takes it
  // over instead of failing, and a client is served exactly.
  bool existed = false;
  platform::Handle held =
      platform::CreateSection(server::kSectionName, server::kSectionSize, &existed);
  CHECK(existed);
  first.Kill();
  CHECK(!tools_e2e::ServerUp());
  tools_e2e::ServerProcess third;
  REQUIRE(third.Start());
  {
    ScriptEnvironment env;
    REQUIRE(Load(&env));
    const AVSValue value = MakeSource(&env, project);
    REQUIRE(value.IsClip());
    CHECK_EQ(0, WrongFramesInProcess(&env, value.AsClip(), reference, {70, 0, 149, 13, 12}));
  }
  platform::CloseHandle(held);
}

WIN_TEST(AClientThatDiesMidRunIsReplacedByTheNextOne) {
  const std::vector<std::string> reference = Reference(std::string(kInterlaced) + ".md5");
  const std::string project = Index(kInterlaced);
  REQUIRE(!project.empty() && !reference.empty());
  tools_e2e::ServerProcess server;
  REQUIRE(server.Start());
  {
    // A client in the middle of a run (its first frame served, the rest in flight) ends without
    // a word to the server.
    tools_e2e::RunningProgram client("mpgsource.exe", {"hash", project, "--no-server"});
    REQUIRE(client.started());
    std::string line;
    CHECK(client.ReadLine(&line));
    client.Kill();
  }
  const int frames = static_cast<int>(reference.size());
  CHECK_EQ(0, WrongFrames(project, reference, MixedOrder(frames, 23), {"--no-server"}));
  // One after another, clips of the same process are new clients too.
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  for (int round = 0; round < 2; ++round) {
    const AVSValue value = MakeSource(&env, project);
    REQUIRE(value.IsClip());
    CHECK_EQ(0, WrongFramesInProcess(&env, value.AsClip(), reference, {5, 6, 100, 3}));
  }
}

WIN_TEST(PipeWritesTheFramesUnchangedToStandardOutput) {
  const std::vector<std::string> reference = Reference(std::string(kInterlaced) + ".md5");
  const std::string project = Index(kInterlaced);
  REQUIRE(!project.empty() && !reference.empty());
  const tools_e2e::RunResult r =
      Run("mpgsource.exe", {"pipe", project, "--frames", "0-2,30,29,149"});
  CHECK_EQ(0, r.exitCode);
  CHECK_EQ(0, WrongPipedFrames(r.out, reference, {0, 1, 2, 30, 29, 149}));
}

WIN_TEST(HostsInSeveralProcessesShareOneServerEachServedExactly) {
  const std::vector<std::string> reference = Reference(std::string(kInterlaced) + ".md5");
  const std::string project = Index(kInterlaced);
  REQUIRE(!project.empty() && !reference.empty());
  tools_e2e::ServerProcess server;
  REQUIRE(server.Start());
  const int frames = static_cast<int>(reference.size());
  const std::vector<int> firstOrder = MixedOrder(frames, 31), secondOrder = MixedOrder(frames, 32);
  tools_e2e::RunningProgram first(
      "mpgsource.exe", {"hash", project, "--no-server", "--frames", FrameList(firstOrder)});
  tools_e2e::RunningProgram second(
      "mpgsource.exe", {"hash", project, "--no-server", "--frames", FrameList(secondOrder)});
  REQUIRE(first.started() && second.started());
  // Both run at once: each one's first frame is read before either goes on, then the rest.
  size_t firstRead = 0, secondRead = 0;
  int wrong = WrongLines(&first, reference, {firstOrder[0]}, &firstRead);
  wrong += WrongLines(&second, reference, {secondOrder[0]}, &secondRead);
  // A clip in this process as well, a third client.
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  const AVSValue value = MakeSource(&env, project);
  REQUIRE(value.IsClip());
  CHECK_EQ(0, WrongFramesInProcess(&env, value.AsClip(), reference, {75, 2, 140}));
  wrong += WrongLines(&first, reference, std::vector<int>(firstOrder.begin() + 1, firstOrder.end()),
                      &firstRead);
  wrong += WrongLines(&second, reference,
                      std::vector<int>(secondOrder.begin() + 1, secondOrder.end()), &secondRead);
  CHECK_EQ(0, wrong);
  CHECK_EQ(firstOrder.size(), firstRead);
  CHECK_EQ(secondOrder.size(), secondRead);
}

WIN_TEST(AServerForOneClientRefusesASecondOneClearly) {
  const std::vector<std::string> reference = Reference(std::string(kInterlaced) + ".md5");
  const std::string project = Index(kInterlaced);
  REQUIRE(!project.empty() && !reference.empty());
  tools_e2e::ServerProcess server;
  REQUIRE(server.Start({"--clients", "1"}));
  {
    tools_e2e::RunningProgram holder("mpgsource.exe", {"hash", project, "--no-server"});
    REQUIRE(holder.started());
    std::string line;
    CHECK(holder.ReadLine(&line));
    const tools_e2e::RunResult refused =
        Run("mpgsource.exe", {"hash", project, "--no-server", "--frames", "0"});
    CHECK_EQ(1, refused.exitCode);
    CHECK(refused.err.find("MPGSource: CUVID Server is busy") != std::string::npos);
    holder.Kill();
  }
  // The connection of the killed holder is free again.
  CHECK_EQ(0, WrongFrames(project, reference, {3, 90, 4}, {"--no-server"}));
}

WIN_TEST(TheCommandsOwnServerEndsWithTheCommand) {
  const std::string project = Index(kInterlaced);
  REQUIRE(!project.empty());
  tools_e2e::RunningProgram command("mpgsource.exe", {"hash", project});
  REQUIRE(command.started());
  std::string line;
  CHECK(command.ReadLine(&line));
  // The command's server lives in a namespace of the command's own.
  const std::string space =
      std::string(std::getenv("MPGSOURCE_IPC_NAMESPACE")) + ".cli" + std::to_string(command.id());
  CHECK(tools_e2e::ServerUp(space.c_str()));
  command.Kill();
  // Killed, the command cannot stop its server: the server sees it end and stops by itself.
  bool gone = false;
  for (int i = 0; i < 2000 && !gone; ++i) {
    gone = !tools_e2e::ServerUp(space.c_str());
    if (!gone) Sleep(10);
  }
  CHECK(gone);
}

WIN_TEST(AnyNameAndAnyPathLengthWorksThroughEveryCommand) {
  const std::vector<std::string> reference = Reference(std::string(kInterlaced) + ".md5");
  REQUIRE(!reference.empty());
  // Accented (in the ANSI code page of Western systems), CJK (in no such code page), and a path
  // of more than 300 characters.
  const std::string accented = "vid\xC3\xA9o", cjk = "vid\xC3\xA9o \xE6\x9D\xB1\xE4\xBA\xAC";
  const std::string deep = std::string(100, 'd') + "\\" + std::string(150, 'e') + "\\" + cjk;
  for (const std::string& folder : {accented, cjk, deep}) {
    const std::string video = CopyClip(kInterlaced, folder, cjk + ".m2v");
    REQUIRE(!video.empty());
    const std::string project = video.substr(0, video.size() - 4) + ".vnt";
    // Beside the video with mpgsource.exe, and in the folder above with mpgsource-index.exe: the
    // video is named relative to the project both times.
    CHECK_EQ(0, Run("mpgsource.exe", {"index", video, "-o", project, "--quiet"}).exitCode);
    CHECK_EQ(cjk + ".m2v", VideoLine(project));
    const size_t cut = folder.rfind('\\');
    const std::string above = tools_e2e::MediaFolder() +
                              (cut == std::string::npos ? "" : folder.substr(0, cut + 1)) +
                              "above.vnt";
    CHECK_EQ(0, Run("mpgsource-index.exe", {video, above}).exitCode);
    CHECK_EQ(folder.substr(cut + 1) + "\\" + cjk + ".m2v", VideoLine(above));

    const tools_e2e::RunResult info = Run("mpgsource.exe", {"info", project});
    CHECK_EQ(0, info.exitCode);
    CHECK(info.out.find("720") != std::string::npos);
    CHECK_EQ(0, WrongFrames(project, reference, {}, {}));
    CHECK_EQ(0, WrongFrames(above, reference, {149, 0, 75, 74}, {}));
    const std::string y4m = video.substr(0, video.size() - 4) + ".y4m";
    CHECK_EQ(0, Run("mpgsource.exe", {"pipe", project, "-o", y4m, "--frames", "3,0,120"}).exitCode);
    CHECK_EQ(0, WrongPipedFrames(ReadFileW(Long(y4m)), reference, {3, 0, 120}));
  }
}

WIN_TEST(TheHostsStringOpensWhatItsEncodingCanHold) {
  const std::vector<std::string> reference = Reference(std::string(kInterlaced) + ".md5");
  const std::string cjk = "\xE6\x9D\xB1\xE4\xBA\xAC", accented = "\xC3\xA9t\xC3\xA9";
  tools_e2e::ServerProcess server;
  REQUIRE(server.Start());
  ScriptEnvironment env;
  REQUIRE(Load(&env));
  for (const std::string& name : {accented, cjk}) {
    const std::string video = CopyClip(kInterlaced, "host " + name, name + ".m2v");
    REQUIRE(!video.empty());
    const std::string project = video + ".vnt";
    REQUIRE(Run("mpgsource.exe", {"index", video, "-o", project, "--quiet"}).exitCode == 0);
    // UTF-8, as AviSynth+ passes a script saved as UTF-8.
    const AVSValue utf8 = MakeSource(&env, project);
    REQUIRE(utf8.IsClip());
    CHECK_EQ(0, WrongFramesInProcess(&env, utf8.AsClip(), reference, {0, 100, 1}));
    // The ANSI code page's bytes, as AviSynth 2.5 passes them: the name opens where the code page
    // holds it, and a clear error says why where it cannot.
    const std::wstring wide = tools_e2e::Utf16(project);
    BOOL lost = FALSE;
    std::string ansi(wide.size() * 2 + 1, '\0');
    ansi.resize(static_cast<size_t>(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(),
                                                        -1, &ansi[0], static_cast<int>(ansi.size()),
                                                        nullptr, &lost)) -
                1);
    if (lost) {
      CHECK(ErrorOf([&] { MakeSource(&env, ansi); }).find("ANSI code page") != std::string::npos);
    } else {
      const AVSValue bytes = MakeSource(&env, ansi);
      REQUIRE(bytes.IsClip());
      CHECK_EQ(0, WrongFramesInProcess(&env, bytes.AsClip(), reference, {7, 149}));
    }
  }
}

WIN_TEST(ProjectsTravelBetweenSystems) {
  const std::vector<std::string> reference = Reference(std::string(kInterlaced) + ".md5");
  const std::string video = CopyClip(kInterlaced, "travel\\sub", "clip.m2v");
  REQUIRE(!video.empty());
  const std::string project = tools_e2e::MediaFolder() + "travel\\clip.vnt";
  REQUIRE(Run("mpgsource.exe", {"index", video, "-o", project, "--quiet"}).exitCode == 0);
  CHECK_EQ(std::string("sub\\clip.m2v"), VideoLine(project));
  CHECK_EQ(0, WrongFrames(project, reference, {0, 149, 50}, {}));
  // The same project as Linux writes it, with '/' between folder and name.
  std::string text = ReadFileW(Long(project));
  const size_t at = text.find("sub\\clip.m2v");
  REQUIRE(at != std::string::npos);
  text[at + 3] = '/';
  const std::string posixForm = tools_e2e::MediaFolder() + "travel\\linux.vnt";
  REQUIRE(WriteFileW(Long(posixForm), text));
  CHECK_EQ(0, WrongFrames(posixForm, reference, {}, {}));
}

WIN_TEST(TheServerCommandsServerEndsWithIt) {
  tools_e2e::RunningProgram wrapper("mpgsource.exe", {"server"});
  REQUIRE(wrapper.started());
  bool up = false;
  for (int i = 0; i < 2000 && !up; ++i) {
    up = tools_e2e::ServerUp();
    if (!up) Sleep(10);
  }
  REQUIRE(up);
  wrapper.Kill();
  bool gone = false;
  for (int i = 0; i < 2000 && !gone; ++i) {
    gone = !tools_e2e::ServerUp();
    if (!gone) Sleep(10);
  }
  CHECK(gone);
}

WIN_TEST(HelpAndErrorsSpeakOfWindows) {
  const tools_e2e::RunResult help = Run("mpgsource.exe", {"--help"});
  CHECK_EQ(0, help.exitCode);
  for (const char* word : {"VantuDecodeNV.dll", "mpgsource-server.exe", "mpgsource.exe index"}) {
    CHECK(help.out.find(word) != std::string::npos);
  }
  for (const char* word : {".so", "lib/avisynth", "$MPGSOURCE"}) {
    CHECK(help.out.find(word) == std::string::npos);
  }
  // A server that cannot be started: the system's own words for why.
  const std::string project = Index(kInterlaced);
  REQUIRE(!project.empty());
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 ERROR_FILE_NOT_FOUND, 0, text, sizeof text, nullptr);
  std::string expected(text);
  while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r')) {
    expected.pop_back();
  }
  REQUIRE(!expected.empty());
  SetEnvironmentVariableA("MPGSOURCE_SERVER", (tools_e2e::ProgramFolder() + "none.exe").c_str());
  const tools_e2e::RunResult r = Run("mpgsource.exe", {"hash", project, "--frames", "0"});
  SetEnvironmentVariableA("MPGSOURCE_SERVER", nullptr);
  CHECK_EQ(1, r.exitCode);
  CHECK(r.err.find(expected) != std::string::npos);
}
