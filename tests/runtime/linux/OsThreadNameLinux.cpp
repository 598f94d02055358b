#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>

#include "tests/runtime/OsThreadName.h"

std::string OsThreadName() {
  long tid = syscall(SYS_gettid);
  std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

std::string ExpectedOsThreadName(const std::string& name) {
  // The kernel keeps 15 characters.
  return name.substr(0, 15);
}
