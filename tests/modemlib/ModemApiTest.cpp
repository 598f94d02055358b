// The modem library's C interface: encode -> decode round trips at the signal's rate and at
// 44100 Hz in every chunk size, key updates, the inspector, and the answers to bad arguments.
#include <gtest/gtest.h>
#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
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

// The signal at another rate, through libsamplerate's best converter.
std::vector<float> Resample(const std::vector<float>& in, int from, int to) {
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
};

class ModemRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(ModemRoundTrip, DecodesTheKeyEncodedAtTheFrameOfItsAcceptingWindow) {
  const RoundTrip c = GetParam();
  const hov_modem_format format = Format();
  std::vector<float> signal = Signal("QUIVER", 11000, 3 * 48000);
  if (c.rate != format.sample_rate) {
    signal = Resample(signal, format.sample_rate, c.rate);
  }
  const Heard heard = Decode(signal, c.rate, c.chunk, c.floats);
  ASSERT_EQ(heard.result.code, HOV_MODEM_RESULT_KEY);
  EXPECT_STREQ(heard.result.key, "QUIVER");

  // The result's frame is the input's count at the end of the write that brought the
  // accepting vote, whose window report counts frames at 48000 Hz.
  auto accepting = std::find_if(heard.windows.begin(), heard.windows.end(),
                                [](const hov_modem_window& w) { return w.accepted != 0; });
  ASSERT_NE(accepting, heard.windows.end());
  EXPECT_STREQ(accepting->key, "QUIVER");
  EXPECT_EQ(accepting->votes, format.accept_votes);
  EXPECT_EQ(accepting->start_frame, (accepting->decoder - 1) * format.decoder_stagger);
  const double atInputRate = static_cast<double>(accepting->frame) * c.rate / format.sample_rate;
  EXPECT_NEAR(static_cast<double>(heard.result.frame), atInputRate,
              static_cast<double>(c.chunk) + 2.0 * 64);
  EXPECT_GE(accepting->frame, accepting->start_frame + format.window_frames);
}

std::string CaseName(const testing::TestParamInfo<RoundTrip>& info) {
  return std::to_string(info.param.rate) + "Hz_" + std::to_string(info.param.chunk) +
         (info.param.floats ? "_f32" : "_s16");
}

INSTANTIATE_TEST_SUITE_P(RatesAndChunks, ModemRoundTrip,
                         testing::Values(RoundTrip{48000, 1, false}, RoundTrip{48000, 7, true},
                                         RoundTrip{48000, 480, false}, RoundTrip{48000, 4096, true},
                                         RoundTrip{48000, 8192, false}, RoundTrip{44100, 1, true},
                                         RoundTrip{44100, 441, false}, RoundTrip{44100, 1000, true},
                                         RoundTrip{44100, 8192, false}),
                         CaseName);

// The robust receiver through the same functions, at the input's own rate.
TEST(ModemRobust, HearsTheKeyAtEitherRateInAnyChunks) {
  const std::vector<float> signal = Signal("QUIVER", 11000, 4 * 48000);
  const std::vector<float> at44 = Resample(signal, 48000, 44100);
  struct Case {
    const std::vector<float>* samples;
    int rate;
    size_t chunk;
    bool floats;
  };
  for (const Case& c : {Case{&signal, 48000, 1, false}, Case{&signal, 48000, 8192, true},
                        Case{&at44, 44100, 441, true}, Case{&at44, 44100, 4096, false}}) {
    const Heard heard = Decode(*c.samples, c.rate, c.chunk, c.floats, HOV_MODEM_RECEIVER_ROBUST);
    ASSERT_EQ(heard.result.code, HOV_MODEM_RESULT_KEY) << c.rate << " " << c.chunk;
    EXPECT_STREQ(heard.result.key, "QUIVER");
    EXPECT_LE(heard.result.frame, static_cast<int64_t>(c.samples->size()));
    EXPECT_TRUE(heard.windows.empty());
  }
  // Its last search: the packet it accepted, read whole.
  hov_modem_decoder* decoder = nullptr;
  ASSERT_EQ(hov_modem_decoder_create(48000, HOV_MODEM_RECEIVER_ROBUST, &decoder), HOV_MODEM_OK);
  hov_modem_result result;
  hov_modem_decoder_write_f32(decoder, signal.data(), signal.size(), &result);
  hov_modem_robust_view view;
  ASSERT_EQ(hov_modem_decoder_robust_view(decoder, &view), HOV_MODEM_OK);
  EXPECT_STREQ(view.verdict, "accepted");
  EXPECT_GE(view.repetitions, 1);
  EXPECT_GT(view.min_margin, 0.0f);
  hov_modem_decoder_destroy(decoder);
}

