// The on-air signal of a share key as the sender produces it: tone bursts rendered at full
// amplitude at 48000 Hz and converted to 16-bit samples, starting at the first packet symbol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Any thread. samples samples of the repeating packet of shareKey (six letters A-Z).
// Empty when the key does not encode.
std::vector<int16_t> RenderKeySignal(const std::string& shareKey, size_t samples);

// Any thread. samples samples of the repeating packet of encodedKey (bytes 1..255, the packet
// is as long as the text).
std::vector<int16_t> RenderEncodedSignal(const std::string& encodedKey, size_t samples);

// Any thread. samples samples of a repeating cycle of tones (indexes 0..15, one symbol each),
// for signals no encoded key produces, such as a cycle holding two zero nibbles in a byte.
// tones holds an even number (at least 4) of entries.
std::vector<int16_t> RenderToneCycle(const std::vector<int32_t>& tones, size_t samples);
