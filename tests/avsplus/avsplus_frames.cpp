// A client of a real AviSynth+ (libavisynth.so): loads our plugin, evaluates each script given in
// turn in one environment (the clip of one script is released before the next is made) and prints
// one line per frame, "<script> <n> <md5>", the MD5 over the visible Y rows, then U, then V (as
// `ffmpeg -f framemd5 -pix_fmt yuv420p` prints it). A script error is printed and exits with 1.
// Usage: avsplus_frames PLUGIN SCRIPT...
#include <avisynth.h>

extern "C" {
#include <libavutil/md5.h>
#include <libavutil/mem.h>
}

#include <cstdio>
#include <string>

namespace {

std::string FrameMd5(const PVideoFrame& f, const VideoInfo& vi) {
  AVMD5* md5 = av_md5_alloc();
  av_md5_init(md5);
  for (int y = 0; y < vi.height; ++y)
    av_md5_update(md5, f->GetReadPtr() + y * f->GetPitch(), vi.width);
  for (int plane : {PLANAR_U, PLANAR_V}) {
    for (int y = 0; y < vi.height / 2; ++y) {
      av_md5_update(md5, f->GetReadPtr(plane) + y * f->GetPitch(plane), vi.width / 2);
    }
  }
  unsigned char digest[16];
  av_md5_final(md5, digest);
  av_free(md5);
  char text[33];
  for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: avsplus_frames PLUGIN SCRIPT...\n");
    return 2;
  }
  IScriptEnvironment* env = CreateScriptEnvironment(AVISYNTH_INTERFACE_VERSION);
  if (!env) {
    std::fprintf(stderr, "no AviSynth+ environment\n");
    return 1;
  }
  int status = 0;
  try {
    env->Invoke("LoadPlugin", AVSValue(argv[1]));
    for (int s = 2; s < argc; ++s) {
      PClip clip = env->Invoke("Eval", AVSValue(argv[s])).AsClip();
      const VideoInfo& vi = clip->GetVideoInfo();
      for (int n = 0; n < vi.num_frames; ++n) {
        std::printf("%d %d %s\n", s - 2, n, FrameMd5(clip->GetFrame(n, env), vi).c_str());
      }
    }
  } catch (const AvisynthError& e) {
    std::fprintf(stderr, "%s\n", e.msg);
    status = 1;
  }
  env->DeleteScriptEnvironment();
  return status;
}
