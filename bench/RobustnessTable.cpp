// Runs the design's receiver and the robust receiver on the same trials of the channel
// simulator and prints one table: keys right, keys wrong and the median time to the key from the
// signal's start, per condition and receiver, with the CPU each spent per second of audio and
// the robust receiver's longest single Feed call (what a capture callback waits for).
//
// hov_robustness [--seed N] [--trials N] [--noise-hours H] [--threads N] [--only TEXT]
#include <time.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/channel/ChannelSim.h"
#include "codec/ShareKeyEncoder.h"
#include "receive/HovSinkConcurrent.h"
#include "receive/robust/RobustReceiver.h"
#include "runtime/HovLog.h"

namespace {

struct Outcome {
  bool heard = false;    // a key came out
  bool right = false;    // and it is the one sent
  double seconds = 0.0;  // from the signal's start to the end of the buffer that gave it
  double cpuSeconds = 0.0;
  double audioSeconds = 0.0;  // audio fed until the key, or all of it
  double longestFeed = 0.0;   // the longest single Feed call, seconds of thread time
};

using Clock = std::chrono::steady_clock;

// CPU time of the calling thread: the figures stay fair on a busy machine.
double ThreadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

Outcome RunDesign(const ChannelTrial& trial, const ChannelCondition& c) {
  Outcome o;
  HovSinkConcurrent sink(4);
  const double start = ThreadSeconds();
  sink.Open(1, static_cast<uint32_t>(c.captureRate), 16);
  const int64_t frames = static_cast<int64_t>(trial.samples.size());
  int64_t at = 0;
  while (at < frames) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(c.block, frames - at));
    sink.Write(&trial.samples[at], n);
    at += n;
    if (sink.IsComplete()) {
      char buffer[1024];
      const int32_t length = sink.GetMessage(buffer, sizeof buffer);
      std::string key;
      if (ShareKeyEncoder::Decode(std::string(buffer, length), &key)) {
        o.heard = true;
        o.right = key == trial.shareKey;
        o.seconds = (at - trial.signalStart) / c.captureRate;
      }
      break;
    }
  }
  sink.Close();
  o.cpuSeconds = ThreadSeconds() - start;
  o.audioSeconds = at / c.captureRate;
  return o;
}

Outcome RunRobust(const ChannelTrial& trial, const ChannelCondition& c) {
  Outcome o;
  const double start = ThreadSeconds();
  RobustReceiver receiver(c.captureRate);
  const int64_t frames = static_cast<int64_t>(trial.samples.size());
  int64_t at = 0;
  while (at < frames) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(c.block, frames - at));
    const double before = ThreadSeconds();
    const bool done = receiver.Feed(&trial.samples[at], n);
    o.longestFeed = std::max(o.longestFeed, ThreadSeconds() - before);
    at += n;
    if (done) {
      const RobustResult& r = receiver.Result();
      std::string key;
      ShareKeyEncoder::Decode(std::string(reinterpret_cast<const char*>(r.key), 4), &key);
      o.heard = true;
      o.right = key == trial.shareKey;
      o.seconds = (at - trial.signalStart) / c.captureRate;
      break;
    }
  }
  o.cpuSeconds = ThreadSeconds() - start;
  o.audioSeconds = at / c.captureRate;
  return o;
}

struct Row {
  ChannelCondition condition;
  int trials;
  int id = 0;  // seeds the row's trials, the same whichever rows run
};

struct Tally {
  int right = 0, wrong = 0;
  std::vector<double> times;
  double cpu = 0.0, audio = 0.0, longestFeed = 0.0;
  void Add(const Outcome& o) {
    longestFeed = std::max(longestFeed, o.longestFeed);
    if (o.heard && o.right) {
      ++right;
      times.push_back(o.seconds);
    } else if (o.heard) {
      ++wrong;
    }
    cpu += o.cpuSeconds;
    audio += o.audioSeconds;
  }
  std::string Median() {
    if (times.empty()) {
      return "-";
    }
    std::sort(times.begin(), times.end());
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", times[times.size() / 2]);
    return text;
  }
};

