#include "capture/linux/AudioInputLinuxPulse.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <vector>

#include "runtime/HovLog.h"
#include "runtime/ThreadName.h"

namespace {
constexpr uint32_t kRate = 48000;
constexpr uint32_t kFragmentFrames = 480;  // 10 ms
constexpr uint32_t kFragmentBytes = kFragmentFrames * sizeof(int16_t);
}  // namespace

AudioInputLinuxPulse::AudioInputLinuxPulse() = default;

AudioInputLinuxPulse::~AudioInputLinuxPulse() {
  if (m_stream != nullptr) {
    pa_simple_free(m_stream);
  }
}

bool AudioInputLinuxPulse::Open(uint32_t /*microphone*/, AudioInput::AudioSink* sink) {
  ScopeTrace trace("AudioInputLinuxPulse::Open");
  m_sink = sink;
  pa_sample_spec format = {};
  format.format = PA_SAMPLE_S16LE;
  format.rate = kRate;
  format.channels = 1;
  pa_buffer_attr attr = {};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = kFragmentBytes;
  int error = 0;
  m_stream = pa_simple_new(nullptr, "hov", PA_STREAM_RECORD, nullptr, "capture", &format, nullptr,
                           &attr, &error);
  if (m_stream == nullptr) {
    HovLog(3, "pa_simple_new failed, res:%d", error);
    return false;
  }
  m_sink->Open(1, kRate, 16);
  m_running = true;
  m_thread = std::thread(&AudioInputLinuxPulse::ThreadProc, this);
  return true;
}

void AudioInputLinuxPulse::Close() {
  ScopeTrace trace("AudioInputLinuxPulse::Close");
  m_running = false;
  if (m_thread.joinable()) {
    m_thread.join();
  }
  if (m_stream != nullptr) {
    pa_simple_free(m_stream);
    m_stream = nullptr;
    m_sink->Close();
  }
}

void AudioInputLinuxPulse::ThreadProc() {
  SetCurrentThreadName("hov_capture");
  std::vector<int16_t> fragment(kFragmentFrames);
  while (m_running) {
    int error = 0;
    if (pa_simple_read(m_stream, fragment.data(), kFragmentBytes, &error) < 0) {
      HovLog(3, "pa_simple_read failed, res:%d", error);
      return;
    }
    m_sink->Write(fragment.data(), static_cast<int32_t>(kFragmentFrames));
  }
}
