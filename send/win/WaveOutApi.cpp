#include "send/win/WaveOutApi.h"

WaveOutApi& WaveOutFunctions() {
  static WaveOutApi functions;
  return functions;
}
