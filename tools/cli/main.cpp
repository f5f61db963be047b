// mpgsource: the command-line host of the MPGSource plugin. It goes through the plugin exactly as
// a frame-serving host does: loads the plugin library, calls AvisynthPluginInit2 and invokes
// "MPGSource" with named arguments, so the defaults file and the crop hand-off apply.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/arguments.h"
#include "platform/file.h"
#include "platform/output_file.h"
#include "platform/path.h"
#include "tools/cli/clip_facts.h"
#include "tools/cli/clip_session.h"
#include "tools/cli/frame_hash.h"
#include "tools/cli/frame_list.h"
#include "tools/cli/options.h"
#include "tools/cli/project_video.h"
#include "tools/cli/server_process.h"
#include "tools/cli/y4m_writer.h"
#include "tools/command_line/command_line.h"
#include "tools/indexer/index_command.h"
#include "tools/indexer/index_tool.h"
#include "tools/indexer/indexer.h"
#include "tools/indexer/list_streams.h"
#include "tools/indexer/stream_facts.h"

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "mpgsource: %s\n", message.c_str());
  return 1;
}

// An error raised through the host: the plugin's messages begin "MPGSource: " and are shown
// exactly as raised; the host's own get our prefix.
int FailHost(const std::string& message) {
  if (message.rfind("MPGSource: ", 0) == 0) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return 1;
  }
  return Fail(message);
}

// "<what>: <the system's reason>" for the errno value `error`.
std::string Because(const std::string& what, int error) {
  return what + ": " + std::strerror(error != 0 ? error : EIO);
}

// Flushes standard output; a failure (a full disk, a closed pipe) fails the command.
int FinishStdout(int result) {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    if (result == 0) return Fail(Because("could not write to standard output", errno));
  }
  return result;
}

int RunServer(const cli::Options& o) {
  std::string error;
  const int result = cli::RunServerInForeground(o.serverArgs, &error);
  if (!error.empty()) return Fail(error);
  return result;
}

const char* PixelTypeName(int pixelType) {
  if (pixelType == CS_I420) return "I420";
  if (pixelType == CS_YV12) return "YV12";
  if (pixelType == CS_YUY2) return "YUY2";
  return "unknown";
}

int RunInfo(const cli::Options& o, cli::ClipSession& session) {
  const VideoInfo& vi = session.Info();
  bool top = session.Parity();
  indexer::StreamFacts facts;
  indexer::ReadFacts(o.input, &facts);
  // The video's own chroma format; the pixel type says what it is served as.
  const char* chroma = cli::ProjectChroma(o.input) == 422 ? "4:2:2" : "4:2:0";
  if (o.json) {
    std::printf(
        "{\"width\": %d, \"height\": %d, \"fps_numerator\": %u, \"fps_denominator\": %u, "
        "\"frames\": %d, \"parity\": \"%s\", \"pixel_type\": \"%s\", \"chroma\": \"%s\"",
        vi.width, vi.height, vi.fps_numerator, vi.fps_denominator, vi.num_frames,
        top ? "top" : "bottom", PixelTypeName(vi.pixel_type), chroma);
    std::fputs(cli::FactsJson(facts).c_str(), stdout);
    std::printf("}\n");
  } else {
    std::printf(
        "width:      %d\nheight:     %d\nfps:        %u/%u\nframes:     %d\n"
        "parity:     %s field first\npixel type: %s\nchroma:     %s\n",
        vi.width, vi.height, vi.fps_numerator, vi.fps_denominator, vi.num_frames,
        top ? "top" : "bottom", PixelTypeName(vi.pixel_type), chroma);
    std::fputs(cli::FactsText(facts).c_str(), stdout);
  }
  return FinishStdout(0);
}

// Serves the frames of the list in order, handing each to `sink`, which writes it to
// `destination` and returns false, with errno set, when writing fails.
template <typename Sink>
int ServeFrames(const cli::Options& o, cli::ClipSession& session, const std::string& destination,
                Sink sink) {
  const VideoInfo& vi = session.Info();
  std::vector<int> frames;
  if (o.frames.empty()) {
    for (int n = 0; n < vi.num_frames; ++n) frames.push_back(n);
  } else {
    std::string error;
    if (!cli::ParseFrameList(o.frames, vi.num_frames, &frames, &error)) return Fail(error);
  }
  try {
    for (int n : frames) {
      PVideoFrame frame = session.Frame(n);
      errno = 0;
      if (!sink(n, frame)) {
        return Fail(
            Because("could not write frame " + std::to_string(n) + " to " + destination, errno));
      }
    }
  } catch (const AvisynthError& e) {
    return FailHost(e.what());
  }
  return 0;
}

