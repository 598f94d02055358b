#include "send/HovSend.h"

#include <string>
#include <vector>

#include "codec/ShareKeyEncoder.h"
#include "runtime/HovLog.h"
#include "send/AudioOutput.h"
#include "send/HovSource.h"

HovSend::HovSend() = default;
HovSend::~HovSend() = default;

bool HovSend::Start(const char* shareKey, Listener* listener) {
  ScopeTrace trace("HovSend::Start");
  std::string encoded;
  if (!ShareKeyEncoder::Encode(shareKey, &encoded)) {
    HovLog(2, "ShareKeyEncoder::Encode encode string %s failed", shareKey);
    return false;
  }
  std::vector<uint32_t> devices;
  AudioOutput::LoadDevice(devices);
  if (devices.empty()) {
    HovLog(2, "Current has not playout device");
    return false;
  }
  m_source = std::make_unique<HovSource>();
  m_source->Init(encoded.c_str());
  if (listener != nullptr) {
    m_source->SetNewsCallback([](void* l) { static_cast<Listener*>(l)->OnSendNews(); }, listener);
  }
  bool opened = false;
  try {
    m_output = std::make_unique<AudioOutput>();
    opened = m_output->Open(devices[0], m_source.get());
  } catch (...) {
    m_output.reset();  // a device whose Open threw holds nothing to close
    m_source->Uninit();
    m_source.reset();
    throw;
  }
  if (opened) {
    return true;
  }
  HovLog(2, "Open AudioOutput Failed");
  m_output.reset();
  m_source->Uninit();
  m_source.reset();
  return false;
}

void HovSend::Update(const char* shareKey) {
  ScopeTrace trace("HovSend::Update");
  std::string encoded;
  if (!ShareKeyEncoder::Encode(shareKey, &encoded)) {
    return;
  }
  HovLog(2, "HovSend Begin Update sharekey to %s", shareKey);
  m_source->Update(encoded.c_str());
}

bool HovSend::Poll() {
  m_output->Poll();
  return true;
}

void HovSend::Stop() {
  ScopeTrace trace("HovSend::Stop");
  m_output->Close();
  m_output.reset();
  m_source->Uninit();
  m_source.reset();
}
