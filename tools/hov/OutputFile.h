// Output files of the tool whose every write is checked: a file not finished is removed again
// (when it is a regular file), so a failed write leaves nothing half-written behind.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Any thread. The tool's message for a file it cannot use: "cannot VERB PATH: REASON".
std::string FileError(const char* verb, const std::string& path, const char* reason);

// Writes one output file. Main thread. A file not finished (a failed write, or destroyed
// before Finish) is removed when it is a regular file.
class CheckedFile {
 public:
  CheckedFile() = default;  // main thread; nothing open
  ~CheckedFile();           // main thread; a file not finished is closed and removed
  CheckedFile(const CheckedFile&) = delete;
  CheckedFile& operator=(const CheckedFile&) = delete;

  // Main thread. Creates or truncates path; false with *error ("cannot write PATH: REASON").
  bool Open(const std::string& path, std::string* error);
  // Main thread, after Open. Writes size bytes; false with *error (the file is then removed).
  bool Write(const void* data, size_t size, std::string* error);
  // Main thread, after Open. Flushes and closes; true: the file is complete; false with *error (the
  // file is then removed).
  bool Finish(std::string* error);

 private:
  bool Fail(int errorNumber, std::string* error);

  std::FILE* m_file = nullptr;
  std::string m_path;
};

// Any thread. The 44-byte header of a mono 16-bit WAV file of frames frames at rate.
std::vector<uint8_t> WavHeader(int32_t rate, int64_t frames);
