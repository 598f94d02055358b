// The name of the calling thread as the operating system reports it.
#pragma once

#include <string>

// Calling thread. Empty when the system cannot tell.
std::string OsThreadName();
// What OsThreadName answers on a thread that was given name (the system may shorten it).
std::string ExpectedOsThreadName(const std::string& name);
