/* The peer for random access: ffms2 through its public C API, indexing the file and serving the
 * frames of a list in that order (seek mode normal, one decoding thread), each request timed, then
 * each served frame checked against the reference MD5s (the output of
 * `ffmpeg -i X -map 0:v:0 -f framemd5 -pix_fmt yuv420p -`). Hashing happens after the request's
 * clock has stopped.
 *
 *   ffms2_random VIDEO --reference REF.framemd5 --list FRAMES.txt [--threads N] [--seek MODE]
 *                [--times FILE]
 *
 * --times writes one line per request, in order: the frame, its latency in milliseconds, and 1
 * when the frame served was right (else 0).
 *
 * Prints one line of key=value pairs for scripts:
 *   index_s=I frames=N wall_s=S fps=F mean_ms=M p95_ms=P max_ms=X wrong=W clip_frames=C
 */
#include <ffms.h>
#include <libavutil/md5.h>
#include <libavutil/mem.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The MD5 column of each frame line of a framemd5 file, in order, as 32 hex digits each. */
static char (*ReadReference(const char* path, int* count))[33] {
  FILE* in = fopen(path, "r");
  char line[512];
  char(*md5s)[33] = NULL;
  int capacity = 0;
  *count = 0;
  if (in == NULL) return NULL;
  while (fgets(line, sizeof line, in)) {
    char* comma = strrchr(line, ',');
    char* p;
    int length = 0;
    if (line[0] == '#' || comma == NULL) continue;
    p = comma + 1;
    while (*p == ' ' || *p == '\t') ++p;
    while (p[length] && p[length] != '\n' && p[length] != '\r' && p[length] != ' ') ++length;
    if (length != 32) continue;
    if (*count == capacity) {
      capacity = capacity ? 2 * capacity : 1024;
      md5s = realloc(md5s, (size_t)capacity * sizeof *md5s);
      if (md5s == NULL) exit(1);
    }
    memcpy(md5s[*count], p, 32);
    md5s[*count][32] = '\0';
    ++*count;
  }
  fclose(in);
  return md5s;
}

static int* ReadList(const char* path, int* count) {
  FILE* in = fopen(path, "r");
  int* frames = NULL;
  int capacity = 0, n;
  *count = 0;
  if (in == NULL) return NULL;
  while (fscanf(in, "%d", &n) == 1) {
    if (*count == capacity) {
      capacity = capacity ? 2 * capacity : 1024;
      frames = realloc(frames, (size_t)capacity * sizeof *frames);
      if (frames == NULL) exit(1);
    }
    frames[(*count)++] = n;
  }
  fclose(in);
  return frames;
}

/* MD5 of the visible Y rows, then U, then V, packed: what framemd5 prints for yuv420p. */
static void FrameMd5(const FFMS_Frame* f, char out[33]) {
  struct AVMD5* md5 = av_md5_alloc();
  const int width = f->EncodedWidth, height = f->EncodedHeight;
  unsigned char digest[16];
  int row, plane, i;
  av_md5_init(md5);
  for (row = 0; row < height; ++row)
    av_md5_update(md5, f->Data[0] + (long)row * f->Linesize[0], width);
  for (plane = 1; plane <= 2; ++plane) {
    for (row = 0; row < height / 2; ++row) {
      av_md5_update(md5, f->Data[plane] + (long)row * f->Linesize[plane], width / 2);
    }
  }
  av_md5_final(md5, digest);
  av_free(md5);
  for (i = 0; i < 16; ++i) sprintf(out + 2 * i, "%02x", digest[i]);
}

