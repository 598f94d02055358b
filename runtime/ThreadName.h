// Names the calling thread so that debuggers and the system's tools show it.
#pragma once

#include <string>

// The calling thread. On Linux the name is cut to the 15 characters the kernel keeps.
void SetCurrentThreadName(const std::string& name);