// Reads frames samples in the given pieces, updating to then at frame updateAt.
std::vector<int16_t> Render(const std::vector<size_t>& pieces, size_t frames, size_t updateAt,
                            const char* then) {
  hov_modem_encoder* encoder = nullptr;
  EXPECT_EQ(hov_modem_encoder_create("ABCDEF", &encoder), HOV_MODEM_OK);
  std::vector<int16_t> out(frames);
  size_t done = 0;
  bool updated = false;
  for (size_t i = 0; done < frames; ++i) {
    if (done == updateAt && !updated) {
      updated = true;
      EXPECT_EQ(hov_modem_encoder_update(encoder, then),
                then == nullptr ? HOV_MODEM_ERROR_KEY : HOV_MODEM_OK);
    }
    size_t n = std::min(
        {pieces[i % pieces.size()], frames - done, done < updateAt ? updateAt - done : frames});
    EXPECT_EQ(hov_modem_encoder_read_s16(encoder, out.data() + done, n), HOV_MODEM_OK);
    done += n;
  }
  hov_modem_encoder_destroy(encoder);
  return out;
}

TEST(ModemEncoder, GivesOneStreamWhateverTheReadSizesAcrossAnUpdate) {
  const std::vector<int16_t> whole = Render({60000}, 60000, 20000, "ZYXWVU");
  for (const std::vector<size_t>& pieces :
       {std::vector<size_t>{1}, {3, 4096}, {8192, 1, 17}, {0, 480}}) {
    EXPECT_EQ(Render(pieces, 60000, 20000, "ZYXWVU"), whole) << pieces[0];
  }
  // A refused update leaves the stream as it was.
  EXPECT_EQ(Render({4096}, 60000, 20000, nullptr), Render({4096}, 60000, 60000, "ZYXWVU"));
}

TEST(ModemEncoder, FloatSamplesAreTheSixteenBitOnesOver32768) {
  hov_modem_encoder* a = nullptr;
  hov_modem_encoder* b = nullptr;
  ASSERT_EQ(hov_modem_encoder_create("PLANET", &a), HOV_MODEM_OK);
  ASSERT_EQ(hov_modem_encoder_create("PLANET", &b), HOV_MODEM_OK);
  std::vector<int16_t> pcm(20000);
  std::vector<float> floats(20000);
  ASSERT_EQ(hov_modem_encoder_read_s16(a, pcm.data(), pcm.size()), HOV_MODEM_OK);
  ASSERT_EQ(hov_modem_encoder_read_f32(b, floats.data(), floats.size()), HOV_MODEM_OK);
  int16_t peak = 0;
  for (size_t i = 0; i < pcm.size(); ++i) {
    ASSERT_EQ(floats[i] * 32768.0f, static_cast<float>(pcm[i])) << i;
    peak = std::max<int16_t>(peak, pcm[i]);
  }
  EXPECT_GT(peak, 30000);  // the sender's full amplitude
  hov_modem_encoder_destroy(a);
  hov_modem_encoder_destroy(b);
}

