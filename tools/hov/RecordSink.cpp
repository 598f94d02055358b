#include "tools/hov/RecordSink.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "codec/ShareKeyEncoder.h"
#include "modem/OnAir.h"
#include "tools/hov/OutputFile.h"

namespace {
constexpr uint32_t kEncodedKeyBytes = onair::kPayloadBytes;
constexpr double kBandLow = onair::kBandLow;
constexpr double kBandHigh = onair::kBandHigh;
constexpr int32_t kBlockFrames = 9;  // about 0.2 s
}  // namespace

RecordSink::RecordSink(int64_t frameLimit, bool verbose)
    : m_decoders(kEncodedKeyBytes),
      m_frameLimit(frameLimit),
      m_verbose(verbose),
      m_frame(FrameSpectrum::kLength) {
  m_recording.reserve(static_cast<size_t>(std::max<int64_t>(frameLimit, 0)));
}

RecordSink::~RecordSink() = default;

void RecordSink::Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) {
  m_decoders.Open(channels, samplesPerSec, bitsPerSample);
  const double binWidth = static_cast<double>(samplesPerSec) / FrameSpectrum::kLength;
  m_bandFirst = static_cast<int32_t>(std::ceil(kBandLow / binWidth));
  m_bandLast =
      std::min(static_cast<int32_t>(std::floor(kBandHigh / binWidth)), FrameSpectrum::kBins - 1);
  m_rate = samplesPerSec;
}

void RecordSink::Close() {
  m_decoders.Close();
}

int32_t RecordSink::Write(const int16_t* data, int32_t frames) {
  int64_t recorded = m_frames.load();
  int32_t taken = frames;
  if (m_frameLimit > 0) {
    taken = static_cast<int32_t>(std::clamp<int64_t>(m_frameLimit - recorded, 0, frames));
  }
  if (taken > 0) {
    if (recorded == 0 && m_verbose) {
      std::fprintf(stderr, "hov record: capturing\n");
    }
    m_recording.insert(m_recording.end(), data, data + taken);
    m_decoders.Write(data, taken);
    Measure(data, taken);
    m_frames = recorded + taken;
  }
  if (m_frameLimit > 0 && recorded + taken >= m_frameLimit) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_done = true;
    m_changed.notify_all();
  }
  return frames;
}

void RecordSink::Measure(const int16_t* data, int32_t frames) {
  for (int32_t i = 0; i < frames; ++i) {
    m_frame[m_fill++] = static_cast<float>(data[i]);
    if (m_fill < FrameSpectrum::kLength) {
      continue;
    }
    m_fill = 0;
    const std::vector<float>& powers = m_spectrum.Analyse(m_frame.data());
    double band = 0.0;
    for (int32_t k = m_bandFirst; k <= m_bandLast; ++k) {
      band += powers[k];
    }
    // The level shown is the loudest frame of a block: single frames dip where symbols meet.
    m_blockPeak = std::max(m_blockPeak, band / m_spectrum.WindowBins());
    if (++m_blockFrames == kBlockFrames) {
      m_bandDb = FrameSpectrum::Db(m_blockPeak);
      m_blockPeak = 0.0;
      m_blockFrames = 0;
    }
  }
}

bool RecordSink::WaitDone(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_until(lock, deadline, [this] { return m_done; });
}

void RecordSink::RequestStop() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_done = true;
  m_changed.notify_all();
}

std::string RecordSink::HeardKey() {
  if (m_heardKey.empty() && m_decoders.IsComplete()) {
    char packet[1024];
    int32_t n = m_decoders.GetMessage(packet, sizeof packet);
    packet[n] = '\0';
    ShareKeyEncoder::Decode(std::string(packet), &m_heardKey);
  }
  return m_heardKey;
}

bool RecordSink::Save(const std::string& path, std::string* error) const {
  const std::vector<uint8_t> header =
      WavHeader(static_cast<int32_t>(m_rate.load()), static_cast<int64_t>(m_recording.size()));
  std::vector<uint8_t> bytes(2 * m_recording.size());
  for (size_t i = 0; i < m_recording.size(); ++i) {
    const uint16_t value = static_cast<uint16_t>(m_recording[i]);
    bytes[2 * i] = static_cast<uint8_t>(value & 0xff);
    bytes[2 * i + 1] = static_cast<uint8_t>(value >> 8);
  }
  CheckedFile file;
  return file.Open(path, error) && file.Write(header.data(), header.size(), error) &&
         file.Write(bytes.data(), bytes.size(), error) && file.Finish(error);
}
