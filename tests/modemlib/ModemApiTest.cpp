// The modem library's C interface: encode -> decode in any chunking, key updates, the inspector,
// and the answers to bad arguments. (Other rates and the tool's use of it: the tool's tests.)
#include <gtest/gtest.h>

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

void Collect(void* context, const hov_modem_window* window) {
  static_cast<std::vector<hov_modem_window>*>(context)->push_back(*window);
}

const int kDesign = HOV_MODEM_RECEIVER_DESIGN;
const int kRobust = HOV_MODEM_RECEIVER_ROBUST;

// frames samples of key read in the given pieces (16-bit, or float scaled back by 32768),
// updated to then at frame updateAt.
std::vector<float> Render(const char* key, size_t frames,
                          const std::vector<size_t>& pieces = {1u << 30}, bool floats = false,
                          size_t updateAt = SIZE_MAX, const char* then = "") {
  hov_modem_encoder* encoder = nullptr;
  EXPECT_EQ(hov_modem_encoder_create(key, &encoder), HOV_MODEM_OK);
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
  const std::vector<float> whole = Render("ABCDEF", frames, {frames}, false, 20000, "ZYXWVU");
  EXPECT_GT(*std::max_element(whole.begin(), whole.end()), 30000.0f);  // full amplitude
  const std::vector<std::vector<size_t>> pieces = {{1}, {3, 4096}, {8192, 1, 17}, {0, 480}};
  for (size_t p = 0; p < pieces.size(); ++p) {
    EXPECT_TRUE(Render("ABCDEF", frames, pieces[p], p % 2 != 0, 20000, "ZYXWVU") == whole) << p;
  }
}

// Silence gives no result; a key is heard in any chunking of 16-bit or float samples, at the end
// of the write that brought the accepting window (the inspector's, with its votes); a result,
// once given, stays whatever comes after; the robust receiver's last search is its packet.
TEST(ModemDecoder, HearsTheKeyAtItsAcceptingWindowAndIgnoresWhatComesAfter) {
  const hov_modem_format format = Format();
  const std::vector<float> silence(5 * 48000, 0.0f);
  std::vector<float> signal = Render("MOTHER", 4 * 48000);  // 16-bit values
  signal.insert(signal.begin(), 11000, 0.0f);
  std::vector<float> other = Render("FATHER", 4 * 48000);
  std::transform(other.begin(), other.end(), other.begin(), [](float v) { return v / 32768; });
  for (int receiver : {kDesign, kRobust}) {
    hov_modem_decoder* decoder = nullptr;
    hov_modem_result result, later;
    ASSERT_EQ(hov_modem_decoder_create(48000, receiver, &decoder), HOV_MODEM_OK);
    hov_modem_decoder_write_f32(decoder, silence.data(), silence.size(), &result);
    EXPECT_TRUE(result.code == HOV_MODEM_RESULT_LISTENING && result.frame == -1 && !*result.key);
    hov_modem_decoder_destroy(decoder);
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{8192}, signal.size()}) {
      ASSERT_EQ(hov_modem_decoder_create(48000, receiver, &decoder), HOV_MODEM_OK);
      std::vector<hov_modem_window> windows;
      EXPECT_EQ(hov_modem_decoder_set_inspector(decoder, Collect, &windows),
                receiver == kDesign ? HOV_MODEM_OK : HOV_MODEM_ERROR_UNAVAILABLE);
      ASSERT_EQ(hov_modem_decoder_result(decoder, &result), HOV_MODEM_OK);
      const bool floats = chunk % 2 != 0;
      int64_t end = 0;  // frames written
      for (size_t at = 0; at < signal.size() && result.code == HOV_MODEM_RESULT_LISTENING;
           at += chunk) {
        const size_t n = std::min(chunk, signal.size() - at);
        end += static_cast<int64_t>(n);
        std::vector<int16_t> pcm(signal.begin() + at, signal.begin() + at + n);
        std::vector<float> scaled(n);
        std::transform(pcm.begin(), pcm.end(), scaled.begin(),
                       [](int16_t v) { return v / 32768.0f; });
        EXPECT_EQ(floats ? hov_modem_decoder_write_f32(decoder, scaled.data(), n, &result)
                         : hov_modem_decoder_write_s16(decoder, pcm.data(), n, &result),
                  HOV_MODEM_OK);
      }
      ASSERT_EQ(result.code, HOV_MODEM_RESULT_KEY) << receiver << " " << chunk;
      EXPECT_STREQ(result.key, "MOTHER");
      EXPECT_EQ(result.frame, end);
      auto accepting = std::find_if(windows.begin(), windows.end(),
                                    [](const hov_modem_window& w) { return w.accepted != 0; });
      if (receiver == kDesign) {
        ASSERT_NE(accepting, windows.end());
        EXPECT_EQ(accepting->votes, format.accept_votes);
        EXPECT_TRUE(accepting->frame <= end && accepting->frame > end - static_cast<int64_t>(chunk))
            << accepting->frame << " " << end;
      }
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
      {[] { return hov_modem_receiver_from_name("design", nullptr); }, kArg},
      {[] { return hov_modem_encoder_create("ABCDEF", nullptr); }, kArg},
      {[&] { return hov_modem_encoder_create(nullptr, &e); }, kKey},
      {[&] { return hov_modem_encoder_create("ABCDE", &e); }, kKey},
      {[] { return hov_modem_encoder_update(nullptr, "ABCDEF"); }, kArg},
      {[&] { return hov_modem_encoder_update(encoder, "AB1DEF"); }, kKey},
      {[&] { return hov_modem_encoder_read_s16(nullptr, pcm, 4); }, kArg},
      {[&] { return hov_modem_encoder_read_f32(encoder, nullptr, 4); }, kArg},
      {[&] { return hov_modem_encoder_read_f32(encoder, nullptr, 0); }, HOV_MODEM_OK},
      {[] { return hov_modem_decoder_create(48000, kDesign, nullptr); }, kArg},
      {[&] { return hov_modem_decoder_create(7999, kDesign, &d); }, kRate},
      {[&] { return hov_modem_decoder_create(384001, kDesign, &d); }, kRate},
      {[&] { return hov_modem_decoder_create(48000, 2, &d); }, kArg},
      {[&] { return hov_modem_decoder_write_s16(nullptr, pcm, 4, &result); }, kArg},
      {[&] { return hov_modem_decoder_write_f32(decoder, nullptr, 4, nullptr); }, kArg},
      {[&] { return hov_modem_decoder_write_f32(decoder, floats, 4, nullptr); }, HOV_MODEM_OK},
      {[&] { return hov_modem_decoder_result(nullptr, &result); }, kArg},
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