static int CompareDoubles(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

int main(int argc, char** argv) {
  const char *video = NULL, *reference = NULL, *list = NULL, *timesPath = NULL;
  FILE* times = NULL;
  int threads = 1, seekMode = FFMS_SEEK_NORMAL, i, right;
  char message[1024];
  FFMS_ErrorInfo error;
  FFMS_Indexer* indexer;
  FFMS_Index* index;
  FFMS_VideoSource* source;
  int track, clipFrames, referenceCount = 0, requestCount = 0, served = 0, wrong = 0;
  char(*md5s)[33];
  int* frames;
  double *latencies, start, indexSeconds, sum = 0;

  for (i = 1; i < argc; ++i) {
    const int hasValue = i + 1 < argc;
    if (!strcmp(argv[i], "--reference") && hasValue) {
      reference = argv[++i];
    } else if (!strcmp(argv[i], "--list") && hasValue) {
      list = argv[++i];
    } else if (!strcmp(argv[i], "--threads") && hasValue) {
      threads = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--seek") && hasValue) {
      seekMode = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--times") && hasValue) {
      timesPath = argv[++i];
    } else if (video == NULL && argv[i][0] != '-') {
      video = argv[i];
    } else {
      fprintf(stderr, "ffms2_random: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (video == NULL || reference == NULL || list == NULL) {
    fprintf(stderr,
            "usage: ffms2_random VIDEO --reference REF.framemd5 --list FRAMES [--threads N] "
            "[--seek MODE]\n");
    return 2;
  }
  md5s = ReadReference(reference, &referenceCount);
  frames = ReadList(list, &requestCount);
  if (referenceCount == 0 || requestCount == 0) {
    fprintf(stderr, "ffms2_random: no reference frames or no frames to serve\n");
    return 1;
  }

  error.Buffer = message;
  error.BufferSize = sizeof message;
  error.ErrorType = FFMS_ERROR_SUCCESS;
  error.SubType = FFMS_ERROR_SUCCESS;
  message[0] = '\0';
  FFMS_Init(0, 0);
  FFMS_SetLogLevel(FFMS_LOG_QUIET);

  start = Now();
  indexer = FFMS_CreateIndexer(video, &error);
  index = indexer ? FFMS_DoIndexing2(indexer, FFMS_IEH_ABORT, &error) : NULL;
  indexSeconds = Now() - start;
  if (index == NULL) {
    fprintf(stderr, "ffms2_random: cannot index %s: %s\n", video, message);
    return 1;
  }
  track = FFMS_GetFirstTrackOfType(index, FFMS_TYPE_VIDEO, &error);
  source =
      track >= 0 ? FFMS_CreateVideoSource(video, track, index, threads, seekMode, &error) : NULL;
  if (source == NULL) {
    fprintf(stderr, "ffms2_random: cannot open %s: %s\n", video, message);
    return 1;
  }
  clipFrames = FFMS_GetVideoProperties(source)->NumFrames;
  if (clipFrames != referenceCount) {
    fprintf(stderr, "ffms2_random: %s has %d frames, the reference %d\n", video, clipFrames,
            referenceCount);
  }

  latencies = calloc((size_t)requestCount, sizeof *latencies);
  if (timesPath != NULL && (times = fopen(timesPath, "w")) == NULL) {
    fprintf(stderr, "ffms2_random: cannot write %s\n", timesPath);
    return 1;
  }
  for (i = 0; i < requestCount; ++i) {
    const int n = frames[i];
    const FFMS_Frame* frame;
    double before;
    char md5[33];
    if (n < 0 || n >= clipFrames) continue;
    before = Now();
    frame = FFMS_GetFrame(source, n, &error);
    latencies[served] = Now() - before;
    sum += latencies[served];
    ++served;
    if (frame == NULL) {
      ++wrong;
      if (times) fprintf(times, "%d %.4f 0\n", n, 1e3 * latencies[served - 1]);
      continue;
    }
    FrameMd5(frame, md5);
    right = n < referenceCount && strcmp(md5, md5s[n]) == 0;
    if (!right) ++wrong;
    if (times) fprintf(times, "%d %.4f %d\n", n, 1e3 * latencies[served - 1], right);
  }
  if (times) fclose(times);
  if (served == 0) {
    fprintf(stderr, "ffms2_random: no frames to serve\n");
    return 1;
  }
  qsort(latencies, (size_t)served, sizeof *latencies, CompareDoubles);
  printf(
      "index_s=%.4f frames=%d wall_s=%.4f fps=%.1f mean_ms=%.3f p95_ms=%.3f max_ms=%.3f wrong=%d "
      "clip_frames=%d\n",
      indexSeconds, served, sum, served / sum, 1e3 * sum / served,
      1e3 * latencies[(int)(0.95 * (served - 1) + 0.5)], 1e3 * latencies[served - 1], wrong,
      clipFrames);

  FFMS_DestroyVideoSource(source);
  FFMS_DestroyIndex(index);
  FFMS_Deinit();
  free(latencies);
  free(frames);
  free(md5s);
  return 0;
}
