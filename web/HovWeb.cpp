// The page's way into the modem library: a few flat functions that JavaScript calls with
// numbers and heap pointers, over the library's public C interface and the tool's analysis.
// Everything runs on the page's main thread; the library's objects never leave it.
#include <emscripten/emscripten.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hov/modem.h"
#include "tools/hov/Analyze.h"
#include "tools/hov/AnalyzeCommand.h"
#include "tools/hov/FrameSpectrum.h"

namespace {

// A sample at full scale in 16-bit units: the analysis reads files in these units.
constexpr float kFullScale = 32768.0f;

// A text the page reads with UTF8ToString; valid until the next call that returns one.
const char* Hand(std::string text) {
  static std::string held;
  held = std::move(text);
  return held.c_str();
}

std::string Number(double value, const char* format = "%.1f") {
  if (!std::isfinite(value)) {
    return "null";
  }
  char text[40];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Text(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    if (static_cast<unsigned char>(c) >= 0x20) {
      out += c;
    }
  }
  return out + "\"";
}

template <typename T, typename F>
std::string List(const T& values, F each) {
  std::string out = "[";
  for (const auto& value : values) {
    out += (out.size() > 1 ? "," : "") + each(value);
  }
  return out + "]";
}

// A live decoder and what its inspector last saw, for the page's state line.
struct LiveDecoder {
  hov_modem_decoder* decoder = nullptr;
  int windows = 0;   // windows the design receiver's decoders have read
  int packets = 0;   // of those, windows with a packet
  char key[8] = {};  // the key of the last packet that passed the check
  int votes = 0;     // its votes then
};

void Inspect(void* context, const hov_modem_window* window) {
  auto* live = static_cast<LiveDecoder*>(context);
  if (window->repeated) {
    return;
  }
  ++live->windows;
  if (window->packet) {
    ++live->packets;
  }
  if (window->key[0] != '\0') {
    std::memcpy(live->key, window->key, sizeof live->key);
    live->votes = window->votes;
  }
}

}  // namespace

