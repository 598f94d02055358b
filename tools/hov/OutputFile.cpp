#include "tools/hov/OutputFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

std::string FileError(const char* verb, const std::string& path, const char* reason) {
  return std::string("cannot ") + verb + " " + path + ": " + reason;
}

namespace {

// Removes path when it names a regular file: never a device, a FIFO or whatever else it is.
void RemoveIfRegular(const std::string& path) {
  struct stat status = {};
  if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    std::remove(path.c_str());
  }
}

void PutLe(std::vector<uint8_t>* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out->push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}
}  // namespace

CheckedFile::~CheckedFile() {
  if (m_file != nullptr) {
    std::string ignored;
    Fail(0, &ignored);
  }
}

bool CheckedFile::Open(const std::string& path, std::string* error) {
  m_path = path;
  m_file = std::fopen(path.c_str(), "wb");
  if (m_file == nullptr) {
    *error = FileError("write", path, std::strerror(errno));
    return false;
  }
  return true;
}

bool CheckedFile::Write(const void* data, size_t size, std::string* error) {
  if (std::fwrite(data, 1, size, m_file) != size) {
    return Fail(errno, error);
  }
  return true;
}

bool CheckedFile::Finish(std::string* error) {
  errno = 0;
  if (std::fflush(m_file) != 0 || std::ferror(m_file) != 0) {
    return Fail(errno, error);
  }
  std::FILE* file = m_file;
  m_file = nullptr;
  if (std::fclose(file) != 0) {
    const int number = errno;
    RemoveIfRegular(m_path);
    *error = FileError("write", m_path, std::strerror(number));
    return false;
  }
  return true;
}

bool CheckedFile::Fail(int errorNumber, std::string* error) {
  std::fclose(m_file);
  m_file = nullptr;
  RemoveIfRegular(m_path);
  *error =
      FileError("write", m_path, errorNumber != 0 ? std::strerror(errorNumber) : "not finished");
  return false;
}

std::vector<uint8_t> WavHeader(int32_t rate, int64_t frames) {
  const uint32_t dataBytes = static_cast<uint32_t>(frames * 2);
  std::vector<uint8_t> header;
  header.reserve(44);
  const char* riff = "RIFF";
  header.insert(header.end(), riff, riff + 4);
  PutLe(&header, 36 + dataBytes, 4);
  const char* format = "WAVEfmt ";
  header.insert(header.end(), format, format + 8);
  PutLe(&header, 16, 4);  // format chunk size
  PutLe(&header, 1, 2);   // integer PCM
  PutLe(&header, 1, 2);   // mono
  PutLe(&header, static_cast<uint32_t>(rate), 4);
  PutLe(&header, static_cast<uint32_t>(rate) * 2, 4);  // bytes per second
  PutLe(&header, 2, 2);                                // bytes per frame
  PutLe(&header, 16, 2);                               // bits per sample
  const char* data = "data";
  header.insert(header.end(), data, data + 4);
  PutLe(&header, dataBytes, 4);
  return header;
}