TEST(ModemEncoder, AnUpdateIsHeardOnceItsFadeIsOver) {
  const hov_modem_format format = Format();
  hov_modem_encoder* encoder = nullptr;
  ASSERT_EQ(hov_modem_encoder_create("ABCDEF", &encoder), HOV_MODEM_OK);
  std::vector<float> before(48000);
  std::vector<float> after(static_cast<size_t>(format.fade_frames) + 3 * 48000);
  hov_modem_encoder_read_f32(encoder, before.data(), before.size());
  ASSERT_EQ(hov_modem_encoder_update(encoder, "GHIJKL"), HOV_MODEM_OK);
  hov_modem_encoder_read_f32(encoder, after.data(), after.size());
  hov_modem_encoder_destroy(encoder);
  after.erase(after.begin(), after.begin() + format.fade_frames);
  const Heard heard = Decode(after, format.sample_rate, 4800, true);
  ASSERT_EQ(heard.result.code, HOV_MODEM_RESULT_KEY);
  EXPECT_STREQ(heard.result.key, "GHIJKL");
}

TEST(ModemDecoder, IgnoresSamplesAfterItsResultAndHearsNothingInSilence) {
  hov_modem_decoder* decoder = nullptr;
  ASSERT_EQ(hov_modem_decoder_create(48000, HOV_MODEM_RECEIVER_DESIGN, &decoder), HOV_MODEM_OK);
  hov_modem_result result;
  std::vector<int16_t> silence(5 * 48000, 0);
  ASSERT_EQ(hov_modem_decoder_write_s16(decoder, silence.data(), silence.size(), &result),
            HOV_MODEM_OK);
  EXPECT_EQ(result.code, HOV_MODEM_RESULT_LISTENING);
  EXPECT_EQ(result.frame, -1);
  EXPECT_STREQ(result.key, "");
  hov_modem_decoder_destroy(decoder);

  const std::vector<float> signal = Signal("MOTHER", 0, 4 * 48000);
  ASSERT_EQ(hov_modem_decoder_create(48000, HOV_MODEM_RECEIVER_DESIGN, &decoder), HOV_MODEM_OK);
  ASSERT_EQ(hov_modem_decoder_write_f32(decoder, signal.data(), signal.size(), &result),
            HOV_MODEM_OK);
  EXPECT_EQ(result.code, HOV_MODEM_RESULT_KEY);
  EXPECT_EQ(result.frame, static_cast<int64_t>(signal.size()));  // one write, one buffer
  const std::vector<float> other = Signal("FATHER", 0, 4 * 48000);
  hov_modem_result later;
  ASSERT_EQ(hov_modem_decoder_write_f32(decoder, other.data(), other.size(), &later), HOV_MODEM_OK);
  EXPECT_EQ(std::memcmp(&later, &result, sizeof result), 0);
  hov_modem_decoder_destroy(decoder);
}

