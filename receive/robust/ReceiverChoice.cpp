#include "receive/robust/ReceiverChoice.h"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

bool RobustReceiverChosen() {
  const char* wanted = "robust";
#ifdef _WIN32
  // The C runtime's copy of the environment does not see SetEnvironmentVariable.
  char value[16] = {};
  const DWORD n = GetEnvironmentVariableA("HOV_RECEIVER", value, sizeof value);
  return n > 0 && n < sizeof value && std::strcmp(value, wanted) == 0;
#else
  const char* value = std::getenv("HOV_RECEIVER");
  return value != nullptr && std::strcmp(value, wanted) == 0;
#endif
}
