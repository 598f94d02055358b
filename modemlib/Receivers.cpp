#include "modemlib/Receivers.h"

#include <type_traits>

#include "hov/modem.h"
#include "modem/OnAir.h"

namespace {
// Any of the library's receiving sinks, opened as a capture opens it.
template <class Sink>
class SinkReceiver : public KeyReceiver {
 public:
  SinkReceiver() : m_sink(onair::kPayloadBytes) {
    m_sink.Open(1, static_cast<uint32_t>(onair::kSampleRate), 16);
  }
  ~SinkReceiver() override { m_sink.Close(); }

  void Write(const int16_t* data, int32_t frames) override { m_sink.Write(data, frames); }
  bool IsComplete() const override { return m_sink.IsComplete(); }
  int32_t GetMessage(char* buffer, int32_t count) override {
    return m_sink.GetMessage(buffer, count);
  }
  bool SetObserver(HovSinkConcurrent::Observer* observer) override {
    if constexpr (std::is_same_v<Sink, HovSinkConcurrent>) {
      m_sink.SetObserver(observer);
      return true;
    } else {
      return observer == nullptr;
    }
  }

 private:
  Sink m_sink;
};
}  // namespace

KeyReceiver* MakeReceiver(int choice) {
  switch (choice) {
    case HOV_MODEM_RECEIVER_DESIGN:
      return new SinkReceiver<HovSinkConcurrent>();
    default:
      return nullptr;  // the robust receiver is not part of this build yet
  }
}
