#include "tools/hov/CoreLog.h"

#include <cstdio>

#include "runtime/HovLog.h"

#ifdef __linux__
#include <alsa/asoundlib.h>
#endif

namespace {
void HOV_CALL LogToStderr(int /*level*/, const char* line) {
  std::fprintf(stderr, "%s\n", line);
}

#ifdef __linux__
void IgnoreAlsaError(const char* /*file*/, int /*line*/, const char* /*function*/, int /*err*/,
                     const char* /*format*/, ...) {}
#endif
}  // namespace

void RouteCoreLog(bool verbose) {
  HovLogger::GetInstance()->RegisterLogger(verbose ? &LogToStderr : nullptr);
}

void RouteSoundSystemLog(bool verbose) {
#ifdef __linux__
  snd_lib_error_set_handler(verbose ? nullptr : &IgnoreAlsaError);
#else
  (void)verbose;
#endif
}
