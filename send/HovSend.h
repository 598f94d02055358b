// One transmit session: from Start to Stop the speaker plays the key's tone stream.
// Worker thread only; no lock of its own.
#pragma once

#include <memory>

class AudioOutput;
class HovSource;

class HovSend {
 public:
  // Who hears that the sender has something to log before its next Poll.
  class Listener {
   public:
    virtual ~Listener() = default;
    // Playback thread: the device has met something that the next Poll logs (a lost device,
    // its return, an underrun). Must not block, allocate or log.
    virtual void OnSendNews() = 0;
  };

  HovSend();
  ~HovSend();

  // Worker thread. Encodes the key and starts playback, telling listener (if any) of the
  // device's news; false (nothing held) on failure.
  bool Start(const char* shareKey, Listener* listener = nullptr);
  // Worker thread. Switches to a new key through the source's cross-fade; an invalid key is
  // ignored.
  void Update(const char* shareKey);
  // Worker thread, after a successful Start. Lets playback log what its thread met; always
  // true: a sender ends only when stopped (a lost device is reopened by the backend).
  bool Poll();
  // Worker thread, after a successful Start. Closes playback, then frees the source.
  void Stop();

 private:
  std::unique_ptr<HovSource> m_source;
  std::unique_ptr<AudioOutput> m_output;
};
