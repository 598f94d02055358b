#include "platform/linux/PulseStream.h"

#include <pulse/pulseaudio.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "runtime/HovLog.h"

namespace {
std::atomic<bool> g_serverStalled{false};
constexpr int kNice = -10;
}  // namespace

bool PulseStream::ServerStalled() {
  return g_serverStalled.load();
}

PulseStream::PulseStream(Direction direction, int32_t latencyMs, const char* name, Client* client)
    : m_direction(direction), m_latencyMs(latencyMs), m_name(name), m_client(client) {}

PulseStream::~PulseStream() {
  Close();
}

bool PulseStream::Open() {
  m_loop = pa_threaded_mainloop_new();
  if (m_loop == nullptr) {
    HovLog(3, "pa_threaded_mainloop_new failed");
    return false;
  }
  pa_threaded_mainloop_set_name(m_loop, m_name);
  // The thread does not run yet: no lock needed until it starts.
  m_state = State::kConnecting;
  ArmTimer(kOpenTimeoutMs);
  Connect();
  if (pa_threaded_mainloop_start(m_loop) < 0) {
    HovLog(3, "pa_threaded_mainloop_start failed");
    Close();
    return false;
  }
  pa_threaded_mainloop_lock(m_loop);
  while (m_state == State::kConnecting) {
    pa_threaded_mainloop_wait(m_loop);
  }
  const bool running = m_state == State::kRunning;
  m_opened = running;
  const int error = m_error;
  const char* call = m_failedInStream ? "pa_stream_connect" : "pa_context_connect";
  pa_threaded_mainloop_unlock(m_loop);
  g_serverStalled = error == PA_ERR_TIMEOUT && !running;
  if (!running) {
    HovLog(3, "%s: %s failed, res:%d", m_name, call, error);
    Close();
  }
  return running;
}

void PulseStream::Close() {
  if (m_loop == nullptr) {
    return;
  }
  pa_threaded_mainloop_lock(m_loop);
  Disconnect();
  if (m_timer != nullptr) {
    pa_threaded_mainloop_get_api(m_loop)->time_free(m_timer);
    m_timer = nullptr;
  }
  m_state = State::kClosed;
  pa_threaded_mainloop_unlock(m_loop);
  // The thread only ever waits in poll(), so this returns even when the server is frozen.
  pa_threaded_mainloop_stop(m_loop);
  pa_threaded_mainloop_free(m_loop);
  m_loop = nullptr;
  ReportChanges();
}

void PulseStream::ReportChanges() {
  const int32_t losses = m_losses.load();
  const int32_t recoveries = m_recoveries.load();
  // In the order they happened: every loss comes before its recovery.
  while (m_lossesLogged < losses || m_recoveriesLogged < recoveries) {
    if (m_lossesLogged == m_recoveriesLogged) {
      HovLog(3, "%s: sound server lost, reopening the default device", m_name);
      ++m_lossesLogged;
    } else {
      HovLog(3, "%s: default device open again", m_name);
      ++m_recoveriesLogged;
    }
  }

  const int32_t underruns = m_underruns.load();
  if (underruns != m_underrunsLogged) {
    HovLog(3, "%s: underrun, %d since the stream began", m_name, underruns);
    m_underrunsLogged = underruns;
  }
}

void PulseStream::Connect() {
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
  m_failedInStream = false;
  m_context = pa_context_new(api, "hov");
  if (m_context == nullptr) {
    m_error = PA_ERR_INTERNAL;
    Failed();
    return;
  }
  pa_context_set_state_callback(m_context, &PulseStream::ContextStateThunk, this);
  if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    m_error = pa_context_errno(m_context);
    Failed();
  }
}

void PulseStream::Disconnect() {
  if (m_stream != nullptr) {
    pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    pa_stream_set_write_callback(m_stream, nullptr, nullptr);
    pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(m_stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream))) {
      pa_stream_disconnect(m_stream);
    }
    pa_stream_unref(m_stream);
    m_stream = nullptr;
  }
  if (m_context != nullptr) {
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
  }
  m_fragmentFill = 0;
}

void PulseStream::ArmTimer(int32_t ms) {
  struct timeval tv;
  pa_gettimeofday(&tv);
  pa_timeval_add(&tv, static_cast<pa_usec_t>(ms) * PA_USEC_PER_MSEC);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
  if (m_timer == nullptr) {
    m_timer = api->time_new(api, &tv, &PulseStream::TimerThunk, this);
  } else {
    api->time_restart(m_timer, &tv);
  }
}

void PulseStream::Failed() {
  Disconnect();
  if (!m_opened) {
    m_state = State::kFailed;  // Open reports it
    pa_threaded_mainloop_signal(m_loop, 0);
    return;
  }
  if (m_state == State::kRunning) {
    m_losses.fetch_add(1);
    m_client->Noticed();
  }
  m_state = State::kWaiting;
  ArmTimer(kRetryMs);
}

