// Keeps exceptions inside the library: at the exports and around every worker task.
#pragma once

#include <exception>

#include "runtime/HovLog.h"

// Runs body on the calling thread; an exception that escapes it is logged at level 3 as
// "<name> failed: <what>" and goes no further.
template <typename Body>
void Guarded(const char* name, Body&& body) noexcept {
  try {
    body();
  } catch (const std::exception& e) {
    try {
      HovLog(3, "%s failed: %s", name, e.what());
    } catch (...) {
    }
  } catch (...) {
    try {
      HovLog(3, "%s failed", name);
    } catch (...) {
    }
  }
}
