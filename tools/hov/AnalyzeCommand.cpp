#include "tools/hov/AnalyzeCommand.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "hov/modem.h"
#include "tools/hov/Analyze.h"
#include "tools/hov/AudioFiles.h"
#include "tools/hov/SpectrogramPng.h"

namespace {
using analyze::DecoderReport;
using analyze::Report;

constexpr int32_t kReadChunk = 48000;

// The first channel of a file in 16-bit units: a 16-bit file's samples exactly, any other's
// times 32768.
bool ReadSamples(const std::string& path, std::vector<float>* samples, int32_t* rate) {
  SoundFileReader file;
  std::string error;
  if (!file.Open(path, &error)) {
    std::fprintf(stderr, "hov analyze: %s\n", error.c_str());
    return false;
  }
  std::vector<int16_t> pcm(kReadChunk);
  std::vector<float> floats(kReadChunk);
  for (;;) {
    if (file.Pcm16()) {
      const int64_t n = file.ReadPcm16(pcm.data(), kReadChunk);
      samples->insert(samples->end(), pcm.begin(), pcm.begin() + n);
      if (n <= 0) {
        break;
      }
    } else {
      const int64_t n = file.ReadFloat(floats.data(), kReadChunk);
      for (int64_t i = 0; i < n; ++i) {
        samples->push_back(floats[static_cast<size_t>(i)] * 32768.0f);
      }
      if (n <= 0) {
        break;
      }
    }
  }
  *rate = file.Rate();
  return true;
}

double Seconds(int64_t frames, const Report& report) {
  return static_cast<double>(frames) / report.sampleRate;
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// A number, or null where it is not finite (a phase score of a frame with only one tone).
std::string JsonNumber(double value, const char* format = "%.1f") {
  if (!std::isfinite(value)) {
    return "null";
  }
  char text[40];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

template <typename T, typename F>
std::string JsonList(const T& values, F each) {
  std::string out = "[";
  for (const auto& value : values) {
    out += (out.size() > 1 ? "," : "") + each(value);
  }
  return out + "]";
}

std::string DecoderJson(const DecoderReport& d) {
  std::string out = "{\"number\":" + std::to_string(d.number) +
                    ",\"delay\":" + std::to_string(d.delay) +
                    ",\"complete\":" + (d.complete ? "true" : "false");
  if (d.complete) {
    out += ",\"phaseScores\":" +
           JsonList(d.phaseScores, [](float v) { return JsonNumber(v, "%.6g"); }) +
           ",\"bestPhase\":" + std::to_string(d.bestPhase) +
           ",\"tones\":" + JsonList(d.tones, [](uint32_t v) { return std::to_string(v); });
  }
  out += ",\"packet\":" +
         (d.packet ? JsonList(d.bytes, [](uint8_t v) { return std::to_string(v); }) : "null");
  out += ",\"key\":" + (d.key.empty() ? std::string("null") : JsonText(d.key));
  out += ",\"late\":" + std::string(d.late ? "true" : "false");
  out += ",\"frame\":" + (d.packet ? std::to_string(d.packetFrame) : std::string("null"));
  out += ",\"votes\":" + std::to_string(d.votes);
  out += ",\"accepting\":" + std::string(d.accepting ? "true" : "false") + "}";
  return out;
}

// A robust receiver's tone as text: '-' where it was not read.
std::string RobustTone(int tone) {
  return tone == -2 ? "-" : std::to_string(tone);
}

std::string RobustJson(const hov_modem_robust_view& v) {
  auto numbers = [](const auto& values) {
    return JsonList(values, [](double x) { return JsonNumber(x, "%.6g"); });
  };
  std::string tones = "[";
  for (const auto& row : v.tones) {
    tones += (tones.size() > 1 ? "," : "") + JsonList(row, [](int t) { return std::to_string(t); });
  }
  return "{\"verdict\":" + JsonText(v.verdict) + ",\"frame\":" + std::to_string(v.frame) +
         ",\"searches\":" + std::to_string(v.searches) +
         ",\"repetitions\":" + std::to_string(v.repetitions) +
         ",\"shiftBins\":" + std::to_string(v.shift_bins) +
         ",\"offsetPpm\":" + JsonNumber(v.offset_ppm) + ",\"phase\":" + std::to_string(v.phase) +
         ",\"separator\":" + std::to_string(v.separator) + ",\"tones\":" + tones + "]" +
         ",\"summed\":" + JsonList(v.summed, [](int t) { return std::to_string(t); }) +
         ",\"margins\":" + numbers(v.margins) + ",\"rivals\":" + numbers(v.rivals) +
         ",\"minMargin\":" + JsonNumber(v.min_margin) + "}";
}

void PrintRobust(const Report& r) {
  const hov_modem_robust_view& v = r.robustView;
  std::printf(
      "\nrobust receiver, last search at %.2f s (%lld searches): %s; clock offset %+.0f ppm "
      "(%d bins), symbol phase %d/8, separator at position %d, %d packets summed, smallest "
      "margin %.1f\n",
      Seconds(v.frame, r), static_cast<long long>(v.searches), v.verdict, v.offset_ppm,
      v.shift_bins, v.phase, v.separator, v.repetitions, v.min_margin);
  std::printf("  position ");
  for (int p = 0; p < 10; ++p) {
    std::printf(" %5d", p);
  }
  for (int row = 0; row < 3; ++row) {
    std::printf("\n  packet -%d", row);
    for (int tone : v.tones[row]) {
      std::printf(" %5s", RobustTone(tone).c_str());
    }
  }
  std::printf("\n  summed   ");
  for (int tone : v.summed) {
    std::printf(" %5s", RobustTone(tone).c_str());
  }
  std::printf("\n  margin   ");
  for (float margin : v.margins) {
    std::printf(" %5.1f", margin);
  }
  std::printf("\n");
}

void PrintJson(const AnalyzeOptions& options, const Report& r) {
  std::string out =
      "{\"verdict\":" + JsonText(r.verdict) + ",\"file\":" + JsonText(options.inPath) +
      ",\"sampleRate\":" + std::to_string(r.sampleRate) +
      ",\"frames\":" + std::to_string(r.frames) + ",\"fileDb\":" + JsonNumber(r.fileDb) +
      ",\"bandDb\":" + JsonNumber(r.bandDb) + ",\"noiseDb\":" + JsonNumber(r.noiseDb) +
      ",\"tonesAboveNoiseDb\":" + JsonNumber(r.toneAboveNoiseDb);
  out += ",\"rows\":" + JsonList(r.rows, [](const analyze::LevelRow& row) {
           return "{\"t\":" + JsonNumber(row.start, "%.2f") +
                  ",\"noiseDb\":" + JsonNumber(row.noiseDb) +
                  ",\"tonesDb\":" + JsonList(row.toneDb, [](double v) { return JsonNumber(v); }) +
                  "}";
         });
  out += ",\"decoders\":" + JsonList(r.decoders, DecoderJson);
  if (r.robust) {
    out += ",\"robust\":" + RobustJson(r.robustView);
  }
  if (r.acceptedFrame >= 0 && r.robust) {
    out += ",\"accepted\":{\"key\":" + JsonText(r.acceptedKey) +
           ",\"frame\":" + std::to_string(r.acceptedFrame) +
           ",\"seconds\":" + JsonNumber(Seconds(r.acceptedFrame, r), "%.3f") + "}}";
  } else if (r.acceptedFrame >= 0) {
    out += ",\"accepted\":{\"key\":" + JsonText(r.acceptedKey) + ",\"decoders\":[" +
           std::to_string(r.acceptedBy[0]) + "," + std::to_string(r.acceptedBy[1]) +
           "],\"frame\":" + std::to_string(r.acceptedFrame) +
           ",\"seconds\":" + JsonNumber(Seconds(r.acceptedFrame, r), "%.3f") + "}}";
  } else {
    out += ",\"accepted\":null}";
  }
  std::printf("%s\n", out.c_str());
}

void PrintDecoder(const DecoderReport& d, const Report& r) {
  std::printf("  %2d  %5.2f-%5.2f", d.number, Seconds(d.delay, r),
              Seconds(d.delay + r.windowFrames, r));
  if (!d.complete && r.acceptedFrame >= 0) {
    std::printf("  not read to its end: the key was accepted at %.2f s\n",
                Seconds(r.acceptedFrame, r));
    return;
  }
  if (!d.complete) {
    std::printf("  window not complete: the file ends at %.2f s\n", Seconds(r.frames, r));
    return;
  }
  std::printf("   %d  ", d.bestPhase);
  for (float score : d.phaseScores) {
    std::printf(" %8.3g", score);
  }
  std::string tones;
  for (uint32_t tone : d.tones) {
    tones += (tones.empty() ? "" : " ") + std::to_string(tone);
  }
  std::printf("   %-32s", tones.c_str());
  if (!d.packet) {
    std::printf("  no separator\n");
    return;
  }
  std::string bytes;
  for (uint8_t b : d.bytes) {
    bytes += (bytes.empty() ? "" : " ") + std::to_string(b);
  }
  std::printf("  %-15s", bytes.c_str());
  if (d.key.empty()) {
    std::printf("  check failed");
  } else {
    std::printf("  %s  vote %d", d.key.c_str(), d.votes);
  }
  std::printf(" at %.2f s%s%s\n", Seconds(d.packetFrame, r),
              d.late ? " (late: from re-reads of its last frame)" : "",
              d.accepting ? ", accepted" : "");
}

void PrintText(const AnalyzeOptions& options, const Report& r) {
  hov_modem_format format;
  hov_modem_get_format(&format);
  std::printf("%s\n", r.verdict.c_str());
  std::printf("%s: %d Hz, %.2f s (%lld frames)\n", options.inPath.c_str(), r.sampleRate,
              Seconds(r.frames, r), static_cast<long long>(r.frames));
  std::printf(
      "levels in dB against a full-scale sine: whole file %.1f, 19.1-19.9 kHz %.1f, band noise "
      "%.1f per bin (median of 18.5-20.5 kHz outside the tones)\n",
      r.fileDb, r.bandDb, r.noiseDb);
  std::printf("tones stand %.0f dB above the band noise (the louder quarter of 0.1 s stretches)\n",
              r.toneAboveNoiseDb);

  if (!r.rows.empty()) {
    std::printf(
        "\ntone levels per 0.1 s in dB above the band noise (tone 0 %.0f Hz, %d %.0f Hz):\n",
        format.first_tone_hz, format.tone_count - 1,
        format.first_tone_hz + (format.tone_count - 1) * format.tone_step_hz);
    std::printf("  time  noise");
    for (int i = 0; i < analyze::kTones; ++i) {
      std::printf(" %4d", i);
    }
    std::printf("\n");
    for (const analyze::LevelRow& row : r.rows) {
      std::printf("  %4.1f %6ld", row.start, std::lround(row.noiseDb));
      for (double db : row.toneDb) {
        std::printf(" %4ld", std::lround(db));
      }
      std::printf("\n");
    }
  }

  if (r.robust) {
    PrintRobust(r);
    return;
  }
  std::printf(
      "\ndecoders: windows of %d frames, %d frames apart at %d Hz; phase scores of the four "
      "frame phases, the strongest tone of each frame of the best phase, the packet, the vote\n",
      format.window_frames, format.decoder_stagger, format.sample_rate);
  std::printf(
      "   #  window s      best  phase scores 0-3                   tones of the best phase"
      "           packet           key\n");
  for (const DecoderReport& d : r.decoders) {
    PrintDecoder(d, r);
  }
}
}  // namespace

int RunAnalyze(const AnalyzeOptions& options) {
  hov_modem_decoder* probe = nullptr;
  if (hov_modem_decoder_create(48000, options.receiver, &probe) == HOV_MODEM_ERROR_UNAVAILABLE) {
    std::fprintf(stderr, "hov analyze: the robust receiver is not part of this build\n");
    return 64;
  }
  hov_modem_decoder_destroy(probe);
  std::vector<float> samples;
  int32_t rate = 0;
  if (!ReadSamples(options.inPath, &samples, &rate)) {
    return 1;
  }
  if (rate < 1) {
    std::fprintf(stderr, "hov analyze: cannot read %s: no sample rate\n", options.inPath.c_str());
    return 1;
  }
  Report report = analyze::Analyze(samples, rate, options.bufferFrames, options.receiver);
  if (options.json) {
    PrintJson(options, report);
  } else {
    PrintText(options, report);
  }
  std::fflush(stdout);
  if (!options.pngPath.empty()) {
    std::string error;
    if (!SpectrogramPng::Write(report, options.pngPath, &error)) {
      std::fprintf(stderr, "hov analyze: %s\n", error.c_str());
      return 1;
    }
  }
  return 0;
}
