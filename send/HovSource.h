// The sample source of a send session: renders the key's tone stream as 16-bit samples, and
// switches to a new key through a half-second cross-fade rendered as it is read.
//
// Contract for playback backends: Read fills every sample asked for, never allocates and holds
// the source's lock only for the rendering of those samples, so it may run on a device's
// callback thread. A key change starts at the first Read after Update: keep little audio queued
// ahead of the device (a few tens to 200 ms), or the change waits behind what is queued.
#pragma once

#include <cstdint>
#include <mutex>

#include "send/AudioOutput.h"

struct ModemParams;
struct ToneBank;

class HovSource : public AudioOutput::AudioSource {
 public:
  HovSource() = default;
  ~HovSource() override = default;  // owners call Uninit first

  // Worker thread, before playback. Builds the modem objects for encodedKey at 48000 Hz,
  // amplitude 1.0; returns the payload result (0).
  int32_t Init(const char* encodedKey);
  // Worker thread, after playback has closed. Frees the tone bank, then the parameters.
  void Uninit();
  // Worker thread. After it returns, the next Read begins the cross-fade to encodedKey (or, when
  // a fade is past its switch point, the one right after it). Only the latest key waits: a
  // burst of updates costs one key's memory and one fade.
  void Update(const char* encodedKey);
  // Playback thread (or the opener during Open). Fills all count samples; no allocation.
  int32_t Read(int16_t* buffer, int32_t count) override;
  // Worker thread, before playback opens. From then on OnDeviceNews calls news(context).
  void SetNewsCallback(void (*news)(void* context), void* context);
  // The device's thread: passes the news on; no lock, no allocation.
  void OnDeviceNews() override;

  // The cross-fade: 6000 samples of the old stream fading out, 12000 of silence, 6000 of the
  // new stream fading in; the payload switches half-way.
  static constexpr int32_t kFadeSamples = 24000;

 private:
  // Renders count (at most kScratch) samples of the stream as 16-bit into out; under m_mutex.
  void RenderChunk(int16_t* out, int32_t count);

  static constexpr int32_t kScratch = 1024;
  static constexpr int32_t kMaxKey = 16;

  ModemParams* m_params = nullptr;
  ToneBank* m_bank = nullptr;
  std::mutex m_mutex;  // guards everything below and the bank
  char m_pendingKey[kMaxKey] = {};
  bool m_keyPending = false;
  int32_t m_fadePos = -1;  // position in the running cross-fade, -1 when none runs
  float m_scratch[kScratch];
  void (*m_news)(void* context) = nullptr;  // set before playback opens, read by its thread
  void* m_newsContext = nullptr;
};
