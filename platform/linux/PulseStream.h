// One PulseAudio stream (playback or record, mono signed 16-bit at 48000 Hz, or a record stream
// at the source's own rate) on the server's default device, run by a mainloop thread of its own. No
// call of the owner waits on the server without a time limit, and a stream lost with its server is
// made again when the server comes back.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_time_event;
struct pa_mainloop_api;

class PulseStream {
 public:
  // Called on the mainloop thread (a sound thread: no allocation, no log, no blocking).
  class Client {
   public:
    virtual ~Client() = default;
    // Playback: fill all frames samples.
    virtual void Fill(int16_t* out, int32_t frames) { (void)out, (void)frames; }
    // Record: frames captured samples.
    virtual void Take(const int16_t* in, int32_t frames) { (void)in, (void)frames; }
    // A loss, a recovery or an underrun has been counted: the next ReportChanges logs it.
    virtual void Noticed() {}
  };
  enum class Direction { kPlayback, kRecord };

  // latencyMs: playback, the audio kept ahead of the speaker; record, the size of a fragment.
  // name: the mainloop thread's name and the stream's name in the log lines.
  PulseStream(Direction direction, int32_t latencyMs, const char* name, Client* client);
  ~PulseStream();  // owner's thread; closes

  // Owner's thread, before Open. Record: the first connection takes the default source's own
  // rate instead of kRate (Rate() tells it); the stream keeps that rate when it is made again.
  void TakeDeviceRate() { m_fixRate = true; }
  // Owner's thread. Connects and waits until the stream runs, at most kOpenTimeoutMs; false when
  // it does not (logged at level 3, nothing left running).
  bool Open();
  // Owner's thread, after a successful Open: the stream's sample rate.
  uint32_t Rate() const { return m_rate; }
  // Owner's thread. Stops the stream and joins the mainloop thread without waiting on the
  // server; after it returns no Client call is in progress or follows. Harmless when repeated.
  void Close();
  // Owner's thread, now and then. Logs at level 3, once each, a loss of the stream and its
  // recovery that the mainloop thread has seen since the last call, and playback underruns.
  void ReportChanges();

  // Any thread. True when the last Open of any stream found a server that did not answer in
  // time: ALSA's "default" most likely leads to that same server, and opening it would block
  // without a bound, so the ALSA backends do not try.
  static bool ServerStalled();

  static constexpr uint32_t kRate = 48000;         // the stream's rate unless TakeDeviceRate
  static constexpr int32_t kOpenTimeoutMs = 1000;  // also the limit of one reconnect attempt
  static constexpr int32_t kRetryMs = 250;         // pause between reconnect attempts

 private:
  // Mainloop thread, with the loop locked (or the owner holding the lock).
  void Connect();
  void Disconnect();
  void ArmTimer(int32_t ms);
  void OnContextState();
  void OnStreamState();
  void OnWritable(size_t bytes);
  void OnReadable();
  void OnTimer();
  void Failed();

  static void ContextStateThunk(pa_context* c, void* self);
  static void StreamStateThunk(pa_stream* s, void* self);
  static void WriteThunk(pa_stream* s, size_t bytes, void* self);
  static void ReadThunk(pa_stream* s, size_t bytes, void* self);
  static void UnderflowThunk(pa_stream* s, void* self);
  static void TimerThunk(pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv,
                         void* self);

  static constexpr int32_t kFragmentFrames = 480;

  const Direction m_direction;
  const int32_t m_latencyMs;
  const char* const m_name;
  Client* const m_client;
  pa_threaded_mainloop* m_loop = nullptr;
  pa_context* m_context = nullptr;
  pa_stream* m_stream = nullptr;
  pa_time_event* m_timer = nullptr;
  // Below: mainloop thread, or the owner while it holds the loop's lock.
  enum class State { kConnecting, kRunning, kWaiting, kFailed, kClosed };
  State m_state = State::kClosed;
  uint32_t m_rate = kRate;  // fixed once the first connection runs
  bool m_fixRate = false;   // TakeDeviceRate was called
  bool m_opened = false;    // Open has succeeded: a failure from now on is a loss, not a refusal
  int m_error = 0;          // the last failure's code, for Open's line
  bool m_failedInStream = false;
  bool m_raisedPriority = false;        // the context was ready: the stream failed
  int16_t m_fragment[kFragmentFrames];  // record: samples gathered for the next Take
  int32_t m_fragmentFill = 0;
  // Counted by the mainloop thread, logged by the owner.
  std::atomic<int32_t> m_losses{0};
  std::atomic<int32_t> m_recoveries{0};
  std::atomic<int32_t> m_underruns{0};
  int32_t m_underrunsLogged = 0;  // owner's thread only
  int32_t m_lossesLogged = 0;     // owner's thread only, like the one below
  int32_t m_recoveriesLogged = 0;
};