uint64_t Mix(uint64_t a, uint64_t b) {
  uint64_t x = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull + (a << 6) + (a >> 2));
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  return x ^ (x >> 29);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t seed = 1;
  int trials = 100;
  double noiseHours = 1.0;
  int threads = 2;
  std::string only;  // run only the conditions whose name holds this text
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--seed")) {
      seed = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (!std::strcmp(argv[i], "--trials")) {
      trials = std::atoi(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--noise-hours")) {
      noiseHours = std::atof(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--only")) {
      only = argv[i + 1];
    } else if (!std::strcmp(argv[i], "--threads")) {
      threads = std::max(1, std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  HovLogger::GetInstance()->RegisterLogger(nullptr);

  using K = ChannelCondition;
  auto key = [](const char* name, double snr, double ppm, double rate, int32_t block, double rt60,
                double drr) {
    ChannelCondition c;
    c.name = name;
    c.snrDb = snr;
    c.clockPpm = ppm;
    c.captureRate = rate;
    c.block = block;
    c.rt60 = rt60;
    c.drrDb = drr;
    return c;
  };
  auto negative = [](const char* name, K::Kind kind) {
    ChannelCondition c;
    c.name = name;
    c.kind = kind;
    return c;
  };
  const int noiseTrials = static_cast<int>(noiseHours * 3600.0 / TrialSeconds() + 0.5);
  std::vector<Row> rows = {
      {key("+10 dB", 10, 0, 48000, 1024, 0, 0), trials},
      {key("-10 dB", -10, 0, 48000, 1024, 0, 0), trials},
      {key("-15 dB", -15, 0, 48000, 1024, 0, 0), trials},
      {key("+-1000 ppm, -5 dB", -5, 1000, 48000, 1024, 0, 0), trials},
      {key("+-5000 ppm, +10 dB", 10, 5000, 48000, 1024, 0, 0), trials},
      {key("44.1 kHz, 1024 frames, +10 dB", 10, 0, 44100, 1024, 0, 0), trials},
      {key("44.1 kHz, 4096 frames, +10 dB", 10, 0, 44100, 4096, 0, 0), trials},
      {key("RT60 0.6 s, DRR -6 dB, +10 dB", 10, 0, 48000, 1024, 0.6, -6), trials},
      {negative("noise (no key)", K::kNoise), noiseTrials},
      {negative("chirps 17-22 kHz (no key)", K::kChirps), 4 * trials},
      {negative("tones 18.9-20.1 kHz (no key)", K::kTones), 2 * trials},
      {negative("music-like notes (no key)", K::kMusic), 4 * trials},
  };

  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    rows[r].id = r;
  }
  rows.erase(std::remove_if(
                 rows.begin(), rows.end(),
                 [&](const Row& r) { return r.condition.name.find(only) == std::string::npos; }),
             rows.end());
  struct Job {
    int row, index;
  };
  std::vector<Job> jobs;
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    for (int i = 0; i < rows[r].trials; ++i) {
      jobs.push_back({r, i});
    }
  }
  std::vector<Outcome> design(jobs.size()), robust(jobs.size());
  std::atomic<size_t> next{0};
  auto work = [&]() {
    for (size_t j = next++; j < jobs.size(); j = next++) {
      const ChannelCondition& c = rows[jobs[j].row].condition;
      const ChannelTrial trial = MakeTrial(c, Mix(Mix(seed, rows[jobs[j].row].id), jobs[j].index));
      design[j] = RunDesign(trial, c);
      robust[j] = RunRobust(trial, c);
    }
  };
  const auto start = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back(work);
  }
  for (std::thread& t : pool) {
    t.join();
  }

  std::printf("Seed %llu, %.1f s per trial; time to key is the median from the signal's start.\n",
              static_cast<unsigned long long>(seed), TrialSeconds());
  std::printf(
      "| condition | trials | design: right | wrong | median s | robust: right | wrong | "
      "median s | CPU ms per s of audio, design / robust | robust's longest Feed, ms |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    Tally d, b;
    for (size_t j = 0; j < jobs.size(); ++j) {
      if (jobs[j].row == r) {
        d.Add(design[j]);
        b.Add(robust[j]);
      }
    }
    const bool positive = rows[r].condition.kind == K::kKey;
    const int n = rows[r].trials;
    char dr[16], br[16];
    std::snprintf(dr, sizeof dr, positive ? "%.0f %%" : "-", 100.0 * d.right / std::max(1, n));
    std::snprintf(br, sizeof br, positive ? "%.0f %%" : "-", 100.0 * b.right / std::max(1, n));
    std::printf("| %s | %d | %s | %d | %s | %s | %d | %s | %.2f / %.2f | %.1f |\n",
                rows[r].condition.name.c_str(), n, dr, d.wrong, d.Median().c_str(), br, b.wrong,
                b.Median().c_str(), 1000.0 * d.cpu / std::max(d.audio, 1e-9),
                1000.0 * b.cpu / std::max(b.audio, 1e-9), 1000.0 * b.longestFeed);
  }
  std::printf("%zu trials in %.0f s on %d threads.\n", jobs.size(),
              std::chrono::duration<double>(Clock::now() - start).count(), threads);
  return 0;
}
