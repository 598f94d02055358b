// The modem library's C interface: encode -> decode round trips at the signal's rate and at
// 44100 Hz in every chunk size, key updates, the inspector, and the answers to bad arguments.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <samplerate.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "hov/modem.h"

namespace {

hov_modem_format Format() {
  hov_modem_format format;
  EXPECT_EQ(hov_modem_get_format(&format), HOV_MODEM_OK);
  return format;
}

// frames of the signal of key (float), after lead frames of silence.
std::vector<float> Signal(const char* key, size_t lead, size_t frames) {
  std::vector<float> out(lead + frames, 0.0f);
  hov_modem_encoder* encoder = nullptr;
  EXPECT_EQ(hov_modem_encoder_create(key, &encoder), HOV_MODEM_OK);
  EXPECT_EQ(hov_modem_encoder_read_f32(encoder, out.data() + lead, frames), HOV_MODEM_OK);
  hov_modem_encoder_destroy(encoder);
  return out;
}

// The signal at another rate, through libsamplerate's best converter; empty in the Windows
// tree, which has no libsamplerate and tests 48000 Hz only.
std::vector<float> Resample(const std::vector<float>& in, int from, int to) {
#ifdef _WIN32
  (void)in, (void)from, (void)to;
  return {};
#else
  const double ratio = static_cast<double>(to) / from;
  std::vector<float> out(static_cast<size_t>(in.size() * ratio) + 16);
  SRC_DATA data = {};
  data.data_in = in.data();
  data.input_frames = static_cast<long>(in.size());
  data.data_out = out.data();
  data.output_frames = static_cast<long>(out.size());
  data.src_ratio = ratio;
  EXPECT_EQ(src_simple(&data, SRC_SINC_BEST_QUALITY, 1), 0);
  out.resize(static_cast<size_t>(data.output_frames_gen));
  return out;
#endif
}

struct Heard {
  hov_modem_result result = {};
  std::vector<hov_modem_window> windows;
};

void Collect(void* context, const hov_modem_window* window) {
  static_cast<Heard*>(context)->windows.push_back(*window);
}

// Writes samples in chunks of chunk frames, as 16-bit or float, until a result comes.
Heard Decode(const std::vector<float>& samples, int rate, size_t chunk, bool floats,
             int receiver = HOV_MODEM_RECEIVER_DESIGN) {
  Heard heard;
  hov_modem_decoder* decoder = nullptr;
  EXPECT_EQ(hov_modem_decoder_create(rate, receiver, &decoder), HOV_MODEM_OK);
  EXPECT_EQ(hov_modem_decoder_set_inspector(decoder, Collect, &heard),
            receiver == HOV_MODEM_RECEIVER_DESIGN ? HOV_MODEM_OK : HOV_MODEM_ERROR_UNAVAILABLE);
  std::vector<int16_t> pcm(chunk);
  for (size_t start = 0; start < samples.size(); start += chunk) {
    const size_t n = std::min(chunk, samples.size() - start);
    int status;
    if (floats) {
      status = hov_modem_decoder_write_f32(decoder, samples.data() + start, n, &heard.result);
    } else {
      for (size_t i = 0; i < n; ++i) {
        pcm[i] = static_cast<int16_t>(std::lround(samples[start + i] * 32767.0f));
      }
      status = hov_modem_decoder_write_s16(decoder, pcm.data(), n, &heard.result);
    }
    EXPECT_EQ(status, HOV_MODEM_OK);
    if (heard.result.code != HOV_MODEM_RESULT_LISTENING) {
      break;
    }
  }
  hov_modem_decoder_destroy(decoder);
  return heard;
}

struct RoundTrip {
  int rate;
  size_t chunk;
  bool floats;
  int receiver;
};

class ModemRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(ModemRoundTrip, DecodesTheKeyEncodedAtTheFrameOfItsAcceptingWindow) {
  const RoundTrip c = GetParam();
  const hov_modem_format format = Format();
  std::vector<float> signal = Signal("QUIVER", 11000, 4 * 48000);
  if (c.rate != format.sample_rate) {
    signal = Resample(signal, format.sample_rate, c.rate);
  }
  if (signal.empty()) {
    GTEST_SKIP() << "no reference resampler in this tree";
  }
  const Heard heard = Decode(signal, c.rate, c.chunk, c.floats, c.receiver);
  ASSERT_EQ(heard.result.code, HOV_MODEM_RESULT_KEY);
  EXPECT_STREQ(heard.result.key, "QUIVER");
  if (c.receiver == HOV_MODEM_RECEIVER_ROBUST) {  // which reports no windows
    EXPECT_TRUE(heard.windows.empty());
    EXPECT_LE(heard.result.frame, static_cast<int64_t>(signal.size()));
    return;
  }