TEST(ModemApi, AnswersBadArgumentsWithACodeAndNoObject) {
  hov_modem_encoder* encoder = nullptr;
  hov_modem_decoder* decoder = nullptr;
  ASSERT_EQ(hov_modem_encoder_create("ABCDEF", &encoder), HOV_MODEM_OK);
  ASSERT_EQ(hov_modem_decoder_create(44100, HOV_MODEM_RECEIVER_DESIGN, &decoder), HOV_MODEM_OK);
  int16_t pcm[4] = {};
  float floats[4] = {};
  hov_modem_result result;
  hov_modem_encoder* madeEncoder = encoder;  // overwritten with null on a refusal
  hov_modem_decoder* madeDecoder = decoder;
  int receiver = -7;
  struct Case {
    const char* name;
    std::function<int()> call;
    int expected;
  };
  const Case cases[] = {
      {"format null", [] { return hov_modem_get_format(nullptr); }, HOV_MODEM_ERROR_ARGUMENT},
      {"receiver name unknown", [&] { return hov_modem_receiver_from_name("DESIGN", &receiver); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"receiver name null", [&] { return hov_modem_receiver_from_name(nullptr, &receiver); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"receiver out null", [] { return hov_modem_receiver_from_name("design", nullptr); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"encoder out null", [] { return hov_modem_encoder_create("ABCDEF", nullptr); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"key null", [&] { return hov_modem_encoder_create(nullptr, &madeEncoder); },
       HOV_MODEM_ERROR_KEY},
      {"key short", [&] { return hov_modem_encoder_create("ABCDE", &madeEncoder); },
       HOV_MODEM_ERROR_KEY},
      {"key long", [&] { return hov_modem_encoder_create("ABCDEFG", &madeEncoder); },
       HOV_MODEM_ERROR_KEY},
      {"key lower case", [&] { return hov_modem_encoder_create("abcdef", &madeEncoder); },
       HOV_MODEM_ERROR_KEY},
      {"update null encoder", [] { return hov_modem_encoder_update(nullptr, "ABCDEF"); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"update bad key", [&] { return hov_modem_encoder_update(encoder, "AB1DEF"); },
       HOV_MODEM_ERROR_KEY},
      {"read null encoder", [&] { return hov_modem_encoder_read_s16(nullptr, pcm, 4); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"read null samples", [&] { return hov_modem_encoder_read_s16(encoder, nullptr, 4); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"read float null samples", [&] { return hov_modem_encoder_read_f32(encoder, nullptr, 4); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"read nothing into null", [&] { return hov_modem_encoder_read_f32(encoder, nullptr, 0); },
       HOV_MODEM_OK},
      {"decoder out null",
       [] { return hov_modem_decoder_create(48000, HOV_MODEM_RECEIVER_DESIGN, nullptr); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"rate zero", [&] { return hov_modem_decoder_create(0, 0, &madeDecoder); },
       HOV_MODEM_ERROR_RATE},
      {"rate below", [&] { return hov_modem_decoder_create(7999, 0, &madeDecoder); },
       HOV_MODEM_ERROR_RATE},
      {"rate above", [&] { return hov_modem_decoder_create(384001, 0, &madeDecoder); },
       HOV_MODEM_ERROR_RATE},
      {"receiver unknown", [&] { return hov_modem_decoder_create(48000, 2, &madeDecoder); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"receiver negative", [&] { return hov_modem_decoder_create(48000, -1, &madeDecoder); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"write null decoder", [&] { return hov_modem_decoder_write_s16(nullptr, pcm, 4, &result); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"write null samples",
       [&] { return hov_modem_decoder_write_s16(decoder, nullptr, 4, &result); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"write float null decoder",
       [&] { return hov_modem_decoder_write_f32(nullptr, floats, 4, &result); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"write float null samples",
       [&] { return hov_modem_decoder_write_f32(decoder, nullptr, 4, nullptr); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"write without result",
       [&] { return hov_modem_decoder_write_f32(decoder, floats, 4, nullptr); }, HOV_MODEM_OK},
      {"result null decoder", [&] { return hov_modem_decoder_result(nullptr, &result); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"result null out", [&] { return hov_modem_decoder_result(decoder, nullptr); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"robust view of the design receiver",
       [&] {
         hov_modem_robust_view view;
         return hov_modem_decoder_robust_view(decoder, &view);
       },
       HOV_MODEM_ERROR_UNAVAILABLE},
      {"robust view null", [&] { return hov_modem_decoder_robust_view(decoder, nullptr); },
       HOV_MODEM_ERROR_ARGUMENT},
      {"inspector null decoder",
       [] { return hov_modem_decoder_set_inspector(nullptr, Collect, nullptr); },
       HOV_MODEM_ERROR_ARGUMENT},
  };
  for (const Case& c : cases) {
    madeEncoder = encoder;
    madeDecoder = decoder;
    EXPECT_EQ(c.call(), c.expected) << c.name;
    if (c.expected != HOV_MODEM_OK) {
      EXPECT_TRUE(madeEncoder == encoder || madeEncoder == nullptr) << c.name;
      EXPECT_TRUE(madeDecoder == decoder || madeDecoder == nullptr) << c.name;
    }
  }
  EXPECT_EQ(receiver, -7);
  EXPECT_EQ(hov_modem_encoder_create("ABCDE", &madeEncoder), HOV_MODEM_ERROR_KEY);
  EXPECT_EQ(madeEncoder, nullptr);
  EXPECT_EQ(hov_modem_decoder_create(1, 0, &madeDecoder), HOV_MODEM_ERROR_RATE);
  EXPECT_EQ(madeDecoder, nullptr);
  hov_modem_encoder_destroy(nullptr);
  hov_modem_decoder_destroy(nullptr);
  hov_modem_encoder_destroy(encoder);
  hov_modem_decoder_destroy(decoder);
}

}  // namespace
