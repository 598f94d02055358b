// What hov record hands to the capture front: a recording of exactly what the receiver would
// hear, saved as a WAV file once the capture has closed, up to a number of frames, with a level
// meter of the tone band and the receiver's own ten-decoder sink beside it for the live status.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "capture/AudioInput.h"
#include "receive/HovSinkConcurrent.h"
#include "tools/hov/FrameSpectrum.h"

class RecordSink : public AudioInput::AudioSink {
 public:
  using Clock = std::chrono::steady_clock;

  // Main thread. Takes no frames beyond frameLimit (0: no limit; with a limit the recording's
  // memory is taken here). verbose: says on stderr when the first samples have come.
  RecordSink(int64_t frameLimit, bool verbose);
  // Main thread, after the capture has closed.
  ~RecordSink() override;
  RecordSink(const RecordSink&) = delete;
  RecordSink& operator=(const RecordSink&) = delete;

  // Capture side: the format (mono 16-bit), passed on to the decoders.
  void Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) override;
  // Capture side or the closing thread: closes the decoders.
  void Close() override;
  // Capture side: records the frames up to the limit, measures and decodes them; returns frames.
  int32_t Write(const int16_t* data, int32_t frames) override;

  // Main thread. Waits until the frame limit is reached or a stop is requested (true), or
  // deadline passes (false).
  bool WaitDone(Clock::time_point deadline);
  // Any thread (the stop request's). Ends WaitDone.
  void RequestStop();

  // Any thread. Frames recorded so far.
  int64_t Frames() const { return m_frames.load(); }
  // Any thread. The samples per second the capture announced (0 before Open).
  uint32_t SampleRate() const { return m_rate.load(); }
  // Any thread. Level of 19.1 to 19.9 kHz in about the last 0.2 s (its loudest 1024 frames),
  // dB against a full-scale sine; not a number before the first 0.2 s.
  double BandLevelDb() const { return m_bandDb.load(); }
  // Polling thread (one at a time). The key the ten decoders accepted, empty until then.
  std::string HeardKey();
  // Main thread, after the capture has closed. Writes the recording to path as a mono 16-bit
  // WAV file, every write checked; false with *error, and no file left, when writing fails.
  bool Save(const std::string& path, std::string* error) const;

 private:
  // Capture side. Adds samples to the meter's frame, measuring every full frame.
  void Measure(const int16_t* data, int32_t frames);

  std::vector<int16_t> m_recording;  // capture side until it closes
  HovSinkConcurrent m_decoders;
  const int64_t m_frameLimit;
  const bool m_verbose;
  FrameSpectrum m_spectrum{FrameSpectrum::Window::kNone};  // capture side
  std::vector<float> m_frame;
  int32_t m_fill = 0;
  int32_t m_bandFirst = 0;  // bins of 19.1 to 19.9 kHz at the announced rate
  int32_t m_bandLast = -1;
  double m_blockPeak = 0.0;  // loudest frame of the block being measured
  int32_t m_blockFrames = 0;
  std::atomic<int64_t> m_frames{0};
  std::atomic<uint32_t> m_rate{0};
  std::atomic<double> m_bandDb{std::nan("")};
  std::string m_heardKey;  // polling thread
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_done = false;  // under m_lock: limit reached or stop requested
};
