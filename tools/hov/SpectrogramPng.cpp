#include "tools/hov/SpectrogramPng.h"

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/hov/OutputFile.h"

namespace {
using analyze::DecoderReport;
using analyze::Report;

struct Rgb {
  uint8_t r, g, b;
};

constexpr Rgb kMargin = {24, 24, 24};
constexpr Rgb kGrid = {170, 170, 170};
constexpr Rgb kLabel = {230, 230, 230};
constexpr Rgb kMark = {0, 255, 0};
constexpr Rgb kOtherMark = {0, 200, 255};  // symbols of a decoder whose key was not accepted
constexpr double kRangeDb = 100.0;         // colours span this far below the loudest bin

// Hex digits 0-F, 3 by 5 pixels, one row of three bits per byte (top row first).
constexpr uint8_t kGlyphs[16][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
    {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
    {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}, {2, 5, 7, 5, 5}, {6, 5, 6, 5, 6},
    {3, 4, 4, 4, 3}, {6, 5, 5, 5, 6}, {7, 4, 6, 4, 7}, {7, 4, 6, 4, 4}};

class Canvas {
 public:
  Canvas(int width, int height) : m_width(width), m_height(height), m_pixels(width * height * 3) {}

  void Set(int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= m_width || y >= m_height) {
      return;
    }
    uint8_t* p = &m_pixels[(static_cast<size_t>(y) * m_width + x) * 3];
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
  }
  void Fill(int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) {
        Set(x, y, c);
      }
    }
  }
  void Outline(int x0, int y0, int x1, int y1, Rgb c) {
    for (int x = x0; x <= x1; ++x) {
      Set(x, y0, c);
      Set(x, y1, c);
    }
    for (int y = y0; y <= y1; ++y) {
      Set(x0, y, c);
      Set(x1, y, c);
    }
  }
  void Digit(int x, int y, uint32_t digit, Rgb c) {
    for (int row = 0; row < 5; ++row) {
      for (int col = 0; col < 3; ++col) {
        if (kGlyphs[digit & 15][row] & (4 >> col)) {
          Set(x + col, y + row, c);
        }
      }
    }
  }
  const uint8_t* Data() const { return m_pixels.data(); }

 private:
  int m_width;
  int m_height;
  std::vector<uint8_t> m_pixels;
};

// Black through blue, magenta and orange to pale yellow.
Rgb Colour(double t) {
  static const Rgb stops[] = {{0, 0, 0},     {30, 10, 110},  {150, 20, 140},
                              {240, 90, 30}, {255, 200, 40}, {255, 255, 220}};
  constexpr int kLast = 5;
  t = std::clamp(t, 0.0, 1.0) * kLast;
  const int i = std::min(static_cast<int>(t), kLast - 1);
  const double f = t - i;
  auto mix = [f](uint8_t a, uint8_t b) { return static_cast<uint8_t>(a + (b - a) * f); };
  return {mix(stops[i].r, stops[i + 1].r), mix(stops[i].g, stops[i + 1].g),
          mix(stops[i].b, stops[i + 1].b)};
}

// The decoder whose symbols are marked: the one whose vote accepted the key, otherwise the
// first whose window is complete. Null when there is none.
const DecoderReport* MarkedDecoder(const Report& report) {
  const DecoderReport* first = nullptr;
  for (const DecoderReport& d : report.decoders) {
    if (report.acceptedFrame >= 0 && d.number == report.acceptedBy[1]) {
      return &d;
    }
    if (first == nullptr && d.complete) {
      first = &d;
    }
  }
  return report.acceptedFrame >= 0 ? nullptr : first;
}
}  // namespace

void SpectrogramPng::Size(const Report& report, int* width, int* height) {
  const analyze::Spectrogram& s = report.spectrogram;
  const int bins = s.lastBin - s.firstBin + 1;
  if (s.columns <= 0 || bins <= 0) {
    *width = 0;
    *height = 0;
    return;
  }
  *width = kLeft + s.columns;
  *height = kTop + bins * kBinPixels + kBottom;
}