extern "C" {

// Main thread. The signal's numbers and the library's version as JSON. designSpanFrames: the
// frames (at sampleRate) in which the design receiver's last decoder has read its window.
EMSCRIPTEN_KEEPALIVE const char* hov_web_format() {
  hov_modem_format f;
  hov_modem_get_format(&f);
  return Hand("{\"version\":" + Text(hov_modem_version()) + ",\"sampleRate\":" +
              std::to_string(f.sample_rate) + ",\"toneCount\":" + std::to_string(f.tone_count) +
              ",\"firstToneHz\":" + Number(f.first_tone_hz, "%.6f") + ",\"toneStepHz\":" +
              Number(f.tone_step_hz, "%.6f") + ",\"bandLowHz\":" + Number(f.band_low_hz) +
              ",\"bandHighHz\":" + Number(f.band_high_hz) +
              ",\"acceptVotes\":" + std::to_string(f.accept_votes) + ",\"designSpanFrames\":" +
              std::to_string((f.decoder_count - 1) * f.decoder_stagger + f.window_frames) + "}");
}

// Main thread. A new encoder of key at the start of the signal, or null when key is not a
// share key. Read it with hov_modem_encoder_read_*; free it with hov_modem_encoder_destroy.
EMSCRIPTEN_KEEPALIVE hov_modem_encoder* hov_web_encoder_new(const char* key) {
  hov_modem_encoder* encoder = nullptr;
  hov_modem_encoder_create(key, &encoder);
  return encoder;
}

// Main thread. A new decoder of mono samples at rate running the receiver named ("design",
// "robust"), or null when that cannot be made. The design receiver reports its windows.
EMSCRIPTEN_KEEPALIVE LiveDecoder* hov_web_decoder_new(int rate, const char* name) {
  int receiver = 0;
  if (hov_modem_receiver_from_name(name, &receiver) != HOV_MODEM_OK) {
    return nullptr;
  }
  auto* live = new LiveDecoder;
  if (hov_modem_decoder_create(rate, receiver, &live->decoder) != HOV_MODEM_OK) {
    delete live;
    return nullptr;
  }
  if (receiver == HOV_MODEM_RECEIVER_DESIGN) {
    hov_modem_decoder_set_inspector(live->decoder, Inspect, live);
  }
  return live;
}

// Main thread. Writes frames float samples (full scale at +-1.0); returns the result code
// (HOV_MODEM_RESULT_*) or an error (negative, below -3 or -1).
EMSCRIPTEN_KEEPALIVE int hov_web_decoder_write(LiveDecoder* live, const float* samples,
                                               int frames) {
  hov_modem_result result;
  int rc =
      hov_modem_decoder_write_f32(live->decoder, samples, static_cast<size_t>(frames), &result);
  return rc == HOV_MODEM_OK ? result.code : rc;
}

// Main thread. The decoder's state as JSON: its result, what the design receiver's windows have
// read, and the robust receiver's last search ("search").
EMSCRIPTEN_KEEPALIVE const char* hov_web_decoder_state(LiveDecoder* live) {
  hov_modem_result result;
  hov_modem_decoder_result(live->decoder, &result);
  // The robust receiver's last search, where it runs: why it has not committed a key yet.
  std::string robust;
  hov_modem_robust_view view;
  if (hov_modem_decoder_robust_view(live->decoder, &view) == HOV_MODEM_OK && view.frame >= 0) {
    robust = ",\"search\":{\"verdict\":" + Text(view.verdict) +
             ",\"repetitions\":" + std::to_string(view.repetitions) +
             ",\"minMargin\":" + Number(view.min_margin) + "}";
  }
  return Hand("{\"code\":" + std::to_string(result.code) + ",\"key\":" + Text(result.key) +
              ",\"frame\":" + std::to_string(result.frame) +
              ",\"windows\":" + std::to_string(live->windows) +
              ",\"packets\":" + std::to_string(live->packets) + ",\"lastKey\":" + Text(live->key) +
              ",\"votes\":" + std::to_string(live->votes) + robust + "}");
}

// Main thread. Frees the decoder; null is ignored.
EMSCRIPTEN_KEEPALIVE void hov_web_decoder_free(LiveDecoder* live) {
  if (live != nullptr) {
    hov_modem_decoder_destroy(live->decoder);
    delete live;
  }
}

// Main thread. What hov analyze finds in frames samples of a file's first channel at rate
// (full scale at +-1.0), as JSON: the verdict, the levels, the decoders and the spectrogram,
// whose dB values ([column][bin - firstBin], floats) stay at the heap address "db" until the
// next analysis. The samples are taken into 16-bit units (a 16-bit file's samples exactly), and
// the receiver and its buffers chosen, as hov analyze takes a file by default.
EMSCRIPTEN_KEEPALIVE const char* hov_web_analyze(const float* samples, int frames, int rate) {
  std::vector<float> pcm(samples, samples + frames);
  for (float& sample : pcm) {
    sample *= kFullScale;
  }
  static analyze::Report r;
  const AnalyzeOptions defaults;
  r = analyze::Analyze(pcm, rate, defaults.bufferFrames, defaults.receiver);
  const analyze::Spectrogram& s = r.spectrogram;
  std::string out = "{\"verdict\":" + Text(r.verdict) +
                    ",\"sampleRate\":" + std::to_string(r.sampleRate) +
                    ",\"frames\":" + std::to_string(r.frames) + ",\"fileDb\":" + Number(r.fileDb) +
                    ",\"bandDb\":" + Number(r.bandDb) + ",\"noiseDb\":" + Number(r.noiseDb) +
                    ",\"tonesAboveNoiseDb\":" + Number(r.toneAboveNoiseDb);
  out += ",\"decoders\":" + List(r.decoders, [](const analyze::DecoderReport& d) {
           return "{\"number\":" + std::to_string(d.number) +
                  ",\"delay\":" + std::to_string(d.delay) +
                  ",\"complete\":" + (d.complete ? "true" : "false") +
                  ",\"bestPhase\":" + std::to_string(d.bestPhase) +
                  ",\"tones\":" + List(d.tones, [](uint32_t v) { return std::to_string(v); }) +
                  ",\"packet\":" + (d.packet ? "true" : "false") + ",\"key\":" + Text(d.key) +
                  ",\"votes\":" + std::to_string(d.votes) +
                  ",\"accepting\":" + (d.accepting ? "true" : "false") + "}";
         });
  out += ",\"acceptedKey\":" + Text(r.acceptedKey) +
         ",\"acceptedFrame\":" + std::to_string(r.acceptedFrame);
  out += ",\"spectrogram\":{\"frameLength\":" + std::to_string(FrameSpectrum::kLength) +
         ",\"firstBin\":" + std::to_string(s.firstBin) +
         ",\"lastBin\":" + std::to_string(s.lastBin) + ",\"hop\":" + std::to_string(s.hop) +
         ",\"columns\":" + std::to_string(s.columns) +
         ",\"toneBins\":" + List(s.toneBins, [](int32_t v) { return std::to_string(v); }) +
         ",\"db\":" + std::to_string(reinterpret_cast<uintptr_t>(s.db.data())) + "}}";
  return Hand(std::move(out));
}

}  // extern "C"
