// A front's table of backends, tried in order until one opens.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "runtime/HovLog.h"

// One row of the table: the backend's name as the log lines give it, and how to make one (a
// maker may return null when the backend has nothing to open, e.g. no device).
template <class Impl>
struct Backend {
  const char* name;
  std::function<std::unique_ptr<Impl>()> make;
};

// Owner's thread. Makes each backend in turn and calls open(*backend); a backend that fails is
// destroyed before the next is made, so no state crosses attempts. Logs "try use <first>" (2),
// "<name> failed, try use <next>" (3) and "<last> failed, all failed" (3). Returns the backend
// that opened, or null when none did.
template <class Impl, class OpenFn>
std::unique_ptr<Impl> OpenFirstBackend(const std::vector<Backend<Impl>>& table, OpenFn open) {
  for (size_t i = 0; i < table.size(); ++i) {
    if (i == 0) {
      HovLog(2, "try use %s", table[i].name);
    }
    std::unique_ptr<Impl> backend = table[i].make();
    if (backend != nullptr && open(*backend)) {
      return backend;
    }
    backend.reset();
    if (i + 1 < table.size()) {
      HovLog(3, "%s failed, try use %s", table[i].name, table[i + 1].name);
    } else {
      HovLog(3, "%s failed, all failed", table[i].name);
    }
  }
  return nullptr;
}
