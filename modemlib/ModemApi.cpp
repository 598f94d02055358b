// The modem library's C functions: thin shells over the sender's sample source, the receivers
// and the resampler. No exception leaves a function; bad arguments are answered with a code.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/ShareKeyEncoder.h"
#include "hov/modem.h"
#include "modem/OnAir.h"
#include "modem/Resampler.h"
#include "modem/ToneDetector.h"
#include "modemlib/Receivers.h"
#include "receive/robust/RobustReceiver.h"
#include "runtime/HovLog.h"
#include "send/HovSource.h"

#ifndef HOV_MODEM_VERSION
#error "HOV_MODEM_VERSION must be defined by the build"
#endif

namespace {
constexpr int kMinRate = 8000;
constexpr int kMaxRate = 384000;
// Longer calls are cut into pieces of this many frames; each piece is one buffer.
constexpr size_t kPiece = size_t{1} << 20;
constexpr float kFullScale = 32768.0f;

// The library's sinks write progress lines; a buffer modem has no one to write them to.
void QuietLog() {
  HovLogger::GetInstance()->RegisterLogger(nullptr);
}

bool EncodeKey(const char* shareKey, std::string* encoded) {
  return shareKey != nullptr && ShareKeyEncoder::Encode(shareKey, encoded);
}

int16_t ToPcm16(float value) {
  const float held = std::clamp(std::nearbyint(value), -32768.0f, 32767.0f);
  return static_cast<int16_t>(held);
}
}  // namespace

// Turns the design receiver's window reports into the C structure for the inspector. Outside
// the anonymous namespace: the decoder, a type with linkage, holds one.
class InspectorBridge : public HovSinkConcurrent::Observer {
 public:
  hov_modem_inspector function = nullptr;
  void* context = nullptr;

  void OnWindow(const HovSinkConcurrent::WindowReport& report) override {
    hov_modem_window window = {};
    window.decoder = report.decoder;
    window.start_frame = report.delayFrames;
    window.frame = report.streamFrames;
    window.repeated = report.repeated ? 1 : 0;
    const ToneDetector* detector = report.detector;
    if (detector != nullptr) {
      const int32_t phases = std::min(detector->params.framesPerSymbol, 4);
      std::copy(detector->phaseScores, detector->phaseScores + phases, window.phase_scores);
      int32_t best = 0;
      MaxIndex(detector->phaseScores, phases, &best);
      window.best_phase = best;
      window.tone_count = std::min(detector->slotsPerPhase, 16);
      const uint32_t* row =
          detector->toneIndexes + static_cast<size_t>(best) * detector->slotsPerPhase;
      for (int i = 0; i < window.tone_count; ++i) {
        window.tones[i] = static_cast<uint8_t>(row[i]);
      }
    }
    if (report.packetLength > 0) {
      window.packet = 1;
      std::memcpy(window.bytes, report.packet, std::min<size_t>(report.packetLength, 4));
    }
    std::strncpy(window.key, report.key.c_str(), sizeof window.key - 1);
    window.votes = report.votes;
    window.accepted = report.accepted ? 1 : 0;
    function(context, &window);
  }
};

namespace {
void Listening(hov_modem_result* result) {
  *result = {};
  result->code = HOV_MODEM_RESULT_LISTENING;
  result->frame = -1;
}
}  // namespace

struct hov_modem_encoder {
  HovSource source;
  std::vector<int16_t> pcm;  // the float read's 16-bit samples

  ~hov_modem_encoder() { source.Uninit(); }
};

struct hov_modem_decoder {
  std::unique_ptr<KeyReceiver> receiver;
  std::unique_ptr<Resampler> resampler;  // null at the receiver's own rate
  InspectorBridge inspector;
  hov_modem_result result = {};
  int64_t inputFrames = 0;
  std::vector<float> scaled;     // input in 16-bit units, for the resampler
  std::vector<float> resampled;  // the resampler's output of one piece
  std::vector<int16_t> pcm;      // what the receiver gets

  // One buffer at the receiver's rate to the receiver; the result if it came.
  void Deliver(const int16_t* data, size_t frames) {
    if (frames == 0) {
      return;
    }
    receiver->Write(data, static_cast<int32_t>(frames));
    if (!receiver->IsComplete()) {
      return;
    }
    char packet[64] = {};
    const int32_t n = receiver->GetMessage(packet, static_cast<int32_t>(sizeof packet - 1));
    std::string key;
    const bool valid = ShareKeyEncoder::Decode(std::string(packet, static_cast<size_t>(n)), &key);
    result = {};
    result.code = valid ? HOV_MODEM_RESULT_KEY : HOV_MODEM_RESULT_UNDECODABLE;
    if (valid) {
      std::strncpy(result.key, key.c_str(), sizeof result.key - 1);
    }
    result.frame = inputFrames;
  }

