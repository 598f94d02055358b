// The sample source of a send session: renders the key's tone stream as 16-bit samples and
// queues the cross-fade of a key change ahead of fresh samples.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

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
  // Worker thread. Queues 0.5 s: the old stream fading out, silence, the new one fading in.
  void Update(const char* encodedKey);
  // Playback thread (or the opener during Open). Fills all count samples: queued ones first.
  int32_t Read(int16_t* buffer, int32_t count) override;

 private:
  // Renders count samples as 16-bit into out; under m_mutex.
  void RenderPcm(int16_t* out, int32_t count);

  ModemParams* m_params = nullptr;
  ToneBank* m_bank = nullptr;
  std::vector<int16_t> m_pending;
  std::mutex m_mutex;
};
