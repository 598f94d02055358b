// A blocking job with a time limit on the caller's wait.
#pragma once

#include <cstdint>
#include <functional>

// Owner's thread. Runs work on a thread of its own and waits at most ms for it. True when it
// finished in time; otherwise the work goes on alone (it must own what it touches, e.g.
// through a shared pointer it captured) and false is returned.
bool RunWithin(uint32_t ms, std::function<void()> work);