bool SpectrogramPng::Write(const Report& report, const std::string& path, std::string* error) {
  int width = 0;
  int height = 0;
  Size(report, &width, &height);
  if (width == 0) {
    *error = "cannot write " + path +
             ": the file holds no 18.5-20.5 kHz spectrogram (shorter than 1024 frames, or a "
             "sample rate below 41000 Hz)";
    return false;
  }
  const analyze::Spectrogram& s = report.spectrogram;
  const int bins = s.lastBin - s.firstBin + 1;
  auto binTop = [&s](int bin) { return kTop + (s.lastBin - bin) * kBinPixels; };

  Canvas canvas(width, height);
  canvas.Fill(0, 0, width - 1, height - 1, kMargin);
  const float loudest = *std::max_element(s.db.begin(), s.db.end());
  for (int c = 0; c < s.columns; ++c) {
    for (int k = 0; k < bins; ++k) {
      const double t = (s.db[static_cast<size_t>(c) * bins + k] - (loudest - kRangeDb)) / kRangeDb;
      const int top = binTop(s.firstBin + k);
      canvas.Fill(kLeft + c, top, kLeft + c, top + kBinPixels - 1, Colour(t));
    }
  }
  // The tone grid: a dotted line through the middle of each tone's bin, its number on the left.
  for (int i = 0; i < analyze::kTones; ++i) {
    const int bin = s.toneBins[i];
    if (bin < s.firstBin || bin > s.lastBin) {
      continue;
    }
    const int middle = binTop(bin) + kBinPixels / 2;
    for (int x = kLeft; x < width; x += 4) {
      canvas.Set(x, middle, kGrid);
    }
    canvas.Digit(5, middle - 2, static_cast<uint32_t>(i), kLabel);
  }
  // A tick every second.
  const double columnsPerSecond = static_cast<double>(report.sampleRate) / s.hop;
  for (int second = 0; second * columnsPerSecond < s.columns; ++second) {
    const int x = kLeft + static_cast<int>(second * columnsPerSecond);
    canvas.Fill(x, height - kBottom + 1, x, height - 2, kLabel);
  }
  // The marked decoder: its window as a bar on top; each frame of its best phase boxed in the
  // row of the tone it read there, with the tone's digit above.
  if (const DecoderReport* d = MarkedDecoder(report)) {
    const Rgb colour = d->accepting ? kMark : kOtherMark;
    const int frameColumns = std::max(1024 / s.hop, 1);
    const int x0 = kLeft + static_cast<int>(d->delay / s.hop);
    const int x1 = kLeft + static_cast<int>((d->delay + report.windowFrames) / s.hop) - 1;
    canvas.Fill(x0, kTop - 2, std::min(x1, width - 1), kTop - 2, colour);
    for (size_t slot = 0; slot < d->tones.size(); ++slot) {
      const int64_t frame = static_cast<int64_t>(slot) * analyze::kPhases + d->bestPhase;
      const int x =
          kLeft +
          static_cast<int>((static_cast<double>(d->delay) + frame * report.frameFrames) / s.hop);
      const int bin = s.toneBins[d->tones[slot] & 15];
      if (bin >= s.firstBin && bin <= s.lastBin) {
        const int top = binTop(bin);
        canvas.Outline(x, top, x + frameColumns - 1, top + kBinPixels - 1, colour);
      }
      canvas.Digit(x, 2, d->tones[slot], colour);
    }
  }

  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_RGB;
  // The picture in memory first, then to the file with every write checked.
  png_alloc_size_t size = 0;
  if (png_image_write_get_memory_size(image, size, 0, canvas.Data(), 0, nullptr) == 0) {
    *error = "cannot write " + path + ": " + image.message;
    png_image_free(&image);
    return false;
  }
  std::vector<uint8_t> bytes(size);
  if (png_image_write_to_memory(&image, bytes.data(), &size, 0, canvas.Data(), 0, nullptr) == 0) {
    *error = "cannot write " + path + ": " + image.message;
    png_image_free(&image);
    return false;
  }
  CheckedFile file;
  return file.Open(path, error) && file.Write(bytes.data(), size, error) && file.Finish(error);
}
