#include "tools/hov/RecordCommand.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "capture/AudioInput.h"
#include "modem/OnAir.h"
#include "tools/hov/CoreLog.h"
#include "tools/hov/LiveStatus.h"
#include "tools/hov/RecordSink.h"
#include "tools/hov/StopRequest.h"

namespace {
using Clock = RecordSink::Clock;

// The capture delivers a buffer every few milliseconds; a recording that falls this far behind
// the clock has stalled.
constexpr std::chrono::seconds kStallLimit(10);
// The receiver's decoders: decoder d's window starts d staggers in; a decoder has its result
// with the frame after its window.
constexpr int kDecoders = onair::kDecoderCount;
constexpr long long kDecoderStagger = onair::kDecoderStagger;
constexpr long long kWindowFrames = onair::kWindowFrames;
// Below this the tone band holds nothing but rounding (16-bit samples).
constexpr double kSilentDb = -130.0;

int DecodersDone(long long frames) {
  int done = 0;
  for (int d = 0; d < kDecoders; ++d) {
    done += frames > d * kDecoderStagger + kWindowFrames ? 1 : 0;
  }
  return done;
}

// Polling thread. Recorded time, level of the tone band, the decoders' progress.
std::string StatusText(RecordSink& sink, const RecordOptions& options) {
  const uint32_t rate = sink.SampleRate();
  const long long frames = sink.Frames();
  const double seconds = rate > 0 ? static_cast<double>(frames) / rate : 0.0;
  char text[200];
  int n = std::snprintf(text, sizeof text, "hov record  %5.1f s", seconds);
  if (options.seconds > 0) {
    n += std::snprintf(text + n, sizeof text - n, " of %.1f s", options.seconds);
  }
  const double level = sink.BandLevelDb();
  if (std::isnan(level)) {
    n += std::snprintf(text + n, sizeof text - n, "  19.1-19.9 kHz: -");
  } else if (level < kSilentDb) {
    n += std::snprintf(text + n, sizeof text - n, "  19.1-19.9 kHz: silent");
  } else {
    n += std::snprintf(text + n, sizeof text - n, "  19.1-19.9 kHz: %ld dBFS", std::lround(level));
  }
  n += std::snprintf(text + n, sizeof text - n, "  decoders %d/%d done", DecodersDone(frames),
                     kDecoders);
  std::string key = sink.HeardKey();
  if (!key.empty()) {
    std::snprintf(text + n, sizeof text - n, ", heard %s", key.c_str());
  }
  return text;
}

bool FileExists(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  std::fclose(file);
  return true;
}
}  // namespace

int RunRecord(const RecordOptions& options) {
  RouteCoreLog(options.verbose);
  RouteSoundSystemLog(options.verbose);
  // Find out before recording whether the file can be written at all.
  const bool existed = FileExists(options.outPath);
  std::FILE* probe = std::fopen(options.outPath.c_str(), "ab");
  if (probe == nullptr) {
    std::fprintf(stderr, "hov record: cannot write %s: %s\n", options.outPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::fclose(probe);
  if (!existed) {
    std::remove(options.outPath.c_str());
  }

  // The capture always delivers 48000 frames a second.
  const long long limit =
      options.seconds > 0 ? std::llround(options.seconds * onair::kSampleRate) : 0;
  RecordSink sink(limit, options.verbose);
  StopRequest stop([&sink] { sink.RequestStop(); });
  LiveStatus status(!options.verbose, [&sink, &options] { return StatusText(sink, options); });

  AudioInput input;
  if (!input.Open(0, &sink)) {
    input.Close();
    status.Stop();
    std::fprintf(stderr,
                 "hov record: no capture device opened (--verbose shows the library's reasons)\n");
    return 4;
  }
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = limit > 0
                                         ? start +
                                               std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(options.seconds)) +
                                               kStallLimit
                                         : start + kUntilStopped;
  const bool done = sink.WaitDone(deadline);
  input.Close();
  status.Stop();

  if (sink.Frames() == 0) {
    std::fprintf(stderr, "hov record: the capture delivered no sound; %s not written\n",
                 options.outPath.c_str());
    return 4;
  }
  std::string error;
  if (!sink.Save(options.outPath, &error)) {
    std::fprintf(stderr, "hov record: %s\n", error.c_str());
    return 1;
  }
  if (!done) {
    std::fprintf(stderr,
                 "hov record: the capture stalled after %.2f s; what came was written to %s\n",
                 static_cast<double>(sink.Frames()) / onair::kSampleRate, options.outPath.c_str());
    return 4;
  }
  return 0;
}