void PulseStream::OnContextState() {
  switch (pa_context_get_state(m_context)) {
    case PA_CONTEXT_READY: {
      pa_sample_spec format = {};
      format.format = PA_SAMPLE_S16LE;
      format.rate = m_rate;
      format.channels = 1;
      m_failedInStream = true;  // from here on a failure is the stream's
      m_stream = pa_stream_new(m_context, m_name, &format, nullptr);
      if (m_stream == nullptr) {
        m_error = pa_context_errno(m_context);
        Failed();
        return;
      }
      pa_stream_set_state_callback(m_stream, &PulseStream::StreamStateThunk, this);
      pa_buffer_attr attr;
      std::memset(&attr, 0xff, sizeof(attr));  // every field: the server's choice
      const uint32_t bytes = static_cast<uint32_t>(m_latencyMs) * m_rate / 1000 * sizeof(int16_t);
      // The source's own rate is asked for on the first connection only: a stream made again
      // keeps the rate its reader was told, and the server converts if the source changed.
      const bool fixRate = m_fixRate && !m_opened && m_direction == Direction::kRecord;
      const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY |
                                                        (fixRate ? PA_STREAM_FIX_RATE : 0));
      int res;
      if (m_direction == Direction::kPlayback) {
        attr.tlength = bytes;
        attr.minreq = bytes / 2;
        pa_stream_set_write_callback(m_stream, &PulseStream::WriteThunk, this);
        pa_stream_set_underflow_callback(m_stream, &PulseStream::UnderflowThunk, this);
        res = pa_stream_connect_playback(m_stream, nullptr, &attr, flags, nullptr, nullptr);
      } else {
        attr.fragsize = bytes;
        pa_stream_set_read_callback(m_stream, &PulseStream::ReadThunk, this);
        res = pa_stream_connect_record(m_stream, nullptr, &attr, flags);
      }
      if (res < 0) {
        m_error = pa_context_errno(m_context);
        Failed();
      }
      break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      m_error = pa_context_errno(m_context);
      Failed();
      break;
    default:
      break;
  }
}

void PulseStream::OnStreamState() {
  switch (pa_stream_get_state(m_stream)) {
    case PA_STREAM_READY:
      if (!m_raisedPriority) {
        // Ahead of ordinary threads where the system lets us (else it stays as it was), so
        // that a busy machine does not starve the device.
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kNice);
        m_raisedPriority = true;
      }
      if (m_opened) {
        m_recoveries.fetch_add(1);
        m_client->Noticed();
      } else if (const pa_sample_spec* granted = pa_stream_get_sample_spec(m_stream)) {
        m_rate = granted->rate;
      }
      m_state = State::kRunning;
      pa_threaded_mainloop_signal(m_loop, 0);
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      m_error = pa_context_errno(m_context);
      Failed();
      break;
    default:
      break;
  }
}

void PulseStream::OnWritable(size_t bytes) {
  while (bytes >= sizeof(int16_t)) {
    void* data = nullptr;
    size_t n = bytes;
    // The server's own memory: rendering into it copies nothing and allocates nothing.
    if (pa_stream_begin_write(m_stream, &data, &n) < 0 || data == nullptr) {
      return;
    }
    n = std::min(n, bytes) & ~static_cast<size_t>(1);
    if (n == 0) {
      pa_stream_cancel_write(m_stream);
      return;
    }
    m_client->Fill(static_cast<int16_t*>(data), static_cast<int32_t>(n / sizeof(int16_t)));
    if (pa_stream_write(m_stream, data, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
      return;
    }
    bytes -= n;
  }
}

void PulseStream::OnReadable() {
  while (pa_stream_readable_size(m_stream) > 0) {
    const void* data = nullptr;
    size_t n = 0;
    if (pa_stream_peek(m_stream, &data, &n) < 0 || n == 0) {
      return;
    }
    // A hole (no data) is heard as silence, so the stream keeps its length.
    const int16_t* in = static_cast<const int16_t*>(data);
    size_t frames = n / sizeof(int16_t);
    while (frames > 0) {
      const int32_t take =
          static_cast<int32_t>(std::min<size_t>(frames, kFragmentFrames - m_fragmentFill));
      if (in != nullptr) {
        std::memcpy(m_fragment + m_fragmentFill, in, take * sizeof(int16_t));
        in += take;
      } else {
        std::memset(m_fragment + m_fragmentFill, 0, take * sizeof(int16_t));
      }
      m_fragmentFill += take;
      frames -= static_cast<size_t>(take);
      if (m_fragmentFill == kFragmentFrames) {
        m_client->Take(m_fragment, kFragmentFrames);
        m_fragmentFill = 0;
      }
    }
    pa_stream_drop(m_stream);
  }
}

void PulseStream::OnTimer() {
  if (m_state == State::kConnecting) {
    m_error = PA_ERR_TIMEOUT;  // a server that does not answer: try again later
    Failed();
  } else if (m_state == State::kWaiting) {
    m_state = State::kConnecting;
    ArmTimer(kOpenTimeoutMs);
    Connect();
  }
}

void PulseStream::ContextStateThunk(pa_context* /*c*/, void* self) {
  static_cast<PulseStream*>(self)->OnContextState();
}

void PulseStream::StreamStateThunk(pa_stream* /*s*/, void* self) {
  static_cast<PulseStream*>(self)->OnStreamState();
}

void PulseStream::WriteThunk(pa_stream* /*s*/, size_t bytes, void* self) {
  static_cast<PulseStream*>(self)->OnWritable(bytes);
}

void PulseStream::ReadThunk(pa_stream* /*s*/, size_t /*bytes*/, void* self) {
  static_cast<PulseStream*>(self)->OnReadable();
}

void PulseStream::TimerThunk(pa_mainloop_api* /*api*/, pa_time_event* /*e*/,
                             const struct timeval* /*tv*/, void* self) {
  static_cast<PulseStream*>(self)->OnTimer();
}

void PulseStream::UnderflowThunk(pa_stream* /*s*/, void* self) {
  PulseStream* stream = static_cast<PulseStream*>(self);
  stream->m_underruns.fetch_add(1);
  stream->m_client->Noticed();
}
