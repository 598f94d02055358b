// The virtual sound card, in a file of its own: only programs that link the audio front use it.
#include <memory>
#include <stdexcept>

#include "runtime/HovLog.h"
#include "tests/fakes/Host.h"

namespace {
constexpr int32_t kSecond = 48000;
constexpr int kQueuedSeconds = 5;
constexpr size_t kCaptureChunk = 480;
}  // namespace

class VirtualAudioDevice::Output : public AudioOutput::Impl {
 public:
  explicit Output(VirtualAudioDevice* device) : m_device(device) {}
  bool Open(uint32_t, AudioOutput::AudioSource* source) override {
    std::lock_guard<std::mutex> lock(m_device->m_mutex);
    if (m_device->m_fault != kNone) {
      return m_device->m_fault == kFail ? false : throw std::runtime_error("no playback thread");
    }
    m_device->m_source = source;
    m_device->m_air.clear();
    m_device->m_playedSinceRefill = 0;
    for (int i = 0; i < kQueuedSeconds; ++i) {
      m_device->Pull();
    }
    return true;
  }
  void Close() override {
    std::lock_guard<std::mutex> lock(m_device->m_mutex);
    m_device->m_source = nullptr;
    m_device->m_air.clear();
  }
  void Poll() override {
    std::string news;
    {
      std::lock_guard<std::mutex> lock(m_device->m_mutex);
      news.swap(m_device->m_news);
    }
    if (!news.empty()) {
      HovLog(3, "%s", news.c_str());
    }
  }

 private:
  VirtualAudioDevice* m_device;
};

class VirtualAudioDevice::Input : public AudioInput::Impl {
 public:
  explicit Input(VirtualAudioDevice* device) : m_device(device) {}
  bool Open(uint32_t, AudioInput::AudioSink* sink) override {
    std::lock_guard<std::mutex> lock(m_device->m_mutex);
    if (m_device->m_fault != kNone) {
      return m_device->m_fault == kFail ? false : throw std::runtime_error("no capture thread");
    }
    sink->Open(1, 48000, 16);
    m_device->m_sink = sink;
    m_device->m_pendingCapture.clear();
    return true;
  }
  void Close() override {
    AudioInput::AudioSink* sink = nullptr;
    {
      std::lock_guard<std::mutex> lock(m_device->m_mutex);
      sink = m_device->m_sink;
      m_device->m_sink = nullptr;
    }
    if (sink != nullptr) {
      sink->Close();
    }
  }

 private:
  VirtualAudioDevice* m_device;
};

VirtualAudioDevice::VirtualAudioDevice() {
  m_previousOutput = AudioOutput::SetFactoryForTesting(
      [this] { return std::unique_ptr<AudioOutput::Impl>(new Output(this)); });
  m_previousInput = AudioInput::SetFactoryForTesting(
      [this] { return std::unique_ptr<AudioInput::Impl>(new Input(this)); });
}

VirtualAudioDevice::~VirtualAudioDevice() {
  AudioOutput::SetFactoryForTesting(m_previousOutput);
  AudioInput::SetFactoryForTesting(m_previousInput);
}

void VirtualAudioDevice::Pull() {
  std::vector<int16_t> buffer(kSecond);
  int32_t n = m_source->Read(buffer.data(), kSecond);
  if (n > 0) {
    m_air.insert(m_air.end(), buffer.begin(), buffer.begin() + n);
  }
}

void VirtualAudioDevice::Advance(int64_t frames) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (int64_t i = 0; i < frames; ++i) {
    int16_t sample = 0;
    if (m_source != nullptr && !m_air.empty()) {
      sample = m_air.front();
      m_air.pop_front();
      if (++m_playedSinceRefill == kSecond) {
        m_playedSinceRefill = 0;
        Pull();
      }
    }
    if (m_sink != nullptr) {
      m_pendingCapture.push_back(sample);
      if (m_pendingCapture.size() == kCaptureChunk) {
        m_sink->Write(m_pendingCapture.data(), static_cast<int32_t>(kCaptureChunk));
        m_pendingCapture.clear();
      }
    }
  }
}

void VirtualAudioDevice::SetOpenFault(OpenFault fault) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_fault = fault;
}

void VirtualAudioDevice::News(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_news = line;
  if (m_source != nullptr) {
    m_source->OnDeviceNews();
  }
}

bool VirtualAudioDevice::OutputOpen() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_source != nullptr;
}

bool VirtualAudioDevice::InputOpen() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_sink != nullptr;
}
