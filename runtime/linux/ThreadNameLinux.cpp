#include <pthread.h>

#include "runtime/ThreadName.h"

void SetCurrentThreadName(const std::string& name) {
  // The kernel keeps 15 characters plus the terminator and refuses longer names.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}