  // The result's frame is the input's count at the end of the write that brought the
  // accepting vote, whose window report counts frames at 48000 Hz.
  auto accepting = std::find_if(heard.windows.begin(), heard.windows.end(),
                                [](const hov_modem_window& w) { return w.accepted != 0; });
  ASSERT_NE(accepting, heard.windows.end());
  EXPECT_STREQ(accepting->key, "QUIVER");
  EXPECT_EQ(accepting->votes, format.accept_votes);
  const double atInputRate = static_cast<double>(accepting->frame) * c.rate / format.sample_rate;
  EXPECT_NEAR(static_cast<double>(heard.result.frame), atInputRate,
              static_cast<double>(c.chunk) + 2.0 * 64);
}

std::string CaseName(const testing::TestParamInfo<RoundTrip>& info) {
  return std::to_string(info.param.rate) + "Hz_" + std::to_string(info.param.chunk) +
         (info.param.floats ? "_f32" : "_s16") + (info.param.receiver != 0 ? "_robust" : "");
}

const int kDesign = HOV_MODEM_RECEIVER_DESIGN;
const int kRobust = HOV_MODEM_RECEIVER_ROBUST;
INSTANTIATE_TEST_SUITE_P(
    RatesAndChunks, ModemRoundTrip,
    testing::Values(RoundTrip{48000, 1, false, kDesign}, RoundTrip{48000, 7, true, kDesign},
                    RoundTrip{48000, 480, false, kDesign}, RoundTrip{48000, 4096, true, kDesign},
                    RoundTrip{48000, 8192, false, kDesign}, RoundTrip{44100, 1, true, kDesign},
                    RoundTrip{44100, 441, false, kDesign}, RoundTrip{44100, 1000, true, kDesign},
                    RoundTrip{44100, 8192, false, kDesign}, RoundTrip{48000, 441, true, kRobust},
                    RoundTrip{44100, 441, false, kRobust}),
    CaseName);

// frames samples of ABCDEF read in the given pieces (16-bit, or float scaled back by 32768),
// updated to then at frame updateAt.
std::vector<float> Render(const std::vector<size_t>& pieces, bool floats, size_t frames,
                          size_t updateAt, const char* then) {
  hov_modem_encoder* encoder = nullptr;
  EXPECT_EQ(hov_modem_encoder_create("ABCDEF", &encoder), HOV_MODEM_OK);
  std::vector<float> out(frames);
  std::vector<int16_t> pcm(frames);
  for (size_t i = 0, done = 0; done < frames; ++i) {
    if (done == updateAt) {
      EXPECT_EQ(hov_modem_encoder_update(encoder, then), HOV_MODEM_OK);
    }
    size_t n = std::min(
        {pieces[i % pieces.size()], frames - done, done < updateAt ? updateAt - done : frames});
    if (floats) {
      EXPECT_EQ(hov_modem_encoder_read_f32(encoder, out.data() + done, n), HOV_MODEM_OK);
    } else {
      EXPECT_EQ(hov_modem_encoder_read_s16(encoder, pcm.data() + done, n), HOV_MODEM_OK);
    }
    done += n;
  }
  hov_modem_encoder_destroy(encoder);
  for (size_t i = 0; i < frames; ++i) {
    out[i] = floats ? out[i] * 32768.0f : pcm[i];
  }
  return out;
}

TEST(ModemEncoder, GivesOneStreamWhateverTheReadsAcrossAnUpdate) {
  const hov_modem_format format = Format();
  const size_t frames = 20000 + static_cast<size_t>(format.fade_frames) + 3 * 48000;
  const std::vector<float> whole = Render({frames}, false, frames, 20000, "ZYXWVU");
  EXPECT_GT(*std::max_element(whole.begin(), whole.end()), 30000.0f);  // full amplitude
  const std::vector<std::vector<size_t>> pieces = {{1}, {3, 4096}, {8192, 1, 17}, {0, 480}};
  for (size_t p = 0; p < pieces.size(); ++p) {
    EXPECT_TRUE(Render(pieces[p], p % 2 != 0, frames, 20000, "ZYXWVU") == whole) << p;
  }
}

// Silence gives no result; a result, once given, stays whatever comes after; the robust
// receiver's last search is the packet it accepted.
TEST(ModemDecoder, HearsNothingInSilenceAndIgnoresSamplesAfterItsResult) {
  const std::vector<float> silence(5 * 48000, 0.0f);
  const std::vector<float> signal = Signal("MOTHER", 0, 4 * 48000);
  const std::vector<float> other = Signal("FATHER", 0, 4 * 48000);
  for (int receiver : {kDesign, kRobust}) {
    const hov_modem_result quiet = Decode(silence, 48000, silence.size(), true, receiver).result;
    EXPECT_TRUE(quiet.code == HOV_MODEM_RESULT_LISTENING && quiet.frame == -1 && !*quiet.key);
    hov_modem_decoder* decoder = nullptr;
    hov_modem_result result, later;
    ASSERT_EQ(hov_modem_decoder_create(48000, receiver, &decoder), HOV_MODEM_OK);
    hov_modem_decoder_write_f32(decoder, signal.data(), signal.size(), &result);
    EXPECT_EQ(result.code, HOV_MODEM_RESULT_KEY);
    EXPECT_EQ(result.frame, static_cast<int64_t>(signal.size()));  // one write, one buffer
    hov_modem_decoder_write_f32(decoder, other.data(), other.size(), &later);
    EXPECT_EQ(std::memcmp(&later, &result, sizeof result), 0) << receiver;
    if (hov_modem_robust_view view; receiver == kRobust) {
      ASSERT_EQ(hov_modem_decoder_robust_view(decoder, &view), HOV_MODEM_OK);
      EXPECT_STREQ(view.verdict, "accepted");
      EXPECT_GT(view.min_margin, 0.0f);
    }
    hov_modem_decoder_destroy(decoder);
  }
}

TEST(ModemApi, AnswersBadArgumentsWithACodeAndNoObject) {
  hov_modem_encoder* encoder = nullptr;
  hov_modem_decoder* decoder = nullptr;
  ASSERT_EQ(hov_modem_encoder_create("ABCDEF", &encoder), HOV_MODEM_OK);
  ASSERT_EQ(hov_modem_decoder_create(44100, HOV_MODEM_RECEIVER_DESIGN, &decoder), HOV_MODEM_OK);
  int16_t pcm[4] = {};
  float floats[4] = {};
  hov_modem_result result;
  hov_modem_robust_view view;
  hov_modem_encoder* e = encoder;  // a refused create leaves these alone or null
  hov_modem_decoder* d = decoder;
  int receiver = -7;
  const int kArg = HOV_MODEM_ERROR_ARGUMENT, kKey = HOV_MODEM_ERROR_KEY;
  const int kRate = HOV_MODEM_ERROR_RATE;
  const std::pair<std::function<int()>, int> cases[] = {
      {[] { return hov_modem_get_format(nullptr); }, kArg},
      {[&] { return hov_modem_receiver_from_name("DESIGN", &receiver); }, kArg},
      {[&] { return hov_modem_receiver_from_name(nullptr, &receiver); }, kArg},
      {[] { return hov_modem_receiver_from_name("design", nullptr); }, kArg},
      {[] { return hov_modem_encoder_create("ABCDEF", nullptr); }, kArg},
      {[&] { return hov_modem_encoder_create(nullptr, &e); }, kKey},
      {[&] { return hov_modem_encoder_create("ABCDE", &e); }, kKey},
      {[&] { return hov_modem_encoder_create("abcdef", &e); }, kKey},
      {[] { return hov_modem_encoder_update(nullptr, "ABCDEF"); }, kArg},
      {[&] { return hov_modem_encoder_update(encoder, "AB1DEF"); }, kKey},
      {[&] { return hov_modem_encoder_read_s16(nullptr, pcm, 4); }, kArg},
      {[&] { return hov_modem_encoder_read_s16(encoder, nullptr, 4); }, kArg},
      {[&] { return hov_modem_encoder_read_f32(encoder, nullptr, 4); }, kArg},
      {[&] { return hov_modem_encoder_read_f32(encoder, nullptr, 0); }, HOV_MODEM_OK},
      {[] { return hov_modem_decoder_create(48000, kDesign, nullptr); }, kArg},
      {[&] { return hov_modem_decoder_create(7999, kDesign, &d); }, kRate},
      {[&] { return hov_modem_decoder_create(384001, kDesign, &d); }, kRate},
      {[&] { return hov_modem_decoder_create(48000, 2, &d); }, kArg},
      {[&] { return hov_modem_decoder_create(48000, -1, &d); }, kArg},
      {[&] { return hov_modem_decoder_write_s16(nullptr, pcm, 4, &result); }, kArg},
      {[&] { return hov_modem_decoder_write_s16(decoder, nullptr, 4, &result); }, kArg},
      {[&] { return hov_modem_decoder_write_f32(nullptr, floats, 4, &result); }, kArg},
      {[&] { return hov_modem_decoder_write_f32(decoder, nullptr, 4, nullptr); }, kArg},
      {[&] { return hov_modem_decoder_write_f32(decoder, floats, 4, nullptr); }, HOV_MODEM_OK},
      {[&] { return hov_modem_decoder_result(nullptr, &result); }, kArg},
      {[&] { return hov_modem_decoder_result(decoder, nullptr); }, kArg},
      {[&] { return hov_modem_decoder_robust_view(decoder, &view); }, HOV_MODEM_ERROR_UNAVAILABLE},
      {[&] { return hov_modem_decoder_robust_view(decoder, nullptr); }, kArg},
      {[] { return hov_modem_decoder_set_inspector(nullptr, Collect, nullptr); }, kArg},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    e = encoder;
    d = decoder;
    EXPECT_EQ(cases[i].first(), cases[i].second) << "case " << i;
    EXPECT_TRUE((e == encoder || e == nullptr) && (d == decoder || d == nullptr)) << "case " << i;
  }
  EXPECT_EQ(receiver, -7);
  EXPECT_EQ(hov_modem_encoder_create("ABCDE", &e), HOV_MODEM_ERROR_KEY);
  EXPECT_EQ(hov_modem_decoder_create(1, 0, &d), HOV_MODEM_ERROR_RATE);
  EXPECT_TRUE(e == nullptr && d == nullptr);
  hov_modem_encoder_destroy(nullptr);
  hov_modem_decoder_destroy(nullptr);
  hov_modem_encoder_destroy(encoder);
  hov_modem_decoder_destroy(decoder);
}

}  // namespace
