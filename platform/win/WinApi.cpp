#include "platform/win/WinApi.h"

WinApi& WinFunctions() {
  static WinApi functions;
  return functions;
}