int RunPipe(const cli::Options& o, cli::ClipSession& session) {
  const VideoInfo& vi = session.Info();
  // A file gets the output rule: never onto the project or its video, complete or not at all.
  platform::OutputRule rule;
  rule.what = "the stream";
  rule.inputs = {{o.input, "the project being read"}};
  const std::string video = cli::ProjectVideo(o.input);
  if (!video.empty()) rule.inputs.push_back({video, "the video being read"});
  rule.force = o.force;
  rule.standardOutput = true;
  platform::OutputFile output;
  std::string error;
  if (!output.Open(o.output.empty() ? "-" : o.output, rule, &error)) return Fail(error);
  FILE* out = output.stream();
  const std::string destination =
      output.toStandardOutput() ? "standard output" : "\"" + o.output + "\"";
  if (output.toStandardOutput() && !platform::SetBinaryMode(stdout)) {
    return Fail("cannot switch standard output to binary mode");
  }
  cli::Y4mFormat format;
  format.width = vi.width;
  format.height = vi.height;
  format.fpsNumerator = vi.fps_numerator;
  format.fpsDenominator = vi.fps_denominator;
  indexer::StreamFacts facts;
  indexer::ReadFacts(o.input, &facts);
  format.interlacing = cli::Y4mInterlacing(facts, o.clip.deinterlace, session.Parity());
  format.sarNumerator = facts.sarNumerator;
  format.sarDenominator = facts.sarDenominator;
  const bool packed = vi.pixel_type == CS_YUY2;
  if (packed) format.colourSpace = "422";
  errno = 0;
  int result = 0;
  if (std::fputs(cli::Y4mHeader(format).c_str(), out) < 0) {
    result = Fail(Because("could not write the stream header to " + destination, errno));
  }
  if (result == 0)
    result = ServeFrames(o, session, destination, [&](int, const PVideoFrame& f) {
      if (packed) {
        return cli::WriteY4mFrameYuy2(out, f->GetReadPtr(), f->GetPitch(), vi.width, vi.height);
      }
      return cli::WriteY4mFrame(out, f->GetReadPtr(PLANAR_Y), f->GetPitch(PLANAR_Y),
                                f->GetReadPtr(PLANAR_U), f->GetReadPtr(PLANAR_V),
                                f->GetPitch(PLANAR_U), vi.width, vi.height);
    });
  if (output.toStandardOutput()) return FinishStdout(result);
  // A run that failed leaves no file: the output is discarded when it goes.
  if (result != 0) return result;
  if (!output.Finish(&error) || !output.Commit(&error)) return Fail(error);
  return 0;
}

int RunHash(const cli::Options& o, cli::ClipSession& session) {
  const VideoInfo& vi = session.Info();
  const int result = ServeFrames(o, session, "standard output", [&](int n, const PVideoFrame& f) {
    std::string md5 =
        vi.pixel_type == CS_YUY2
            ? cli::PackedMd5(f->GetReadPtr(), f->GetPitch(), f->GetRowSize(), vi.height)
            : cli::PlanesMd5(f->GetReadPtr(PLANAR_Y), f->GetPitch(PLANAR_Y),
                             f->GetReadPtr(PLANAR_U), f->GetReadPtr(PLANAR_V),
                             f->GetPitch(PLANAR_U), vi.width, vi.height);
    // One line per frame as soon as it is served, so that readers can follow along.
    return std::printf("%d %s\n", n, md5.c_str()) > 0 && std::fflush(stdout) == 0;
  });
  return FinishStdout(result);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args = platform::ProgramArguments(argc, argv);
#ifdef _WIN32
  // mpgsource-index.exe, a launcher, runs the indexer program here with its own arguments.
  if (!args.empty() && args[0] == "index-tool") {
    return indexer::IndexToolMain(std::vector<std::string>(args.begin() + 1, args.end()));
  }
#endif
  cli::Options o;
  std::string error;
  if (!cli::ParseOptions(args, &o, &error)) {
    Fail(error);
    return command_line::kExitUsage;
  }
  if (o.help || o.version) {
    const std::string text =
        o.help ? cli::HelpText(o.command) : command_line::VersionText("mpgsource");
    std::fputs(text.c_str(), stdout);
    return FinishStdout(0);
  }
  if (o.command == "index") return indexer::RunIndexCommand(o.index, "mpgsource");
  if (o.command == "server") return RunServer(o);

  // A server of this run's own, unless told to use the one already running (and shared).
  cli::StartedServer started;
  if (!o.noServer && !started.Start(&error)) return Fail(error);
  int result = 1;
  {
    cli::ClipSession session;
    if (!session.Open(o.input, o.clip, &error)) return FailHost(error);
    if (o.command == "info") result = RunInfo(o, session);
    if (o.command == "pipe") result = RunPipe(o, session);
    if (o.command == "hash") result = RunHash(o, session);
  }
  return result;
}
