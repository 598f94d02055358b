#include "capture/win/CaptureApi.h"

CaptureApi& CaptureFunctions() {
  static CaptureApi functions;
  return functions;
}
