#include "modemlib/Receivers.h"

#include <memory>
#include <type_traits>
#include <utility>

#include "hov/modem.h"
#include "modem/OnAir.h"
#include "receive/robust/HovSinkRobust.h"

namespace {
// Below this the tone band does not fit under half the rate: the robust receiver gets the
// design's rate instead (and hears nothing either way).
constexpr int32_t kRobustLowestRate = 44100;

// Any of the library's receiving sinks, opened as a capture opens it.
template <class Sink>
class SinkReceiver : public KeyReceiver {
 public:
  SinkReceiver(std::unique_ptr<Sink> sink, int32_t rate) : m_sink(std::move(sink)), m_rate(rate) {
    m_sink->Open(1, static_cast<uint32_t>(rate), 16);
  }
  ~SinkReceiver() override { m_sink->Close(); }

  int32_t Rate() const override { return m_rate; }
  void Write(const int16_t* data, int32_t frames) override { m_sink->Write(data, frames); }
  bool IsComplete() const override { return m_sink->IsComplete(); }
  int32_t GetMessage(char* buffer, int32_t count) override {
    return m_sink->GetMessage(buffer, count);
  }
  bool SetObserver(HovSinkConcurrent::Observer* observer) override {
    if constexpr (std::is_same_v<Sink, HovSinkConcurrent>) {
      m_sink->SetObserver(observer);
      return true;
    } else {
      return observer == nullptr;
    }
  }
  const RobustInspection* Robust() const override {
    if constexpr (std::is_same_v<Sink, HovSinkRobust>) {
      return m_sink->Inspection();
    } else {
      return nullptr;
    }
  }

 private:
  std::unique_ptr<Sink> m_sink;
  int32_t m_rate;
};
}  // namespace

KeyReceiver* MakeReceiver(int choice, int32_t inputRate) {
  switch (choice) {
    case HOV_MODEM_RECEIVER_DESIGN:
      return new SinkReceiver<HovSinkConcurrent>(
          std::make_unique<HovSinkConcurrent>(onair::kPayloadBytes), onair::kSampleRate);
    case HOV_MODEM_RECEIVER_ROBUST:
      return new SinkReceiver<HovSinkRobust>(
          std::make_unique<HovSinkRobust>(),
          inputRate >= kRobustLowestRate ? inputRate : onair::kSampleRate);
    default:
      return nullptr;
  }
}
