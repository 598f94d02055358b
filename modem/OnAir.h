// The numbers of the on-air signal and of the design receiver, each defined once here. The
// library, the modem library, the tool and the page take them from this file (or, outside C++,
// from hov_modem_get_format).
#pragma once

#include <cstdint>

namespace onair {

constexpr int32_t kSampleRate = 48000;    // the signal's rate and the receiver's analysis rate
constexpr int32_t kToneCount = 16;        // a symbol carries 4 bits
constexpr int32_t kSymbolSamples = 4096;  // one tone burst
constexpr int32_t kFramesPerSymbol = 4;   // the receiver's FFT frames per symbol
constexpr int32_t kFrameLength = kSymbolSamples / kFramesPerSymbol;  // 1024-point FFT
constexpr float kBandLow = 19100.0f;  // the band the tone plan spreads over
constexpr float kBandHigh = 19900.0f;
constexpr uint32_t kPayloadBytes = 4;                                            // the encoded key
constexpr int32_t kPacketSymbols = 2 * static_cast<int32_t>(kPayloadBytes) + 2;  // + separator
// A decoder's window: one symbol more than a packet and its separator (2n + 3 symbols).
constexpr int32_t kWindowFrames = (kPacketSymbols + 1) * kSymbolSamples;

// The design receiver: staggered decoders over one stream and their vote.
constexpr int32_t kDecoderCount = 10;
constexpr int32_t kDecoderStagger = 9600;  // frames between window starts: 0.2 s
constexpr int32_t kAcceptVotes = 2;

// A key update: the old stream fades out over kFadeRamp, silence to kFadeHalf, then the new
// stream from silence, fading in over the second kFadeRamp.
constexpr int32_t kFadeHalf = 12000;
constexpr int32_t kFadeRamp = 6000;

}  // namespace onair
