#include "tools/hov/AudioFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/hov/OutputFile.h"

SoundFileReader::~SoundFileReader() {
  if (m_file != nullptr) {
    sf_close(m_file);
  }
}

bool SoundFileReader::Open(const std::string& path, std::string* error) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = FileError("read", path, std::strerror(errno));
    return false;
  }
  struct stat status = {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    *error = FileError("read", path, "not a regular file");
    return false;
  }
  m_file = sf_open_fd(fd, SFM_READ, &m_info, SF_TRUE);
  if (m_file == nullptr) {
    *error = FileError("read", path, sf_strerror(nullptr));
    return false;
  }
  return true;
}

int64_t SoundFileReader::ReadPcm16(int16_t* out, int64_t frames) {
  m_pcm.resize(static_cast<size_t>(frames * m_info.channels));
  const sf_count_t n = sf_readf_short(m_file, m_pcm.data(), frames);
  for (sf_count_t i = 0; i < n; ++i) {
    out[i] = m_pcm[static_cast<size_t>(i * m_info.channels)];
  }
  return n;
}

int64_t SoundFileReader::ReadFloat(float* out, int64_t frames) {
  m_floats.resize(static_cast<size_t>(frames * m_info.channels));
  const sf_count_t n = sf_readf_float(m_file, m_floats.data(), frames);
  for (sf_count_t i = 0; i < n; ++i) {
    out[i] = m_floats[static_cast<size_t>(i * m_info.channels)];
  }
  return n;
}
