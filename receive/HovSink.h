// The decoding sinks: HovSink turns one window of captured audio into one received packet;
// HovSinkDelay lets a number of frames go by before its window starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "capture/AudioInput.h"

struct ModemParams;
struct ToneDetector;

// Capture side. The frames samples as floats by value (no scaling, no offset) in *floats, which
// grows to the largest buffer and then allocates no more; returns its data.
const float* SamplesAsFloats(const int16_t* data, int32_t frames, std::vector<float>* floats);

// Feeds mono 16-bit captured audio to one tone detector and keeps the packet it decodes.
// Open, Write and Close come from the capture side, one at a time; IsComplete and GetResult
// may run on any thread.
class HovSink : public AudioInput::AudioSink {
 public:
  // Any thread. A sink for packets of payloadLength bytes; nothing is allocated until Open.
  explicit HovSink(uint32_t payloadLength);
  // Owner's thread. Does not free the detector or the parameters: owners call Close first.
  ~HovSink() override;
  HovSink(const HovSink&) = delete;
  HovSink& operator=(const HovSink&) = delete;

  // Capture side, once before any Write: builds the parameter block and the detector.
  void Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) override;
  // Capture side or the closing thread: frees detector and parameters; harmless when repeated.
  void Close() override;
  // Capture side: feeds frames samples to the detector until a packet is decoded; returns frames.
  int32_t Write(const int16_t* data, int32_t frames) override;
  // Capture side: as Write, for samples already converted to floats by value (a sink that feeds
  // several decoders converts once). Allocates nothing.
  virtual int32_t WriteFloats(const float* samples, int32_t frames);

  // Any thread. True once a packet has been decoded and stored.
  bool IsComplete() const;
  // Any thread. Copies up to capacity - 1 bytes of the packet text, then a zero byte; returns
  // the count copied. capacity must be at least 1.
  int32_t GetResult(char* buffer, int32_t capacity);

  // Capture side. The detector in use (null before Open and after Close); for inspection.
  const ToneDetector* Detector() const { return m_detector; }
  // Capture side. How often the detector reported its window complete: its first completion,
  // then each later buffer that read its end again while no packet was found.
  int32_t WindowReads() const { return m_windowReads; }

 private:
  uint32_t m_payloadLength;
  uint32_t m_channels = 0;
  uint32_t m_samplesPerSec = 0;
  uint32_t m_bitsPerSample = 0;
  ModemParams* m_params = nullptr;
  ToneDetector* m_detector = nullptr;
  std::vector<float> m_floats;    // Write's converted samples; grows to the largest buffer
  std::vector<uint8_t> m_packet;  // payloadLength bytes and a terminator
  int32_t m_windowReads = 0;
  std::atomic<bool> m_complete{false};
  std::string m_result;
  std::mutex m_resultLock;
};

// A HovSink whose window starts a given number of frames into the captured stream.
// Same threads as HovSink.
class HovSinkDelay : public HovSink {
 public:
  // Any thread. delayFrames frames are skipped before the first one reaches the detector.
  HovSinkDelay(uint32_t payloadLength, int32_t delayFrames);
  // Owner's thread. As HovSink: owners call Close first.
  ~HovSinkDelay() override;

  // Capture side, once: opens the sink and notes the frame size in bytes.
  void Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) override;
  // Capture side: skips what is left of the delay, feeds the rest; returns frames.
  int32_t Write(const int16_t* data, int32_t frames) override;
  // Capture side: as Write, for samples already converted to floats. Allocates nothing.
  int32_t WriteFloats(const float* samples, int32_t frames) override;

  // Any thread. The frames skipped before the window, as made.
  int32_t DelayFrames() const { return m_delayFrames; }

 private:
  const int32_t m_delayFrames;
  int32_t m_remainingDelay;
  int32_t m_frameSize = 0;
};