  // One piece of input in 16-bit units through the resampler to the receiver.
  void Resample(size_t frames) {
    resampled.clear();
    resampler->Push(scaled.data(), frames, &resampled);
    pcm.resize(resampled.size());
    std::transform(resampled.begin(), resampled.end(), pcm.begin(), ToPcm16);
    Deliver(pcm.data(), pcm.size());
  }

  bool Listening() const { return result.code == HOV_MODEM_RESULT_LISTENING; }
};

extern "C" {

const char* hov_modem_version(void) {
  return HOV_MODEM_VERSION;
}

int hov_modem_get_format(hov_modem_format* format) {
  if (format == nullptr) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  *format = {};
  format->sample_rate = onair::kSampleRate;
  format->tone_count = onair::kToneCount;
  format->band_low_hz = onair::kBandLow;
  format->band_high_hz = onair::kBandHigh;
  format->symbol_frames = onair::kSymbolSamples;
  format->frame_length = onair::kFrameLength;
  format->packet_symbols = onair::kPacketSymbols;
  format->payload_bytes = static_cast<int>(onair::kPayloadBytes);
  format->decoder_count = onair::kDecoderCount;
  format->decoder_stagger = onair::kDecoderStagger;
  format->window_frames = onair::kWindowFrames;
  format->accept_votes = onair::kAcceptVotes;
  format->fade_frames = 2 * onair::kFadeHalf;
  // The tone plan as the sender builds it.
  try {
    ModemParams* params =
        CreateModemParams(static_cast<float>(onair::kSampleRate), onair::kPayloadBytes);
    format->first_tone_hz = params->toneFrequencies[0];
    format->tone_step_hz = params->toneFrequencies[1] - params->toneFrequencies[0];
    DestroyModemParams(params);
  } catch (const std::bad_alloc&) {
    return HOV_MODEM_ERROR_MEMORY;
  }
  return HOV_MODEM_OK;
}

int hov_modem_receiver_from_name(const char* name, int* receiver) {
  if (name == nullptr || receiver == nullptr) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  if (std::strcmp(name, "design") == 0) {
    *receiver = HOV_MODEM_RECEIVER_DESIGN;
  } else if (std::strcmp(name, "robust") == 0) {
    *receiver = HOV_MODEM_RECEIVER_ROBUST;
  } else {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  return HOV_MODEM_OK;
}

int hov_modem_encoder_create(const char* share_key, hov_modem_encoder** encoder) {
  if (encoder == nullptr) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  *encoder = nullptr;
  QuietLog();
  std::string encoded;
  if (!EncodeKey(share_key, &encoded)) {
    return HOV_MODEM_ERROR_KEY;
  }
  try {
    auto made = std::make_unique<hov_modem_encoder>();
    made->source.Init(encoded.c_str());
    *encoder = made.release();
  } catch (const std::bad_alloc&) {
    return HOV_MODEM_ERROR_MEMORY;
  }
  return HOV_MODEM_OK;
}

int hov_modem_encoder_update(hov_modem_encoder* encoder, const char* share_key) {
  if (encoder == nullptr) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  std::string encoded;
  if (!EncodeKey(share_key, &encoded)) {
    return HOV_MODEM_ERROR_KEY;
  }
  try {
    encoder->source.Update(encoded.c_str());
  } catch (const std::bad_alloc&) {
    return HOV_MODEM_ERROR_MEMORY;
  }
  return HOV_MODEM_OK;
}

int hov_modem_encoder_read_s16(hov_modem_encoder* encoder, int16_t* samples, size_t frames) {
  if (encoder == nullptr || (samples == nullptr && frames > 0)) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  for (size_t done = 0; done < frames;) {  // the source allocates nothing
    const size_t piece = std::min(frames - done, kPiece);
    encoder->source.Read(samples + done, static_cast<int32_t>(piece));
    done += piece;
  }
  return HOV_MODEM_OK;
}

int hov_modem_encoder_read_f32(hov_modem_encoder* encoder, float* samples, size_t frames) {
  if (encoder == nullptr || (samples == nullptr && frames > 0)) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  try {
    for (size_t done = 0; done < frames;) {
      const size_t piece = std::min(frames - done, kPiece);
      encoder->pcm.resize(piece);
      encoder->source.Read(encoder->pcm.data(), static_cast<int32_t>(piece));
      std::transform(encoder->pcm.begin(), encoder->pcm.end(), samples + done,
                     [](int16_t s) { return static_cast<float>(s) / kFullScale; });
      done += piece;
    }
  } catch (const std::bad_alloc&) {
    return HOV_MODEM_ERROR_MEMORY;
  }
  return HOV_MODEM_OK;
}

void hov_modem_encoder_destroy(hov_modem_encoder* encoder) {
  delete encoder;
}

int hov_modem_decoder_create(int sample_rate, int receiver, hov_modem_decoder** decoder) {
  if (decoder == nullptr) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  *decoder = nullptr;
  if (receiver != HOV_MODEM_RECEIVER_DESIGN && receiver != HOV_MODEM_RECEIVER_ROBUST) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  if (sample_rate < kMinRate || sample_rate > kMaxRate) {
    return HOV_MODEM_ERROR_RATE;
  }
  QuietLog();
  try {
    auto made = std::make_unique<hov_modem_decoder>();
    made->receiver.reset(MakeReceiver(receiver, sample_rate));
    if (!made->receiver) {
      return HOV_MODEM_ERROR_UNAVAILABLE;
    }
    if (sample_rate != made->receiver->Rate()) {
      made->resampler = std::make_unique<Resampler>(sample_rate, made->receiver->Rate());
    }
    Listening(&made->result);
    *decoder = made.release();
  } catch (const std::bad_alloc&) {
    return HOV_MODEM_ERROR_MEMORY;
  }
  return HOV_MODEM_OK;
}

int hov_modem_decoder_write_s16(hov_modem_decoder* decoder, const int16_t* samples, size_t frames,
                                hov_modem_result* result) {
  if (decoder == nullptr || (samples == nullptr && frames > 0)) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  try {
    for (size_t done = 0; done < frames && decoder->Listening();) {
      const size_t piece = std::min(frames - done, kPiece);
      decoder->inputFrames += static_cast<int64_t>(piece);
      if (decoder->resampler) {
        decoder->scaled.assign(samples + done, samples + done + piece);
        decoder->Resample(piece);
      } else {
        decoder->Deliver(samples + done, piece);
      }
      done += piece;
    }
  } catch (const std::bad_alloc&) {
    return HOV_MODEM_ERROR_MEMORY;
  }
  if (result != nullptr) {
    *result = decoder->result;
  }
  return HOV_MODEM_OK;
}

int hov_modem_decoder_write_f32(hov_modem_decoder* decoder, const float* samples, size_t frames,
                                hov_modem_result* result) {
  if (decoder == nullptr || (samples == nullptr && frames > 0)) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  try {
    for (size_t done = 0; done < frames && decoder->Listening();) {
      const size_t piece = std::min(frames - done, kPiece);
      decoder->inputFrames += static_cast<int64_t>(piece);
      if (decoder->resampler) {
        decoder->scaled.resize(piece);
        std::transform(samples + done, samples + done + piece, decoder->scaled.begin(),
                       [](float s) { return s * kFullScale; });
        decoder->Resample(piece);
      } else {
        decoder->pcm.resize(piece);
        std::transform(samples + done, samples + done + piece, decoder->pcm.begin(),
                       [](float s) { return ToPcm16(s * kFullScale); });
        decoder->Deliver(decoder->pcm.data(), piece);
      }
      done += piece;
    }
  } catch (const std::bad_alloc&) {
    return HOV_MODEM_ERROR_MEMORY;
  }
  if (result != nullptr) {
    *result = decoder->result;
  }
  return HOV_MODEM_OK;
}

int hov_modem_decoder_result(const hov_modem_decoder* decoder, hov_modem_result* result) {
  if (decoder == nullptr || result == nullptr) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  *result = decoder->result;
  return HOV_MODEM_OK;
}

void hov_modem_decoder_destroy(hov_modem_decoder* decoder) {
  delete decoder;
}

int hov_modem_decoder_set_inspector(hov_modem_decoder* decoder, hov_modem_inspector inspector,
                                    void* context) {
  if (decoder == nullptr) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  decoder->inspector.function = inspector;
  decoder->inspector.context = context;
  if (!decoder->receiver->SetObserver(inspector != nullptr ? &decoder->inspector : nullptr)) {
    decoder->inspector.function = nullptr;
    return HOV_MODEM_ERROR_UNAVAILABLE;
  }
  return HOV_MODEM_OK;
}

int hov_modem_decoder_robust_view(const hov_modem_decoder* decoder, hov_modem_robust_view* view) {
  if (decoder == nullptr || view == nullptr) {
    return HOV_MODEM_ERROR_ARGUMENT;
  }
  const RobustInspection* seen = decoder->receiver->Robust();
  if (seen == nullptr) {
    return HOV_MODEM_ERROR_UNAVAILABLE;
  }
  static_assert(RobustInspection::kRepetitions == 3 && RobustInspection::kPositions == 10,
                "hov_modem_robust_view holds 3 packets of 10 symbols");
  *view = {};
  view->frame = seen->samplePosition;
  view->searches = seen->searches;
  view->repetitions = seen->repetitions;
  view->shift_bins = seen->shiftBins;
  view->offset_ppm = seen->offsetPpm;
  view->phase = seen->phase;
  view->separator = seen->separator;
  for (int p = 0; p < RobustInspection::kPositions; ++p) {
    for (int r = 0; r < RobustInspection::kRepetitions; ++r) {
      view->tones[r][p] = seen->tones[r][p];
    }
    view->summed[p] = seen->summed[p];
    view->margins[p] = seen->margins[p];
    view->rivals[p] = seen->rivals[p];
  }
  view->min_margin = seen->minMargin;
  std::strncpy(view->verdict, seen->verdict != nullptr ? seen->verdict : "",
               sizeof view->verdict - 1);
  return HOV_MODEM_OK;
}

}  // extern "C"
